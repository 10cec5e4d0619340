#include "host/numeric/unit_rows.h"

#include <algorithm>
#include <cmath>

#include "host/numeric/ddouble.h"

namespace qv::num {

namespace {

double scaledNorm(const double* x, size_t n) {
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

}  // namespace

bool RESORPUnitRows(const Mat& l, const Mat& c, double tol, Mat& out) {
  const size_t n = c.cols, k = c.rows;
  if (k == 0 || l.cols != n) return false;
  // Rows of each column that are not zero, and the row of a column with exactly one.
  std::vector<int> count(n, 0);
  std::vector<size_t> owner(n, 0);
  for (size_t r = 0; r < k; ++r) {
    const double* row = c.row(r);
    for (size_t j = 0; j < n; ++j)
      if (row[j] != 0.0) {
        ++count[j];
        owner[j] = r;
      }
  }
  std::vector<long> own(k, -1);
  std::vector<char> isOwn(n, 0);
  for (size_t j = 0; j < n; ++j)
    if (count[j] == 1 && c(owner[j], j) == 1.0 && own[owner[j]] < 0) {
      own[owner[j]] = static_cast<long>(j);
      isOwn[j] = 1;
    }
  std::vector<size_t> u;
  for (size_t j = 0; j < n; ++j)
    if (count[j] > 0 && !isOwn[j]) u.push_back(j);
  const size_t q = u.size();
  if (q > 64 && 4 * q > k) return false;
  for (size_t r = 0; r < k; ++r)
    if (own[r] < 0 || !(1.0 > tol * scaledNorm(c.row(r), n))) return false;
  // B by rows: (position in U, value).
  std::vector<long> posU(n, -1);
  for (size_t t = 0; t < q; ++t) posU[u[t]] = static_cast<long>(t);
  std::vector<std::vector<std::pair<size_t, double>>> b(k);
  for (size_t r = 0; r < k; ++r)
    for (size_t t = 0; t < q; ++t)
      if (c(r, u[t]) != 0.0) b[r].emplace_back(t, c(r, u[t]));
  // Cholesky factor of M = I + B'B (positive definite: its eigenvalues are at least 1).
  std::vector<DD> m(packedSize(q), DD(0.0));
  for (size_t t = 0; t < q; ++t) m[packedIndex(t, t)] = DD(1.0);
  for (size_t r = 0; r < k; ++r)
    for (const auto& [s, vs] : b[r])
      for (const auto& [t, vt] : b[r])
        if (t <= s) m[packedIndex(s, t)] += twoProd(vs, vt);
  for (size_t j = 0; j < q; ++j) {
    for (size_t i = 0; i < j; ++i) {
      DD s = m[packedIndex(j, i)];
      for (size_t h = 0; h < i; ++h) s -= m[packedIndex(j, h)] * m[packedIndex(i, h)];
      m[packedIndex(j, i)] = s / m[packedIndex(i, i)];
    }
    DD d = m[packedIndex(j, j)];
    for (size_t h = 0; h < j; ++h) d -= m[packedIndex(j, h)] * m[packedIndex(j, h)];
    if (!(d.hi > 0.0)) return false;
    m[packedIndex(j, j)] = sqrt(d);
  }
  std::vector<std::vector<double>> kept;
  std::vector<DD> z(k), w(q), y(k), res(n);
  for (size_t li = 0; li < l.rows; ++li) {
    const double* x = l.row(li);
    // z = c x, w = B'z, v = M^-1 w, y = z - B v.
    for (size_t r = 0; r < k; ++r) {
      DD s(x[own[r]]);
      for (const auto& [t, v] : b[r]) s += twoProd(v, x[u[t]]);
      z[r] = s;
    }
    std::fill(w.begin(), w.end(), DD(0.0));
    for (size_t r = 0; r < k; ++r)
      for (const auto& [t, v] : b[r]) w[t] += z[r] * DD(v);
    for (size_t j = 0; j < q; ++j) {
      DD s = w[j];
      for (size_t h = 0; h < j; ++h) s -= m[packedIndex(j, h)] * w[h];
      w[j] = s / m[packedIndex(j, j)];
    }
    for (size_t j = q; j-- > 0;) {
      DD s = w[j];
      for (size_t h = j + 1; h < q; ++h) s -= m[packedIndex(h, j)] * w[h];
      w[j] = s / m[packedIndex(j, j)];
    }
    for (size_t r = 0; r < k; ++r) {
      DD s = z[r];
      for (const auto& [t, v] : b[r]) s -= DD(v) * w[t];
      y[r] = s;
    }
    // Residual x - c'y.
    for (size_t j = 0; j < n; ++j) res[j] = DD(x[j]);
    for (size_t r = 0; r < k; ++r) {
      res[static_cast<size_t>(own[r])] -= y[r];
      for (const auto& [t, v] : b[r]) res[u[t]] -= DD(v) * y[r];
    }
    std::vector<double> row(n);
    for (size_t j = 0; j < n; ++j) row[j] = res[j].hi;
    if (scaledNorm(row.data(), n) > tol * scaledNorm(x, n)) kept.push_back(std::move(row));
  }
  out = Mat(kept.size(), n);
  for (size_t r = 0; r < kept.size(); ++r) std::copy(kept[r].begin(), kept[r].end(), out.row(r));
  return true;
}

}  // namespace qv::num
