// Partitioning the leaf elements over processes: METIS on the element dual graph (two elements
// are neighbours when they share a face), then a repair pass that enforces the imbalance bound
// exactly, which METIS treats as a target only. A large grid is partitioned by units of about
// 2^kUnitLevels leaves (subtrees of the refinement tree), which keeps METIS's share of a
// balance small at a cut close to that of the leaves.
#include <metis.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"

namespace mosk {
namespace {

// Refinement levels above a unit: a unit holds about 2^kUnitLevels leaves.
constexpr int kUnitLevels = 4;

// What METIS partitions: units of leaves (a unit is the subtree of a refinement-tree element),
// weighted by their leaves, neighbours when leaves of both share a face, the edge weighted by
// the number of such faces.
struct UnitGraph {
    std::vector<int> unit_of_leaf;
    std::vector<idx_t> weight, start, neighbours, shared;
};

// The units: leaves whose level is at most `depth` stand alone; deeper leaves are grouped by
// their ancestor at level `depth`.
int group_leaves(const GridImpl& g, int depth, std::vector<int>& unit_of_leaf) {
    const int n = g.num_leaves();
    unit_of_leaf.assign(std::size_t(n), -1);
    std::vector<int> unit_of_record;  // by ancestor record, filled on demand
    if (depth > 0) unit_of_record.assign(g.num_records(), -1);
    int units = 0;
    for (int i = 0; i < n; ++i) {
        int r = g.leaf_records()[std::size_t(i)];
        if (g.tree(r).level <= depth) {
            unit_of_leaf[i] = units++;
            continue;
        }
        while (g.tree(r).level > depth) r = g.tree(r).parent;
        if (unit_of_record[r] < 0) unit_of_record[r] = units++;
        unit_of_leaf[i] = unit_of_record[r];
    }
    return units;
}

UnitGraph unit_graph(const GridImpl& g, int direct_limit) {
    const int n = g.num_leaves();
    UnitGraph u;
    int depth = 0;
    if (n > direct_limit) {
        int lowest = INT32_MAX;
        for (int r : g.leaf_records()) lowest = std::min(lowest, g.tree(r).level);
        depth = std::max(0, lowest - kUnitLevels);
    }
    const int units = depth > 0 ? group_leaves(g, depth, u.unit_of_leaf) : n;
    if (depth == 0) {
        u.unit_of_leaf.resize(std::size_t(n));
        for (int i = 0; i < n; ++i) u.unit_of_leaf[i] = i;
    }
    u.weight.assign(std::size_t(units), 0);
    for (int unit : u.unit_of_leaf) ++u.weight[unit];
    // Faces between two leaves of different units, as unit pairs in both directions, bucketed
    // by the first unit; each bucket sorted and merged into weighted edges.
    std::vector<int> first(g.face_verts.size(), -1), other(g.face_verts.size(), -1);
    for (int i = 0; i < n; ++i)
        for (int f : g.leaf(i).faces) (first[f] < 0 ? first[f] : other[f]) = u.unit_of_leaf[i];
    std::vector<idx_t> count(std::size_t(units) + 1, 0);
    for (std::size_t f = 0; f < first.size(); ++f)
        if (other[f] >= 0 && other[f] != first[f]) ++count[first[f] + 1], ++count[other[f] + 1];
    for (int k = 0; k < units; ++k) count[k + 1] += count[k];
    std::vector<int> pairs(static_cast<std::size_t>(count[units]));
    std::vector<idx_t> fill(count.begin(), count.end() - 1);
    for (std::size_t f = 0; f < first.size(); ++f)
        if (other[f] >= 0 && other[f] != first[f]) {
            pairs[fill[first[f]]++] = other[f];
            pairs[fill[other[f]]++] = first[f];
        }
    u.start.assign(std::size_t(units) + 1, 0);
    for (int k = 0; k < units; ++k) {
        auto b = pairs.begin() + count[k], e = pairs.begin() + count[k + 1];
        std::sort(b, e);
        for (auto it = b; it != e;) {
            auto next = std::find_if(it, e, [&](int x) { return x != *it; });
            u.neighbours.push_back(*it);
            u.shared.push_back(idx_t(next - it));
            it = next;
        }
        u.start[k + 1] = idx_t(u.neighbours.size());
    }
    return u;
}

// Moves weight out of parts above `cap` into parts below it: first units on the border with a
// part that has room for them (so the cut grows little), then any leaf into the smallest part.
void enforce_cap(const UnitGraph& u, int nparts, int64_t cap, std::vector<int>& unit_part,
                 std::vector<int>& leaf_part) {
    std::vector<int64_t> size(nparts, 0);
    const int units = int(unit_part.size());
    for (int k = 0; k < units; ++k) size[unit_part[k]] += u.weight[k];
    for (int p = 0; p < nparts; ++p)
        for (int k = 0; k < units && size[p] > cap; ++k) {
            if (unit_part[k] != p) continue;
            for (idx_t e = u.start[k]; e < u.start[k + 1]; ++e) {
                const int q = unit_part[u.neighbours[e]];
                if (q != p && size[q] + u.weight[k] <= cap) {
                    size[p] -= u.weight[k], size[q] += u.weight[k], unit_part[k] = q;
                    break;
                }
            }
        }
    const int n = int(leaf_part.size());
    for (int i = 0; i < n; ++i) leaf_part[i] = unit_part[u.unit_of_leaf[i]];
    for (int p = 0; p < nparts; ++p)
        for (int i = 0; i < n && size[p] > cap; ++i) {
            if (leaf_part[i] != p) continue;
            const int q = int(std::min_element(size.begin(), size.end()) - size.begin());
            --size[p], ++size[q], leaf_part[i] = q;
        }
}

}  // namespace

std::vector<int> partition_leaves(const GridImpl& g, int nparts, double imbalance,
                                  int direct_limit) {
    if (nparts < 1) fail("balance", std::to_string(nparts) + " parts");
    const int n = g.num_leaves();
    std::vector<int> part(std::size_t(n), 0);
    if (nparts == 1 || n == 0) return part;
    if (n <= nparts) {
        for (int i = 0; i < n; ++i) part[i] = i;
        return part;
    }
    const int64_t cap = partition_cap(n, nparts, imbalance);
    UnitGraph u = unit_graph(g, direct_limit);
    const int units = int(u.weight.size());
    std::vector<int> unit_part(std::size_t(units), 0);
    if (units <= nparts) {
        for (int k = 0; k < units; ++k) unit_part[k] = k;
    } else {
        idx_t nvtxs = units, ncon = 1, np = nparts, cut = 0;
        real_t ubvec = real_t(1.0 + std::min(imbalance - 1.0, 0.01));
        idx_t options[METIS_NOPTIONS];
        METIS_SetDefaultOptions(options);
        options[METIS_OPTION_SEED] = 7;  // the same partition on every run
        std::vector<idx_t> out(std::size_t(units), 0);
        const int status = METIS_PartGraphKway(&nvtxs, &ncon, u.start.data(), u.neighbours.data(),
                                               u.weight.data(), nullptr, u.shared.data(), &np,
                                               nullptr, &ubvec, options, &cut, out.data());
        if (status != METIS_OK)
            fail<std::runtime_error>("balance", "the graph partitioner failed (METIS status " +
                                                    std::to_string(status) + ")");
        unit_part.assign(out.begin(), out.end());
    }
    enforce_cap(u, nparts, cap, unit_part, part);
    return part;
}

int64_t cut_faces(const GridImpl& g) {
    std::vector<int> first(g.face_verts.size(), -1);
    int64_t cut = 0;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int f : e.faces) {
            if (first[f] < 0) first[f] = e.owner;
            else cut += first[f] != e.owner;
        }
    }
    return cut;
}

void balance_grid(GridImpl& g, double imbalance) {
    const std::vector<int> owner = partition_leaves_parallel(g, imbalance);
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
