// The sweep solution: estimates, generalised inverse, redundant columns, the estimable-function
// and null-space bases, the estimability test, Type III and IV L matrices, and accuracy on data
// with a large constant offset. Reference numbers come from the reference cases (computed by
// independent software), from certified values of published data sets, or from closed forms
// stated beside them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "estimate/sstypes.h"
#include "model_fixture.h"
#include "program_runner.h"
#include "tolerances.h"

using namespace qvtest;

namespace {

// Rank of the rows of a matrix (Gram-Schmidt twice in long double, relative threshold 1e-9).
int rankOf(const qv::num::Mat& l) {
  std::vector<std::vector<long double>> q;
  for (size_t i = 0; i < l.rows; ++i) {
    std::vector<long double> v(l.row(i), l.row(i) + l.cols);
    auto norm = [&] {
      long double s = 0;
      for (auto x : v) s += x * x;
      return std::sqrt(s);
    };
    const long double n0 = norm();
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& b : q) {
        long double d = 0;
        for (size_t j = 0; j < v.size(); ++j) d += b[j] * v[j];
        for (size_t j = 0; j < v.size(); ++j) v[j] -= d * b[j];
      }
    const long double n1 = norm();
    if (n1 > 1e-9L * n0) {
      for (auto& x : v) x /= n1;
      q.push_back(v);
    }
  }
  return static_cast<int>(q.size());
}

// The design matrix of a fitted fixture, one dense row per case.
std::vector<std::vector<double>> designMatrix(const ModelFixture& m) {
  std::vector<std::vector<double>> x;
  std::vector<std::pair<int, double>> row;
  return gatherCases(m.work, [&](const qv::CaseBlock& b, long k) {
    qv::designRow(m.st, b.designCell(k), b.covOf(k), row);
    std::vector<double> dense(static_cast<size_t>(m.st.group.dmncol), 0.0);
    for (auto [c, v] : row) dense[c] = v;
    return dense;
  });
}

// Checks estimates and standard errors (sqrt of G_ii times the error mean square) against the
// Parameter Estimates table of a reference case, and the sums of squares against its
// between-subjects table; redundant parameters have B = 0 and no standard error.
void expectReference(const ModelFixture& m, const std::string& refCase,
                     const std::vector<std::string>& effects, const std::vector<std::string>& params) {
  const auto exp = readExpected(refCase)["tables"];
  const auto& g = m.st.group;
  const auto& tests = exp["Tests of Between-Subjects Effects"];
  for (size_t e = 0; e < effects.size(); ++e) {
    SCOPED_TRACE(effects[e]);
    EXPECT_TRUE(
        qv::test::nearRel(m.ss(static_cast<int>(e)), tests[effects[e]]["Type III Sum of Squares"], 1e-9));
    EXPECT_EQ(g.hypotheses[e].df, tests[effects[e]]["df"].get<int>());
  }
  EXPECT_TRUE(qv::test::nearRel(g.errorSSCP(0, 0), tests["Error"]["Type III Sum of Squares"], 1e-9));
  EXPECT_TRUE(qv::test::nearRel(g.totalSS[0], tests["Corrected Total"]["Type III Sum of Squares"], 1e-9));
  EXPECT_TRUE(qv::test::nearRel(g.totalSSCP(0, 0), tests["Total"]["Type III Sum of Squares"], 1e-9));
  const double mse = g.errorSSCP(0, 0) / (g.sumWeights - g.modldf);
  ASSERT_EQ(params.size(), static_cast<size_t>(g.dmncol));
  for (size_t j = 0; j < params.size(); ++j) {
    SCOPED_TRACE(params[j]);
    const auto& want = exp["Parameter Estimates"][params[j]];
    EXPECT_TRUE(qv::test::nearRel(g.paramEst(j, 0), want["B"], 1e-9, 1e-12));
    if (want["Std. Error"].is_null()) {
      EXPECT_FALSE(g.nonRedundant[j]);
      EXPECT_EQ(g.paramEst(j, 0), 0.0);
      for (size_t i = 0; i < params.size(); ++i) EXPECT_EQ(g.ginverse(j, i), 0.0);
    } else {
      EXPECT_TRUE(g.nonRedundant[j]);
      EXPECT_TRUE(qv::test::nearRel(std::sqrt(g.ginverse(j, j) * mse), want["Std. Error"], 1e-9));
    }
  }
}

}  // namespace

