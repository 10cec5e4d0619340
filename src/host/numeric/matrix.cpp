// Dense kernels of the estimation: tolerance Cholesky and triangular inverse, projection of
// rows off a row space, column elimination, Gauss-Jordan reduction, cleaning and tolerance
// tests. The sweep lives in sweep.cpp.
#include "host/numeric/matrix.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "host/assert.h"

namespace qv::num {

namespace {

double dot(const double* x, const double* y, size_t n) {
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) s += x[i] * y[i];
  return s;
}

double norm2(const double* x, size_t n) {
  // Scaled so that rows of very large or very small entries neither overflow nor underflow.
  double scale = 0.0;
  for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(x[i]));
  if (scale == 0.0 || !std::isfinite(scale)) return scale;
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double y = x[i] / scale;
    s += y * y;
  }
  return scale * std::sqrt(s);
}

double maxAbs(const double* x, size_t n) {
  double m = 0.0;
  for (size_t i = 0; i < n; ++i) m = std::fmax(m, std::fabs(x[i]));
  return m;
}

// Removes from r its components along the orthonormal rows of q (modified Gram-Schmidt),
// twice: one pass loses orthogonality in proportion to the condition of the basis, a second
// pass restores it to working precision ("twice is enough").
void orthogonalise(double* r, const std::vector<std::vector<double>>& q, size_t n) {
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::vector<double>& qk : q) {
      const double proj = dot(r, qk.data(), n);
      for (size_t j = 0; j < n; ++j) r[j] -= proj * qk[j];
    }
  }
}

double cleaningThreshold(double factor, const char* routine) {
  const double t = factor * DBL_EPSILON;
  QV_ASSERT(factor >= 0.0 && t < 1.0, routine);
  return t;
}

}  // namespace

int LTRCHD(Packed& m, const std::vector<double>& scale, double tol) {
  QV_ASSERT(scale.size() == m.n, "LTRCHD");
  QV_ASSERT(tol >= 0.0, "LTRCHD");
  const size_t n = m.n;
  int zeroPivots = 0;
  std::vector<char> zero(n, 0);
  for (size_t j = 0; j < n; ++j) {
    // Row-oriented Cholesky: first row j left of the diagonal, T(j,k) for k < j, then the pivot.
    for (size_t k = 0; k < j; ++k) {
      if (zero[k]) {
        m(j, k) = 0.0;
        continue;
      }
      double s = m(j, k);
      for (size_t i = 0; i < k; ++i) s -= m(j, i) * m(k, i);
      m(j, k) = s / m(k, k);
    }
    double pivot = m(j, j);
    for (size_t i = 0; i < j; ++i) pivot -= m(j, i) * m(j, i);
    // A pivot that is negligible against the scale of its variable means the variable is a
    // linear combination, within tolerance, of the earlier ones.
    if (!(scale[j] > 0.0) || !(pivot > tol * scale[j])) {
      zero[j] = 1;
      ++zeroPivots;
      for (size_t k = 0; k <= j; ++k) m(j, k) = 0.0;
      continue;
    }
    m(j, j) = std::sqrt(pivot);
  }
  return zeroPivots;
}

Packed LTRDGI(const Packed& lower) {
  const size_t n = lower.n;
  Packed inv(n);
  // Column by column forward substitution of T X = I; X is lower triangular:
  // X(i,j) = -(sum over k = j..i-1 of T(i,k) X(k,j)) / T(i,i), X(j,j) = 1 / T(j,j).
  for (size_t j = 0; j < n; ++j) {
    if (lower(j, j) == 0.0) continue;  // zero pivot: row and column stay 0
    inv(j, j) = 1.0 / lower(j, j);
    for (size_t i = j + 1; i < n; ++i) {
      if (lower(i, i) == 0.0) continue;
      double s = 0.0;
      for (size_t k = j; k < i; ++k) s += lower(i, k) * inv(k, j);
      inv(i, j) = -s / lower(i, i);
    }
  }
  return inv;
}

Mat RESORP(const Mat& l, const Mat& c, double tol) {
  QV_ASSERT(tol >= 0.0, "RESORP");
  QV_ASSERT(c.rows == 0 || c.cols == l.cols, "RESORP");
  const size_t n = l.cols;
  // Orthonormal basis of the row space of c.
  std::vector<std::vector<double>> basis;
  for (size_t r = 0; r < c.rows; ++r) {
    std::vector<double> q(c.row(r), c.row(r) + n);
    const double original = norm2(q.data(), n);
    orthogonalise(q.data(), basis, n);
    const double residual = norm2(q.data(), n);
    if (!(residual > tol * original)) continue;  // dependent on the rows before it
    for (double& x : q) x /= residual;
    basis.push_back(std::move(q));
  }
  std::vector<std::vector<double>> kept;
  for (size_t r = 0; r < l.rows; ++r) {
    std::vector<double> res(l.row(r), l.row(r) + n);
    const double original = norm2(res.data(), n);
    orthogonalise(res.data(), basis, n);
    if (norm2(res.data(), n) > tol * original) kept.push_back(std::move(res));
  }
  Mat out(kept.size(), n);
  for (size_t r = 0; r < kept.size(); ++r) std::copy(kept[r].begin(), kept[r].end(), out.row(r));
  return out;
}

int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol) {
  std::vector<double> rowMax(m.rows, -1.0);
  return ZRMXRW(m, col, keep, tol, rowMax);
}

