// Dense kernels of the estimation: tolerance Cholesky and triangular inverse, projection of
// rows off a row space, column elimination, Gauss-Jordan reduction, cleaning and tolerance
// tests. The sweep lives in sweep.cpp.
#include "host/numeric/matrix.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "host/assert.h"
#include "host/numeric/ddouble.h"

namespace qv::num {

namespace {

double maxAbs(const double* x, size_t n) {
  double m = 0.0;
  for (size_t i = 0; i < n; ++i) m = std::fmax(m, std::fabs(x[i]));
  return m;
}

// Cancellation, a result's size against the size of what was subtracted, below which a
// projection (RESORP) or an elimination (GASJRD) has lost three digits or more to rounding;
// the work is then done again in double-double.
constexpr double kProjectionCancellation = 1.0e-3;

double magnitude(double x) { return std::fabs(x); }
double magnitude(const DD& x) { return std::fabs(x.hi); }
double toDouble(double x) { return x; }
double toDouble(const DD& x) { return x.hi; }

// Euclidean norm, scaled by a power of two (exact) so that rows of very large or very small
// entries neither overflow nor underflow.
template <class T>
T normOf(const std::vector<T>& x) {
  double big = 0.0;
  for (const T& v : x) big = std::max(big, magnitude(v));
  if (big == 0.0 || !std::isfinite(big)) return T(big);
  const double scale = std::ldexp(1.0, std::ilogb(big));
  T s(0.0);
  for (const T& v : x) {
    const T y = v * T(1.0 / scale);
    s += y * y;
  }
  using std::sqrt;
  return sqrt(s) * T(scale);
}

// The projection of RESORP in the arithmetic T: the orthonormal basis of the row space of c,
// then the residuals of the rows of l kept by the tolerance. Returns false when some residual
// that is kept lost more than kProjectionCancellation of its row's norm (a residual at or below
// the tolerance is dropped: rounding cannot lift it near the tolerance).
template <class T>
bool projectOff(const Mat& l, const Mat& c, double tol, std::vector<std::vector<T>>& kept) {
  const size_t n = l.cols;
  bool sound = true;
  auto sweepOut = [&](std::vector<T>& r, const std::vector<std::vector<T>>& q) {
    // Modified Gram-Schmidt, twice ("twice is enough").
    for (int pass = 0; pass < 2; ++pass)
      for (const std::vector<T>& qk : q) {
        T proj(0.0);
        for (size_t j = 0; j < n; ++j) proj += r[j] * qk[j];
        for (size_t j = 0; j < n; ++j) r[j] -= proj * qk[j];
      }
  };
  auto residualOf = [&](std::vector<T>& r, const std::vector<std::vector<T>>& q, double& original) {
    original = toDouble(normOf(r));
    sweepOut(r, q);
    const T res = normOf(r);
    const double rd = toDouble(res);
    if (rd > tol * original && rd < kProjectionCancellation * original) sound = false;
    return res;
  };
  std::vector<std::vector<T>> basis;
  for (size_t r = 0; r < c.rows; ++r) {
    std::vector<T> q(c.row(r), c.row(r) + n);
    double original = 0.0;
    const T residual = residualOf(q, basis, original);
    if (!(toDouble(residual) > tol * original)) continue;  // dependent on the rows before it
    for (T& x : q) x = x / residual;
    basis.push_back(std::move(q));
  }
  kept.clear();
  for (size_t r = 0; r < l.rows; ++r) {
    std::vector<T> res(l.row(r), l.row(r) + n);
    double original = 0.0;
    if (toDouble(residualOf(res, basis, original)) > tol * original) kept.push_back(std::move(res));
  }
  return sound;
}

// The reduction of GASJRD in the arithmetic T on a (rows x cols, row-major, the last column the
// right-hand side). Returns the rank; `sound` is cleared when an update lost more than
// kProjectionCancellation of the value subtracted and the result is not negligible (noise at
// or below `negligible` is cleared anyway).
template <class T>
int reduceInPlace(std::vector<T>& a, size_t rows, size_t cols, double negligible, std::vector<int>& pivotCol,
                  bool& sound) {
  const size_t ncoef = cols - 1;
  auto at = [&](size_t r, size_t j) -> T& { return a[r * cols + j]; };
  pivotCol.assign(rows, -1);
  std::vector<double> pivotSize(rows, 0.0);  // |pivot| each pivot row was divided by
  size_t rank = 0;
  for (size_t col = 0; col < ncoef && rank < rows; ++col) {
    size_t best = rank;
    for (size_t r = rank + 1; r < rows; ++r)
      if (magnitude(at(r, col)) > magnitude(at(best, col))) best = r;
    if (magnitude(at(best, col)) <= negligible) {
      for (size_t r = rank; r < rows; ++r) at(r, col) = T(0.0);
      continue;
    }
    if (best != rank)
      for (size_t j = 0; j < cols; ++j) std::swap(at(best, j), at(rank, j));
    const T pv = at(rank, col);
    for (size_t j = 0; j < cols; ++j) at(rank, j) = at(rank, j) / pv;
    at(rank, col) = T(1.0);
    for (size_t r = 0; r < rows; ++r) {
      if (r == rank || magnitude(at(r, col)) == 0.0) continue;
      const T factor = at(r, col);
      for (size_t j = 0; j < cols; ++j) {
        const T t = factor * at(rank, j);
        const T v = at(r, j) - t;
        const double mv = magnitude(v);
        if (mv > negligible && mv < kProjectionCancellation * magnitude(t)) sound = false;
        at(r, j) = v;
      }
      at(r, col) = T(0.0);
    }
    pivotCol[rank] = static_cast<int>(col);
    pivotSize[rank] = magnitude(pv);
    ++rank;
  }
  // Pivot rows: noise left at the free columns is cleared, judged in the units the row had
  // before it was divided by its pivot. Rows without a pivot are already 0 in A.
  for (size_t r = 0; r < rank; ++r)
    for (size_t j = 0; j < ncoef; ++j)
      if (magnitude(at(r, j)) * pivotSize[r] <= negligible) at(r, j) = T(0.0);
  return static_cast<int>(rank);
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
  std::vector<std::vector<double>> kept;
  if (!projectOff(l, c, tol, kept)) {
    // Heavy cancellation: the residuals again in double-double.
    std::vector<std::vector<DD>> keptExtended;
    projectOff(l, c, tol, keptExtended);
    kept.clear();
    for (const std::vector<DD>& r : keptExtended) {
      kept.emplace_back(n);
      for (size_t j = 0; j < n; ++j) kept.back()[j] = r[j].hi;
    }
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

int GASJRD(Mat& ab, double tol, std::vector<int>& pivotCol) {
  QV_ASSERT(ab.cols >= 1, "GASJRD");
  QV_ASSERT(tol >= 0.0, "GASJRD");
  const size_t rows = ab.rows;
  const size_t ncoef = ab.cols - 1;
  double largest = 0.0;
  for (size_t r = 0; r < rows; ++r) largest = std::fmax(largest, maxAbs(ab.row(r), ncoef));
  const double negligible = tol * largest;
  std::vector<double> a = ab.a;
  bool sound = true;
  int rank = reduceInPlace(a, rows, ab.cols, negligible, pivotCol, sound);
  if (sound) {
    ab.a = std::move(a);
    return rank;
  }
  // Heavy cancellation: the reduction again in double-double.
  std::vector<DD> ax(ab.a.begin(), ab.a.end());
  rank = reduceInPlace(ax, rows, ab.cols, negligible, pivotCol, sound);
  for (size_t i = 0; i < ax.size(); ++i) ab.a[i] = ax[i].hi;
  return rank;
}

}  // namespace qv::num
