#include "host/numeric/contrast_bases.h"

#include <algorithm>
#include <cmath>

namespace qv::num {

namespace {

// A basis of nlevel - 1 columns, filled by `coefficient(level, column)` (both 0-based).
template <typename F>
Mat fill(int nlevel, F coefficient) {
  const size_t n = static_cast<size_t>(nlevel);
  Mat p(n, n - 1);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j + 1 < n; ++j) p(i, j) = coefficient(static_cast<int>(i), static_cast<int>(j));
  return p;
}

// The level (0-based) that contrast j compares when the reference level `ref` (0-based) is
// left out of the running order.
int skipReference(int j, int ref) { return j < ref ? j : j + 1; }

}  // namespace

Mat CTRDEV(int nlevel, int refcat) {
  const double mean = 1.0 / nlevel;
  return fill(nlevel, [&](int i, int j) { return (i == skipReference(j, refcat - 1) ? 1.0 : 0.0) - mean; });
}

Mat CTRDIF(int nlevel) {
  return fill(nlevel, [](int i, int j) {
    if (i == j + 1) return 1.0;
    return i <= j ? -1.0 / (j + 1) : 0.0;
  });
}

Mat CTRSMP(int nlevel, int refcat) {
  return fill(nlevel, [&](int i, int j) {
    if (i == refcat - 1) return -1.0;
    return i == skipReference(j, refcat - 1) ? 1.0 : 0.0;
  });
}

Mat CTRHEL(int nlevel) {
  return fill(nlevel, [&](int i, int j) {
    if (i == j) return 1.0;
    return i > j ? -1.0 / (nlevel - 1 - j) : 0.0;
  });
}

Mat CTRRPT(int nlevel) {
  return fill(nlevel, [](int i, int j) {
    if (i == j) return 1.0;
    return i == j + 1 ? -1.0 : 0.0;
  });
}

bool CTROPL(const std::vector<double>& metric, Mat& basis) {
  basis = Mat();
  const size_t n = metric.size();
  if (n < 2) return false;
  // Work on the metric about its mean and scaled to [-1, 1], so that powers stay of order one.
  long double mean = 0.0L;
  for (double v : metric) mean += v;
  mean /= static_cast<long double>(n);
  long double spread = 0.0L;
  for (double v : metric) spread = std::max(spread, std::fabs(static_cast<long double>(v) - mean));
  if (!(spread > 0.0L) || !std::isfinite(static_cast<double>(spread))) return false;
  std::vector<long double> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = (static_cast<long double>(metric[i]) - mean) / spread;

  // Orthonormal columns q_0 (the constant), q_1, ...: q_d is x q_{d-1} with its projections
  // on the earlier columns removed (twice, for orthogonality at working precision), then
  // normalised. Multiplying by x keeps the leading power's sign positive.
  std::vector<std::vector<long double>> q;
  q.emplace_back(n, 1.0L / std::sqrt(static_cast<long double>(n)));
  Mat out(n, n - 1);
  for (size_t d = 1; d < n; ++d) {
    std::vector<long double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = x[i] * q[d - 1][i];
    long double start = 0.0L;
    for (long double e : v) start += e * e;
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& u : q) {
        long double dot = 0.0L;
        for (size_t i = 0; i < n; ++i) dot += u[i] * v[i];
        for (size_t i = 0; i < n; ++i) v[i] -= dot * u[i];
      }
    long double norm = 0.0L;
    for (long double e : v) norm += e * e;
    // Repeated metric values leave nothing of the new power: no polynomial of this degree.
    if (!(norm > 1e-24L * start) || !(norm > 0.0L)) return false;
    norm = std::sqrt(norm);
    for (size_t i = 0; i < n; ++i) {
      v[i] /= norm;
      out(i, d - 1) = static_cast<double>(v[i]);
    }
    q.push_back(std::move(v));
  }
  basis = std::move(out);
  return true;
}

int GEMSLV(const Mat& a, const Mat& p, double tol, Mat& x, int& rank) {
  const size_t m = a.rows, e = a.cols, k = p.cols;
  x = Mat(m, k);
  rank = 0;
  double scaleA = 0.0;
  for (double v : a.a) scaleA = std::max(scaleA, std::fabs(v));
  for (size_t j = 0; j < k; ++j) {
    // The augmented system [A' | p_j]: e equations in m unknowns.
    Mat ab(e, m + 1);
    double scaleP = 0.0;
    for (size_t i = 0; i < e; ++i) {
      for (size_t t = 0; t < m; ++t) ab(i, t) = a(t, i);
      ab(i, m) = p(i, j);
      scaleP = std::max(scaleP, std::fabs(p(i, j)));
    }
    std::vector<int> pivotCol;
    rank = m > 0 ? GASJRD(ab, tol, pivotCol) : 0;
    // Rows without a pivot carry the residuals of the system: they must vanish.
    const double allowed = 1e-8 * std::max(1.0, scaleP) * std::max(1.0, scaleA);
    for (size_t i = static_cast<size_t>(rank); i < e; ++i)
      if (!(std::fabs(ab(i, m)) <= allowed)) return 2;
    for (int r = 0; r < rank; ++r) x(static_cast<size_t>(pivotCol[r]), j) = ab(static_cast<size_t>(r), m);
  }
  return 0;
}

}  // namespace qv::num
