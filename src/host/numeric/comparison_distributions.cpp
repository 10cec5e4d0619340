// Multiple-comparison distributions by quadrature. Every probability is E[g(S)] with
// S = sqrt(chi2(df) / df) and g a normal-theory probability at a scaled argument; g itself is
// an integral over one standard normal variable for the range and the many-to-one statistics
// and a closed form for the maximum modulus. The density of S is normalised numerically, so
// the large-df constant (df/2)^(df/2) / Gamma(df/2) never has to be formed.
#include "host/numeric/comparison_distributions.h"

#include <algorithm>
#include <array>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/quadrature/gauss.hpp>
#include <boost/math/quadrature/gauss_kronrod.hpp>
#include <boost/math/tools/toms748_solve.hpp>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>

#include "host/numeric/boost_policy.hpp"

namespace qv::num {

namespace {

using Kronrod = boost::math::quadrature::gauss_kronrod<double, 61>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kQuadTol = 1e-11;  // relative to the L1 norm of each integrand
constexpr unsigned kQuadDepth = 8;
// Beyond |z| = 9 the normal density is below 1e-18: the integrals over z stop there.
constexpr double kZLimit = 9.0;

double fail(NumericDiag* diag, const char* routine, const char* argument, double value, const char* rule) {
  if (diag != nullptr) *diag = NumericDiag{routine, argument, value, rule};
  return kSysmis;
}

bool usable(double x) { return std::isfinite(x) && !isSysmis(x); }
bool dfUsable(double df) { return !isSysmis(df) && !std::isnan(df) && df > 0.0; }

// Upper normal tail P(Z > x) and the density.
double normalUpper(double x) { return 0.5 * std::erfc(x / std::numbers::sqrt2); }
double normalDensity(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }

// Adaptive integral over [a, b], mapped onto [−1, 1] first: the adaptive rule compares its
// error estimate on the unit interval with a tolerance scaled by the interval's width, so a
// narrow interval (the density of S at large df) would otherwise never meet it.
double integrate(const std::function<double(double)>& f, double a, double b) {
  if (!(b > a)) return 0.0;
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  return half *
         Kronrod::integrate([&](double t) { return f(mid + half * t); }, -1.0, 1.0, kQuadDepth, kQuadTol);
}

// Integrals over the normal variable z use a fixed rule: 20-point Gauss-Legendre on the unit
// panels of [−9, 9], which resolves every feature of these integrands (the normal density and
// normal tails shifted by the bound) to about 1e-14, and, being fixed, gives a smooth function
// of the bound for the adaptive integral over S outside it. (A nested adaptive rule would make
// the inner value jump with its subdivision and keep the outer rule from converging.) The
// nodes carry their weight times φ(z) and the tail P(Z > z), which do not depend on the bound.
struct ZNode {
  double z;
  double weightedDensity;  // quadrature weight × φ(z)
  double upper;            // P(Z > z)
};

const std::vector<ZNode>& zNodes() {
  using Legendre = boost::math::quadrature::gauss<double, 20>;
  static const std::vector<ZNode> nodes = [] {
    std::vector<ZNode> list;
    const auto& x = Legendre::abscissa();
    const auto& w = Legendre::weights();
    for (double left = -kZLimit; left < kZLimit; left += 1.0) {
      const double mid = left + 0.5;
      for (size_t i = 0; i < x.size(); ++i) {
        for (double sign : {-1.0, 1.0}) {
          if (x[i] == 0.0 && sign > 0.0) continue;  // the centre node once
          const double z = mid + sign * 0.5 * x[i];
          list.push_back({z, 0.5 * w[i] * normalDensity(z), normalUpper(z)});
        }
      }
    }
    return list;
  }();
  return nodes;
}

// E[g(S)] for S = sqrt(chi2(df)/df). The unnormalised log density is (df−1) log s − df s²/2.
// For df < 2 the variable u = s^df removes the singular factor s^(df−1): the density in u is
// proportional to exp(−df s²/2). For df >= 2 the integral is split at the mode and confined to
// where the density is above e^-46 of its peak.
double expectOverScale(const std::function<double(double)>& g, double df) {
  if (std::isinf(df)) return g(1.0);
  if (df < 2.0) {
    // s at most where df s²/2 = 46 + the value at s = 1 (well past the mass).
    const double sHigh = std::sqrt((92.0 + df) / df) + 1.0;
    const double uHigh = std::pow(sHigh, df);
    auto weight = [df](double u) { return std::exp(-0.5 * df * std::pow(u, 2.0 / df)); };
    const double mass = integrate(weight, 0.0, uHigh);
    const double value =
        integrate([&](double u) { return weight(u) * g(std::pow(u, 1.0 / df)); }, 0.0, uHigh);
    return value / mass;
  }
  // Relative to the mode m = sqrt((df−1)/df), with s = m (1 + x), the log density is
  // (df−1) (log1p(x) − x − x²/2): no large terms cancel, which matters when df is large.
  const double mode = std::sqrt((df - 1.0) / df);
  // Near the mode the bracket is summed as its series −x² + x³/3 − x⁴/4 + …, whose terms do
  // not cancel; the series is cut where the next term is below 1e-17 of x².
  auto logDensity = [&](double s) {
    const double x = s / mode - 1.0;
    if (std::fabs(x) >= 0.05) return (df - 1.0) * (std::log1p(x) - x - 0.5 * x * x);
    double sum = -x * x, power = x * x;
    for (int n = 3; n <= 14; ++n) {
      power *= -x;
      sum -= power / n;
    }
    return (df - 1.0) * sum;
  };
  // The density falls monotonically on each side of the mode: bisect for the e^-46 points.
  auto edge = [&](double inside, double outside) {
    for (int i = 0; i < 200 && std::fabs(outside - inside) > 1e-15 * mode; ++i) {
      const double mid = 0.5 * (inside + outside);
      (logDensity(mid) > -46.0 ? inside : outside) = mid;
    }
    return outside;
  };
  const double lo = edge(mode, 0.0);
  double far = mode + 1.0;
  while (logDensity(far) > -46.0) far = 2.0 * far;
  const double hi = edge(mode, far);
  auto density = [&](double s) { return s > 0.0 ? std::exp(logDensity(s)) : 0.0; };
  const double mass = integrate(density, lo, mode) + integrate(density, mode, hi);
  auto weighted = [&](double s) { return density(s) * g(s); };
  return (integrate(weighted, lo, mode) + integrate(weighted, mode, hi)) / mass;
}

// Runs a quadrature-based evaluation; no exception escapes and a non-finite value fails.
template <class F>
double guarded(NumericDiag* diag, const char* routine, F&& f) {
  const std::optional<double> v = evaluateGuarded(f);
  if (!v) return fail(diag, routine, "", 0.0, "evaluation failed");
  return std::min(1.0, std::max(0.0, *v));
}

// Upper quantile of t (P(T > x) = a) and of the normal when df is infinite.
double tUpper(double a, double df) {
  if (std::isinf(df)) return quantile(complement(boost::math::normal_distribution<double, BoostPolicy>(), a));
  return quantile(complement(StudentsT(df), a));
}

// Solves upper(c) = a for a decreasing upper tail on the bracket [lo, hi] (widened when needed),
// relative precision about 1e-12 on c.
double solveUpper(const std::function<double(double)>& upper, double a, double lo, double hi) {
  // On the log scale the tail is close to linear in c near the root, which the bracketing
  // solver exploits; the end values are kept so that no evaluation is repeated.
  auto f = [&](double c) { return std::log(std::max(upper(c), 1e-300) / a); };
  double flo = f(lo), fhi = f(hi);
  for (int i = 0; i < 60 && flo < 0.0; ++i) {
    lo = lo > 0.0 ? lo * 0.5 : lo - 1.0;
    flo = f(lo);
  }
  for (int i = 0; i < 60 && fhi > 0.0; ++i) {
    hi = hi * 2.0 + 1.0;
    fhi = f(hi);
  }
  if (flo == 0.0) return lo;
  if (fhi == 0.0) return hi;
  std::uintmax_t iterations = 200;
  const auto root = boost::math::tools::toms748_solve(
      f, lo, hi, flo, fhi, boost::math::tools::eps_tolerance<double>(42), iterations, BoostPolicy());
  return 0.5 * (root.first + root.second);
}

// --- Studentized range --------------------------------------------------------------------

// P(range of k iid N(0,1) > w) = k ∫ φ(z) { A^(k−1) − (A − B)^(k−1) } dz with A = P(Z > z) and
// B = P(Z > z + w), since k ∫ φ(z) A^(k−1) dz = 1. A^(k−1) − (A−B)^(k−1) is formed as
// −A^(k−1) expm1((k−1) log1p(−B/A)) so that it keeps its digits when B is small.
// The factors weight × φ(z) × A^(k−1) do not depend on w: they are formed once per k and
// evaluation, and the nodes where they underflow to zero (large z, large k) are skipped, which
// leaves the sum unchanged.
struct RangeNodeWeights {
  std::vector<double> z, upper, weight;
  explicit RangeNodeWeights(double k) {
    for (const ZNode& n : zNodes()) {
      if (n.upper <= 0.0) continue;
      const double weighted = n.weightedDensity * std::pow(n.upper, k - 1.0);
      if (weighted == 0.0) continue;
      z.push_back(n.z);
      upper.push_back(n.upper);
      weight.push_back(weighted);
    }
  }
};

double rangeUpperNormal(double w, double k, const RangeNodeWeights& nodes) {
  if (w <= 0.0) return 1.0;
  double sum = 0.0;
  for (size_t i = 0; i < nodes.z.size(); ++i) {
    const double b = normalUpper(nodes.z[i] + w);
    sum -= nodes.weight[i] * std::expm1((k - 1.0) * std::log1p(-b / nodes.upper[i]));
  }
  return k * sum;
}

}  // namespace

// The normal-theory tail h(w) = P(range of k > w), interpolated. log h is smooth in w (nearly
// quadratic for large w), so on each panel [j H, (j + 1) H] it is a Chebyshev series of degree
// kDegree to well below 1e-14 absolute. A panel is built when first asked for, from h at its
// Chebyshev points, and checked against h at points between them: a panel whose check misses
// 1e-13 relative, or where h underflows, keeps using the sum over the z nodes. Many calls with
// the same k (one per pair of means, or the evaluations of one quantile search) then cost one
// polynomial per point of the integral over S instead of a few hundred normal tails.
struct RangeTails::Impl {
  static constexpr double kPanel = 0.5;
  static constexpr int kDegree = 20;
  static constexpr double kCheck = 1e-13;
  // Beyond this w, h is below 1e-300 for every k: the direct sum (which underflows) is used.
  static constexpr double kLimit = 40.0;
  struct Panel {
    bool built = false, direct = false;
    std::array<double, kDegree + 1> coef{};
  };
  double k;
  RangeNodeWeights nodes;
  std::vector<Panel> panels;
  explicit Impl(double kk) : k(kk), nodes(kk), panels(static_cast<size_t>(kLimit / kPanel)) {}