TEST(ModelEstimation, ReferenceCasesEstimatesAndStandardErrors) {
  {
    ModelFixture m(readCsv(referenceDir() + "params_twoway/data.csv"), "y", {"a", "b"}, {},
                   {{-1, -1}, {0, -1}, {-1, 0}, {0, 0}});
    ASSERT_TRUE(m.fit(3));
    EXPECT_EQ(m.st.group.modldf, 6);
    expectReference(m, "params_twoway", {"Intercept", "a", "b", "a * b"},
                    {"Intercept", "[a=1]", "[a=2]", "[a=3]", "[b=1]", "[b=2]", "[a=1] * [b=1]",
                     "[a=1] * [b=2]", "[a=2] * [b=1]", "[a=2] * [b=2]", "[a=3] * [b=1]", "[a=3] * [b=2]"});
  }
  const std::vector<qv::EffectRow> ancova{{-1, -1}, {-1, 1}, {0, -1}};
  const std::vector<std::string> ancovaParams{"Intercept", "x", "[a=1]", "[a=2]", "[a=3]"};
  {
    ModelFixture m(readCsv(referenceDir() + "ancova_mean/data.csv"), "y", {"a"}, {"x"}, ancova);
    ASSERT_TRUE(m.fit(3));
    expectReference(m, "ancova_mean", {"Intercept", "x", "a"}, ancovaParams);
  }
  {
    ModelFixture m(readCsv(referenceDir() + "regwgt/data.csv"), "y", {"a"}, {"x"}, ancova, "", "w");
    ASSERT_TRUE(m.fit(3));
    expectReference(m, "regwgt", {"Intercept", "x", "a"}, ancovaParams);
  }
  {
    ModelFixture m(readCsv(referenceDir() + "freqweight/data.csv"), "y", {"a"}, {}, {{-1}, {0}}, "f");
    ASSERT_TRUE(m.fit(3));
    EXPECT_EQ(m.st.group.sumWeights, 43.0);
    expectReference(m, "freqweight", {"Intercept", "a"}, {"Intercept", "[a=1]", "[a=2]", "[a=3]"});
  }
}

