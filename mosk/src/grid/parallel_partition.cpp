// Partitioning the leaf elements in parallel: PT-Scotch through PETSc's MatPartitioning on the
// element dual graph (two leaves are neighbours when they share a face). Each process gives the
// rows of the leaves (on a large grid, subtrees) it owns now; a repair then enforces the bound on
// the elements per process, and the new owners go to the processes that hold the leaves.
#include <petscmat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>  // before scotch.h, which needs FILE
#include <cstdlib>
#include <numeric>
#include <string>
#include <unordered_map>
#include <vector>

#include <scotch.h>

#include "core/check.h"
#include "core/parallel.h"
#include "core/petsc_call.h"
#include "grid/grid_impl.h"

namespace mosk {
namespace {

// Bisections between the coarsest leaves and the root of their unit.
constexpr int kUnitLevels = 4;
// Leaves of a unit of a large part without refinement tree (see unit_rows).
constexpr int kChunkLeaves = 32;
// Owners that a balance made and refinement kept (children keep their parent's owner) are
// repaired rather than partitioned afresh while no process holds more than this fraction above
// the mean: the repair moves leaves across the process boundaries only.
constexpr double kRepairWithin = 0.05;
// Current owners within the bound whose cut is at most this much longer than a fresh partition's
// stay: moving a part costs more than a few more faces between the processes.
constexpr double kKeepLongerCut = 1.25;

// Rows of the partitioner's graph: process p's rows are first[p] .. first[p + 1] - 1. A process
// that holds the whole grid finds every leaf's row alone; a process that holds its part numbers
// the rows of its owned leaves, and its ghost leaves' rows come from their owners.
struct Rows {
    std::vector<int64_t> first;  // per process, and the total at the end
    std::vector<int> of_leaf;    // per leaf held
};

// The rows of a part: `local` numbers the owned leaves' rows from 0 (`count` of them); one
// gather of the counts gives the offsets, the element index map the ghosts' rows.
Rows rows_over_parts(const GridImpl& g, const std::vector<int>& local, int count) {
    Rows r;
    const std::vector<int> counts = gather_all(g.comm, std::span<const int>(&count, 1));
    r.first.assign(size_t(g.nprocs) + 1, 0);
    for (int p = 0; p < g.nprocs; ++p)
        r.first[size_t(p) + 1] = r.first[size_t(p)] + counts[size_t(p)];
    std::vector<double> row(size_t(g.num_leaves()), 0.0);
    for (int i = 0; i < g.part.owned_leaves; ++i)
        row[size_t(i)] = double(r.first[size_t(g.rank)] + local[size_t(i)]);
    g.part.elements.forward(row);
    r.of_leaf.resize(row.size());
    for (size_t i = 0; i < row.size(); ++i) r.of_leaf[i] = int(row[i]);
    return r;
}

// Each leaf its own row: process p's owned leaves in leaf order.
Rows leaf_rows(const GridImpl& g) {
    if (g.distributed()) {
        std::vector<int> local(size_t(g.part.owned_leaves));
        for (size_t i = 0; i < local.size(); ++i) local[i] = int(i);
        return rows_over_parts(g, local, g.part.owned_leaves);
    }
    Rows r;
    r.first.assign(size_t(g.nprocs) + 1, 0);
    for (int i = 0; i < g.num_leaves(); ++i) ++r.first[size_t(g.leaf(i).owner) + 1];
    for (int p = 0; p < g.nprocs; ++p) r.first[size_t(p) + 1] += r.first[size_t(p)];
    std::vector<int64_t> next(r.first.begin(), r.first.end() - 1);
    r.of_leaf.resize(size_t(g.num_leaves()));
    for (int i = 0; i < g.num_leaves(); ++i)
        r.of_leaf[size_t(i)] = int(next[size_t(g.leaf(i).owner)]++);
    return r;
}

// A large grid is partitioned by units of leaves, which keeps the graph small at a cut close to
// that of the leaves (a few hundred leaves a unit at millions of elements, as closure makes most
// leaves deeper than the coarsest): a unit is the leaves of one owner below one element
// `kUnitLevels` levels above the coarsest leaves (a leaf at that level or above stands alone).
// Units of process p are numbered in the order of their first leaf.
Rows unit_rows(const GridImpl& g, int direct_limit) {
    // The leaves whose rows this process finds: every leaf of a whole grid, the owned leaves of
    // a part (which come first).
    const bool part = g.distributed();
    const int n = part ? g.part.owned_leaves : g.num_leaves();
    const int64_t total = part ? g.part.elements.global_size() : n;
    int depth = 0;
    if (total > direct_limit) {
        int lowest = INT32_MAX;
        for (int i = 0; i < n; ++i)
            lowest = std::min(lowest, g.tree(g.leaf_records()[size_t(i)]).level);
        depth = std::max(0, lowest - kUnitLevels);
    }
    if (depth == 0 && part && total > direct_limit) {
        // A large part without a refinement tree above its leaves (read in parts, or migrated):
        // units of consecutive owned leaves, which lie close together in the order of a
        // refinement (children follow their parent) and of the usual mesh files.
        std::vector<int> local(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) local[size_t(i)] = i / kChunkLeaves;
        return rows_over_parts(g, local, (n + kChunkLeaves - 1) / kChunkLeaves);
    }
    if (depth == 0) return leaf_rows(g);
    Rows u;
    u.first.assign(size_t(g.nprocs) + 1, 0);
    u.of_leaf.resize(size_t(n));
    // Unit of an ancestor record for its first owner; the rare ancestors whose leaves have
    // several owners (a balance below this level) keep the others in `split`.
    std::vector<int> unit_of_record(g.num_records(), -1), owner_of_record(g.num_records(), -1);
    std::unordered_map<int64_t, int> split;
    for (int i = 0; i < n; ++i) {
        int r = g.leaf_records()[size_t(i)];
        while (g.tree(r).level > depth) r = g.tree(r).parent;
        const int owner = g.leaf(i).owner;
        int& unit = owner_of_record[size_t(r)] < 0 || owner_of_record[size_t(r)] == owner
                        ? unit_of_record[size_t(r)]
                        : split.try_emplace(int64_t(r) * g.nprocs + owner, -1).first->second;
        owner_of_record[size_t(r)] =
            owner_of_record[size_t(r)] < 0 ? owner : owner_of_record[size_t(r)];
        if (unit < 0) unit = int(u.first[size_t(owner) + 1]++);
        u.of_leaf[size_t(i)] = unit;  // within the owner's units, made global below
    }
    if (part) return rows_over_parts(g, u.of_leaf, int(u.first[size_t(g.rank) + 1]));
    for (int p = 0; p < g.nprocs; ++p) u.first[size_t(p) + 1] += u.first[size_t(p)];
    for (int i = 0; i < n; ++i) u.of_leaf[size_t(i)] += int(u.first[size_t(g.leaf(i).owner)]);
    return u;
}

// This process's rows of the graph: row k's neighbours (global rows, sorted) are
// neighbours[start[k] .. start[k + 1]), each weighted by the faces between them; a row weighs
// its leaves.
struct LocalGraph {
    std::vector<PetscInt> start{0}, neighbours, faces, weight;
};

LocalGraph local_graph(const GridImpl& g, const Rows& units) {
    // Per face, the exclusive or of (unit + 1) of the leaves on it, from the leaves this process
    // holds: with one side's unit known, the other's follows (-1 on the boundary), at 4 bytes a
    // face and no second lookup.
    std::vector<uint32_t> on_face(g.face_verts.size(), 0);
    for (int i = 0; i < g.num_leaves(); ++i)
        for (int f : g.leaf(i).faces) on_face[size_t(f)] ^= uint32_t(units.of_leaf[size_t(i)] + 1);
    const int64_t first = units.first[size_t(g.rank)];
    const size_t rows = size_t(units.first[size_t(g.rank) + 1] - first);
    // Faces to other units, bucketed by this process's unit, then sorted and merged.
    std::vector<PetscInt> count(rows + 1, 0);
    LocalGraph lg;
    lg.weight.assign(rows, 0);
    auto each_pair = [&](auto&& take) {
        for (int i = 0; i < g.num_leaves(); ++i) {
            const ELEMENT_& e = g.leaf(i);
            if (e.owner != g.rank) continue;
            const int mine = units.of_leaf[size_t(i)];
            for (int f : e.faces) {
                // A face inside one unit gives the unit itself, skipped as a boundary face is.
                const int other = int(on_face[size_t(f)] ^ uint32_t(mine + 1)) - 1;
                if (other >= 0 && other != mine) take(size_t(mine - first), other);
            }
        }
    };
    each_pair([&](size_t u, int) { ++count[u + 1]; });
    for (size_t k = 0; k < rows; ++k) count[k + 1] += count[k];
    std::vector<PetscInt> pairs(static_cast<size_t>(count[rows])),
        fill(count.begin(), count.end() - 1);
    each_pair([&](size_t u, int v) { pairs[size_t(fill[u]++)] = v; });
    for (int i = 0; i < g.num_leaves(); ++i)
        if (g.leaf(i).owner == g.rank) ++lg.weight[size_t(units.of_leaf[size_t(i)] - first)];
    for (size_t k = 0; k < rows; ++k) {
        auto b = pairs.begin() + count[k], e = pairs.begin() + count[k + 1];
        std::sort(b, e);
        for (auto it = b; it != e;) {
            auto next = std::find_if(it, e, [&](PetscInt x) { return x != *it; });
            lg.neighbours.push_back(*it);
            lg.faces.push_back(PetscInt(next - it));
            it = next;
        }
        lg.start.push_back(PetscInt(lg.neighbours.size()));
    }
    return lg;
}

// A copy of `v` in memory from PetscMalloc, which PETSc objects take over.
PetscInt* petsc_copy(const PetscScope& petsc, const std::vector<PetscInt>& v) {
    PetscInt* out = nullptr;
    PETSC_CHECK(petsc, PetscMalloc1(std::max<size_t>(v.size(), 1), &out));
    std::copy(v.begin(), v.end(), out);
    return out;
}

// PT-Scotch's part for each of this process's rows, asked for at most `ratio` above the mean.
std::vector<int> ptscotch_parts(const GridImpl& g, const Rows& units, const LocalGraph& lg,
                                double ratio) {
    PetscScope petsc("balance");
    const MPI_Comm comm = MPI_Comm_f2c(g.comm);
    const PetscInt m = PetscInt(lg.weight.size());
    // The adjacency matrix and the partitioning take these arrays over (and PetscFree them).
    PetscInt* ia = petsc_copy(petsc, lg.start);
    PetscInt* ja = petsc_copy(petsc, lg.neighbours);
    PetscInt* faces = petsc_copy(petsc, lg.faces);
    PetscInt* weight = petsc_copy(petsc, lg.weight);
    Mat adj = nullptr;
    MatPartitioning part = nullptr;
    IS is = nullptr;
    std::vector<int> out;
    try {
        out.assign(size_t(m), 0);
        agree_so_far(g.comm);  // PETSc's collective calls below cannot meet a failed process
    } catch (...) {
        for (PetscInt* a : {ia, ja, faces, weight}) PetscFree(a);
        throw;
    }
    const PetscErrorCode code =
        MatCreateMPIAdj(comm, m, PetscInt(units.first.back()), ia, ja, faces, &adj);
    if (code) {
        for (PetscInt* a : {ia, ja, faces, weight}) PetscFree(a);
        petsc.fail(code, "MatCreateMPIAdj");
    }
    auto release = [&] {
        if (is) ISDestroy(&is);
        if (part)
            MatPartitioningDestroy(&part);
        else
            PetscFree(weight);
        MatDestroy(&adj);
    };
    try {
        PETSC_CHECK(petsc, MatPartitioningCreate(comm, &part));
        PETSC_CHECK(petsc, MatPartitioningSetAdjacency(part, adj));
        PETSC_CHECK(petsc, MatPartitioningSetType(part, MATPARTITIONINGPTSCOTCH));
        PETSC_CHECK(petsc, MatPartitioningSetNParts(part, g.nprocs));
        PETSC_CHECK(petsc, MatPartitioningSetVertexWeights(part, weight));
        PETSC_CHECK(petsc, MatPartitioningSetUseEdgeWeights(part, PETSC_TRUE));
        PETSC_CHECK(petsc, MatPartitioningPTScotchSetImbalance(part, ratio));
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

// Renames the parts of a fresh partition so that as many elements as can stay with the process
// that owns them now: part p becomes process q for the pairs of most elements in common, taken
// largest first (the partition's quality does not depend on the names, the migration's cost
// does).
void keep_most_in_place(const GridImpl& g, const LocalGraph& lg, std::vector<int>& unit_part) {
    const size_t np = size_t(g.nprocs);
    std::vector<long long> common(np * np, 0);  // [process * np + part]
    for (size_t k = 0; k < unit_part.size(); ++k)
        common[size_t(g.rank) * np + size_t(unit_part[k])] += lg.weight[k];
    sum_over_processes(g.comm, common);
    std::vector<size_t> order(common.size());
    std::iota(order.begin(), order.end(), size_t(0));
    // Ties in the order of (process, part): a plain sort with the tie made explicit, which
    // needs no temporary buffer (the sanitizer's allocator flags the one stable_sort takes).
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return common[a] > common[b] || (common[a] == common[b] && a < b);
    });
    std::vector<int> name(np, -1);
    std::vector<char> taken(np, 0);
    for (size_t pair : order) {
        const size_t q = pair / np, p = pair % np;
        if (name[p] >= 0 || taken[q]) continue;
        name[p] = int(q);
        taken[q] = 1;
    }
    for (int& p : unit_part) p = name[size_t(p)];
}

// The part of global row r where this process knows it (its own rows, and on a part the rows of
// its ghosts), else -1.
int part_of_row(int64_t r, int64_t first, const std::vector<int>& unit_part,
                const std::unordered_map<int64_t, int>& ghost_part) {
    if (r >= first && r < first + int64_t(unit_part.size())) return unit_part[size_t(r - first)];
    const auto it = ghost_part.find(r);
    return it == ghost_part.end() ? -1 : it->second;
}

// Moves elements out of parts above `cap` into parts below it. Every process learns how many
// elements of each part every process holds (one sum of nprocs^2 counts), so all compute the
// same plan: the excess of a part is taken from its holders in process order and given to the
// parts with room in part order. A process moves its share in whole units, first those with a
// neighbour already in the receiving part (so that the cut grows little), and the rest leaf by
// leaf. Returns the part of each leaf this process owns, in leaf order.
std::vector<int> enforce_cap(const GridImpl& g, const Rows& units, const LocalGraph& lg,
                             int64_t cap, std::vector<int>& unit_part,
                             const std::unordered_map<int64_t, int>& ghost_part) {
    const int np = g.nprocs;
    const int64_t first = units.first[size_t(g.rank)];
    std::vector<long long> held(size_t(np) * size_t(np), 0);  // [process * np + part]
    for (size_t k = 0; k < unit_part.size(); ++k)
        held[size_t(g.rank) * size_t(np) + size_t(unit_part[k])] += lg.weight[k];
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
    const PetscInt first_row = PetscInt(first);
    std::vector<int> leaf_part;
    for (int i = 0; i < g.num_leaves(); ++i)
        if (g.leaf(i).owner == g.rank)
            leaf_part.push_back(unit_part[size_t(units.of_leaf[size_t(i)] - first)]);
    for (const Move& mv : mine) {
        long long left = mv.count;
        // Faces of unit k to units of `part` (where this process knows their parts).
        auto faces_with = [&](size_t k, int part) {
            PetscInt n = 0;
            for (PetscInt e = lg.start[k]; e < lg.start[k + 1]; ++e)
                if (part_of_row(lg.neighbours[size_t(e)], first, unit_part, ghost_part) == part)
                    n += lg.faces[size_t(e)];
            return n;
        };
        // Gives unit k away when it fits and lies next to the receiving part (with at least as
        // many faces there as at home when `compact`); then its own neighbours are tried so.
        std::vector<size_t> pending;
        auto give = [&](size_t k0, bool compact) {
            pending.assign(1, k0);
            bool first = true;
            while (!pending.empty() && left > 0) {
                const size_t k = pending.back();
                pending.pop_back();
                if (unit_part[k] != mv.from || lg.weight[k] > left) continue;
                const PetscInt there = faces_with(k, mv.to);
                if (there == 0 || ((compact || !first) && there < faces_with(k, mv.from))) continue;
                first = false;
                unit_part[k] = mv.to;
                left -= lg.weight[k];
                for (PetscInt e = lg.start[k]; e < lg.start[k + 1]; ++e) {
                    const PetscInt r = lg.neighbours[size_t(e)];
                    if (r >= first_row && r < first_row + PetscInt(unit_part.size()))
                        pending.push_back(size_t(r - first_row));
                }
            }
        };
        // Units next to the receiving part that do not lengthen the cut, then any unit next to
        // it, each followed by the neighbours that now do not lengthen it (so the front grows
        // compactly), then any unit.
        for (size_t k = 0; k < unit_part.size() && left > 0; ++k) give(k, true);
        for (size_t k = 0; k < unit_part.size() && left > 0; ++k) give(k, false);
        for (size_t k = 0; k < unit_part.size() && left > 0; ++k)
            if (unit_part[k] == mv.from && lg.weight[k] <= left) {
                unit_part[k] = mv.to;
                left -= lg.weight[k];
            }
        // Units heavier than what is left: single leaves of the part.
        size_t j = 0;
        for (int i = 0; i < g.num_leaves(); ++i) {
            if (g.leaf(i).owner != g.rank) continue;
            int& lp = leaf_part[j++];
            lp = unit_part[size_t(units.of_leaf[size_t(i)] - first)] == mv.to && lp == mv.from
                     ? mv.to
                     : lp;
            if (left > 0 && lp == mv.from) lp = mv.to, --left;
        }
    }
    return leaf_part;
}

// The parts of a part's ghost rows, from their owners: a row next to one of this process's rows
// is owned or a ghost here.
std::unordered_map<int64_t, int> ghost_parts(const GridImpl& g, const Rows& units,
                                             const std::vector<int>& unit_part) {
    std::unordered_map<int64_t, int> out;
    if (!g.distributed()) return out;
    std::vector<double> part(size_t(g.num_leaves()), 0.0);
    const int64_t first = units.first[size_t(g.rank)];
    for (int i = 0; i < g.part.owned_leaves; ++i)
        part[size_t(i)] = unit_part[size_t(units.of_leaf[size_t(i)] - first)];
    g.part.elements.forward(part);
    for (int i = g.part.owned_leaves; i < g.num_leaves(); ++i)
        out.emplace(units.of_leaf[size_t(i)], int(part[size_t(i)]));
    return out;
}

// Gives every leaf this process holds its new owner, from the parts of the leaves each process
// owns (in leaf order): on a whole grid every process receives every part, on a part the ghosts
// receive theirs from their owners.
std::vector<int> deliver_owners(const GridImpl& g, const std::vector<int>& leaf_part) {
    if (g.distributed()) {
        std::vector<double> part(size_t(g.num_leaves()), 0.0);
        for (size_t i = 0; i < leaf_part.size(); ++i) part[i] = leaf_part[i];
        g.part.elements.forward(part);
        return std::vector<int>(part.begin(), part.end());
    }
    const Rows rows = leaf_rows(g);
    // Rows are numbered owner by owner, so the parts in process order are the parts by row.
    const std::vector<int> all = gather_all(g.comm, leaf_part);
    std::vector<int> owner(size_t(g.num_leaves()));
    for (int i = 0; i < g.num_leaves(); ++i)
        owner[size_t(i)] = all[size_t(rows.of_leaf[size_t(i)])];
    return owner;
}

// The most elements a process may hold of n over nparts processes at `ratio` times the mean,
// and never less than the mean rounded up.
int64_t elements_bound(int64_t n, int nparts, double ratio) {
    return std::max((n + nparts - 1) / nparts, int64_t(ratio * double(n) / nparts));
}

// Whether owners that a balance made and refinement kept already meet the caller's bound: no
// process above `imbalance` times the mean (and never less than the mean rounded up). Children
// of a balanced partition keep a short cut, and a balance that moves nothing costs nothing, so
// such owners stay; the tighter cap below is what a partition that moves leaves aims at.
bool keeps_current_owners(const GridImpl& g, int64_t most, double imbalance) {
    if (!g.distributed() || !g.owners_from_balance) return false;
    return most <= elements_bound(g.part.elements.global_size(), g.nprocs, imbalance);
}

// Whether a part's current owners, within `cap`, stay instead of a fresh partition `unit_part`
// (ghost rows' parts in `ghost_part`) whose cut is not much shorter (see kKeepLongerCut): the
// blocks of a mesh file whose elements lie in order, say, which a migration would move almost
// whole for a few faces.
bool current_owners_cut_well(const GridImpl& g, int64_t most, const Rows& units,
                             const LocalGraph& lg, const std::vector<int>& unit_part,
                             const std::unordered_map<int64_t, int>& ghost_part, int64_t cap) {
    if (!g.distributed() || most > cap) return false;  // `most` is the same on every process
    const int64_t first = units.first[size_t(g.rank)];
    // Faces to other processes now and to other parts then, each counted from both sides.
    std::vector<long long> cut(2, 0);
    for (size_t k = 0; k < unit_part.size(); ++k)
        for (PetscInt e = lg.start[k]; e < lg.start[k + 1]; ++e) {
            const int64_t r = lg.neighbours[size_t(e)];
            const int owner_now = int(std::upper_bound(units.first.begin(), units.first.end(), r) -
                                      units.first.begin()) -
                                  1;
            cut[0] += owner_now != g.rank ? lg.faces[size_t(e)] : 0;
            cut[1] += part_of_row(r, first, unit_part, ghost_part) != unit_part[k]
                          ? lg.faces[size_t(e)]
                          : 0;
        }
    sum_over_processes(g.comm, cut);
    return double(cut[0]) <= kKeepLongerCut * double(cut[1]);
}

// Whether the partition starts from the current owners (see kRepairWithin).
bool repairs_current_owners(const GridImpl& g, int64_t most) {
    if (!g.distributed() || !g.owners_from_balance) return false;
    const double mean = double(g.part.elements.global_size()) / g.nprocs;
    return double(most) <= (1.0 + kRepairWithin) * mean;
}

}  // namespace

bool balance_keeps_owners(const GridImpl& g, double imbalance) {
    return g.distributed() &&
           keeps_current_owners(g, max_over_processes(g.comm, int64_t(g.part.owned_leaves)),
                                imbalance);
}

int64_t partition_cap(int64_t n, int nparts, double imbalance) {
    return elements_bound(n, nparts, std::min(imbalance, kImbalanceLimit));
}

std::vector<int> partition_leaves_parallel(const GridImpl& g, double imbalance, int direct_limit) {
    const int n = g.num_leaves();
    const int64_t total = g.distributed() ? g.part.elements.global_size() : n;
    std::vector<int> owner(static_cast<size_t>(n));
    if (g.nprocs == 1 || total <= g.nprocs) {
        for (int i = 0; i < n; ++i)
            owner[size_t(i)] =
                g.nprocs == 1 ? 0 : int(g.distributed() ? g.part.elements.global(i) : i);
        return owner;
    }
    // The most leaves a process owns now (on a part; the whole grid's owners are not kept).
    const int64_t most =
        g.distributed() ? max_over_processes(g.comm, int64_t(g.part.owned_leaves)) : 0;
    if (keeps_current_owners(g, most, imbalance)) {
        for (int i = 0; i < n; ++i) owner[size_t(i)] = g.leaf(i).owner;
        return owner;
    }
    // A repair moves single leaves (its time grows with the leaves alone); PT-Scotch takes the
    // units of a large grid.
    const bool repair = repairs_current_owners(g, most);
    const Rows units = repair ? leaf_rows(g) : unit_rows(g, direct_limit);
    const LocalGraph lg = local_graph(g, units);
    const int64_t cap = partition_cap(total, g.nprocs, imbalance);
    std::vector<int> unit_part;
    if (repair) {
        unit_part.assign(lg.weight.size(), g.rank);
    } else {
        // Asked for the cap itself, PT-Scotch leaves little for the repair to move.
        const double ratio = std::clamp(double(cap) * g.nprocs / double(total) - 1.0, 0.0, 1.0);
        collective(g.comm, [&] { unit_part = ptscotch_parts(g, units, lg, ratio); });
        keep_most_in_place(g, lg, unit_part);
    }
    const std::unordered_map<int64_t, int> ghosts = ghost_parts(g, units, unit_part);
    if (!repair && current_owners_cut_well(g, most, units, lg, unit_part, ghosts, cap)) {
        for (int i = 0; i < n; ++i) owner[size_t(i)] = g.leaf(i).owner;
        return owner;
    }
    return deliver_owners(g, enforce_cap(g, units, lg, cap, unit_part, ghosts));
}

}  // namespace mosk
