// Partitioning the leaf elements in parallel: PT-Scotch through PETSc's MatPartitioning on the
// element dual graph (two leaves are neighbours when they share a face). Each process gives the
// rows of the leaves it owns now; a repair then enforces the bound on the elements per process,
// and the new owners go to the processes that hold the leaves.
#include <petscmat.h>

#include <cstdio>  // scotch.h needs FILE
#include <scotch.h>


#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/check.h"
#include "core/parallel.h"
#include "core/petsc_call.h"
#include "grid/grid_impl.h"

namespace mosk {
namespace {

// The partitioner's row of each leaf this process holds: the leaves of process p, in leaf order,
// are rows first[p] .. first[p + 1] - 1. Every process holds every leaf today; once a process
// holds only its part, its owned and ghost leaves take these numbers from the element index map
// (owned offset plus position), and nothing else here changes.
struct LeafRows {
    std::vector<int64_t> first;  // per process, and the total at the end
    std::vector<int> row;        // per leaf held
};

LeafRows leaf_rows(const GridImpl& g) {
    LeafRows r;
    r.first.assign(size_t(g.nprocs) + 1, 0);
    for (int i = 0; i < g.num_leaves(); ++i) ++r.first[size_t(g.leaf(i).owner) + 1];
    for (int p = 0; p < g.nprocs; ++p) r.first[size_t(p) + 1] += r.first[size_t(p)];
    std::vector<int64_t> next(r.first.begin(), r.first.end() - 1);
    r.row.resize(size_t(g.num_leaves()));
    for (int i = 0; i < g.num_leaves(); ++i) r.row[size_t(i)] = int(next[size_t(g.leaf(i).owner)]++);
    return r;
}

// The dual-graph rows of this process's leaves: row k's neighbours (global rows, sorted) are
// neighbours[start[k] .. start[k + 1]).
struct LocalGraph {
    std::vector<int> leaves;  // the leaf of each local row
    std::vector<PetscInt> start{0}, neighbours;
};

LocalGraph local_graph(const GridImpl& g, const LeafRows& rows) {
    // The two leaves on each face (-1: none), from the leaves this process holds.
    std::vector<std::array<int, 2>> on_face(g.face_verts.size(), {-1, -1});
    for (int i = 0; i < g.num_leaves(); ++i)
        for (int f : g.leaf(i).faces) on_face[size_t(f)][on_face[size_t(f)][0] >= 0] = i;
    LocalGraph lg;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        if (e.owner != g.rank) continue;
        lg.leaves.push_back(i);
        const size_t begin = lg.neighbours.size();
        for (int f : e.faces) {
            const auto& two = on_face[size_t(f)];
            const int other = two[0] == i ? two[1] : two[0];
            if (other >= 0) lg.neighbours.push_back(rows.row[size_t(other)]);
        }
        std::sort(lg.neighbours.begin() + std::ptrdiff_t(begin), lg.neighbours.end());
        lg.start.push_back(PetscInt(lg.neighbours.size()));
    }
    return lg;
}

// PT-Scotch's part for each local row, asked for parts of at most about `cap` rows.
std::vector<int> ptscotch_parts(const GridImpl& g, const LeafRows& rows, const LocalGraph& lg,
                                double imbalance) {
    PetscScope petsc("balance");
    const MPI_Comm comm = MPI_Comm_f2c(g.comm);
    const PetscInt m = PetscInt(lg.leaves.size());
    // The adjacency matrix takes its arrays over (it frees them with PetscFree).
    PetscInt *ia = nullptr, *ja = nullptr;
    PETSC_CHECK(petsc, PetscMalloc1(m + 1, &ia));
    PETSC_CHECK(petsc, PetscMalloc1(std::max<size_t>(lg.neighbours.size(), 1), &ja));
    std::copy(lg.start.begin(), lg.start.end(), ia);
    std::copy(lg.neighbours.begin(), lg.neighbours.end(), ja);
    Mat adj = nullptr;
    MatPartitioning part = nullptr;
    IS is = nullptr;
    std::vector<int> out(size_t(m), 0);
    PetscErrorCode code = MatCreateMPIAdj(comm, m, PetscInt(rows.first.back()), ia, ja, nullptr,
                                          &adj);
    if (code) {
        PetscFree(ia);
        PetscFree(ja);
        petsc.fail(code, "MatCreateMPIAdj");
    }
    auto release = [&] {
        if (is) ISDestroy(&is);
        if (part) MatPartitioningDestroy(&part);
        MatDestroy(&adj);
    };
    try {
        PETSC_CHECK(petsc, MatPartitioningCreate(comm, &part));
        PETSC_CHECK(petsc, MatPartitioningSetAdjacency(part, adj));
        PETSC_CHECK(petsc, MatPartitioningSetType(part, MATPARTITIONINGPTSCOTCH));
        PETSC_CHECK(petsc, MatPartitioningSetNParts(part, g.nprocs));
        PETSC_CHECK(petsc, MatPartitioningPTScotchSetImbalance(part, imbalance));
        // The same partition for the same graph and number of processes, call after call and run
        // after run: the random generator starts afresh, and one thread per process leaves
        // nothing to the order in which threads finish (unless the user chose their number).
        setenv("SCOTCH_PTHREAD_NUMBER", "1", 0);
        SCOTCH_randomSeed(1);
        SCOTCH_randomReset();
        PETSC_CHECK(petsc, MatPartitioningApply(part, &is));
        const PetscInt* idx = nullptr;
        PETSC_CHECK(petsc, ISGetIndices(is, &idx));
        std::copy(idx, idx + m, out.begin());
        PETSC_CHECK(petsc, ISRestoreIndices(is, &idx));
    } catch (...) {
        release();
        throw;
    }
    release();
    return out;
}

// Moves rows out of parts above `cap` into parts below it. Every process learns how many rows of
// each part every process holds (one sum of nprocs^2 counts), so all compute the same plan: the
// excess of a part is taken from its holders in process order and given to the parts with room
// in part order. A process moves its share choosing first rows with a neighbour already in the
// receiving part, so that the cut grows little.
void enforce_cap(const GridImpl& g, const LeafRows& rows, const LocalGraph& lg, int64_t cap,
                 std::vector<int>& part) {
    const int np = g.nprocs;
    std::vector<long long> held(size_t(np) * size_t(np), 0);  // [process * np + part]
    for (int p : part) ++held[size_t(g.rank) * size_t(np) + size_t(p)];
    sum_over_processes(g.comm, held);
    std::vector<long long> size(size_t(np), 0);
    for (int q = 0; q < np; ++q)
        for (int p = 0; p < np; ++p) size[size_t(p)] += held[size_t(q) * size_t(np) + size_t(p)];
    struct Move {
        int from, to;
        long long count;
    };
    std::vector<Move> mine;
    for (int p = 0; p < np; ++p)
        for (int t = 0; t < np && size[size_t(p)] > cap; ++t) {
            long long amount = std::min(size[size_t(p)] - cap, cap - size[size_t(t)]);
            if (t == p || amount <= 0) continue;
            size[size_t(p)] -= amount, size[size_t(t)] += amount;
            for (int q = 0; q < np && amount > 0; ++q) {
                long long& h = held[size_t(q) * size_t(np) + size_t(p)];
                const long long take = std::min(amount, h);
                h -= take, amount -= take;
                held[size_t(q) * size_t(np) + size_t(t)] += take;
                if (q == g.rank && take > 0) mine.push_back({p, t, take});
            }
        }
    if (mine.empty()) return;
    // The part of a global row, where this process knows it (its own rows), else -1.
    const int64_t first = rows.first[size_t(g.rank)];
    auto part_of_row = [&](PetscInt r) {
        return r >= first && r < first + int64_t(part.size()) ? part[size_t(r - first)] : -1;
    };
    for (const Move& mv : mine) {
        long long left = mv.count;
        for (int pass = 0; pass < 2 && left > 0; ++pass)
            for (size_t k = 0; k < part.size() && left > 0; ++k) {
                if (part[k] != mv.from) continue;
                bool next_to = false;
                for (PetscInt e = lg.start[k]; e < lg.start[k + 1]; ++e)
                    next_to |= part_of_row(lg.neighbours[size_t(e)]) == mv.to;
                if (pass == 0 && !next_to) continue;
                part[k] = mv.to;
                --left;
            }
    }
}

// Gives every leaf this process holds its new owner. Every process holds every leaf today, so
// every process receives every row's part; once a process holds only its part, only the parts of
// its owned and ghost leaves need to reach it.
std::vector<int> deliver_owners(const GridImpl& g, const LeafRows& rows,
                                const std::vector<int>& part) {
    std::vector<int> counts(size_t(g.nprocs)), displs(size_t(g.nprocs));
    for (int p = 0; p < g.nprocs; ++p) {
        displs[size_t(p)] = int(rows.first[size_t(p)]);
        counts[size_t(p)] = int(rows.first[size_t(p) + 1] - rows.first[size_t(p)]);
    }
    std::vector<int> all(size_t(rows.first.back()));
    MPI_Allgatherv(part.data(), int(part.size()), MPI_INT, all.data(), counts.data(),
                   displs.data(), MPI_INT, MPI_Comm_f2c(g.comm));
    std::vector<int> owner(size_t(g.num_leaves()));
    for (int i = 0; i < g.num_leaves(); ++i) owner[size_t(i)] = all[size_t(rows.row[size_t(i)])];
    return owner;
}

}  // namespace

int64_t partition_cap(int64_t n, int nparts, double imbalance) {
    const int64_t even = (n + nparts - 1) / nparts;
    return std::max(even, int64_t(std::min(imbalance, kImbalanceLimit) * double(n) / nparts));
}

std::vector<int> partition_leaves_parallel(const GridImpl& g, double imbalance) {
    const int n = g.num_leaves();
    std::vector<int> owner(static_cast<size_t>(n));
    if (g.nprocs == 1 || n <= g.nprocs) {
        for (int i = 0; i < n; ++i) owner[size_t(i)] = g.nprocs == 1 ? 0 : i;
        return owner;
    }
    const LeafRows rows = leaf_rows(g);
    const LocalGraph lg = local_graph(g, rows);
    const int64_t cap = partition_cap(n, g.nprocs, imbalance);
    // Asked for the cap itself, PT-Scotch leaves little for the repair to move.
    const double ratio = std::clamp(double(cap) * g.nprocs / n - 1.0, 0.0, 1.0);
    std::vector<int> part;
    collective(g.comm, [&] { part = ptscotch_parts(g, rows, lg, ratio); });
    enforce_cap(g, rows, lg, cap, part);
    return deliver_owners(g, rows, part);
}

}  // namespace mosk