// The estimable-function basis spans the rows of the design, the null-space vectors are
// annihilated by it, and QESTMB accepts exactly the combinations of basis rows: a vector moved
// off them by 1e-7 of its length is refused, one moved by 1e-11 is accepted (the test allows
// 1e-8). Two identical covariates: the second is redundant.
TEST(ModelEstimation, BasesAndEstimability) {
  Csv csv = readCsv(referenceDir() + "empty_type1/data.csv");
  csv.names.push_back("x");
  csv.names.push_back("x2");
  Lcg rng(9);
  for (auto& r : csv.rows) {
    r.push_back(rng.grid(0, 4));
    r.push_back(r.back());
  }
  ModelFixture m(
      csv, "y", {"a", "b"}, {"x", "x2"},
      {{-1, -1, -1, -1}, {0, -1, -1, -1}, {-1, 0, -1, -1}, {0, 0, -1, -1}, {-1, -1, 1, -1}, {-1, -1, -1, 1}});
  ASSERT_TRUE(m.fit(3));
  const auto& g = m.st.group;
  const int p = g.dmncol;
  EXPECT_EQ(p, 1 + 2 + 3 + 5 + 1 + 1);
  EXPECT_EQ(g.modldf, 5 + 1);  // five cell means and one slope
  EXPECT_TRUE(g.nonRedundant[p - 2]);
  EXPECT_FALSE(g.nonRedundant[p - 1]);
  EXPECT_EQ(g.paramEst(p - 1, 0), 0.0);
  ASSERT_EQ(g.nullBasis.rows, static_cast<size_t>(p - g.modldf));
  ASSERT_EQ(g.estBasis.rows, static_cast<size_t>(g.modldf));
  const auto x = designMatrix(m);
  for (size_t v = 0; v < g.nullBasis.rows; ++v) {
    for (const auto& row : x) {
      double s = 0, scale = 0;
      for (int j = 0; j < p; ++j) {
        s += row[j] * g.nullBasis(v, j);
        scale += std::fabs(row[j] * g.nullBasis(v, j));
      }
      EXPECT_LE(std::fabs(s), 1e-12 * std::max(scale, 1.0)) << v;
    }
    for (size_t r = 0; r < g.estBasis.rows; ++r) {
      double s = 0;
      for (int j = 0; j < p; ++j) s += g.estBasis(r, j) * g.nullBasis(v, j);
      EXPECT_LE(std::fabs(s), 1e-12) << r << " " << v;
    }
  }
  // Every design row is estimable; so is the zero vector.
  for (const auto& row : x) EXPECT_TRUE(qv::QESTMB(g, row.data(), 1e-8));
  std::vector<double> zero(p, 0.0);
  EXPECT_TRUE(qv::QESTMB(g, zero.data(), 1e-8));
  // Combinations of basis rows, moved along a unit null-space direction.
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<double> l(p, 0.0);
    for (size_t r = 0; r < g.estBasis.rows; ++r) {
      const double c = rng.next() * 4 - 2;
      for (int j = 0; j < p; ++j) l[j] += c * g.estBasis(r, j);
    }
    double len = 0;
    for (double v : l) len += v * v;
    len = std::sqrt(len);
    EXPECT_TRUE(qv::QESTMB(g, l.data(), 1e-8)) << trial;
    const size_t v = static_cast<size_t>(trial) % g.nullBasis.rows;
    double vn = 0;
    for (int j = 0; j < p; ++j) vn += g.nullBasis(v, j) * g.nullBasis(v, j);
    vn = std::sqrt(vn);
    for (double delta : {1e-7, 1e-11}) {
      std::vector<double> moved = l;
      for (int j = 0; j < p; ++j) moved[j] += delta * len * g.nullBasis(v, j) / vn;
      EXPECT_EQ(qv::QESTMB(g, moved.data(), 1e-8), delta < 1e-8) << trial << " " << delta;
    }
  }
  // The intercept alone, or one level's parameter alone, is not estimable; their sum is.
  std::vector<double> mu(p, 0.0), a1(p, 0.0), cell(p, 0.0);
  mu[0] = 1;
  a1[1] = 1;
  cell[0] = cell[1] = cell[3] = cell[6] = 1;  // intercept + a1 + b1 + (a1, b1)
  EXPECT_FALSE(qv::QESTMB(g, mu.data(), 1e-8));
  EXPECT_FALSE(qv::QESTMB(g, a1.data(), 1e-8));
  EXPECT_TRUE(qv::QESTMB(g, cell.data(), 1e-8));
}

