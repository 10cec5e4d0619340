// Studentized range, maximum modulus and many-to-one t against published tables, exact
// identities, and an integration written here by another route.
#include <gtest/gtest.h>

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/quadrature/exp_sinh.hpp>
#include <boost/math/quadrature/sinh_sinh.hpp>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "host/numeric/comparison_distributions.h"
#include "host/numeric/phtest.h"
#include "tolerances.h"

namespace qv::num {
namespace {

using test::nearRel;

constexpr double kInf = std::numeric_limits<double>::infinity();
// Quantiles are solved to about 1e-12 relative on quadratures good to about 1e-11: ask for 1e-9.
constexpr double kTolQuadrature = 1e-9;

double tUpperQuantile(double a, double df) {
  if (std::isinf(df)) return quantile(complement(boost::math::normal_distribution<>(), a));
  return quantile(complement(boost::math::students_t_distribution<>(df), a));
}

// Studentized range quantiles, Harter (1960), "Tables of range and studentized range", Ann.
// Math. Statist. 31, 1122-1147: the table of the studentized range (four significant figures)
// and, for df = infinity, the table of percentage points of the range W (six decimals).
TEST(StudentizedRange, QuantilesMatchHarterTables) {
  struct Row {
    double p, k, df, q, halfUnit;
  };
  const Row rows[] = {
      {0.95, 3, 10, 3.877, 5e-4},       {0.95, 3, 20, 3.578, 5e-4},      {0.95, 5, 10, 4.654, 5e-4},
      {0.95, 5, 20, 4.232, 5e-4},       {0.95, 10, 30, 4.824, 5e-4},     {0.95, 4, 5, 5.218, 5e-4},
      {0.95, 20, 1, 59.56, 5e-3},       {0.99, 3, 10, 5.270, 5e-4},      {0.99, 3, 20, 4.639, 5e-4},
      {0.99, 5, 10, 6.136, 5e-4},       {0.99, 10, 10, 7.213, 5e-4},     {0.99, 2, 10, 4.482, 5e-4},
      {0.95, 3, kInf, 3.314493, 5e-7},  {0.95, 4, kInf, 3.633160, 5e-7}, {0.95, 5, kInf, 3.857656, 5e-7},
      {0.95, 10, kInf, 4.474124, 5e-7}, {0.99, 3, kInf, 4.120303, 5e-7},
  };
  for (const Row& r : rows) {
    EXPECT_NEAR(studentizedRangeQuantile(r.p, r.k, r.df), r.q, r.halfUnit)
        << r.p << " " << r.k << " " << r.df;
  }
}

// Two means: the range is |Z1 − Z2| = sqrt(2) |Z|, so q = sqrt(2) t(1 − a/2) and the cdf at
// infinite df is 2 Phi(w / sqrt(2)) − 1.
TEST(StudentizedRange, TwoMeansIsScaledAbsoluteT) {
  for (double df : {1.0, 5.0, 10.0, 37.5, 200.0, kInf}) {
    for (double p : {0.9, 0.95, 0.99}) {
      const double expected = std::numbers::sqrt2 * tUpperQuantile(0.5 * (1 - p), df);
      EXPECT_TRUE(nearRel(studentizedRangeQuantile(p, 2, df), expected, kTolQuadrature)) << df << " " << p;
    }
  }
  for (double w : {0.3, 1.0, 2.5, 5.0}) {
    EXPECT_NEAR(studentizedRangeCdf(w, 2, kInf), std::erf(0.5 * w), 1e-11) << w;
    EXPECT_NEAR(studentizedRangeUpperTail(w, 2, kInf), std::erfc(0.5 * w), 1e-11) << w;
  }
}

// Independent route: P(Q <= q) = ∫ H(q sqrt(u)) dF(u) with u = chi2(df)/df taken from the
// chi-squared density of Boost, H(x) = k ∫ φ(y) (Φ(y) − Φ(y − x))^(k−1) dy, both integrals
// on infinite ranges by double-exponential rules (the code under test uses Gauss-Kronrod on
// S = sqrt(u) over finite ranges and an upper-tail integrand).
double rangeCdfByVarianceMixture(double q, double k, double df) {
  boost::math::normal_distribution<> normal;
  boost::math::chi_squared_distribution<> chi(df);
  boost::math::quadrature::sinh_sinh<double> overY;
  boost::math::quadrature::exp_sinh<double> overU;
  auto h = [&](double x) {
    return overY.integrate([&](double y) {
      const double d = cdf(normal, y) - cdf(normal, y - x);
      return d > 0 ? k * pdf(normal, y) * std::pow(d, k - 1) : 0.0;
    });
  };
  return overU.integrate([&](double u) {
    const double x = df * u;
    if (x > 1e4 || x <= 0) return 0.0;
    return df * pdf(chi, x) * h(q * std::sqrt(u));
  });
}

TEST(StudentizedRange, CdfMatchesVarianceMixtureIntegral) {
  struct Row {
    double q, k, df;
  };
  for (const Row& r : {Row{3.5, 3, 10}, Row{4.6, 5, 20}, Row{2.0, 4, 6}, Row{6.0, 8, 3.5}}) {
    const double expected = rangeCdfByVarianceMixture(r.q, r.k, r.df);
    EXPECT_NEAR(studentizedRangeCdf(r.q, r.k, r.df), expected, 1e-9) << r.q << " " << r.k << " " << r.df;
    EXPECT_NEAR(studentizedRangeUpperTail(r.q, r.k, r.df), 1 - expected, 1e-9) << r.q << " " << r.k;
  }
}

// Maximum modulus: Stoline & Ury (1979), Technometrics 21, 87-93, Table 1 (also Hochberg &
// Tamhane 1987, Table 7), two decimals. One variable is |t|; m variables at infinite df have
// (2 Phi(c) − 1)^m = p exactly.
TEST(MaxModulus, MatchesTableAndIdentities) {
  struct Row {
    double p, m, df, c;
  };
  for (const Row& r : {Row{0.95, 2, 10, 2.61}, Row{0.95, 3, 10, 2.83}, Row{0.95, 5, 20, 2.82},
                       Row{0.95, 10, 10, 3.47}, Row{0.99, 3, 10, 3.80}, Row{0.99, 5, 20, 3.54}}) {
    EXPECT_NEAR(maxModulusQuantile(r.p, r.m, r.df), r.c, 5e-3) << r.p << " " << r.m << " " << r.df;
  }
  for (double df : {2.0, 10.0, 60.0, kInf}) {
    for (double p : {0.95, 0.99}) {
      EXPECT_TRUE(nearRel(maxModulusQuantile(p, 1, df), tUpperQuantile(0.5 * (1 - p), df), kTolQuadrature));
    }
  }
  for (double m : {1.0, 3.0, 15.0, 45.0}) {
    for (double p : {0.95, 0.99}) {
      const double c = std::numbers::sqrt2 * boost::math::erf_inv(std::pow(p, 1 / m));
      EXPECT_TRUE(nearRel(maxModulusQuantile(p, m, kInf), c, kTolQuadrature)) << m << " " << p;
    }
  }
}

// Many-to-one t, equal sizes (every lambda = sqrt(1/2)): Dunnett (1955), JASA 50, Tables 1a
// (one-sided) and 2a (two-sided), 95%, two decimals; Dunnett (1964), Biometrics 20, the revised
// two-sided table. One treatment is t; with correlation 1/2 the probability that p
// equicorrelated normals are all below 0 is 1/(p + 1); with lambda = 0 the treatments are
// independent and the two-sided maximum is the maximum modulus.
TEST(ManyToOne, MatchesDunnettTablesAndIdentities) {
  struct Row {
    double p, df, twoSided, oneSided;
  };
  for (const Row& r : {Row{2, 10, 2.57, 2.15}, Row{3, 10, 2.76, 2.34}, Row{5, 10, 2.99, 2.56},
                       Row{9, 20, 2.95, 2.60}, Row{3, 20, 2.54, 2.19}, Row{5, kInf, 2.51, 2.23}}) {
    const std::vector<double> lambdas(size_t(r.p), std::sqrt(0.5));
    EXPECT_NEAR(dunnettTwoSidedQuantile(0.95, lambdas, r.df), r.twoSided, 5e-3) << r.p << " " << r.df;
    EXPECT_NEAR(dunnettOneSidedQuantile(0.95, lambdas, r.df), r.oneSided, 5e-3) << r.p << " " << r.df;
  }
  for (double df : {4.0, 15.0, kInf}) {
    const std::vector<double> one{0.6};
    EXPECT_TRUE(nearRel(dunnettTwoSidedQuantile(0.99, one, df), tUpperQuantile(0.005, df), kTolQuadrature));
    EXPECT_TRUE(nearRel(dunnettOneSidedQuantile(0.95, one, df), tUpperQuantile(0.05, df), kTolQuadrature));
    for (size_t p : {2u, 4u, 9u}) {
      const std::vector<double> half(p, std::sqrt(0.5));
      EXPECT_NEAR(dunnettOneSidedCdf(0.0, half, df), 1.0 / double(p + 1), 1e-10) << p << " " << df;
      const std::vector<double> independent(p, 0.0);
      EXPECT_TRUE(nearRel(dunnettTwoSidedQuantile(0.95, independent, df),
                          maxModulusQuantile(0.95, double(p), df), kTolQuadrature));
    }
  }
}

// Equal sizes, all pairs: the exact Tukey critical value lies below Sidak's, which lies below
// Bonferroni's; with two levels the three coincide with the LSD.
TEST(PostHocEngine, TukeyBelowSidakBelowBonferroni) {
  for (size_t k : {3u, 5u, 10u}) {
    for (double df : {5.0, 20.0, 120.0}) {
      PostHocInput in;
      in.means.assign(k, 1.0);
      in.sizes.assign(k, 4.0);
      in.sds.assign(k, 1.0);
      in.errorDf = df;
      in.mse = 2.0;
      auto range = [&](PostHocTest t) {
        in.test = t;
        return phtest(in).criticalRange;
      };
      const double tukey = range(PostHocTest::TukeyHsd);
      const double sidak = range(PostHocTest::Sidak);
      const double bonferroni = range(PostHocTest::Bonferroni);
      EXPECT_LT(tukey, sidak) << k << " " << df;
      EXPECT_LT(sidak, bonferroni) << k << " " << df;
    }
  }
  PostHocInput two;
  two.means = {1.0, 2.0};
  two.sizes = {4.0, 6.0};
  two.sds = {1.0, 1.0};
  two.errorDf = 8;
  two.mse = 1.5;
  two.test = PostHocTest::Lsd;
  const double lsd = phtest(two).criticalRange;
  for (PostHocTest t :
       {PostHocTest::TukeyHsd, PostHocTest::Sidak, PostHocTest::Bonferroni, PostHocTest::Scheffe}) {
    two.test = t;
    EXPECT_TRUE(nearRel(phtest(two).criticalRange, lsd, kTolQuadrature)) << static_cast<int>(t);
  }
}

// Infinite-df limits: with df = 1e6 and 1e9 the density of S is a narrow spike at 1, and the
// quantiles approach the normal-theory ones (the difference shrinks like 1/df).
TEST(ComparisonDistributions, LargeDfApproachesNormalTheory) {
  const std::vector<double> lambdas{0.5, 0.6, 0.7};
  for (double df : {1e6, 1e9}) {
    const double tol = 20.0 / df;
    EXPECT_NEAR(studentizedRangeQuantile(0.95, 5, df), studentizedRangeQuantile(0.95, 5, kInf), tol) << df;
    EXPECT_NEAR(maxModulusQuantile(0.99, 10, df), maxModulusQuantile(0.99, 10, kInf), tol) << df;
    EXPECT_NEAR(dunnettTwoSidedQuantile(0.95, lambdas, df), dunnettTwoSidedQuantile(0.95, lambdas, kInf), tol)
        << df;
  }
}

// The interpolated normal-theory tail agrees with the sum over the z nodes, from the middle of
// the distribution to tails of 1e-9, for few and many means and small to infinite df: the
// quantile searched on the interpolated tail (from a poor first guess) has the direct upper tail
// it was asked for, and the interpolated tail there equals the direct one.
TEST(StudentizedRange, InterpolatedTailsMatchDirectSum) {
  for (double k : {2.0, 10.0, 125.0}) {
    RangeTails tails(k);
    for (double df : {2.0, 8.5, kInf}) {
      for (double a : {0.5, 1e-4, 1e-9}) {
        const double p = 1.0 - a;
        const double q = studentizedRangeQuantileNear(p, df, 5.0, tails);
        ASSERT_FALSE(isSysmis(q)) << k << " " << df << " " << a;
        const double direct = studentizedRangeUpperTail(q, k, df);
        EXPECT_TRUE(nearRel(direct, 1.0 - p, 1e-9)) << k << " " << df << " " << a;
        EXPECT_TRUE(nearRel(studentizedRangeUpperTail(q, df, tails), direct, 1e-12)) << k << " " << df << " " << a;
      }
    }
  }
}

// Every function gives the missing value for arguments outside its domain.
TEST(ComparisonDistributions, BadArgumentsGiveMissing) {
  const std::vector<double> lambdas{0.5, 0.5};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(studentizedRangeCdf(-1, 3, 10), kSysmis);
  EXPECT_EQ(studentizedRangeUpperTail(2, 1, 10), kSysmis);
  EXPECT_EQ(studentizedRangeQuantile(1.0, 3, 10), kSysmis);
  EXPECT_EQ(studentizedRangeQuantile(0.95, 3, 0), kSysmis);
  EXPECT_EQ(maxModulusCdf(nan, 3, 10), kSysmis);
  EXPECT_EQ(maxModulusUpperTail(2, 0.5, 10), kSysmis);
  EXPECT_EQ(maxModulusQuantile(0.0, 3, 10), kSysmis);
  EXPECT_EQ(dunnettTwoSidedCdf(2, {}, 10), kSysmis);
  EXPECT_EQ(dunnettTwoSidedQuantile(0.95, {1.0}, 10), kSysmis);
  EXPECT_EQ(dunnettOneSidedUpperTail(2, lambdas, -3), kSysmis);
  EXPECT_EQ(dunnettOneSidedQuantile(kSysmis, lambdas, 10), kSysmis);
  NumericDiag diag;
  EXPECT_EQ(studentizedRangeQuantile(0.95, 3, -2, &diag), kSysmis);
  EXPECT_EQ(diag.argument, "df");
}

}  // namespace
}  // namespace qv::num
