#pragma once

#include <cstddef>

#include "grid/float_grid.h"

namespace skv {

// Whole-grid vector helpers of the pressure solvers. Each works on every element of the grid,
// border included, four aligned floats at a time with a scalar tail, split over the OpenMP
// threads for large grids. The data must start on a 16-byte boundary (FloatGrid data always
// does); a misaligned pointer makes them throw skv::Exception before touching anything.
//
// Reductions are deterministic: the elements are cut into fixed chunks whose partial results
// are combined in chunk order, so the result does not depend on the number of threads.

// max |x[i]|. A NaN anywhere makes the result NaN: a norm that skipped NaNs would let a
// solver report convergence on a field that has blown up.
float infinityNorm(const float* x, size_t count);
float infinityNorm(const FloatGrid& x);

// sum of x[i]², accumulated in double.
double sumOfSquares(const float* x, size_t count);
double sumOfSquares(const FloatGrid& x);

// y = a·x. y and x may be the same array; the grids must have equal sizes.
void scale(float* y, float a, const float* x, size_t count);
void scale(FloatGrid& y, float a, const FloatGrid& x);

// z = a·x + y. z may be x or y; the grids must have equal sizes.
void scaledAdd(float* z, float a, const float* x, const float* y, size_t count);
void scaledAdd(FloatGrid& z, float a, const FloatGrid& x, const FloatGrid& y);

// Sets the outermost rows and columns of plane 0 to `value`.
void fillBorder(FloatGrid& grid, float value);

}  // namespace skv