// In an unbalanced 2 x 2 layout the Type III functions are the textbook ones, with exact
// coefficients: A compares the unweighted row means, B the column means, A*B the
// interaction contrast.
TEST(ModelEstimation, TypeIIIFunctionsAreSnappedToExactHalvesAndUnits) {
  Csv csv;
  csv.names = {"a", "b", "y"};
  Lcg rng(17);
  const int counts[2][2] = {{3, 1}, {2, 5}};
  for (int a = 1; a <= 2; ++a)
    for (int b = 1; b <= 2; ++b)
      for (int k = 0; k < counts[a - 1][b - 1]; ++k)
        csv.rows.push_back({double(a), double(b), a * b + rng.grid(-1, 1)});
  ModelFixture m(csv, "y", {"a", "b"}, {}, {{-1, -1}, {0, -1}, {-1, 0}, {0, 0}});
  ASSERT_TRUE(m.fit(3));
  auto l = [&](size_t e) -> const qv::num::Mat& { return m.st.group.hypotheses[e].L; };
  // Columns: intercept, a1, a2, b1, b2, (1,1), (1,2), (2,1), (2,2).
  using Row = std::vector<double>;
  auto rowOf = [](const qv::num::Mat& mat, size_t r) { return Row(mat.row(r), mat.row(r) + mat.cols); };
  ASSERT_EQ(l(1).rows, 1u);
  EXPECT_EQ(rowOf(l(1), 0), (Row{0, 1, -1, 0, 0, 0.5, 0.5, -0.5, -0.5}));
  ASSERT_EQ(l(2).rows, 1u);
  EXPECT_EQ(rowOf(l(2), 0), (Row{0, 0, 0, 1, -1, 0.5, -0.5, 0.5, -0.5}));
  ASSERT_EQ(l(3).rows, 1u);
  EXPECT_EQ(rowOf(l(3), 0), (Row{0, 0, 0, 0, 0, 1, -1, -1, 1}));
  // The intercept's quarters are not among the snapped values: they are only close.
  ASSERT_EQ(l(0).rows, 1u);
  const Row mu{1, 0.5, 0.5, 0.5, 0.5, 0.25, 0.25, 0.25, 0.25};
  for (size_t j = 0; j < mu.size(); ++j) EXPECT_NEAR(l(0)(0, j), mu[j], 1e-14) << j;
}

// Layouts with empty cells: every Type III and IV function is estimable, the L matrix has full
// row rank equal to the degrees of freedom, the interaction is the same hypothesis under both
// types, and Type IV marks exactly the main effects as not unique.
TEST(ModelEstimation, EmptyCellHypothesesAreEstimableAndOfFullRank) {
  const std::vector<std::vector<std::pair<int, int>>> patterns{
      {{2, 3}}, {{1, 1}, {2, 2}, {3, 3}}, {{1, 3}, {3, 1}}, {{1, 2}, {1, 3}, {2, 3}}, {{3, 1}, {3, 2}}};
  const int interactionDf[] = {3, 1, 2, 1, 2};
  for (size_t pi = 0; pi < patterns.size(); ++pi) {
    SCOPED_TRACE(pi);
    Csv csv;
    csv.names = {"a", "b", "y"};
    Lcg rng(100 + pi);
    for (int a = 1; a <= 3; ++a)
      for (int b = 1; b <= 3; ++b) {
        bool empty = false;
        for (auto [ea, eb] : patterns[pi]) empty = empty || (ea == a && eb == b);
        for (int k = 0; !empty && k < 1 + (a * b + b) % 3; ++k)
          csv.rows.push_back({double(a), double(b), a + 0.5 * b + rng.grid(-2, 2)});
      }
    double interaction[2] = {0, 0};
    for (int type = 3; type <= 4; ++type) {
      SCOPED_TRACE(type);
      ModelFixture m(csv, "y", {"a", "b"}, {}, {{-1, -1}, {0, -1}, {-1, 0}, {0, 0}});
      ASSERT_TRUE(m.fit(type));
      const auto& g = m.st.group;
      for (int e = 0; e < 4; ++e) {
        const auto& l = g.hypotheses[e].L;
        EXPECT_EQ(static_cast<int>(l.rows), g.hypotheses[e].df) << e;
        EXPECT_EQ(rankOf(l), g.hypotheses[e].df) << e;
        for (size_t r = 0; r < l.rows; ++r) EXPECT_TRUE(qv::QESTMB(g, l.row(r), 1e-8)) << e << " " << r;
      }
      EXPECT_EQ(g.hypotheses[1].df, 2);
      EXPECT_EQ(g.hypotheses[2].df, 2);
      EXPECT_EQ(g.hypotheses[3].df, interactionDf[pi]);
      interaction[type - 3] = m.ss(3);
      if (type == 4) {
        for (size_t e = 0; e < 4; ++e) EXPECT_EQ(g.hypotheses[e].unique, e == 0 || e == 3 ? 1 : 0) << e;
      }
    }
    EXPECT_TRUE(qv::test::nearRel(interaction[1], interaction[0], 1e-10));
  }
}

