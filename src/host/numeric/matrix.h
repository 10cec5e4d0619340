#pragma once
// Dense kernels on packed symmetric matrices (lower triangle by rows: element (i, j), i >= j,
// 0-based, at i(i+1)/2 + j) and on row-major rectangular matrices, with the tolerance and
// cleaning rules of the estimation.
#include <cstddef>
#include <vector>

namespace qv::num {

inline size_t packedIndex(size_t i, size_t j) {
  return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i;
}
inline size_t packedSize(size_t n) { return n * (n + 1) / 2; }

// A packed symmetric matrix of order n.
struct Packed {
  size_t n = 0;
  std::vector<double> a;
  Packed() = default;
  explicit Packed(size_t order) : n(order), a(packedSize(order), 0.0) {}
  double& operator()(size_t i, size_t j) { return a[packedIndex(i, j)]; }
  double operator()(size_t i, size_t j) const { return a[packedIndex(i, j)]; }
};

// Row-major rectangular matrix.
struct Mat {
  size_t rows = 0, cols = 0;
  std::vector<double> a;
  Mat() = default;
  Mat(size_t r, size_t c) : rows(r), cols(c), a(r * c, 0.0) {}
  double& operator()(size_t i, size_t j) { return a[i * cols + j]; }
  double operator()(size_t i, size_t j) const { return a[i * cols + j]; }
  double* row(size_t i) { return a.data() + i * cols; }
  const double* row(size_t i) const { return a.data() + i * cols; }
};

// Sweep of a packed symmetric matrix on pivot k (LTRSWE). The column is swept in when it is not
// yet swept and its pivot passes the tolerance: |a(k,k)| > eps * scale[k] (and scale[k] > 0);
// swept out when it is already swept. `swept` records the state. Returns true when the matrix
// changed.
bool LTRSWE(Packed& m, size_t k, const std::vector<double>& scale, std::vector<char>& swept, double eps);

// Cholesky decomposition in place of a packed matrix with tolerance (LTRCHD): a pivot whose
// value is <= tol * scale[i] is taken as zero and its row/column of the factor set to 0.
// Returns the number of such zero pivots (the rank deficiency).
int LTRCHD(Packed& m, const std::vector<double>& scale, double tol);
// Inverse of a lower-triangular factor in packed form (LTRDGI); zero diagonals stay zero rows.
Packed LTRDGI(const Packed& lower);

// Residuals of the rows of `l` from the row space of `c` (RESORP). Rows whose residual norm is
// negligible (<= tol * original norm) are dropped. Returns the kept residual rows.
Mat RESORP(const Mat& l, const Mat& c, double tol);
// Clears column `col` in all rows of `m` (restricted to rows with keep[r]) by Gauss elimination
// with the row holding the largest absolute entry in that column as pivot (ZRMXRW). Returns the
// pivot row, or -1 when the column is already zero in every kept row.
int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol);

// Cleaning (CLNVEC): sets to 0 every entry that is negligible against the largest absolute
// entry of the vector times factor * DBL_EPSILON.
void CLNVEC(double* v, size_t n, double factor);
// Cleaning of a packed SSCP (CLNSCP): as CLNVEC relative to the diagonal.
void CLNSCP(Packed& m, double factor);
// Tolerance tests: x is zero relative to `ref` (QLREPS); x is an integer within tolerance
// (QLRINT); a and b almost equal with a relative tolerance of `ulps` units (QLRALMOSTEQUAL).
bool QLREPS(double x, double ref, double factor);
bool QLRINT(double x, double factor);
bool QLRALMOSTEQUAL(double a, double b, int ulps);

// Gauss-Jordan reduction (GASJRD) of the augmented system [A | b] (rows x (cols + 1)) in
// place, with partial pivoting and tolerance `tol`. Returns the rank; `pivotCol[r]` gives the
// pivot column of reduced row r (-1 for rows without a pivot).
int GASJRD(Mat& ab, double tol, std::vector<int>& pivotCol);

}  // namespace qv::num