  double direct(double w) const { return rangeUpperNormal(w, k, nodes); }
  static double series(const Panel& p, double t) {
    // Clenshaw's recurrence for sum c_m T_m(t).
    double b1 = 0.0, b2 = 0.0;
    for (int m = kDegree; m >= 1; --m) {
      const double b0 = 2.0 * t * b1 - b2 + p.coef[static_cast<size_t>(m)];
      b2 = b1;
      b1 = b0;
    }
    return t * b1 - b2 + p.coef[0];
  }
  void build(size_t j, Panel& p) const {
    p.built = true;
    const double a = static_cast<double>(j) * kPanel, half = 0.5 * kPanel;
    constexpr int n = kDegree + 1;
    std::array<double, n> logh{};
    for (int i = 0; i < n; ++i) {
      const double t = std::cos(std::numbers::pi * (i + 0.5) / n);
      const double h = direct(a + half * (1.0 + t));
      if (!(h > 1e-300) || !std::isfinite(h)) {
        p.direct = true;
        return;
      }
      logh[static_cast<size_t>(i)] = std::log(h);
    }
    for (int m = 0; m < n; ++m) {
      double c = 0.0;
      for (int i = 0; i < n; ++i) c += logh[static_cast<size_t>(i)] * std::cos(std::numbers::pi * m * (i + 0.5) / n);
      p.coef[static_cast<size_t>(m)] = (m == 0 ? 1.0 : 2.0) * c / n;
    }
    // Midway between Chebyshev points, near both ends and the middle.
    for (double t : {-0.995, -0.7, -0.3, 0.05, 0.45, 0.8, 0.999}) {
      const double h = direct(a + half * (1.0 + t));
      if (!(std::fabs(std::exp(series(p, t)) - h) <= kCheck * h)) {
        p.direct = true;
        return;
      }
    }
  }
  double upper(double w) {
    if (w <= 0.0) return 1.0;
    if (!(w < kLimit)) return direct(w);
    const size_t j = static_cast<size_t>(w / kPanel);
    Panel& p = panels[j];
    if (!p.built) build(j, p);
    if (p.direct) return direct(w);
    const double t = 2.0 * (w - static_cast<double>(j) * kPanel) / kPanel - 1.0;
    return std::exp(series(p, t));
  }
};

RangeTails::RangeTails(double k) : impl_(std::make_unique<Impl>(k)) {}
RangeTails::~RangeTails() = default;
double RangeTails::k() const { return impl_->k; }

namespace {

// P(range <= w) = k ∫ φ(z) (P(Z > z) − P(Z > z + w))^(k−1) dz.
double rangeCdfNormal(double w, double k) {
  if (w <= 0.0) return 0.0;
  double sum = 0.0;
  for (const ZNode& n : zNodes()) {
    const double d = n.upper - normalUpper(n.z + w);
    if (d > 0.0) sum += n.weightedDensity * std::pow(d, k - 1.0);
  }
  return k * sum;
}

bool rangeArgs(NumericDiag* diag, const char* routine, double k, double df) {
  if (!usable(k) || k < 2.0) return fail(diag, routine, "k", k, ">= 2 and finite"), false;
  if (!dfUsable(df)) return fail(diag, routine, "df", df, "> 0"), false;
  return true;
}

// --- Maximum modulus ----------------------------------------------------------------------

// P(max |Z_i| > x) over m independent normals: 1 − (1 − 2P(Z > x))^m.
double modulusUpperNormal(double x, double m) {
  if (x <= 0.0) return 1.0;
  return -std::expm1(m * std::log1p(-std::erfc(x / std::numbers::sqrt2)));
}

bool modulusArgs(NumericDiag* diag, const char* routine, double m, double df) {
  if (!usable(m) || m < 1.0) return fail(diag, routine, "m", m, ">= 1 and finite"), false;
  if (!dfUsable(df)) return fail(diag, routine, "df", df, "> 0"), false;
  return true;
}

// --- Many-to-one --------------------------------------------------------------------------

// Given the control's standardised deviation z, treatment i exceeds the bound when
// Z_i = sqrt(1 − λ_i²) Y_i − λ_i z lies beyond x. Upper tail of the maximum, normal theory:
// 1 − ∫ φ(z) Π_i (1 − e_i(z)) dz with e_i the exceedance of treatment i. Treatments with the
// same λ (the same size) share one factor, raised to their count.
struct LambdaGroup {
  double lambda, root, count;  // root = sqrt(1 − λ²)
};

std::vector<LambdaGroup> lambdaGroups(const std::vector<double>& lambdas) {
  std::vector<double> sorted = lambdas;
  std::sort(sorted.begin(), sorted.end());
  std::vector<LambdaGroup> groups;
  for (double lambda : sorted) {
    if (!groups.empty() && groups.back().lambda == lambda)
      groups.back().count += 1.0;
    else
      groups.push_back({lambda, std::sqrt(1.0 - lambda * lambda), 1.0});
  }
  return groups;
}

double manyToOneUpperNormal(double x, const std::vector<LambdaGroup>& groups, bool twoSided) {
  if (twoSided && x <= 0.0) return 1.0;
  double sum = 0.0;
  for (const ZNode& n : zNodes()) {
    double logInside = 0.0;
    bool all = false;
    for (const LambdaGroup& g : groups) {
      double e = normalUpper((x + g.lambda * n.z) / g.root);
      if (twoSided) e += normalUpper((x - g.lambda * n.z) / g.root);
      if (e >= 1.0) {
        all = true;
        break;
      }
      logInside += g.count * std::log1p(-e);
    }
    sum += all ? n.weightedDensity : -n.weightedDensity * std::expm1(logInside);
  }
  return sum;
}

bool manyToOneArgs(NumericDiag* diag, const char* routine, const std::vector<double>& lambdas, double df) {
  if (lambdas.empty()) return fail(diag, routine, "p", 0.0, ">= 1 treatment"), false;
  for (double lambda : lambdas)
    if (!usable(lambda) || lambda < 0.0 || lambda >= 1.0)
      return fail(diag, routine, "lambda", lambda, "in [0, 1)"), false;
  if (!dfUsable(df)) return fail(diag, routine, "df", df, "> 0"), false;
  return true;
}

bool probabilityArg(NumericDiag* diag, const char* routine, double p) {
  if (!usable(p) || p <= 0.0 || p >= 1.0) return fail(diag, routine, "p", p, "in (0, 1)"), false;
  return true;
}

bool boundArg(NumericDiag* diag, const char* routine, const char* name, double x, bool nonNegative) {
  if (!usable(x) || (nonNegative && x < 0.0)) {
    return fail(diag, routine, name, x, nonNegative ? ">= 0 and finite" : "finite"), false;
  }
  return true;
}

}  // namespace

double studentizedRangeCdf(double q, double k, double df, NumericDiag* diag) {
  const char* r = "PTUKEY";
  if (!(boundArg(diag, r, "q", q, true) && rangeArgs(diag, r, k, df))) return kSysmis;
  return guarded(diag, r,
                 [&] { return expectOverScale([&](double s) { return rangeCdfNormal(q * s, k); }, df); });
}

double studentizedRangeUpperTail(double q, double k, double df, NumericDiag* diag) {
  const char* r = "PTUKEYUPPER";
  if (!(boundArg(diag, r, "q", q, true) && rangeArgs(diag, r, k, df))) return kSysmis;
  return guarded(diag, r, [&] {
    const RangeNodeWeights nodes(k);
    return expectOverScale([&](double s) { return rangeUpperNormal(q * s, k, nodes); }, df);
  });
}

double studentizedRangeUpperTail(double q, double df, RangeTails& tails, NumericDiag* diag) {
  const char* r = "PTUKEYUPPER";
  const double k = tails.k();
  if (!(boundArg(diag, r, "q", q, true) && rangeArgs(diag, r, k, df))) return kSysmis;
  return guarded(diag, r,
                 [&] { return expectOverScale([&](double s) { return tails.impl().upper(q * s); }, df); });
}

namespace {

// The quantile, with the normal-theory tail from `tails` when given (k must be tails' k).
double rangeQuantile(double p, double k, double df, double guess, RangeTails* tails, NumericDiag* diag,
                     const char* r) {
  if (!(probabilityArg(diag, r, p) && rangeArgs(diag, r, k, df))) return kSysmis;
  const double a = 1.0 - p;
  const std::optional<double> v = evaluateGuarded([&] {
    // The node weights of the direct sum, needed only without an interpolated tail.
    std::optional<RangeNodeWeights> nodes;
    if (!tails) nodes.emplace(k);
    auto upper = [&](double q) {
      if (tails) return expectOverScale([&](double s) { return tails->impl().upper(q * s); }, df);
      return expectOverScale([&](double s) { return rangeUpperNormal(q * s, k, *nodes); }, df);
    };
    if (guess > 0.0 && std::isfinite(guess)) return solveUpper(upper, a, guess * 0.999, guess * 1.001);
    // The range of k exceeds every pairwise difference and is bounded by the union over the
    // k(k−1)/2 pairs: sqrt(2) t(a/2) <= q <= sqrt(2) t(a / (k(k−1))).
    const double lo = std::numbers::sqrt2 * tUpper(0.5 * a, df);
    const double hi = std::numbers::sqrt2 * tUpper(a / (k * (k - 1.0)), df);
    return solveUpper(upper, a, lo * 0.999, hi * 1.001);
  });
  if (!v) return fail(diag, r, "", 0.0, "evaluation failed");
  return *v;
}

}  // namespace

double studentizedRangeQuantile(double p, double k, double df, NumericDiag* diag) {
  return rangeQuantile(p, k, df, 0.0, nullptr, diag, "QTUKEY");
}

double studentizedRangeQuantileNear(double p, double df, double guess, RangeTails& tails, NumericDiag* diag) {
  return rangeQuantile(p, tails.k(), df, guess, &tails, diag, "QTUKEY");
}

double studentizedRangeQuantileNear(double p, double k, double df, double guess, NumericDiag* diag) {
  return rangeQuantile(p, k, df, guess, nullptr, diag, "QTUKEY");
}

double maxModulusCdf(double c, double m, double df, NumericDiag* diag) {
  const char* r = "PSMM";
  if (!(boundArg(diag, r, "c", c, true) && modulusArgs(diag, r, m, df))) return kSysmis;
  return guarded(diag, r, [&] {
    return expectOverScale([&](double s) { return std::pow(std::erf(c * s / std::numbers::sqrt2), m); }, df);
  });
}

double maxModulusUpperTail(double c, double m, double df, NumericDiag* diag) {
  const char* r = "PSMMUPPER";
  if (!(boundArg(diag, r, "c", c, true) && modulusArgs(diag, r, m, df))) return kSysmis;
  return guarded(diag, r,
                 [&] { return expectOverScale([&](double s) { return modulusUpperNormal(c * s, m); }, df); });
}

double maxModulusQuantile(double p, double m, double df, NumericDiag* diag) {
  const char* r = "QSMM";
  if (!(probabilityArg(diag, r, p) && modulusArgs(diag, r, m, df))) return kSysmis;
  const double a = 1.0 - p;
  const std::optional<double> v = evaluateGuarded([&] {
    auto upper = [&](double c) {
      return expectOverScale([&](double s) { return modulusUpperNormal(c * s, m); }, df);
    };
    // Between one |t| and the Bonferroni bound over m.
    return solveUpper(upper, a, 0.999 * tUpper(0.5 * a, df), 1.001 * tUpper(0.5 * a / m, df));
  });
  if (!v) return fail(diag, r, "", 0.0, "evaluation failed");
  return *v;
}

std::vector<double> dunnettLambdas(const std::vector<double>& treatmentSizes, double controlSize) {
  std::vector<double> lambdas;
  lambdas.reserve(treatmentSizes.size());
  for (double n : treatmentSizes) lambdas.push_back(std::sqrt(n / (n + controlSize)));
  return lambdas;
}

namespace {

double manyToOneUpper(double c, const std::vector<double>& lambdas, double df, bool twoSided) {
  const std::vector<LambdaGroup> groups = lambdaGroups(lambdas);
  return expectOverScale([&](double s) { return manyToOneUpperNormal(c * s, groups, twoSided); }, df);
}

double manyToOneQuantile(double p, const std::vector<double>& lambdas, double df, bool twoSided) {
  const double a = 1.0 - p;
  const double count = static_cast<double>(lambdas.size());
  // Between one t and the Bonferroni bound over the p treatments.
  const double lo = twoSided ? tUpper(0.5 * a, df) : tUpper(a, df);
  const double hi = twoSided ? tUpper(0.5 * a / count, df) : tUpper(a / count, df);
  auto upper = [&](double c) { return manyToOneUpper(c, lambdas, df, twoSided); };
  return solveUpper(upper, a, lo - 1e-3 * std::fabs(lo) - 1e-6, hi + 1e-3 * std::fabs(hi) + 1e-6);
}

}  // namespace

double dunnettTwoSidedUpperTail(double c, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "PDUNNETT2UPPER";
  if (!(boundArg(diag, r, "c", c, true) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  return guarded(diag, r, [&] { return manyToOneUpper(c, lambdas, df, true); });
}

double dunnettTwoSidedCdf(double c, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "PDUNNETT2";
  if (!(boundArg(diag, r, "c", c, true) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  return guarded(diag, r, [&] { return 1.0 - manyToOneUpper(c, lambdas, df, true); });
}

double dunnettTwoSidedQuantile(double p, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "QDUNNETT2";
  if (!(probabilityArg(diag, r, p) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  const std::optional<double> v = evaluateGuarded([&] { return manyToOneQuantile(p, lambdas, df, true); });
  return v ? *v : fail(diag, r, "", 0.0, "evaluation failed");
}

double dunnettOneSidedUpperTail(double c, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "PDUNNETT1UPPER";
  if (!(boundArg(diag, r, "c", c, false) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  return guarded(diag, r, [&] { return manyToOneUpper(c, lambdas, df, false); });
}

double dunnettOneSidedCdf(double c, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "PDUNNETT1";
  if (!(boundArg(diag, r, "c", c, false) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  return guarded(diag, r, [&] { return 1.0 - manyToOneUpper(c, lambdas, df, false); });
}

double dunnettOneSidedQuantile(double p, const std::vector<double>& lambdas, double df, NumericDiag* diag) {
  const char* r = "QDUNNETT1";
  if (!(probabilityArg(diag, r, p) && manyToOneArgs(diag, r, lambdas, df))) return kSysmis;
  const std::optional<double> v = evaluateGuarded([&] { return manyToOneQuantile(p, lambdas, df, false); });
  return v ? *v : fail(diag, r, "", 0.0, "evaluation failed");
}

}  // namespace qv::num