// Data shaped after the NIST StRD one-way sets SmLs01 to SmLs09: nine treatments of r = 21, 201
// or 2001 replicates, each treatment one value at its centre and the others alternating 0.1
// below and above it, centres 1.4, 1.3, 1.5, 1.3, 1.5, 1.3, 1.5, 1.3, 1.5, plus a constant of
// 0, 1e6 or 1e12. The data are multiplied by 10 so that every value is an exact double
// (10000000000004 rather than 1000000000000.4), which multiplies the certified sums of squares
// by 100: between treatments 1.68, 16.08, 160.08 and within 1.8, 18, 180 become 168, 1608,
// 16008 and 180, 1800, 18000 (certified R squared 0.482758620689655, 0.471830985915493,
// 0.470712773465067). The intercept's Type I sum of squares is N times the squared mean.
TEST(ModelEstimation, SmLsLikeDataWithLargeOffsets) {
  const double centres[9] = {14, 13, 15, 13, 15, 13, 15, 13, 15};
  const double certifiedR2[3] = {0.482758620689655, 0.471830985915493, 0.470712773465067};
  const int reps[3] = {21, 201, 2001};
  for (int level = 0; level < 3; ++level)
    for (double offset : {0.0, 1e7, 1e13}) {
      SCOPED_TRACE(std::to_string(reps[level]) + " " + std::to_string(offset));
      Csv csv;
      csv.names = {"t", "y"};
      for (int t = 0; t < 9; ++t)
        for (int k = 0; k < reps[level]; ++k)
          csv.rows.push_back({double(t + 1), offset + centres[t] + (k == 0 ? 0.0 : k % 2 ? -1.0 : 1.0)});
      for (int type : {1, 3}) {
        ModelFixture m(csv, "y", {"t"}, {}, {{-1}, {0}});
        ASSERT_TRUE(m.fit(type));
        const auto& g = m.st.group;
        const double r = reps[level];
        EXPECT_TRUE(qv::test::nearRel(m.ss(1), 8 * r, 1e-10)) << type;
        EXPECT_TRUE(qv::test::nearRel(g.errorSSCP(0, 0), 9 * (r - 1), 1e-10)) << type;
        EXPECT_TRUE(qv::test::nearRel(g.totalSS[0], 8 * r + 9 * (r - 1), 1e-10)) << type;
        EXPECT_TRUE(qv::test::nearRel(1 - g.errorSSCP(0, 0) / g.totalSS[0], certifiedR2[level], 1e-10));
        // The grand mean is offset + 14 exactly.
        const long double n = 9 * r, mean = offset + 14.0L;
        EXPECT_TRUE(
            qv::test::nearRel(m.ss(0), static_cast<double>(n * mean * mean), type == 1 ? 1e-12 : 1e-9));
        EXPECT_TRUE(qv::test::nearRel(g.paramEst(0, 0), offset + 15, 1e-14));
      }
    }
}

