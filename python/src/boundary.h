// Dirichlet treatment of one element system, in place: boundary rows and columns are cleared,
// the diagonal set to 1, known values moved to the right-hand side of the other rows.
#pragma once

namespace mosk {

void processBoundary(int n, const int* mask, const double* values, double* A, double* b);

}  // namespace mosk