int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol, std::vector<double>& rowMax) {
  QV_ASSERT(keep.size() == m.rows && rowMax.size() == m.rows, "ZRMXRW");
  QV_ASSERT(col < m.cols, "ZRMXRW");
  int pivot = -1;
  double best = 0.0;
  for (size_t r = 0; r < m.rows; ++r) {
    if (!keep[r]) continue;
    const double x = std::fabs(m(r, col));
    if (x == 0.0) {  // counts as zero whatever the row's largest entry
      m(r, col) = 0.0;
      continue;
    }
    // Setting an entry that counts as zero to 0 never changes the row's largest entry.
    if (rowMax[r] < 0.0) rowMax[r] = maxAbs(m.row(r), m.cols);
    if (x <= tol * rowMax[r]) {
      m(r, col) = 0.0;
      continue;
    }
    if (x > best) {
      best = x;
      pivot = static_cast<int>(r);
    }
  }
  if (pivot < 0) return -1;
  const double* p = m.row(static_cast<size_t>(pivot));
  const double pv = p[col];
  for (size_t r = 0; r < m.rows; ++r) {
    if (!keep[r] || static_cast<int>(r) == pivot || m(r, col) == 0.0) continue;
    double* row = m.row(r);
    const double factor = row[col] / pv;
    for (size_t j = 0; j < m.cols; ++j) row[j] -= factor * p[j];
    row[col] = 0.0;
    rowMax[r] = -1.0;
  }
  return pivot;
}

void CLNVEC(double* v, size_t n, double factor) {
  const double t = cleaningThreshold(factor, "CLNVEC");
  const double limit = t * maxAbs(v, n);
  for (size_t i = 0; i < n; ++i)
    if (std::fabs(v[i]) <= limit) v[i] = 0.0;
}

void CLNSCP(Packed& m, double factor) {
  const double t = cleaningThreshold(factor, "CLNSCP");
  const size_t n = m.n;
  std::vector<double> diag(n);
  double largest = 0.0;
  for (size_t i = 0; i < n; ++i) {
    diag[i] = std::fabs(m(i, i));
    largest = std::fmax(largest, diag[i]);
  }
  std::vector<char> zeroVar(n, 0);
  for (size_t i = 0; i < n; ++i) zeroVar[i] = diag[i] <= t * largest;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (zeroVar[i] || zeroVar[j] || std::fabs(m(i, j)) <= t * std::sqrt(diag[i] * diag[j])) m(i, j) = 0.0;
    }
    if (zeroVar[i]) m(i, i) = 0.0;
  }
}

bool QLREPS(double x, double ref, double factor) {
  return std::fabs(x) <= factor * DBL_EPSILON * std::fabs(ref);
}

bool QLRINT(double x, double factor) {
  if (!std::isfinite(x)) return false;
  return std::fabs(x - std::nearbyint(x)) <= factor * DBL_EPSILON * std::max(1.0, std::fabs(x));
}

bool QLRALMOSTEQUAL(double a, double b, int ulps) {
  if (a == b) return true;  // equal values, signed zeros and equal infinities
  if (!std::isfinite(a) || !std::isfinite(b)) return false;
  return std::fabs(a - b) <= ulps * DBL_EPSILON * std::max(std::fabs(a), std::fabs(b));
}

int GASJRD(Mat& ab, double tol, std::vector<int>& pivotCol) {
  QV_ASSERT(ab.cols >= 1, "GASJRD");
  QV_ASSERT(tol >= 0.0, "GASJRD");
  const size_t rows = ab.rows;
  const size_t ncoef = ab.cols - 1;
  double largest = 0.0;
  for (size_t r = 0; r < rows; ++r) largest = std::fmax(largest, maxAbs(ab.row(r), ncoef));
  const double negligible = tol * largest;

  pivotCol.assign(rows, -1);
  std::vector<double> pivotSize(rows, 0.0);  // |pivot| each pivot row was divided by
  size_t rank = 0;
  for (size_t col = 0; col < ncoef && rank < rows; ++col) {
    size_t best = rank;
    for (size_t r = rank + 1; r < rows; ++r)
      if (std::fabs(ab(r, col)) > std::fabs(ab(best, col))) best = r;
    if (std::fabs(ab(best, col)) <= negligible) {
      for (size_t r = rank; r < rows; ++r) ab(r, col) = 0.0;
      continue;
    }
    if (best != rank) std::swap_ranges(ab.row(best), ab.row(best) + ab.cols, ab.row(rank));
    double* p = ab.row(rank);
    const double pv = p[col];
    for (size_t j = 0; j < ab.cols; ++j) p[j] /= pv;
    p[col] = 1.0;
    for (size_t r = 0; r < rows; ++r) {
      if (r == rank || ab(r, col) == 0.0) continue;
      double* row = ab.row(r);
      const double factor = row[col];
      for (size_t j = 0; j < ab.cols; ++j) row[j] -= factor * p[j];
      row[col] = 0.0;
    }
    pivotCol[rank] = static_cast<int>(col);
    pivotSize[rank] = std::fabs(pv);
    ++rank;
  }
  // Pivot rows: noise left at the free columns is cleared, judged in the units the row had
  // before it was divided by its pivot. Rows without a pivot are already 0 in A.
  for (size_t r = 0; r < rank; ++r)
    for (size_t j = 0; j < ncoef; ++j)
      if (std::fabs(ab(r, j)) * pivotSize[r] <= negligible) ab(r, j) = 0.0;
  return static_cast<int>(rank);
}

}  // namespace qv::num
