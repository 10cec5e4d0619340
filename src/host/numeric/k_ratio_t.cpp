// The Waller-Duncan critical t: a one-dimensional integral over the variance ratio, by
// tanh-sinh quadrature (its nodes crowd both ends, where the weight may be singular), inside a
// bracketing root search in t.
#include "host/numeric/k_ratio_t.h"

#include <boost/math/distributions/normal.hpp>
#include <boost/math/quadrature/tanh_sinh.hpp>
#include <boost/math/tools/toms748_solve.hpp>
#include <cmath>
#include <cstdint>
#include <limits>

#include "host/numeric/boost_policy.hpp"

namespace qv::num {

namespace {

constexpr double kTolerance = 1e-12;  // relative, of each quadrature
using Normal = boost::math::normal_distribution<double, BoostPolicy>;

double fail(NumericDiag* diag, const char* argument, double value, const char* rule) {
  if (diag != nullptr) *diag = NumericDiag{"wallerDuncanT", argument, value, rule};
  return kSysmis;
}

// E[(x + T)⁺] and E[(−x + T)⁺] for T Student t on ν degrees of freedom (normal for ν = ∞).
// The second is formed as a tail integral difference and kept >= 0.
struct PartialMeans {
  double above, below;
};

PartialMeans partialMeans(double x, double nu) {
  double cdf, upper, density;
  double scale;  // ∫_x^∞ u p(u) du = scale · p(x)
  if (std::isinf(nu)) {
    const Normal n;
    cdf = boost::math::cdf(n, x);
    upper = boost::math::cdf(boost::math::complement(n, x));
    density = boost::math::pdf(n, x);
    scale = 1.0;
  } else {
    const StudentsT t(nu);
    cdf = boost::math::cdf(t, x);
    upper = boost::math::cdf(boost::math::complement(t, x));
    density = boost::math::pdf(t, x);
    scale = (nu + x * x) / (nu - 1.0);
  }
  const double tail = scale * density;
  return {x * cdf + tail, std::max(tail - x * upper, 0.0)};
}

// The Bayes criterion E[δ⁺] − k E[δ⁻] at t, up to a positive factor (see the header).
class Criterion {
 public:
  Criterion(double k, double fRatio, double q, double f) : k_(k), q_(q), f_(f) {
    nu_ = f + q;
    c_ = std::isinf(f) ? 1.0 : std::sqrt((f + q) / f);
    // y_max = qF / (f + qF); qF is finite here.
    if (std::isinf(f)) {
      yMax_ = 0.0;
      decay_ = 0.5 * q * fRatio;  // (1 − y_max s)^(f/2) → exp(−qF s / 2)
    } else {
      yMax_ = q * fRatio / (f + q * fRatio);
    }
  }

  double operator()(double t) const {
    // The weight at s, for s in (0, 1) with sc = 1 − s.
    auto integrand = [&](double s, double sc) {
      if (!(s > 0.0) || !(sc > 0.0)) return 0.0;
      double logWeight = (0.5 * q_ - 1.0) * std::log(s) + 0.5 * std::log(sc);
      if (std::isinf(f_)) {
        logWeight -= decay_ * s;
      } else {
        const double logRest = yMax_ >= 1.0 ? std::log(sc) : std::log1p(-yMax_ * s);
        logWeight += (0.5 * f_ - 2.0) * logRest;
      }
      const PartialMeans m = partialMeans(c_ * t * std::sqrt(sc), nu_);
      return std::exp(logWeight) * (m.above - k_ * m.below);
    };
    // With many degrees of freedom and a large F the weight is a narrow peak near s = 0: its
    // logarithm falls at least at the rate ρ = (f/2 − 2) y_max (qF/2 for f = ∞) besides the
    // factor s^(q/2 − 1). Past s = (q/2 + 40 + 10 sqrt(q)) / ρ the weight is below e^−40 of its
    // peak and falling faster, so only the stretch before that point is integrated, which
    // lets the quadrature resolve the peak.
    const double rate = std::isinf(f_) ? decay_ : (0.5 * f_ - 2.0) * yMax_;
    const double end = rate > 0.0 ? (0.5 * q_ + 40.0 + 10.0 * std::sqrt(q_)) / rate : 1.0;
    if (end < 0.5)
      return integrator_.integrate([&](double s, double) { return integrand(s, 1.0 - s); }, 0.0, end,
                                   kTolerance);
    // The quadrature passes the distance to the nearer end, negative on the left half, so that
    // 1 − s keeps its digits near s = 1.
    return integrator_.integrate([&](double s, double d) { return integrand(s, d < 0.0 ? 1.0 - s : d); }, 0.0,
                                 1.0, kTolerance);
  }

 private:
  double k_, q_, f_, nu_ = 0.0, c_ = 1.0, yMax_ = 0.0, decay_ = 0.0;
  mutable boost::math::quadrature::tanh_sinh<double> integrator_;
};

// The limit F = ∞: H_f(t) − k H_f(−t).
double limitCriterion(double t, double k, double f) {
  const PartialMeans m = partialMeans(t, f);
  return m.above - k * m.below;
}

// Root in t > 0 of an increasing criterion that is negative at 0.
template <class Fn>
double solveT(Fn&& criterion, NumericDiag* diag) {
  double lo = 0.0, hi = 2.0;
  double fHi = criterion(hi);
  while (!(fHi > 0.0)) {
    if (!std::isfinite(fHi) || hi > 1e8) return fail(diag, "", hi, "no root of the Bayes criterion");
    lo = hi;
    hi *= 2.0;
    fHi = criterion(hi);
  }
  const double fLo = criterion(lo);
  if (!std::isfinite(fLo) || fLo > 0.0) return fail(diag, "", lo, "Bayes criterion not monotone");
  if (fLo == 0.0) return lo;
  std::uintmax_t iterations = 200;
  const auto [a, b] = boost::math::tools::toms748_solve(
      criterion, lo, hi, fLo, fHi, boost::math::tools::eps_tolerance<double>(44), iterations, BoostPolicy());
  return 0.5 * (a + b);
}

}  // namespace

double wallerDuncanT(double kRatio, double fRatio, double q, double f, NumericDiag* diag) {
  if (isSysmis(kRatio) || !std::isfinite(kRatio) || !(kRatio > 1.0))
    return fail(diag, "k-ratio", kRatio, "must be > 1");
  if (isSysmis(fRatio) || std::isnan(fRatio) || fRatio < 0.0) return fail(diag, "F", fRatio, "must be >= 0");
  if (isSysmis(q) || !std::isfinite(q) || !(q >= 1.0)) return fail(diag, "q", q, "must be >= 1");
  if (isSysmis(f) || std::isnan(f) || !(f >= 1.0)) return fail(diag, "f", f, "must be >= 1");
  // An F beyond the range of doubles (qF overflows) is the limit F = ∞.
  if (std::isinf(q * fRatio) && !(f > 1.0)) return fail(diag, "f", f, "must be > 1 when F is infinite");
  const std::optional<double> t = evaluateGuarded([&] {
    // With f = ∞ and qF above 1e30 the weight lies within s < 1e-28, where the integrand is
    // its limit to far below double precision.
    if (std::isinf(q * fRatio) || (std::isinf(f) && q * fRatio > 1e30))
      return solveT([&](double x) { return limitCriterion(x, kRatio, f); }, diag);
    const Criterion criterion(kRatio, fRatio, q, f);
    return solveT(criterion, diag);
  });
  if (!t) return fail(diag, "", 0.0, "evaluation failed");
  return *t;
}

}  // namespace qv::num
