// A collective grid operation that fails on one process alone (here: the k-th allocation of the
// last process or of process 0) fails on every process, with none left waiting in an exchange (CTest's timeout
// catches a hang), and leaves the grid and its field as they were, ready to run the operation
// again. The allocations are counted once, then an even sample of them (every one, on a small
// count) is made to fail in turn.
#include <gtest/gtest.h>

#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/library_state.h"
#include "grid/grid_impl.h"
#include "io/mesh_data.h"
#include "mosk.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<long> fail_at{0};  // 0: none fails

}  // namespace

void* operator new(std::size_t n) {
    if (counting.load(std::memory_order_relaxed) &&
        allocations.fetch_add(1, std::memory_order_relaxed) + 1 ==
            fail_at.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace mosk {
namespace {

// Made once, before any allocation is counted: only the library's allocations may fail.
const std::string& cube() {
    static const std::string path = std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh";
    return path;
}

// The same mesh as a binary MSH 4.1 file, which the processes read in slices (written once by
// process 0; without entities, each surface label is its block's entity tag).
const std::string& binary_cube() {
    static const std::string path = [] {
        long pid = long(::getpid());
        MPI_Bcast(&pid, 1, MPI_LONG, 0, MPI_Comm_f2c(moskComm));
        const std::string p =
            (std::filesystem::temp_directory_path() / ("mosk_cube_" + std::to_string(pid) + ".msh"))
                .string();
        if (moskCommRank() == 0) {
            const MeshData m = read_mesh(cube());
            std::string b = "$MeshFormat\n4.1 1 8\n";
            auto put = [&](auto v) { b.append(reinterpret_cast<const char*>(&v), sizeof v); };
            auto sizes = [&](std::initializer_list<uint64_t> v) {
                for (uint64_t x : v) put(x);
            };
            const uint64_t n = m.points.size();
            put(int32_t(1));
            b += "\n$EndMeshFormat\n$Nodes\n";
            sizes({1, n, 1, n});
            put(int32_t(3));
            put(int32_t(1));
            put(int32_t(0));
            put(n);
            for (uint64_t k = 1; k <= n; ++k) put(k);
            for (const Point& x : m.points) put(x);
            b += "\n$EndNodes\n$Elements\n";
            std::map<int, std::vector<size_t>> by_label;
            for (size_t t = 0; t < m.triangles.size(); ++t)
                if (m.triangle_labels[t] > 0) by_label[m.triangle_labels[t]].push_back(t);
            uint64_t total = m.tets.size();
            for (const auto& [label, list] : by_label) total += list.size();
            sizes({by_label.size() + 1, total, 1, total});
            uint64_t tag = 1;
            for (const auto& [label, list] : by_label) {
                put(int32_t(2));
                put(int32_t(label));
                put(int32_t(2));
                put(uint64_t(list.size()));
                for (size_t t : list) {
                    put(tag++);
                    for (int v : m.triangles[t]) put(uint64_t(v + 1));
                }
            }
            put(int32_t(3));
            put(int32_t(1));
            put(int32_t(4));
            put(uint64_t(m.tets.size()));
            for (const auto& tet : m.tets) {
                put(tag++);
                for (int v : tet) put(uint64_t(v + 1));
            }
            b += "\n$EndElements\n";
            std::ofstream(p, std::ios::binary) << b;
        }
        MPI_Barrier(MPI_Comm_f2c(moskComm));
        return p;
    }();
    return path;
}

void linear(double x, double y, double z, double* v) { v[0] = x + 2 * y - 3 * z; }

bool on_every_process(bool mine) {
    int all = mine;
    MPI_Allreduce(MPI_IN_PLACE, &all, 1, MPI_INT, MPI_LAND, MPI_Comm_f2c(moskComm));
    return all != 0;
}

struct Job {
    GRID_* grid = moskNewGrid(-1);
    DOF_* u = nullptr;
    DOF_* v = nullptr;  // made by the operation "field creation"
    ~Job() {
        moskDofFree(&v);
        moskDofFree(&u);
        moskFreeGrid(&grid);
    }
};

// The grid's global size, this process's share, and whether the field interpolates `linear`
// exactly (P2 does; after an import it is zero).
struct State {
    int elements = 0, owned = 0, held = 0;
    int64_t values = 0;
    size_t fields = 0;  // on the grid
    bool field_right = false;
    bool operator==(const State&) const = default;
};
State state_of(Job& s) {
    State out{s.grid->nelem_global,          s.grid->nelem,
              s.grid->nelem_local,           moskDofGetGlobalSize(s.u),
              impl_of(s.grid).fields.size(), true};
    std::vector<double> v(size_t(out.values)), xyz(3 * v.size());
    moskDofGetValues(s.u, v.data(), out.values);
    moskDofGetNodeCoordinates(s.u, xyz.data(), out.values);
    for (size_t i = 0; i < v.size(); ++i) {
        double expected = 0;
        linear(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2], &expected);
        out.field_right = out.field_right && std::abs(v[i] - expected) < 1e-12;
    }
    return out;
}

// Runs `op` with the `k`-th allocation of process `victim` failing (k = 0: none fails, and every
// process counts its allocations); whether it threw on this process.
bool threw(const std::function<void()>& op, long k, int victim) {
    const bool mine = k == 0 || moskCommRank() == victim;
    allocations = 0;
    fail_at = mine ? k : 0;
    counting = mine;
    bool failed = false;
    try {
        op();
    } catch (const std::exception&) {
        failed = true;
    }
    counting = false;
    return failed;
}

struct Operation {
    const char* name;
    std::function<void(Job&)> before;  // the grid before the operation
    std::function<void(Job&)> op;
};

void balance(Job& s, double imbalance) {
    moskBalanceGrid_(s.grid, imbalance, 1, 0, 0, moskComm, 0);
}

// An import of a file no process reads whole: dealt out by process 0, or in slices.
void import_in_parts(Job& s, const std::string& path) {
    const int limit = library_options().read_whole_limit;
    mutable_library_options().read_whole_limit = 0;
    try {
        moskImport_(s.grid, path.c_str(), 1);
    } catch (...) {
        mutable_library_options().read_whole_limit = limit;
        throw;
    }
    mutable_library_options().read_whole_limit = limit;
}

TEST(OneProcessFails, EveryProcessFailsAndTheGridStaysAsItWas) {
    if (moskCommSize() == 1) GTEST_SKIP() << "one process";
    // The slices' way is taken only for a file laid out for it.
    ASSERT_EQ(sliceable_tetrahedra(binary_cube()), int64_t(read_mesh(cube()).tets.size()));
    struct Remove {
        ~Remove() {
            if (moskCommRank() == 0) std::filesystem::remove(binary_cube());
        }
    } remove_binary_cube;
    const auto refine = [](Job& s) { moskRefineAllElements(s.grid, 1); };
    const auto balance_and_refine = [](Job& s) {
        balance(s, 1.05);
        moskRefineAllElements(s.grid, 1);
    };
    const auto import_whole = [](Job& s) { moskImport_(s.grid, cube().c_str(), 1); };
    const Operation operations[] = {
        {"refinement of the whole grid", [](Job&) {}, refine},
        {"import of the whole file", refine, import_whole},
        {"import dealt out", balance_and_refine, [](Job& s) { import_in_parts(s, cube()); }},
        {"import in slices", balance_and_refine, [](Job& s) { import_in_parts(s, binary_cube()); }},
        {"first balance", refine, [](Job& s) { balance(s, 1.05); }},
        {"refinement of the parts", [](Job& s) { balance(s, 1.05); }, refine},
        {"balance that moves leaves", balance_and_refine, [](Job& s) { balance(s, 1.0); }},
        {"field creation", balance_and_refine,
         [](Job& s) {
             s.v = moskDofNew_(s.grid, moskDofTypesList[0].types[1], nullptr, 1, "v", linear,
                               "test", 0);
         }},
    };
    for (const Operation& o : operations) {
        SCOPED_TRACE(o.name);
        auto fresh = [&](Job& s) {
            moskImport_(s.grid, cube().c_str(), 1);
            o.before(s);
            s.u = moskDofNew_(s.grid, moskDofTypesList[0].types[1], nullptr, 1, "u", linear, "test",
                              0);
        };
        // Counted once by every process, on a run that succeeds; its result is the one every later
        // run must give.
        std::vector<long> counts(static_cast<size_t>(moskCommSize()));
        State after;
        {
            Job s;
            fresh(s);
            ASSERT_FALSE(on_every_process(threw([&] { o.op(s); }, 0, 0)));
            long mine = allocations;
            MPI_Allgather(&mine, 1, MPI_LONG, counts.data(), 1, MPI_LONG, MPI_Comm_f2c(moskComm));
            after = state_of(s);
        }
        // The last process, and process 0, which alone reads a file that it deals out.
        for (const int victim : {moskCommSize() - 1, 0}) {
            const long count = counts[size_t(victim)];
            ASSERT_GT(count, 0);
            const long step = std::max(1L, count / 40);
            for (long k = 1; k <= count; k += step) {
                SCOPED_TRACE("process " + std::to_string(victim) + ", allocation " +
                             std::to_string(k) + " of " + std::to_string(count));
                Job s;
                fresh(s);
                const State before = state_of(s);
                ASSERT_TRUE(on_every_process(before.field_right));
                const bool failed = threw([&] { o.op(s); }, k, victim);
                // Every process fails, or none does (the allocation was one whose failure the
                // operation survives); then the operation went through.
                ASSERT_EQ(on_every_process(failed), !on_every_process(!failed));
                if (failed) {
                    ASSERT_TRUE(on_every_process(state_of(s) == before));
                    o.op(s);  // again, and this time whole
                }
                ASSERT_TRUE(on_every_process(state_of(s) == after));
            }
        }
    }
}

}  // namespace
}  // namespace mosk
