#include "solver/matlab_writer.h"
#include "core/check.h"

#include <cstdio>
#include <stdexcept>

#include "core/parallel.h"
#include "io/atomic_file.h"

namespace mosk {
namespace {

void write_matlab_files(const std::string& matrix_file, const std::string& rhs_file, int rows,
                        const std::vector<PetscInt>& counts, const std::vector<PetscInt>& cols,
                        const std::vector<double>& vals, const std::vector<double>& rhs) {
    AtomicFile mf(matrix_file, "write MATLAB matrix");
    AtomicFile rf(rhs_file, "write MATLAB right-hand side");
    char line[96];
    const std::string n = std::to_string(rows);
    std::vector<PetscInt> starts(1, 0);
    for (PetscInt c : counts) starts.push_back(starts.back() + c);
    const PetscInt nrows = rows;

    mf.write("% " + n + " x " + n + " sparse matrix, " + std::to_string(cols.size()) +
             " stored entries as 1-based (row, column, value)\n");
    if (cols.empty()) {
        mf.write("mosk_ijv = zeros(0, 3);\n");
    } else {
        mf.write("mosk_ijv = [\n");
        for (PetscInt i = 0; i < nrows; ++i)
            for (PetscInt k = starts[i]; k < starts[i + 1]; ++k) {
                const int len = std::snprintf(line, sizeof line, "%d %d %.17g\n", int(i) + 1,
                                              int(cols[k]) + 1, vals[k]);
                mf.write(line, std::size_t(len));
            }
        mf.write("];\n");
    }
    mf.write("A = sparse(mosk_ijv(:, 1), mosk_ijv(:, 2), mosk_ijv(:, 3), " + n + ", " + n +
             ");\nclear mosk_ijv;\n");

    rf.write("% right-hand side, " + n + " entries\n");
    if (rhs.empty()) {
        rf.write("b = zeros(0, 1);\n");
    } else {
        rf.write("b = [\n");
        for (double v : rhs) {
            const int len = std::snprintf(line, sizeof line, "%.17g\n", v);
            rf.write(line, std::size_t(len));
        }
        rf.write("];\n");
    }
    mf.commit();
    rf.commit();
}

}  // namespace

void write_matlab_system(MPI_Comm comm, const std::string& matrix_file, const std::string& rhs_file,
                         int rows, std::vector<PetscInt> counts, std::vector<PetscInt> cols,
                         std::vector<double> vals, const std::vector<double>& rhs) {
    static_assert(sizeof(PetscInt) == sizeof(int), "PETSc built with 64-bit indices");
    const int handle = MPI_Comm_c2f(comm);
    if (process_count(handle) > 1) {  // process 0 writes everything, in process order
        counts = gather_on_root(handle, 0, counts);
        cols = gather_on_root(handle, 0, cols);
        vals = gather_on_root(handle, 0, vals);
    }
    on_root(handle, 0,
            [&] { write_matlab_files(matrix_file, rhs_file, rows, counts, cols, vals, rhs); });
}

}  // namespace mosk
