// The Waller-Duncan critical t against its limits, against the posterior expectations
// integrated here by another route, and against the published correspondence of k-ratios with
// significance levels.
#include <gtest/gtest.h>

#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/quadrature/exp_sinh.hpp>
#include <boost/math/quadrature/gauss_kronrod.hpp>
#include <cmath>
#include <limits>

#include "host/numeric/k_ratio_t.h"
#include "tolerances.h"

namespace qv::num {
namespace {

using test::nearRel;

constexpr double kInf = std::numeric_limits<double>::infinity();

// F = ∞ and f = ∞: t solves φ(t) + tΦ(t) = k (φ(t) − t(1 − Φ(t))). Reference roots computed
// with mpmath at 20 digits (findroot on the normal functions): 1.4851958085596 (k = 50),
// 1.7207832623525 (k = 100; Waller & Duncan's limiting value 1.72), 2.2311160713981 (k = 500).
// Finite f with F = ∞: the same with Student t on f df, checked against a bisection here.
TEST(WallerDuncanT, LimitsOfLargeFAndLargeDf) {
  struct Row {
    double k, t;
  };
  for (const Row& r : {Row{50, 1.4851958085596}, Row{100, 1.7207832623525}, Row{500, 2.2311160713981}}) {
    EXPECT_TRUE(nearRel(wallerDuncanT(r.k, kInf, 4, kInf), r.t, 1e-11)) << r.k;
    // The rule tends to its limit as F grows; at a moderate F, the f = ∞ rule is the limit of
    // the finite-f one (the difference falls like 1/f).
    EXPECT_TRUE(nearRel(wallerDuncanT(r.k, 1e13, 4, kInf), r.t, 1e-8)) << r.k;
    EXPECT_TRUE(nearRel(wallerDuncanT(r.k, 4.0, 9, 1e6), wallerDuncanT(r.k, 4.0, 9, kInf), 1e-5)) << r.k;
  }
  for (double f : {3.0, 10.0, 40.0}) {
    const boost::math::students_t_distribution<> dist(f);
    auto criterion = [&](double t) {
      const double tail = (f + t * t) / (f - 1) * pdf(dist, t);
      return t * cdf(dist, t) + tail - 100 * (tail - t * cdf(complement(dist, t)));
    };
    double lo = 0, hi = 20;
    for (int i = 0; i < 200; ++i) (criterion(0.5 * (lo + hi)) > 0 ? hi : lo) = 0.5 * (lo + hi);
    EXPECT_TRUE(nearRel(wallerDuncanT(100, kInf, 5, f), lo, 1e-11)) << f;
    // Independent of q in the limit, and reached from finite F.
    EXPECT_TRUE(nearRel(wallerDuncanT(100, 1e13, 2, f), lo, 1e-7)) << f;
    EXPECT_TRUE(nearRel(wallerDuncanT(100, 1e13, 12, f), lo, 1e-7)) << f;
  }
}

// At t_B the posterior expectations of the positive and negative parts of the true difference
// δ are in the ratio k. Here they are integrated directly over the variance ratio β = σ²/σ_T²
// in (0, 1) and the precision λ = 1/σ² (in units of the error mean square), with the joint
// posterior β^(q/2 − 1) λ^((f + q)/2 − 1) exp(−λ (f + qFβ) / 2) and, given both, δ normal with
// mean (1 − β) t and variance (1 − β) / λ on the scale of the standard error of a difference.
TEST(WallerDuncanT, PosteriorLossesBalanceAtTheCriticalT) {
  struct Row {
    double k, F, q, f;
  };
  const Row rows[] = {
      {100, 1.2, 4, 10}, {100, 3.0, 7, 20}, {500, 2.0, 3, 15}, {50, 6.0, 5, 12}, {100, 10, 2, 30}};
  const boost::math::normal_distribution<> z;
  for (const Row& r : rows) {
    const double t = wallerDuncanT(r.k, r.F, r.q, r.f);
    ASSERT_GT(t, 0.0);
    auto expectation = [&](double sign) {
      auto overBeta = [&](double beta) {
        auto overLambda = [&](double lambda) {
          const double sd = std::sqrt((1 - beta) / lambda);
          const double m = sign * (1 - beta) * t / sd;
          const double g = pdf(z, m) + m * cdf(z, m);
          const double w =
              (0.5 * (r.f + r.q) - 1) * std::log(lambda) - 0.5 * lambda * (r.f + r.q * r.F * beta);
          return std::exp(w) * sd * g;
        };
        return std::pow(beta, 0.5 * r.q - 1) *
               boost::math::quadrature::exp_sinh<double>().integrate(overLambda, 1e-12);
      };
      return boost::math::quadrature::gauss_kronrod<double, 61>::integrate(overBeta, 0.0, 1.0, 15, 1e-11);
    };
    EXPECT_TRUE(nearRel(expectation(1.0) / expectation(-1.0), r.k, 1e-7)) << r.k << " " << r.F;
  }
}

// Waller & Duncan (1969) give k = 50, 100, 500 as corresponding roughly to significance levels
// .10, .05, .01 for two treatments. With two treatments F = t², so the critical t is the fixed
// point t = t_B(k, t², 1, f); its two-sided level on f df (f large) is checked to lie near the
// stated one (within a quarter of it).
TEST(WallerDuncanT, TwoTreatmentsMatchTheStatedSignificanceLevels) {
  const double f = 1e4;
  const boost::math::students_t_distribution<> dist(f);
  for (const auto& [k, alpha] : {std::pair{50.0, 0.10}, std::pair{100.0, 0.05}, std::pair{500.0, 0.01}}) {
    double t = 2.0;
    for (int i = 0; i < 12; ++i) t = wallerDuncanT(k, t * t, 1, f);
    EXPECT_NEAR(wallerDuncanT(k, t * t, 1, f), t, 1e-5) << k;
    EXPECT_NEAR(2 * cdf(complement(dist, t)), alpha, 0.25 * alpha) << k;
  }
}

TEST(WallerDuncanT, BadArgumentsGiveMissing) {
  const double bad[][4] = {{1.0, 2, 3, 10},  {100, -1, 3, 10},  {100, 2, 0.5, 10},
                           {100, 2, 3, 0.5}, {100, kInf, 3, 1}, {kInf, 2, 3, 10}};
  for (const auto& b : bad) {
    NumericDiag diag;
    EXPECT_EQ(wallerDuncanT(b[0], b[1], b[2], b[3], &diag), kSysmis) << b[0] << " " << b[1];
    EXPECT_FALSE(diag.rule.empty());
  }
  EXPECT_EQ(wallerDuncanT(100, kSysmis, 3, 10), kSysmis);
}

}  // namespace
}  // namespace qv::num
