// The sweep operator on a packed symmetric matrix.
//
// Sweeping pivot k with p = a(k,k) maps, for i, j != k,
//   a(i,j) <- a(i,j) - a(i,k) a(k,j) / p,   a(i,k) <- s a(i,k) / p,   a(k,k) <- -1/p,
// with s = +1 when k is swept in and s = -1 when it is swept out. Sweeping a column twice
// restores the matrix, so any nested sequence of models is reached by sweeping ranges in and
// out. After sweeping a set S of design columns, the S block holds -(X_S' W X_S)^-1, the
// off-diagonal blocks the regression coefficients on S, and the rest the residual
// cross-products. The operator is A. E. Beaton's (1964), "The use of special matrix operators
// in statistical calculus", ETS Research Bulletin RB-64-51; J. H. Goodnight (1979), "A tutorial
// on the SWEEP operator", The American Statistician 33(3), 149-158, gives its properties in this
// sign convention.
#include <cmath>

#include "host/numeric/ddouble.h"
#include "host/numeric/matrix.h"

namespace qv::num {

bool LTRSWE(Packed& m, size_t k, const std::vector<double>& scale, std::vector<char>& swept, double eps) {
  const size_t n = m.n;
  double* a = m.a.data();
  const size_t kk = k * (k + 1) / 2;
  const double p = a[kk + k];
  double sign;
  if (swept[k]) {
    sign = -1.0;
    if (p == 0.0) return false;
  } else {
    // A pivot that is negligible against its scale marks an aliased column.
    if (!(scale[k] > 0.0) || !(std::fabs(p) > eps * scale[k]) || !(p > 0.0)) return false;
    sign = 1.0;
  }
  // Column k as a dense vector: col[i] = a(i,k).
  std::vector<double> col(n, 0.0);
  for (size_t j = 0; j < k; ++j) col[j] = a[kk + j];
  for (size_t i = k + 1; i < n; ++i) col[i] = a[i * (i + 1) / 2 + k];
  const double inv = 1.0 / p;
  for (size_t i = 0; i < n; ++i) {
    if (i == k) continue;
    const double f = col[i] * inv;
    if (f == 0.0) continue;
    double* row = a + i * (i + 1) / 2;
    for (size_t j = 0; j <= i; ++j) row[j] -= f * col[j];
  }
  // Column k entries were updated with f*col[k]: col[k] was never read, set them now.
  for (size_t j = 0; j < k; ++j) a[kk + j] = sign * col[j] * inv;
  for (size_t i = k + 1; i < n; ++i) a[i * (i + 1) / 2 + k] = sign * col[i] * inv;
  a[kk + k] = -inv;
  swept[k] = swept[k] ? 0 : 1;
  return true;
}

}  // namespace qv::num

namespace qv::num {

void sweepExtended(Packed& m, std::vector<double>& lo, size_t k, bool in) {
  const size_t n = m.n;
  double* a = m.a.data();
  double* b = lo.data();
  const size_t kk = k * (k + 1) / 2;
  const DD p(a[kk + k], b[kk + k]);
  const double sign = in ? 1.0 : -1.0;
  std::vector<DD> col(n);
  for (size_t j = 0; j < k; ++j) col[j] = DD(a[kk + j], b[kk + j]);
  for (size_t i = k + 1; i < n; ++i) col[i] = DD(a[i * (i + 1) / 2 + k], b[i * (i + 1) / 2 + k]);
  const DD inv = DD(1.0) / p;
  for (size_t i = 0; i < n; ++i) {
    if (i == k) continue;
    const DD f = col[i] * inv;
    if (f.hi == 0.0) continue;
    const size_t base = i * (i + 1) / 2;
    for (size_t j = 0; j <= i; ++j) {
      if (j == k || col[j].hi == 0.0) continue;
      const DD v = DD(a[base + j], b[base + j]) - f * col[j];
      a[base + j] = v.hi;
      b[base + j] = v.lo;
    }
  }
  for (size_t j = 0; j < k; ++j) {
    const DD v = col[j] * inv;
    a[kk + j] = sign * v.hi;
    b[kk + j] = sign * v.lo;
  }
  for (size_t i = k + 1; i < n; ++i) {
    const DD v = col[i] * inv;
    a[i * (i + 1) / 2 + k] = sign * v.hi;
    b[i * (i + 1) / 2 + k] = sign * v.lo;
  }
  a[kk + k] = -inv.hi;
  b[kk + k] = -inv.lo;
}

void sweepExtendedRows(Packed& m, std::vector<double>& lo, size_t k, bool in,
                       const std::vector<char>& current) {
  const size_t n = m.n;
  double* a = m.a.data();
  double* b = lo.data();
  const size_t kk = k * (k + 1) / 2;
  const DD p(a[kk + k], b[kk + k]);
  const double sign = in ? 1.0 : -1.0;
  std::vector<DD> col(n);
  for (size_t j = 0; j < k; ++j) col[j] = DD(a[kk + j], b[kk + j]);
  for (size_t i = k + 1; i < n; ++i) col[i] = DD(a[i * (i + 1) / 2 + k], b[i * (i + 1) / 2 + k]);
  // The current rows other than k whose entry in column k is not zero, in order.
  std::vector<size_t> live;
  for (size_t j = 0; j < n; ++j)
    if (j != k && current[j] && col[j].hi != 0.0) live.push_back(j);
  const DD inv = DD(1.0) / p;
  for (size_t i = 0; i < n; ++i) {
    if (i == k) continue;
    const DD f = col[i] * inv;
    if (f.hi == 0.0) continue;
    const size_t base = i * (i + 1) / 2;
    auto update = [&](size_t j) {
      const DD v = DD(a[base + j], b[base + j]) - f * col[j];
      a[base + j] = v.hi;
      b[base + j] = v.lo;
    };
    if (current[i]) {
      for (size_t j = 0; j <= i; ++j)
        if (j != k && col[j].hi != 0.0) update(j);
      continue;
    }
    // A stale row: its entries in current columns and its diagonal.
    for (size_t j : live) {
      if (j >= i) break;
      update(j);
    }
    update(i);
  }
  for (size_t j = 0; j < k; ++j) {
    const DD v = col[j] * inv;
    a[kk + j] = sign * v.hi;
    b[kk + j] = sign * v.lo;
  }
  for (size_t i = k + 1; i < n; ++i) {
    const DD v = col[i] * inv;
    a[i * (i + 1) / 2 + k] = sign * v.hi;
    b[i * (i + 1) / 2 + k] = sign * v.lo;
  }
  a[kk + k] = -inv.hi;
  b[kk + k] = -inv.lo;
}

}  // namespace qv::num
