// Balance: the partition of the leaf elements over the processes (grid/parallel_partition.cpp)
// made the owners, and the faces between processes it leaves.

#include <span>
#include <string>
#include <vector>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"

namespace mosk {

int64_t cut_faces(const GridImpl& g) {
    std::vector<int> first(g.face_verts.size(), -1);
    int64_t cut = 0;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int f : e.faces) {
            if (first[f] < 0)
                first[f] = e.owner;
            else
                cut += first[f] != e.owner;
        }
    }
    return cut;
}

namespace {

// The line that -verbosity 1 prints after a partition (on process 0): the elements per process
// and the cut faces, then `more`.
void log_partition(const GridImpl& g, int64_t total, std::span<const long long> per_process,
                   long long cut, const std::string& more) {
    if (g.rank != 0) return;
    std::string text = "balance: " + std::to_string(total) + " elements over " +
                       std::to_string(g.nprocs) + " processes:";
    for (int p = 0; p < g.nprocs; ++p)
        text += (p ? ", " : " ") + std::to_string(per_process[size_t(p)]);
    log_message(1, text + " elements; " + std::to_string(cut) + " cut faces" + more);
}

}  // namespace

void report_partition(const GridImpl& g, std::span<const int> owner) {
    if (library_options().verbosity < 1) return;
    // Per face, the exclusive or of (leaf + 1) of the held leaves on it: from one side, the other.
    std::vector<uint32_t> on_face(g.face_verts.size(), 0);
    for (int i = 0; i < g.num_leaves(); ++i)
        for (int f : g.leaf(i).faces) on_face[size_t(f)] ^= uint32_t(i + 1);
    // Per process, then the cut faces and the elements that change process.
    std::vector<long long> count(size_t(g.nprocs) + 2, 0);
    for (int i = 0; i < g.part.owned_leaves; ++i) {
        ++count[size_t(owner[size_t(i)])];
        count[size_t(g.nprocs) + 1] += owner[size_t(i)] != g.rank;
        for (int f : g.leaf(i).faces) {
            const int j = int(on_face[size_t(f)] ^ uint32_t(i + 1)) - 1;
            if (j < 0 || owner[size_t(j)] == owner[size_t(i)]) continue;
            // Counted once: by the lower leaf of two owned ones, by the lower process else.
            const bool mine = j < g.part.owned_leaves ? i < j : g.rank < g.leaf(j).owner;
            count[size_t(g.nprocs)] += mine;
        }
    }
    sum_over_processes(g.comm, count);
    log_partition(g, g.part.elements.global_size(), count, count[size_t(g.nprocs)],
                  "; " + std::to_string(count.back()) + " elements move");
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
        log_partition(g, int64_t(owner.size()), count, cut_faces(g), "");
    }
}

}  // namespace mosk