// A two-factor model with a covariate, fitted on y and on y + 1e9: every hypothesis that does
// not involve the overall level (all but the intercept's, and the intercept's under Type II,
// which is tested without the other factor effects) keeps its sum of squares to 1e-9, for all
// four types. The offset values are exact doubles, so the shifted problem is the same problem.
TEST(ModelEstimation, OffsetDoesNotCostDigits) {
  Csv csv;
  csv.names = {"a", "b", "x", "y"};
  Lcg rng(77);
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 2; ++b)
      for (int k = 0; k < 2 + (a + b) % 3; ++k) {
        double x = rng.grid(0, 8);
        csv.rows.push_back({double(a), double(b), x, a - b + 0.25 * x + rng.grid(-1, 1)});
      }
  Csv shifted = csv;
  for (auto& r : shifted.rows) r[3] += 1e9;
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {-1, 0, -1}, {0, 0, -1}, {-1, -1, 1}};
  for (int type = 1; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m0(csv, "y", {"a", "b"}, {"x"}, rows), m1(shifted, "y", {"a", "b"}, {"x"}, rows);
    ASSERT_TRUE(m0.fit(type));
    ASSERT_TRUE(m1.fit(type));
    for (int e = 1; e < 5; ++e) EXPECT_TRUE(qv::test::nearRel(m1.ss(e), m0.ss(e), 1e-9)) << e;
    EXPECT_TRUE(qv::test::nearRel(m1.st.group.errorSSCP(0, 0), m0.st.group.errorSSCP(0, 0), 1e-9));
    EXPECT_TRUE(qv::test::nearRel(m1.st.group.totalSS[0], m0.st.group.totalSS[0], 1e-9));
    for (int j = 1; j < m0.st.group.dmncol; ++j)
      EXPECT_TRUE(qv::test::nearRel(m1.st.group.paramEst(j, 0), m0.st.group.paramEst(j, 0), 1e-8, 1e-9)) << j;
  }
}

// A saturated model leaves no error degrees of freedom: the error SSCP stays 0.
TEST(ModelEstimation, SaturatedModelHasNoErrorTerm) {
  Csv csv;
  csv.names = {"a", "y"};
  for (int a = 1; a <= 4; ++a) csv.rows.push_back({double(a), a * a + 0.5});
  ModelFixture m(csv, "y", {"a"}, {}, {{-1}, {0}});
  ASSERT_TRUE(m.fit(3));
  EXPECT_EQ(m.st.group.modldf, 4);
  EXPECT_EQ(m.st.group.errorSSCP(0, 0), 0.0);
  EXPECT_EQ(m.st.group.hypotheses[1].df, 3);
  // Closed form: the treatment sum of squares is the corrected total; the values 1.5, 4.5, 9.5,
  // 16.5 lie 6.5, 3.5, 1.5 below and 8.5 above their mean 8.
  EXPECT_TRUE(qv::test::nearRel(m.ss(1), 42.25 + 12.25 + 2.25 + 72.25, 1e-12));
}

// Contrast bases: the Type IV hypothesis of each factor's main effect, whatever the type of
// sums of squares. Building them must leave the record of the hypothesis columns of the chosen
// type alone.
TEST(ModelEstimation, ContrastBasesOfMainEffects) {
  Csv csv = readCsv(referenceDir() + "empty_type1/data.csv");
  // Type I with a*b first: a and b have no columns of their own left.
  ModelFixture m(csv, "y", {"a", "b"}, {}, {{-1, -1}, {0, 0}, {0, -1}, {-1, 0}});
  m.st.contrastSpecs.emplace_back();
  ASSERT_TRUE(m.fit(1));
  const auto& g = m.st.group;
  EXPECT_EQ(g.hypotheses[2].df, 0);
  for (int c = g.effectFirstCol[2] - 1; c < g.dmncol; ++c) EXPECT_EQ(g.hypothesisColumns[c], 0) << c;
  // The bases are those of Type IV: the same functions as Type IV gives the main effects.
  ModelFixture m4(csv, "y", {"a", "b"}, {}, {{-1, -1}, {0, -1}, {-1, 0}, {0, 0}});
  ASSERT_TRUE(m4.fit(4));
  EXPECT_EQ(g.contrastDf, (std::vector<int>{1, 2}));
  EXPECT_EQ(g.contrastUnique, (std::vector<int>{0, 0}));
  // Same hypotheses, so the same sums of squares through the L core.
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(g.contrastL[f].rows, m4.st.group.hypotheses[f + 1].L.rows);
    // Columns are laid out differently (a*b first), so compare the tested quantity L b.
    for (size_t r = 0; r < g.contrastL[f].rows; ++r) {
      double lb = 0, lb4 = 0;
      for (int j = 0; j < g.dmncol; ++j) {
        lb += g.contrastL[f](r, j) * g.paramEst(j, 0);
        lb4 += m4.st.group.hypotheses[f + 1].L(r, j) * m4.st.group.paramEst(j, 0);
      }
      EXPECT_TRUE(qv::test::nearRel(lb, lb4, 1e-10, 1e-12)) << f << " " << r;
    }
  }
}

