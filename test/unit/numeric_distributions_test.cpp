// Probability functions against closed forms, series and quadratures written here, and
// published tables; plus one shared test of bad arguments for every wrapper.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "host/numeric/distributions.h"
#include "tolerances.h"

namespace qv::num {
namespace {

using test::nearRel;

constexpr double kPi = std::numbers::pi;

// Standard normal cdf from the complementary error function.
double normalCdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

// --- Central F -------------------------------------------------------------------------

// With df1 = 2 the F upper tail has the closed form (1 + 2x/df2)^(-df2/2), and with df2 = 2
// the lower tail is (df1 x / (df1 x + 2))^(df1/2): the incomplete beta with one parameter 1.
TEST(NumericF, TailsMatchClosedForms) {
  for (double df2 : {1.0, 3.5, 10.0, 50.0}) {
    for (double x : {0.1, 1.0, 4.5, 30.0, 1e4}) {
      const double q = std::exp(-df2 / 2 * std::log1p(2 * x / df2));
      EXPECT_TRUE(nearRel(FUpperTail(x, 2, df2), q, test::kTolClosedForm)) << df2 << " " << x;
      // The lower tail from its own complement-free expression.
      EXPECT_TRUE(nearRel(FLowerTail(x, 2, df2), -std::expm1(-df2 / 2 * std::log1p(2 * x / df2)),
                          test::kTolClosedForm))
          << df2 << " " << x;
    }
  }
  for (double df1 : {1.0, 3.0, 7.5, 20.0}) {
    for (double x : {0.05, 0.7, 2.0, 15.0}) {
      const double u = df1 * x / (df1 * x + 2);
      EXPECT_TRUE(nearRel(FLowerTail(x, df1, 2), std::pow(u, df1 / 2), test::kTolClosedForm))
          << df1 << " " << x;
    }
  }
}

// A far upper tail keeps its digits: 1 - cdf would give exactly 0 here.
TEST(NumericF, FarUpperTailIsNotLost) {
  const double q = FUpperTail(1e6, 2, 10);
  EXPECT_TRUE(nearRel(q, std::pow(1 + 2e6 / 10, -5.0), test::kTolClosedForm));
  EXPECT_GT(q, 0.0);
}

TEST(NumericF, InverseMatchesClosedFormForTwoNumeratorDf) {
  // Inverting (1 + 2x/df2)^(-df2/2) = 1 - p gives x = df2/2 ((1 - p)^(-2/df2) - 1).
  for (double df2 : {1.0, 4.0, 12.5, 100.0}) {
    for (double p : {0.01, 0.3, 0.5, 0.9, 0.95, 0.999}) {
      const double x = df2 / 2 * std::expm1(-2 / df2 * std::log1p(-p));
      EXPECT_TRUE(nearRel(IDFF(p, 2, df2), x, test::kTolInverse)) << df2 << " " << p;
    }
  }
  EXPECT_EQ(IDFF(0.0, 3, 7), 0.0);
}

// Upper percentage points as printed in Abramowitz & Stegun (1964), Table 26.9 (F, four
// significant figures, here two decimals) and Table 26.10 (t, three decimals).
TEST(NumericF, PercentagePointsMatchPublishedTables) {
  struct Row {
    double p, df1, df2, x;
  };
  for (const Row& r :
       {Row{0.95, 1, 10, 4.96}, Row{0.95, 5, 10, 3.33}, Row{0.95, 4, 20, 2.87}, Row{0.99, 2, 10, 7.56}}) {
    EXPECT_NEAR(IDFF(r.p, r.df1, r.df2), r.x, test::kTolTable2Decimals) << r.df1 << " " << r.df2;
  }
  struct TRow {
    double p, df, t;
  };
  for (const TRow& r :
       {TRow{0.975, 10, 2.228}, TRow{0.995, 10, 3.169}, TRow{0.95, 5, 2.015}, TRow{0.975, 30, 2.042}}) {
    EXPECT_NEAR(IDFT(r.p, r.df), r.t, test::kTolTable3Decimals) << r.p << " " << r.df;
  }
}

TEST(NumericF, TailsSumToOneAndInvertEachOther) {
  for (double df1 : {0.5, 1.0, 3.0, 12.0}) {
    for (double df2 : {0.7, 2.0, 9.0, 250.0}) {
      for (double x : {0.01, 0.5, 1.0, 3.7, 40.0}) {
        EXPECT_TRUE(nearRel(FLowerTail(x, df1, df2) + FUpperTail(x, df1, df2), 1.0, test::kTolRoundoff * 4));
        const double p = FLowerTail(x, df1, df2);
        if (p > 1e-6 && p < 1 - 1e-6) {
          EXPECT_TRUE(nearRel(IDFF(p, df1, df2), x, test::kTolInverse));
        }
      }
    }
  }
}

TEST(NumericF, FTestSplitsTheQuotientsAndTheirMissingCases) {
  double msh, mse, f, sig;
  FTEST(2, 10, 30, 50, msh, mse, f, sig);
  EXPECT_DOUBLE_EQ(msh, 15);
  EXPECT_DOUBLE_EQ(mse, 5);
  EXPECT_DOUBLE_EQ(f, 3);
  EXPECT_TRUE(nearRel(sig, std::pow(1 + 2 * 3.0 / 10, -5.0), test::kTolClosedForm));

  // An effect without degrees of freedom: no mean square, no F.
  FTEST(0, 10, 0, 50, msh, mse, f, sig);
  EXPECT_TRUE(isSysmis(msh));
  EXPECT_DOUBLE_EQ(mse, 5);
  EXPECT_TRUE(isSysmis(f));
  EXPECT_TRUE(isSysmis(sig));

  // No error degrees of freedom.
  FTEST(2, 0, 30, 0, msh, mse, f, sig);
  EXPECT_DOUBLE_EQ(msh, 15);
  EXPECT_TRUE(isSysmis(mse) && isSysmis(f) && isSysmis(sig));

  // A perfect fit: mse = 0 makes F undefined, the mean squares stay.
  NumericDiag diag;
  FTEST(2, 10, 30, 0, msh, mse, f, sig, &diag);
  EXPECT_DOUBLE_EQ(mse, 0);
  EXPECT_TRUE(isSysmis(f) && isSysmis(sig));
  EXPECT_EQ(diag.argument, "mse");

  // A zero hypothesis sum of squares gives F = 0 and significance 1.
  FTEST(3, 12, 0, 24, msh, mse, f, sig);
  EXPECT_EQ(f, 0.0);
  EXPECT_EQ(sig, 1.0);

  // Fractional error df from weighted counts are allowed.
  FTEST(2, 7.5, 8, 15, msh, mse, f, sig);
  EXPECT_TRUE(nearRel(sig, std::pow(1 + 2 * f / 7.5, -7.5 / 2), test::kTolClosedForm));
}

// --- Noncentral F ----------------------------------------------------------------------

// With df2 = 2 the Poisson mixture sum_j w_j I_x(df1/2 + j, 1) = sum_j w_j x^(df1/2 + j) sums
// to x^(df1/2) exp(-lambda (1 - x) / 2), x = df1 f / (df1 f + 2): an exact closed form.
TEST(NumericNoncentralF, MatchesClosedFormForTwoDenominatorDf) {
  for (double df1 : {1.0, 2.0, 5.5, 12.0}) {
    for (double lambda : {0.3, 2.0, 9.0, 40.0}) {
      for (double f : {0.2, 1.0, 3.0, 25.0}) {
        const double x = df1 * f / (df1 * f + 2);
        const double logP = df1 / 2 * std::log(x) - lambda * (1 - x) / 2;
        EXPECT_TRUE(nearRel(NCDF(f, df1, 2, lambda), std::exp(logP), test::kTolSeries))
            << df1 << " " << lambda << " " << f;
        EXPECT_TRUE(nearRel(NCFUpperTail(f, df1, 2, lambda), -std::expm1(logP), test::kTolSeries))
            << df1 << " " << lambda << " " << f;
      }
    }
  }
}

// The noncentral F as a Poisson(lambda/2) mixture of central F variables (Abramowitz &
// Stegun 26.6.20): P(F' <= f) = sum_j w_j P(F(df1 + 2j, df2) <= f df1 / (df1 + 2j)). The
// central tails come from our own F wrappers, checked against closed forms above. Past the
// mode the weights fall by mu / j < 1/2 per term once j > 2 mu, so stopping there at a weight
// below 1e-18 leaves a Poisson mass below 2e-18.
double noncentralFBySeries(double f, double df1, double df2, double lambda, bool upper) {
  const double mu = lambda / 2;
  double sum = 0.0;
  for (int j = 0;; ++j) {
    const double w = std::exp(-mu + j * std::log(mu) - std::lgamma(j + 1.0));
    const double dfj = df1 + 2.0 * j;
    const double x = f * df1 / dfj;
    sum += w * (upper ? FUpperTail(x, dfj, df2) : FLowerTail(x, dfj, df2));
    if (j > 2 * mu && w < 1e-18) break;
  }
  return sum;
}

TEST(NumericNoncentralF, MatchesPoissonMixtureOfCentralF) {
  struct Row {
    double f, df1, df2, lambda;
  };
  for (const Row& r : {Row{1.5, 3, 10, 4}, Row{2.5, 5, 20, 10}, Row{0.5, 1, 30, 1}, Row{4, 4, 12, 25},
                       Row{3.0, 2.5, 7.3, 0.5}, Row{1.2, 8, 60, 60}}) {
    EXPECT_TRUE(nearRel(NCDF(r.f, r.df1, r.df2, r.lambda),
                        noncentralFBySeries(r.f, r.df1, r.df2, r.lambda, false), test::kTolSeries))
        << r.f << " " << r.df1 << " " << r.df2 << " " << r.lambda;
    EXPECT_TRUE(nearRel(NCFUpperTail(r.f, r.df1, r.df2, r.lambda),
                        noncentralFBySeries(r.f, r.df1, r.df2, r.lambda, true), test::kTolSeries))
        << r.f << " " << r.df1 << " " << r.df2 << " " << r.lambda;
  }
}

// NAG Library, routine g01gdc, example program results (four decimals): the noncentral F cdf
// at (f, df1, df2, lambda) = (5.5, 1.5, 25.5, 3.0), (39.9, 1, 1, 2), (2.5, 20.25, 1, 0).
TEST(NumericNoncentralF, MatchesPublishedExample) {
  EXPECT_NEAR(NCDF(5.5, 1.5, 25.5, 3.0), 0.8214, test::kTolTable4Decimals);
  EXPECT_NEAR(NCDF(39.9, 1, 1, 2.0), 0.8160, test::kTolTable4Decimals);
  EXPECT_NEAR(NCDF(2.5, 20.25, 1, 0.0), 0.5342, test::kTolTable4Decimals);
}

TEST(NumericNoncentralF, ReducesToCentralAndGivesPower) {
  EXPECT_EQ(NCDF(2.0, 3, 9, 0), FLowerTail(2.0, 3, 9));
  EXPECT_EQ(NCDF(0.0, 3, 9, 4), 0.0);
  // Observed power of an F test at alpha 0.05: the noncentral upper tail beyond the critical
  // value. With lambda = 0 it is alpha itself.
  const double fcrit = IDFF(0.95, 3, 20);
  EXPECT_TRUE(nearRel(NCFUpperTail(fcrit, 3, 20, 0.0), 0.05, test::kTolInverse));
  const double power = NCFUpperTail(fcrit, 3, 20, 12.0);
  EXPECT_TRUE(nearRel(power, 1 - NCDF(fcrit, 3, 20, 12.0), test::kTolRoundoff * 8));
  EXPECT_GT(power, 0.05);
  EXPECT_LT(power, 1.0);
}

// --- Central t -------------------------------------------------------------------------

// t with 1 df is the Cauchy distribution: cdf = 1/2 + atan(t)/pi, written for t < 0 as
// atan(1/|t|)/pi so that the test itself loses no digits.
double cauchyCdf(double t) { return t < 0 ? std::atan(-1 / t) / kPi : 0.5 + std::atan(t) / kPi; }
// t with 2 df: cdf = 1/2 + t / (2 sqrt(2 + t^2)); for t < 0 the same as 1 / (s (s + |t|)),
// s = sqrt(2 + t^2).
double t2Cdf(double t) {
  const double s = std::sqrt(2 + t * t);
  return t < 0 ? 1 / (s * (s - t)) : 0.5 + t / (2 * s);
}

TEST(NumericT, CdfMatchesClosedFormsForOneAndTwoDf) {
  for (double t : {-250.0, -7.0, -1.0, -0.2, 0.0, 0.3, 1.0, 4.0, 90.0}) {
    EXPECT_TRUE(nearRel(CDFT(t, 1), cauchyCdf(t), test::kTolClosedForm)) << t;
    EXPECT_TRUE(nearRel(CDFT(t, 2), t2Cdf(t), test::kTolClosedForm)) << t;
    // Two-sided significance: twice the tail beyond |t|.
    EXPECT_TRUE(nearRel(DSIGT(t, 1), 2 * cauchyCdf(-std::fabs(t)), test::kTolClosedForm)) << t;
    EXPECT_TRUE(nearRel(DSIGT(t, 2), 2 * t2Cdf(-std::fabs(t)), test::kTolClosedForm)) << t;
  }
  EXPECT_EQ(CDFT(0, 7.3), 0.5);
  EXPECT_EQ(DSIGT(0, 7.3), 1.0);
}

TEST(NumericT, InverseMatchesClosedFormsForOneAndTwoDf) {
  for (double p : {0.001, 0.1, 0.4, 0.5, 0.6, 0.9, 0.975, 0.9995}) {
    // Cauchy quantile tan(pi (p - 1/2)), written as -cot(pi p) / as cot(pi (1 - p)) so that
    // neither side of 1/2 loses digits.
    const double cauchy = p < 0.5 ? -1 / std::tan(kPi * p) : 1 / std::tan(kPi * (1 - p));
    EXPECT_TRUE(nearRel(IDFT(p, 1), cauchy, test::kTolInverse, test::kTolRoundoff)) << p;
    // df = 2: t = (2p - 1) / sqrt(2 p (1 - p)).
    EXPECT_TRUE(nearRel(IDFT(p, 2), (2 * p - 1) / std::sqrt(2 * p * (1 - p)), test::kTolInverse, 1e-300))
        << p;
  }
}

TEST(NumericT, SymmetryAndRoundTrip) {
  for (double df : {0.8, 3.0, 17.0, 1e4}) {
    for (double t : {0.01, 0.9, 2.5, 8.0}) {
      EXPECT_TRUE(nearRel(CDFT(t, df) + CDFT(-t, df), 1.0, test::kTolRoundoff));
      EXPECT_TRUE(nearRel(DSIGT(t, df), 2 * CDFT(-t, df), test::kTolRoundoff * 4));
      EXPECT_TRUE(nearRel(IDFT(CDFT(-t, df), df), -t, test::kTolInverse));
    }
  }
}

// --- Noncentral t ----------------------------------------------------------------------

// P(T' <= 0) = P(Z + delta <= 0) = Phi(-delta) whatever the df.
TEST(NumericNoncentralT, AtZeroIsNormalTail) {
  for (double df : {1.0, 4.0, 30.0})
    for (double delta : {-2.0, 0.5, 1.0, 3.5})
      EXPECT_TRUE(nearRel(NCDT(0, df, delta), normalCdf(-delta), test::kTolSeries)) << df << delta;
}

// P(T' <= t) = E[Phi(t S - delta)], S = sqrt(chi2(df) / df), whose density is
// g(s) = 2 (df/2)^(df/2) / Gamma(df/2) s^(df-1) exp(-df s^2 / 2). Composite Simpson over
// 1 +- 15 standard deviations of S (sd about 1 / sqrt(2 df)), clipped at 0.
double noncentralTByQuadrature(double t, double df, double delta) {
  const double halfWidth = 15 / std::sqrt(2 * df);
  const double lo = std::max(0.0, 1 - halfWidth), hi = 1 + halfWidth;
  const int n = 20000;  // even
  const double h = (hi - lo) / n;
  const double logNorm = std::log(2.0) + df / 2 * std::log(df / 2) - std::lgamma(df / 2);
  auto integrand = [&](double s) {
    if (s <= 0) return df == 1 ? std::exp(logNorm) * normalCdf(-delta) : 0.0;
    const double g = std::exp(logNorm + (df - 1) * std::log(s) - df * s * s / 2);
    return g * normalCdf(t * s - delta);
  };
  double sum = integrand(lo) + integrand(hi);
  for (int i = 1; i < n; ++i) sum += (i % 2 ? 4 : 2) * integrand(lo + i * h);
  return sum * h / 3;
}

TEST(NumericNoncentralT, MatchesQuadrature) {
  struct Row {
    double t, df, delta;
  };
  for (const Row& r :
       {Row{2, 5, 1}, Row{-1, 10, 0.5}, Row{3.5, 20, 2.5}, Row{1, 3, -1}, Row{4, 8, 3}, Row{2.2, 1, 1.5}}) {
    const double p = noncentralTByQuadrature(r.t, r.df, r.delta);
    EXPECT_TRUE(nearRel(NCDT(r.t, r.df, r.delta), p, test::kTolSeries, 1e-12))
        << r.t << " " << r.df << " " << r.delta;
    EXPECT_TRUE(nearRel(NCTUpperTail(r.t, r.df, r.delta), 1 - p, test::kTolSeries, 1e-12))
        << r.t << " " << r.df << " " << r.delta;
  }
}

// Test data from: D. Benton, K. Krishnamoorthy, "Computing discrete mixtures of continuous
// distributions: noncentral chisquare, noncentral t and the distribution of the square of the
// sample multiple correlation coefficient", Computational Statistics & Data Analysis 43
// (2003) 249-267. Printed to 15 digits; the method behind them holds about 12, so the
// tolerance is the 12-digit rung.
TEST(NumericNoncentralT, MatchesBentonKrishnamoorthyTable) {
  struct Row {
    double df, delta, t, p;
  };
  for (const Row& r : {Row{3, 1, 2.34, 0.801888999613917}, Row{126, -2, -4.33, 1.252846196792878e-2},
                       Row{20, 23, 23, 0.460134400391924}, Row{20, 33, 34, 0.532008386378725},
                       Row{12, 38, 39, 0.495868184917805}, Row{12, 39, 39, 0.446304024668836},
                       Row{200, 38, 39, 0.666194209961795}, Row{200, 42, 40, 0.179292265426085}}) {
    EXPECT_TRUE(nearRel(NCDT(r.t, r.df, r.delta), r.p, test::kTolTable12Digits))
        << r.df << " " << r.delta << " " << r.t;
    EXPECT_TRUE(nearRel(NCTUpperTail(r.t, r.df, r.delta), 1 - r.p, test::kTolTable12Digits * 4))
        << r.df << " " << r.delta << " " << r.t;
  }
}

TEST(NumericNoncentralT, ObservedPowerOfTwoSidedTest) {
  // Power of a two-sided t test at alpha 0.05 with delta = 0 is alpha itself.
  const double df = 15;
  const double tcrit = IDFT(0.975, df);
  const double power0 = NCTUpperTail(tcrit, df, 0) + NCDT(-tcrit, df, 0);
  EXPECT_TRUE(nearRel(power0, 0.05, test::kTolInverse));
  // And grows with the noncentrality, staying a probability.
  double last = power0;
  for (double delta : {0.5, 1.5, 3.0, 6.0}) {
    const double power = NCTUpperTail(tcrit, df, delta) + NCDT(-tcrit, df, delta);
    EXPECT_GT(power, last);
    EXPECT_LE(power, 1.0);
    last = power;
  }
}

// --- Bad arguments: one shared table for every wrapper ----------------------------------

TEST(NumericDistributions, EveryWrapperRejectsBadArgumentsWithSysmis) {
  using Fn = std::function<double(const std::vector<double>&, NumericDiag*)>;
  struct Wrapper {
    const char* name;
    std::vector<double> good;  // a valid argument list
    std::vector<const char*> argNames;
    std::vector<std::vector<double>> bad;  // per argument, values that must be refused
    Fn call;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> notFinite = {nan, inf, -inf, kSysmis};
  auto plus = [](std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<double> badDf = plus(notFinite, {0.0, -1.0, -1e-300});
  const std::vector<double> badQuantileArg = plus(notFinite, {-0.5, -1e-300});
  const std::vector<double> badProbBelowOne = plus(notFinite, {-0.1, 1.0, 1.5});
  const std::vector<double> badOpenProb = plus(notFinite, {0.0, -0.1, 1.0, 1.5});

  auto ftestSig = [](const std::vector<double>& a, NumericDiag* d) {
    double msh, mse, f, sig;
    FTEST(a[0], a[1], a[2], a[3], msh, mse, f, sig, d);
    return sig;
  };
  const std::vector<Wrapper> wrappers = {
      {"FTEST",
       {2, 10, 30, 50},
       {"dfh", "dfe", "ssh", "sse"},
       {badDf, badDf, badQuantileArg, badQuantileArg},
       ftestSig},
      {"FUpperTail",
       {1.5, 2, 9},
       {"f", "df1", "df2"},
       {badQuantileArg, badDf, badDf},
       [](auto& a, auto* d) { return FUpperTail(a[0], a[1], a[2], d); }},
      {"FLowerTail",
       {1.5, 2, 9},
       {"f", "df1", "df2"},
       {badQuantileArg, badDf, badDf},
       [](auto& a, auto* d) { return FLowerTail(a[0], a[1], a[2], d); }},
      {"IDFF",
       {0.95, 2, 9},
       {"p", "df1", "df2"},
       {badProbBelowOne, badDf, badDf},
       [](auto& a, auto* d) { return IDFF(a[0], a[1], a[2], d); }},
      {"NCDF",
       {1.5, 2, 9, 3},
       {"f", "df1", "df2", "lambda"},
       {badQuantileArg, badDf, badDf, badQuantileArg},
       [](auto& a, auto* d) { return NCDF(a[0], a[1], a[2], a[3], d); }},
      {"NCFUpperTail",
       {1.5, 2, 9, 3},
       {"f", "df1", "df2", "lambda"},
       {badQuantileArg, badDf, badDf, badQuantileArg},
       [](auto& a, auto* d) { return NCFUpperTail(a[0], a[1], a[2], a[3], d); }},
      {"CDFT",
       {1.5, 9},
       {"t", "df"},
       {notFinite, badDf},
       [](auto& a, auto* d) { return CDFT(a[0], a[1], d); }},
      {"IDFT",
       {0.975, 9},
       {"p", "df"},
       {badOpenProb, badDf},
       [](auto& a, auto* d) { return IDFT(a[0], a[1], d); }},
      {"DSIGT",
       {1.5, 9},
       {"t", "df"},
       {notFinite, badDf},
       [](auto& a, auto* d) { return DSIGT(a[0], a[1], d); }},
      {"NCDT",
       {1.5, 9, 1},
       {"t", "df", "delta"},
       {notFinite, badDf, notFinite},
       [](auto& a, auto* d) { return NCDT(a[0], a[1], a[2], d); }},
      {"NCTUpperTail",
       {1.5, 9, 1},
       {"t", "df", "delta"},
       {notFinite, badDf, notFinite},
       [](auto& a, auto* d) { return NCTUpperTail(a[0], a[1], a[2], d); }},
  };
  for (const Wrapper& w : wrappers) {
    const double ok = w.call(w.good, nullptr);
    EXPECT_FALSE(isSysmis(ok)) << w.name;
    for (size_t arg = 0; arg < w.bad.size(); ++arg) {
      for (double value : w.bad[arg]) {
        std::vector<double> args = w.good;
        args[arg] = value;
        NumericDiag diag;
        EXPECT_TRUE(isSysmis(w.call(args, &diag))) << w.name << " " << w.argNames[arg] << " = " << value;
        EXPECT_EQ(diag.routine, w.name) << w.name << " " << w.argNames[arg] << " = " << value;
        EXPECT_EQ(diag.argument, w.argNames[arg]) << w.name << " = " << value;
        EXPECT_NE(diag.text().find(w.argNames[arg]), std::string::npos) << diag.text();
        // Without a diagnostic record the result is the same.
        EXPECT_TRUE(isSysmis(w.call(args, nullptr))) << w.name << " " << w.argNames[arg];
      }
    }
  }
}

TEST(NumericDistributions, DiagnosticTextStatesTheRule) {
  NumericDiag diag;
  EXPECT_TRUE(isSysmis(IDFF(0.5, -1, 3, &diag)));
  EXPECT_EQ(diag.text(), "IDFF: df1 is -1, but must be > 0 and finite");
}

// Extreme but valid arguments either give a probability or the system-missing value; nothing
// throws and nothing comes back as NaN or outside [0, 1].
TEST(NumericDistributions, ExtremeArgumentsStayInRange) {
  auto isProbabilityOrMissing = [](double p) { return isSysmis(p) || (p >= 0.0 && p <= 1.0); };
  for (double df : {1e-300, 1e-8, 0.3, 1e8, 1e300}) {
    for (double x : {1e-300, 1e-5, 1.0, 1e5, 1e300}) {
      EXPECT_TRUE(isProbabilityOrMissing(FUpperTail(x, df, 3))) << df << " " << x;
      EXPECT_TRUE(isProbabilityOrMissing(FLowerTail(x, 3, df))) << df << " " << x;
      EXPECT_TRUE(isProbabilityOrMissing(CDFT(-x, df))) << df << " " << x;
      EXPECT_TRUE(isProbabilityOrMissing(DSIGT(x, df))) << df << " " << x;
      for (double nc : {1e-8, 30.0, 1e4}) {
        EXPECT_TRUE(isProbabilityOrMissing(NCDF(x, df, 7, nc))) << df << " " << x << " " << nc;
        EXPECT_TRUE(isProbabilityOrMissing(NCDT(x, df, nc))) << df << " " << x << " " << nc;
        EXPECT_TRUE(isProbabilityOrMissing(NCTUpperTail(-x, df, -nc))) << df << " " << x << " " << nc;
      }
    }
    for (double p : {1e-300, 1e-12, 0.5, 1 - 1e-12}) {
      const double q = IDFF(p, df, 4);
      EXPECT_TRUE(isSysmis(q) || (std::isfinite(q) && q >= 0)) << df << " " << p;
      EXPECT_TRUE(isSysmis(IDFT(p, df)) || std::isfinite(IDFT(p, df))) << df << " " << p;
    }
  }
}

}  // namespace
}  // namespace qv::num
