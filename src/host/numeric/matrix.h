#pragma once
// Dense kernels on packed symmetric matrices (lower triangle by rows: element (i, j), i >= j,
// 0-based, at i(i+1)/2 + j) and on row-major rectangular matrices, with the tolerance and
// cleaning rules of the estimation.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <vector>

namespace qv::num {

inline size_t packedIndex(size_t i, size_t j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }
inline size_t packedSize(size_t n) { return n * (n + 1) / 2; }

// A packed symmetric matrix of order n.
struct Packed {
  size_t n = 0;
  std::vector<double> a;
  Packed() = default;
  explicit Packed(size_t order) : n(order), a(packedSize(order), 0.0) {}
  auto fields() { return std::tie(n, a); }
  auto fields() const { return std::tie(n, a); }
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
// The same sweep on pivot k in double-double: m holds the high parts and `lo` (same packed
// layout) the low parts. No tolerance test: the caller has accepted the pivot (in) or is
// removing a swept column (in = false).
void sweepExtended(Packed& m, std::vector<double>& lo, size_t k, bool in);
// The same sweep, keeping up to date only the rows i with current[i] (every entry a(i, j)),
// the diagonal and column k; entries between two other rows are left as they were (stale).
// Row k must be current on entry (the caller refreshes it first). The entries that are kept
// come out bit for bit as sweepExtended gives them. Costs (current rows) x n instead of n^2.
void sweepExtendedRows(Packed& m, std::vector<double>& lo, size_t k, bool in,
                       const std::vector<char>& current);

// Cholesky decomposition in place of a packed symmetric matrix with tolerance (LTRCHD):
// on return m holds the lower factor T (T T' = m on the accepted pivots). Pivot i, the value
// left on the diagonal after the earlier columns are eliminated, is taken as zero when
// scale[i] <= 0 or pivot <= tol * scale[i] (scale is normally the diagonal of m on entry, so
// a negative pivot of a nearly singular matrix is caught too); then row i and column i of T
// are set to 0. Returns the number of zero pivots (the rank deficiency). scale.size() == m.n.
// The row-oriented algorithm is the one of G. H. Golub and C. F. Van Loan, Matrix Computations,
// 4th ed. (2013), section 4.2; for the treatment of the zero pivots of a semidefinite matrix see
// N. J. Higham (1990), "Analysis of the Cholesky decomposition of a semi-definite matrix".
int LTRCHD(Packed& m, const std::vector<double>& scale, double tol);
// Inverse of a lower-triangular factor in packed form (LTRDGI). Indices whose diagonal is
// exactly 0 (the zero pivots of LTRCHD) have zero rows and columns in the result; on the other
// indices J the result is (T_JJ)^-1. So for a factor T of M from LTRCHD, x' (T^-1)' T^-1 x is
// x' M^- x for a generalised inverse M^- of M.
Packed LTRDGI(const Packed& lower);

// Residuals of the rows of `l` from the row space of `c` (RESORP): each row r of l is replaced
// by r - P r, P the orthogonal projector on the row space of c. The basis of that space is
// built by modified Gram-Schmidt with a second orthogonalisation pass over the rows of c (two
// passes keep the basis orthogonal to working precision: L. Giraud, J. Langou and M. Rozloznik
// (2005), "The loss of orthogonality in the Gram-Schmidt orthogonalization process", Computers
// and Mathematics with Applications 50, 1069-1075; B. N. Parlett, The Symmetric Eigenvalue
// Problem (1980), section 6-9, "twice is enough"); a
// row of c whose residual norm is <= tol * its own norm adds nothing to the basis. A residual
// whose norm is <= tol * the norm of its original row (every zero row included) is dropped.
// Returns the kept residual rows in their original order (rows x l.cols). Requires
// c.cols == l.cols when c has rows; with no rows in c the rows of l are only filtered.
Mat RESORP(const Mat& l, const Mat& c, double tol);
// Clears column `col` in the rows r of `m` with keep[r] (ZRMXRW). An entry counts as zero
// when |m(r, col)| <= tol * (largest absolute entry of row r); such entries are set to 0.
// The pivot is the kept row with the largest absolute entry in the column among those that
// do not count as zero; a multiple of it is subtracted from every other kept row so that
// their entry in the column becomes exactly 0. The pivot row itself is left unchanged (the
// caller drops it). Rows without keep[r] are untouched. Returns the pivot row, or -1 when the
// column counts as zero in every kept row. keep.size() == m.rows; col < m.cols.
int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol);
// The same, with rowMax[r] caching the largest absolute entry of row r (a negative value: not
// known yet); rows it changes are marked unknown again. Same results, without a pass over
// every kept row for every column.
int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol, std::vector<double>& rowMax);

// Cleaning (CLNVEC): sets to 0 every entry v[i] with |v[i]| <= factor * DBL_EPSILON * max|v|.
// Other entries, the largest included, are left bit for bit as they were. factor >= 0 and
// factor * DBL_EPSILON < 1.
void CLNVEC(double* v, size_t n, double factor);
// Cleaning of a packed SSCP (CLNSCP), with t = factor * DBL_EPSILON and D the largest absolute
// diagonal entry: a diagonal entry with |m(i,i)| <= t * D is set to 0 together with its row
// and column (a variable without a sum of squares has no cross-products); an off-diagonal
// entry with |m(i,j)| <= t * sqrt(|m(i,i)| |m(j,j)|) (diagonals as on entry) is set to 0.
// Everything else is left unchanged. Same conditions on factor as CLNVEC.
void CLNSCP(Packed& m, double factor);
// Tolerance tests. QLREPS: x is zero relative to ref, |x| <= factor * DBL_EPSILON * |ref| (so
// with ref = 0 only x = 0 is zero). QLRINT: x lies within factor * DBL_EPSILON * max(1, |x|)
// of the nearest integer. QLRALMOSTEQUAL: a == b, or |a - b| <= ulps * DBL_EPSILON *
// max(|a|, |b|), i.e. a and b agree to about `ulps` units in the last place of the larger;
// false when either is NaN.
bool QLREPS(double x, double ref, double factor);
bool QLRINT(double x, double factor);
// (Inline: the residual pass asks it once a case.)
inline bool QLRALMOSTEQUAL(double a, double b, int ulps) {
  if (a == b) return true;  // equal values, signed zeros and equal infinities
  if (!std::isfinite(a) || !std::isfinite(b)) return false;
  return std::fabs(a - b) <= ulps * DBL_EPSILON * std::max(std::fabs(a), std::fabs(b));
}

// Gauss-Jordan reduction (GASJRD) of the augmented system [A | b] (rows x (cols + 1), the last
// column b) in place, with partial pivoting. An entry of A counts as zero when its absolute
// value is <= tol * (largest absolute entry of A on entry). Columns are taken in order; a
// column whose remaining candidates all count as zero gets no pivot and those candidates are
// set to 0. On return:
// - rows 0..rank-1 are the pivot rows in reduced echelon form: 1 at the pivot, exactly 0 in
//   the pivot columns of the other rows, and 0 wherever an entry counts as zero once
//   multiplied back by the row's pivot; the last column holds the right-hand side. A pivot
//   row with no other non-zero entry in A fixes its unknown: x[pivotCol[r]] = ab(r, ab.cols - 1).
// - rows rank..rows-1 are exactly 0 in A; their last column holds the residuals of the
//   system (all near 0 when it is consistent).
// Returns the rank; pivotCol (resized to rows) gives the pivot column of row r, -1 for r >= rank.
int GASJRD(Mat& ab, double tol, std::vector<int>& pivotCol);

}  // namespace qv::num