// The same model with the covariate moved by a large constant (exact doubles: x is on a grid of
// 1/64): the slope, every factor estimate and every hypothesis except the intercept's are
// unchanged for all four types, and no column is judged redundant that was not before. The
// redundancy test judges a covariate column against its spread, not its raw sum of squares.
TEST(ModelEstimation, CovariateOffsetKeepsEstimatesAndHypotheses) {
  Csv csv;
  csv.names = {"a", "b", "x", "y"};
  Lcg rng(91);
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 2; ++b)
      for (int k = 0; k < 2 + (a + b) % 3; ++k) {
        double x = rng.grid(0, 4);
        csv.rows.push_back({double(a), double(b), x, a - b + 0.75 * x + rng.grid(-1, 1)});
      }
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {-1, 0, -1}, {0, 0, -1}, {-1, -1, 1}};
  for (double offset : {1e6, 1e9}) {
    Csv shifted = csv;
    for (auto& r : shifted.rows) r[2] += offset;
    for (int type = 1; type <= 4; ++type) {
      SCOPED_TRACE(std::to_string(type) + " " + std::to_string(offset));
      ModelFixture m0(csv, "y", {"a", "b"}, {"x"}, rows), m1(shifted, "y", {"a", "b"}, {"x"}, rows);
      ASSERT_TRUE(m0.fit(type));
      ASSERT_TRUE(m1.fit(type));
      EXPECT_EQ(m1.st.group.nonRedundant, m0.st.group.nonRedundant);
      // Type I tests x last, so its intercept row is the only one that moves.
      for (int e = 1; e < 5; ++e) EXPECT_TRUE(qv::test::nearRel(m1.ss(e), m0.ss(e), 1e-9)) << e;
      for (int e = 0; e < 5; ++e) EXPECT_EQ(m1.st.group.hypotheses[e].df, m0.st.group.hypotheses[e].df) << e;
      EXPECT_TRUE(qv::test::nearRel(m1.st.group.errorSSCP(0, 0), m0.st.group.errorSSCP(0, 0), 1e-9));
      for (int j = 1; j < m0.st.group.dmncol; ++j)
        EXPECT_TRUE(qv::test::nearRel(m1.st.group.paramEst(j, 0), m0.st.group.paramEst(j, 0), 1e-9, 1e-12))
            << j;
      // The intercept moves by -slope * offset exactly.
      const size_t xcol = static_cast<size_t>(m0.st.group.dmncol - 1);
      EXPECT_TRUE(qv::test::nearRel(m1.st.group.paramEst(0, 0),
                                    m0.st.group.paramEst(0, 0) - offset * m0.st.group.paramEst(xcol, 0),
                                    1e-9));
    }
  }
}

