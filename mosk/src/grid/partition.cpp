// Partitioning the leaf elements over processes: METIS on the element dual graph (two elements
// are neighbours when they share a face), then a repair pass that enforces the imbalance bound
// exactly, which METIS treats as a target only.
#include <metis.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/library_state.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"

namespace mosk {
namespace {

// The dual graph in CSR form, as METIS takes it.
struct DualGraph {
    std::vector<idx_t> start, neighbours;
};

DualGraph dual_graph(const GridImpl& g) {
    const int n = int(g.leaves.size());
    std::vector<int> first(g.face_verts.size(), -1), other(g.face_verts.size(), -1);
    for (int i = 0; i < n; ++i)
        for (int f : g.leaf(i).faces) (first[f] < 0 ? first[f] : other[f]) = i;
    DualGraph d;
    d.start.assign(std::size_t(n) + 1, 0);
    for (std::size_t f = 0; f < first.size(); ++f)
        if (other[f] >= 0) ++d.start[first[f] + 1], ++d.start[other[f] + 1];
    for (int i = 0; i < n; ++i) d.start[i + 1] += d.start[i];
    d.neighbours.resize(std::size_t(d.start[n]));
    std::vector<idx_t> fill(d.start.begin(), d.start.end() - 1);
    for (std::size_t f = 0; f < first.size(); ++f)
        if (other[f] >= 0) {
            d.neighbours[fill[first[f]]++] = other[f];
            d.neighbours[fill[other[f]]++] = first[f];
        }
    return d;
}

// Moves elements out of parts above `cap` into parts below it, preferring elements on the
// border with a part that has room (so the cut grows little), else any element into the
// smallest part.
void enforce_cap(const DualGraph& d, int nparts, int cap, std::vector<int>& part) {
    std::vector<int> size(nparts, 0);
    for (int p : part) ++size[p];
    const int n = int(part.size());
    for (int p = 0; p < nparts; ++p) {
        for (int i = 0; i < n && size[p] > cap; ++i) {
            if (part[i] != p) continue;
            for (idx_t k = d.start[i]; k < d.start[i + 1]; ++k) {
                const int q = part[d.neighbours[k]];
                if (q != p && size[q] < cap) {
                    --size[p], ++size[q], part[i] = q;
                    break;
                }
            }
        }
        for (int i = 0; i < n && size[p] > cap; ++i) {
            if (part[i] != p) continue;
            const int q = int(std::min_element(size.begin(), size.end()) - size.begin());
            --size[p], ++size[q], part[i] = q;
        }
    }
}

}  // namespace

std::vector<int> partition_leaves(const GridImpl& g, int nparts, double imbalance) {
    if (nparts < 1) throw std::invalid_argument("balance: " + std::to_string(nparts) + " parts");
    const int n = int(g.leaves.size());
    std::vector<int> part(std::size_t(n), 0);
    if (nparts == 1 || n == 0) return part;
    const int even = int((int64_t(n) + nparts - 1) / nparts);
    const int cap = std::max(even, int(std::floor(imbalance * double(n) / nparts)));
    DualGraph d = dual_graph(g);
    if (n <= nparts) {
        for (int i = 0; i < n; ++i) part[i] = i;
        return part;
    }
    idx_t nvtxs = n, ncon = 1, np = nparts, cut = 0;
    // METIS's tolerance is a single-precision factor; aim a little inside the bound.
    real_t ubvec = real_t(std::max(1.001, std::min(imbalance, 1.5) * 0.999));
    idx_t options[METIS_NOPTIONS];
    METIS_SetDefaultOptions(options);
    options[METIS_OPTION_SEED] = 7;  // the same partition on every run
    std::vector<idx_t> out(std::size_t(n), 0);
    const int status =
        METIS_PartGraphKway(&nvtxs, &ncon, d.start.data(), d.neighbours.data(), nullptr, nullptr,
                            nullptr, &np, nullptr, &ubvec, options, &cut, out.data());
    if (status != METIS_OK)
        throw std::runtime_error("balance: the graph partitioner failed (METIS status " +
                                 std::to_string(status) + ")");
    part.assign(out.begin(), out.end());
    enforce_cap(d, nparts, cap, part);
    return part;
}

int64_t cut_faces(const GridImpl& g) {
    std::vector<int> first(g.face_verts.size(), -1);
    int64_t cut = 0;
    for (int r : g.leaves) {
        const ELEMENT_& e = g.elements[r];
        for (int f : e.faces) {
            if (first[f] < 0) first[f] = e.owner;
            else cut += first[f] != e.owner;
        }
    }
    return cut;
}

void balance_grid(GridImpl& g, double imbalance) {
    std::vector<int> owner;
    on_root(g.comm, 0, [&] { owner = partition_leaves(g, g.nprocs, imbalance); });
    broadcast(g.comm, 0, owner);
    bool changed = false;
    for (std::size_t i = 0; i < owner.size(); ++i) {
        ELEMENT_& e = g.leaf(int(i));
        changed |= e.owner != owner[i];
        e.owner = owner[i];
    }
    if (changed) ++g.partition_generation;
    g.update_record();
    if (library_options().verbosity >= 1) {
        std::vector<long long> count(std::size_t(g.nprocs), 0);
        for (int o : owner) ++count[o];
        std::string text = "balance: " + std::to_string(owner.size()) + " elements over " +
                           std::to_string(g.nprocs) + " processes:";
        for (int p = 0; p < g.nprocs; ++p) text += (p ? ", " : " ") + std::to_string(count[p]);
        text += " elements; " + std::to_string(cut_faces(g)) + " cut faces";
        if (g.rank == 0) log_message(1, text);
    }
}

}  // namespace mosk
