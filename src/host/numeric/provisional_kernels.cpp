// Provisional kernels used until the numeric library lands (removed then).
#include <cfloat>
#include <cmath>

#include "host/numeric/matrix.h"

namespace qv::num {

void CLNVEC(double* v, size_t n, double factor) {
  double mx = 0.0;
  for (size_t i = 0; i < n; ++i) mx = std::max(mx, std::fabs(v[i]));
  const double cut = mx * factor * DBL_EPSILON;
  for (size_t i = 0; i < n; ++i)
    if (std::fabs(v[i]) <= cut) v[i] = 0.0;
}

void CLNSCP(Packed& m, double factor) {
  for (size_t i = 0; i < m.n; ++i)
    for (size_t j = 0; j <= i; ++j) {
      double ref = std::sqrt(std::fabs(m(i, i) * m(j, j)));
      if (std::fabs(m(i, j)) <= ref * factor * DBL_EPSILON && i != j) m(i, j) = 0.0;
    }
  double mx = 0.0;
  for (size_t i = 0; i < m.n; ++i) mx = std::max(mx, std::fabs(m(i, i)));
  for (size_t i = 0; i < m.n; ++i)
    if (std::fabs(m(i, i)) <= mx * factor * DBL_EPSILON * 0.0) m(i, i) = 0.0;
}

bool QLREPS(double x, double ref, double factor) { return std::fabs(x) <= std::fabs(ref) * factor * DBL_EPSILON; }

bool QLRINT(double x, double factor) {
  return std::fabs(x - std::nearbyint(x)) <= std::max(1.0, std::fabs(x)) * factor * DBL_EPSILON;
}

bool QLRALMOSTEQUAL(double a, double b, int ulps) {
  return std::fabs(a - b) <= ulps * DBL_EPSILON * std::max(std::fabs(a), std::fabs(b));
}

int LTRCHD(Packed& m, const std::vector<double>& scale, double tol) {
  int zero = 0;
  const size_t n = m.n;
  for (size_t j = 0; j < n; ++j) {
    double d = m(j, j);
    for (size_t k = 0; k < j; ++k) d -= m(j, k) * m(j, k);
    if (!(d > tol * scale[j]) || !(scale[j] > 0)) {
      ++zero;
      for (size_t i = j; i < n; ++i) m(i, j) = 0.0;
      continue;
    }
    double r = std::sqrt(d);
    m(j, j) = r;
    for (size_t i = j + 1; i < n; ++i) {
      double s = m(i, j);
      for (size_t k = 0; k < j; ++k) s -= m(i, k) * m(j, k);
      m(i, j) = s / r;
    }
  }
  return zero;
}

Packed LTRDGI(const Packed& l) {
  const size_t n = l.n;
  Packed inv(n);
  for (size_t j = 0; j < n; ++j) {
    if (l(j, j) == 0.0) continue;
    inv(j, j) = 1.0 / l(j, j);
    for (size_t i = j + 1; i < n; ++i) {
      if (l(i, i) == 0.0) continue;
      double s = 0.0;
      for (size_t k = j; k < i; ++k) s -= l(i, k) * inv(k, j);
      inv(i, j) = s / l(i, i);
    }
  }
  return inv;
}

}  // namespace qv::num

namespace qv::num {

Mat RESORP(const Mat& l, const Mat& c, double tol) {
  // Orthonormal basis of the rows of c (modified Gram-Schmidt, twice).
  std::vector<std::vector<double>> q;
  for (size_t i = 0; i < c.rows; ++i) {
    std::vector<double> v(c.row(i), c.row(i) + c.cols);
    double n0 = 0;
    for (double x : v) n0 += x * x;
    n0 = std::sqrt(n0);
    for (int pass = 0; pass < 2; ++pass)
      for (auto& u : q) {
        double d = 0;
        for (size_t k = 0; k < v.size(); ++k) d += u[k] * v[k];
        for (size_t k = 0; k < v.size(); ++k) v[k] -= d * u[k];
      }
    double n = 0;
    for (double x : v) n += x * x;
    n = std::sqrt(n);
    if (n <= 1e-10 * n0 || n == 0) continue;
    for (double& x : v) x /= n;
    q.push_back(v);
  }
  Mat out(0, l.cols);
  for (size_t i = 0; i < l.rows; ++i) {
    std::vector<double> v(l.row(i), l.row(i) + l.cols);
    double n0 = 0;
    for (double x : v) n0 += x * x;
    n0 = std::sqrt(n0);
    for (int pass = 0; pass < 2; ++pass)
      for (auto& u : q) {
        double d = 0;
        for (size_t k = 0; k < v.size(); ++k) d += u[k] * v[k];
        for (size_t k = 0; k < v.size(); ++k) v[k] -= d * u[k];
      }
    double n = 0;
    for (double x : v) n += x * x;
    n = std::sqrt(n);
    if (n <= tol * n0 || n == 0) continue;
    out.a.insert(out.a.end(), v.begin(), v.end());
    ++out.rows;
  }
  return out;
}

int ZRMXRW(Mat& m, size_t col, const std::vector<char>& keep, double tol) {
  int piv = -1;
  double best = 0;
  double scale = 0;
  for (size_t r = 0; r < m.rows; ++r)
    for (size_t k = 0; k < m.cols; ++k) scale = std::max(scale, std::fabs(m(r, k)));
  for (size_t r = 0; r < m.rows; ++r)
    if (keep[r] && std::fabs(m(r, col)) > best) {
      best = std::fabs(m(r, col));
      piv = static_cast<int>(r);
    }
  if (piv < 0 || best <= tol * scale) return -1;
  for (size_t r = 0; r < m.rows; ++r) {
    if (!keep[r] || static_cast<int>(r) == piv) continue;
    double f = m(r, col) / m(piv, col);
    if (f == 0) continue;
    for (size_t k = 0; k < m.cols; ++k) m(r, k) -= f * m(piv, k);
    m(r, col) = 0;
  }
  return piv;
}

int GASJRD(Mat& ab, double tol, std::vector<int>& pivotCol) {
  const size_t rows = ab.rows, cols = ab.cols - 1;
  pivotCol.assign(rows, -1);
  double scale = 0;
  for (size_t r = 0; r < rows; ++r)
    for (size_t k = 0; k < cols; ++k) scale = std::max(scale, std::fabs(ab(r, k)));
  size_t rank = 0;
  for (size_t k = 0; k < cols && rank < rows; ++k) {
    size_t best = rank;
    for (size_t r = rank; r < rows; ++r)
      if (std::fabs(ab(r, k)) > std::fabs(ab(best, k))) best = r;
    if (std::fabs(ab(best, k)) <= tol * std::max(scale, 1.0)) continue;
    for (size_t j = 0; j <= cols; ++j) std::swap(ab(best, j), ab(rank, j));
    double p = ab(rank, k);
    for (size_t j = 0; j <= cols; ++j) ab(rank, j) /= p;
    for (size_t r = 0; r < rows; ++r) {
      if (r == rank) continue;
      double f = ab(r, k);
      if (f == 0) continue;
      for (size_t j = 0; j <= cols; ++j) ab(r, j) -= f * ab(rank, j);
    }
    pivotCol[rank] = static_cast<int>(k);
    ++rank;
  }
  return static_cast<int>(rank);
}

}  // namespace qv::num