// A regressor that is exactly a combination of earlier ones stays redundant without a word; one
// that is only nearly so (pivot ratio between the rounding noise and EPS) is dropped too, but
// with a warning naming its parameter; a smaller EPS keeps it.
TEST(ModelEstimation, NearlyAliasedRegressorIsDroppedWithAWarning) {
  auto warnings = [](const qv::out::CommandOutput& out) {
    std::vector<std::string> texts;
    for (const auto& item : out.items)
      if (const auto* msg = std::get_if<qv::out::Message>(&item))
        if (msg->severity == qv::out::Severity::Warning) texts.push_back(msg->text + msg->key);
    return texts;
  };
  struct Case {
    double tilt;  // z = 2 x + 3 + tilt * (pattern)
    double eps;
    bool zKept;
    bool warned;
  };
  for (const Case& c : {Case{0.0, 1e-8, false, false}, Case{1.0 / 65536, 1e-8, false, true},
                        Case{1.0 / 65536, 1e-12, true, false}, Case{0.25, 1e-8, true, false}}) {
    SCOPED_TRACE(c.tilt);
    Csv csv;
    csv.names = {"x", "z", "y"};
    for (int i = 0; i < 12; ++i) {
      const double x = 1000 + i * 0.5;
      csv.rows.push_back({x, 2 * x + 3 + c.tilt * ((i * 7) % 5 - 2), 0.5 * x + (i % 3) * 0.25});
    }
    ModelFixture m(csv, "y", {}, {"x", "z"}, {{-1, -1}, {1, -1}, {-1, 1}});
    m.st.rdneps = c.eps;
    m.st.sstype = 3;
    qv::Context ctx;
    qv::out::CommandOutput out;
    ctx.output = &out;
    ASSERT_TRUE(qv::layoutDesign(ctx, m.st));
    qv::fitModel(ctx, m.st, m.work);
    ASSERT_FALSE(ctx.errorFlag);
    EXPECT_EQ(static_cast<bool>(m.st.group.nonRedundant[2]), c.zKept);
    EXPECT_TRUE(m.st.group.nonRedundant[1]);
    const auto w = warnings(out);
    EXPECT_EQ(w.size(), c.warned ? 1u : 0u);
    if (c.warned && !w.empty()) {
      EXPECT_NE(w[0].find("parameter in column 3 "), std::string::npos) << w[0];
    }
  }
}

// Through the program the warning names the parameter by its label.
class NearAliasProgram : public ProgramTest {};
TEST_F(NearAliasProgram, WarningNamesTheParameter) {
  std::string text = "x,z,y\n";
  for (int i = 0; i < 12; ++i) {
    const double x = 1000 + i * 0.5;
    text += std::to_string(x) + "," + std::to_string(2 * x + 3 + ((i * 7) % 5 - 2) / 64.0) + "," +
            std::to_string(0.5 * x + (i % 3) * 0.25) + "\n";
  }
  const std::string data = file("n.csv", text);
  RunResult r = run({"--data", data, "-e", "QUORVEST y WITH x z /CRITERIA=EPS(1E-4)."});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("The parameter z is nearly a linear combination"), std::string::npos) << r.out;
}

// DESIGN=a x a*x with the covariate near 10^6: every effect keeps the degrees of freedom it has
// near 0 (the intercept and a are then hypotheses far from the data, but still of full rank),
// and the hypotheses that do not depend on the covariate's origin keep their sums of squares.
TEST(ModelEstimation, FactorByCovariateDesignKeepsItsRankAtAnOffset) {
  Csv csv;
  csv.names = {"a", "x", "y"};
  Lcg rng(23);
  for (int a = 1; a <= 3; ++a)
    for (int k = 0; k < 8; ++k) {
      const double x = rng.grid(0, 5);
      csv.rows.push_back({double(a), x, a + (0.5 + 0.25 * a) * x + rng.grid(-1, 1)});
    }
  Csv shifted = csv;
  for (auto& r : shifted.rows) r[1] += 1e6;
  const std::vector<qv::EffectRow> rows{{-1, -1}, {0, -1}, {-1, 1}, {0, 1}};
  for (int type : {1, 2, 3, 4}) {
    SCOPED_TRACE(type);
    ModelFixture m0(csv, "y", {"a"}, {"x"}, rows), m1(shifted, "y", {"a"}, {"x"}, rows);
    ASSERT_TRUE(m0.fit(type));
    ASSERT_TRUE(m1.fit(type));
    EXPECT_EQ(m1.st.group.nonRedundant, m0.st.group.nonRedundant);
    for (int e = 0; e < 4; ++e) EXPECT_EQ(m1.st.group.hypotheses[e].df, m0.st.group.hypotheses[e].df) << e;
    EXPECT_TRUE(qv::test::nearRel(m1.ss(3), m0.ss(3), 1e-9));
    EXPECT_TRUE(qv::test::nearRel(m1.st.group.errorSSCP(0, 0), m0.st.group.errorSSCP(0, 0), 1e-9));
  }
}
