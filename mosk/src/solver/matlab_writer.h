// MATLAB/Octave scripts of a sparse system: the matrix as 1-based (row, column, value) triplets
// turned into `A = sparse(...)`, the right-hand side as the column vector `b`, values in full
// precision.
#pragma once

#include <mpi.h>
#include <petscsys.h>

#include <string>
#include <vector>

namespace mosk {

// Each process gives its own rows, in order (counts[i] entries for its i-th row, their columns
// and values); process 0 gathers them in rank order, which is row order, and writes both files,
// each appearing only complete. `rhs` is the whole right-hand side (process 0's is written).
// Collective; throws FileError (with errno) on every process when a file cannot be written.
void write_matlab_system(MPI_Comm comm, const std::string& matrix_file, const std::string& rhs_file,
                         int rows, std::vector<PetscInt> counts, std::vector<PetscInt> cols,
                         std::vector<double> vals, const std::vector<double>& rhs);

}  // namespace mosk
