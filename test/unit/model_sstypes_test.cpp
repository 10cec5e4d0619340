// Sums of squares of Types I to IV against an independent least-squares computation
// (model_fixture.h, lsq): Types I and II as differences of residual sums of squares of nested
// models in indicator coding; Type III (and Type IV, equal to it without empty cells) as the
// increase of the residual when an effect's columns are dropped from the full-rank model in
// sum-to-zero coding. Several dependents are fitted together so that the off-diagonal
// cross-products are checked as well.
#include <gtest/gtest.h>

#include <cmath>

#include "estimate/sstypes.h"
#include "model_fixture.h"
#include "tolerances.h"

using namespace qvtest;
using lsq::Cols;
using lsq::Sscp;

namespace {

// Sums of squares here are O(1) to O(1e4) from O(100) cases: the sweep and the reference agree
// to about 1e-12 relative; 1e-9 leaves room without hiding a wrong formula.
constexpr double kTol = 1e-9;

// Compares the hypothesis SSCP of effect e with the reference, element by element, relative to
// the geometric mean of the diagonals (the scale of a cross-product).
void expectSscp(const ModelFixture& m, int e, const Sscp& want, int wantDf) {
  SCOPED_TRACE("effect " + std::to_string(e));
  const auto& g = m.st.group;
  ASSERT_EQ(g.hypotheses[e].df, wantDf);
  const int nd = m.st.ndepvr();
  double diagMax = 0;
  for (int d = 0; d < nd; ++d) diagMax = std::max(diagMax, lsq::at(want, d, d));
  for (int d = 0; d < nd; ++d)
    for (int f = 0; f <= d; ++f) {
      const double w = lsq::at(want, d, f);
      const double got = wantDf > 0 ? g.hypotheses[e].sscp(d, f) : 0.0;
      const double scale = std::sqrt(std::fabs(lsq::at(want, d, d) * lsq::at(want, f, f)));
      EXPECT_TRUE(qv::test::nearRel(got, w, kTol, kTol * std::max(scale, 1e-6 * diagMax))) << d << "," << f;
    }
}

void expectError(const ModelFixture& m, const Sscp& want) {
  for (int d = 0; d < m.st.ndepvr(); ++d)
    for (int f = 0; f <= d; ++f)
      EXPECT_TRUE(qv::test::nearRel(m.st.group.errorSSCP(d, f), lsq::at(want, d, f), kTol,
                                    kTol * std::sqrt(lsq::at(want, d, d) * lsq::at(want, f, f))))
          << d << "," << f;
}

Cols ys(const Csv& csv, const std::vector<std::string>& names) {
  Cols out;
  for (auto& n : names) out.push_back(lsq::variable(csv, n));
  return out;
}

// An unbalanced 3 x 3 layout, every cell filled with 1 to 4 cases, two correlated dependents.
Csv twoWay() {
  Csv csv;
  csv.names = {"a", "b", "y", "z"};
  Lcg rng(11);
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int k = 0; k < 1 + (a * b + a) % 4; ++k) {
        double y = a + 2.0 * b + (a == 2 && b == 3 ? 3.0 : 0.0) + rng.grid(-2, 2);
        double z = 0.5 * y - b + rng.grid(-1, 1);
        csv.rows.push_back({double(a), double(b), y, z});
      }
  return csv;
}

const std::vector<std::string> kYZ{"y", "z"};
const std::vector<qv::EffectRow> kAB{{-1, -1}, {0, -1}, {-1, 0}, {0, 0}};
const std::vector<qv::EffectRow> kBA{{-1, -1}, {-1, 0}, {0, -1}, {0, 0}};

}  // namespace

TEST(ModelSumsOfSquares, TwoWayUnbalancedEveryTypeAgainstNestedModels) {
  const Csv csv = twoWay();
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y", "z"});
  const Cols one = lsq::constant(csv), ia = lsq::indicators(csv, "a"), ib = lsq::indicators(csv, "b");
  const Cols iab = lsq::products(ia, ib);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp r0 = res({}), r1 = res({one}), rA = res({one, ia}), rB = res({one, ib}),
             rAB = res({one, ia, ib}), rFull = res({one, ia, ib, iab});

  // Type I in both orders.
  {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, kAB);
    ASSERT_TRUE(m.fit(1));
    expectSscp(m, 0, lsq::minus(r0, r1), 1);
    expectSscp(m, 1, lsq::minus(r1, rA), 2);
    expectSscp(m, 2, lsq::minus(rA, rAB), 2);
    expectSscp(m, 3, lsq::minus(rAB, rFull), 4);
    expectError(m, rFull);
  }
  {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, kBA);
    ASSERT_TRUE(m.fit(1));
    expectSscp(m, 1, lsq::minus(r1, rB), 2);
    expectSscp(m, 2, lsq::minus(rB, rAB), 2);
  }
  // Type II: each effect after every effect that does not contain it. The intercept is
  // contained in every factor effect, so it is tested against the model with nothing in it.
  for (const auto* rows : {&kAB, &kBA}) {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, *rows);
    ASSERT_TRUE(m.fit(2));
    const bool ab = rows == &kAB;
    expectSscp(m, 0, lsq::minus(r0, r1), 1);
    expectSscp(m, ab ? 1 : 2, lsq::minus(rB, rAB), 2);
    expectSscp(m, ab ? 2 : 1, lsq::minus(rA, rAB), 2);
    expectSscp(m, 3, lsq::minus(rAB, rFull), 4);
  }
  // Types III and IV: sum-to-zero coding, one effect dropped at a time.
  const Cols ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"), eab = lsq::products(ea, eb);
  const Sscp full = res({one, ea, eb, eab});
  const Sscp t3[] = {lsq::minus(res({ea, eb, eab}), full), lsq::minus(res({one, eb, eab}), full),
                     lsq::minus(res({one, ea, eab}), full), lsq::minus(res({one, ea, eb}), full)};
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    for (const auto* rows : {&kAB, &kBA}) {
      ModelFixture m(csv, kYZ, {"a", "b"}, {}, *rows);
      ASSERT_TRUE(m.fit(type));
      const bool ab = rows == &kAB;
      expectSscp(m, 0, t3[0], 1);
      expectSscp(m, ab ? 1 : 2, t3[1], 2);
      expectSscp(m, ab ? 2 : 1, t3[2], 2);
      expectSscp(m, 3, t3[3], 4);
      expectError(m, full);
    }
  }
}

// A, B, C with the two interactions A*B and A*C, every cell filled: the main effect A is
// contained in two effects of the same order. Its Type IV function must spread each of A's
// coefficients evenly within each containing effect, which makes it the Type III function.
TEST(ModelSumsOfSquares, MainEffectContainedInTwoInteractions) {
  Csv csv;
  csv.names = {"a", "b", "c", "y"};
  Lcg rng(5);
  for (int a = 1; a <= 2; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int c = 1; c <= 2; ++c)
        for (int k = 0; k < 1 + (a + 2 * b + c) % 3; ++k)
          csv.rows.push_back({double(a), double(b), double(c),
                              a * 1.5 + b + (a == 1 && c == 2 ? 2.0 : 0.0) + rng.grid(-3, 3)});
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {-1, 0, -1},
                                        {-1, -1, 0},  {0, 0, -1},  {0, -1, 0}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const Cols one = lsq::constant(csv), ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"),
             ec = lsq::effectCodes(csv, "c"), eab = lsq::products(ea, eb), eac = lsq::products(ea, ec);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp full = res({one, ea, eb, ec, eab, eac});
  const Sscp want[] = {
      lsq::minus(res({ea, eb, ec, eab, eac}), full),  lsq::minus(res({one, eb, ec, eab, eac}), full),
      lsq::minus(res({one, ea, ec, eab, eac}), full), lsq::minus(res({one, ea, eb, eab, eac}), full),
      lsq::minus(res({one, ea, eb, ec, eac}), full),  lsq::minus(res({one, ea, eb, ec, eab}), full)};
  const int df[] = {1, 1, 2, 1, 2, 1};
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a", "b", "c"}, {}, rows);
    ASSERT_TRUE(m.fit(type));
    for (int e = 0; e < 6; ++e) expectSscp(m, e, want[e], df[e]);
    if (type == 4) {
      for (int e = 0; e < 6; ++e) EXPECT_EQ(m.st.group.hypotheses[e].unique, 1) << e;
    }
  }
}

namespace {

// Factor a (3 levels, unbalanced), covariates x and z on a grid of 1/64 so that products and
// squares are exact.
Csv covariateData() {
  Csv csv;
  csv.names = {"a", "x", "z", "y"};
  Lcg rng(23);
  for (int a = 1; a <= 3; ++a)
    for (int k = 0; k < 5 + 2 * a; ++k) {
      double x = rng.grid(0, 6), z = rng.grid(-2, 2);
      double y = 3.0 * a + (1.0 + 0.3 * a) * x - 0.2 * x * x + 0.5 * x * z + rng.grid(-1, 1);
      csv.rows.push_back({double(a), x, z, y});
    }
  return csv;
}

}  // namespace

// Factor-by-covariate, a covariate power and a product of covariates. Containment requires
// equal covariate entries: a*x contains x (and nothing contains a or the intercept but the
// factor effects without covariates), so in sum-to-zero coding x is tested against the average
// of the per-level slopes.
TEST(ModelSumsOfSquares, CovariateTermsAgainstNestedModels) {
  const Csv csv = covariateData();
  // Effects: intercept, a, x, a*x, x*x, x*z over (a | x, z).
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {-1, 1, -1},
                                        {0, 1, -1},   {-1, 2, -1}, {-1, 1, 1}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const lsq::Col x = lsq::variable(csv, "x"), z = lsq::variable(csv, "z");
  const Cols one = lsq::constant(csv), ia = lsq::indicators(csv, "a"), cx{x};
  const Cols iax = lsq::products(ia, cx), xx = lsq::products(cx, cx), xz = lsq::products(cx, {z});
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  {
    ModelFixture m(csv, "y", {"a"}, {"x", "z"}, rows);
    ASSERT_TRUE(m.fit(1));
    expectSscp(m, 1, lsq::minus(res({one}), res({one, ia})), 2);
    expectSscp(m, 2, lsq::minus(res({one, ia}), res({one, ia, cx})), 1);
    expectSscp(m, 3, lsq::minus(res({one, ia, cx}), res({one, ia, iax})), 2);
    expectSscp(m, 4, lsq::minus(res({one, ia, iax}), res({one, ia, iax, xx})), 1);
    expectSscp(m, 5, lsq::minus(res({one, ia, iax, xx}), res({one, ia, iax, xx, xz})), 1);
    expectError(m, res({one, ia, iax, xx, xz}));
  }
  {
    ModelFixture m(csv, "y", {"a"}, {"x", "z"}, rows);
    ASSERT_TRUE(m.fit(2));
    const Sscp full = res({one, ia, iax, xx, xz});
    // Intercept: a contains it, the covariate terms do not.
    expectSscp(m, 0, lsq::minus(res({cx, iax, xx, xz}), res({one, cx, iax, xx, xz})), 1);
    // a*x has a covariate that a lacks, so it does not contain a and stays in.
    expectSscp(m, 1, lsq::minus(res({one, iax, xx, xz}), full), 2);
    expectSscp(m, 2, lsq::minus(res({one, ia, xx, xz}), res({one, ia, cx, xx, xz})), 1);
    expectSscp(m, 3, lsq::minus(res({one, ia, cx, xx, xz}), full), 2);
    expectSscp(m, 4, lsq::minus(res({one, ia, iax, xz}), full), 1);
    expectSscp(m, 5, lsq::minus(res({one, ia, iax, xx}), full), 1);
  }
  const Cols ea = lsq::effectCodes(csv, "a"), eax = lsq::products(ea, cx);
  const Sscp full = res({one, ea, cx, eax, xx, xz});
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a"}, {"x", "z"}, rows);
    ASSERT_TRUE(m.fit(type));
    expectSscp(m, 0, lsq::minus(res({ea, cx, eax, xx, xz}), full), 1);
    expectSscp(m, 1, lsq::minus(res({one, cx, eax, xx, xz}), full), 2);
    expectSscp(m, 2, lsq::minus(res({one, ea, eax, xx, xz}), full), 1);
    expectSscp(m, 3, lsq::minus(res({one, ea, cx, xx, xz}), full), 2);
    expectSscp(m, 4, lsq::minus(res({one, ea, cx, eax, xz}), full), 1);
    expectSscp(m, 5, lsq::minus(res({one, ea, cx, eax, xx}), full), 1);
    expectError(m, full);
  }
}

// B within A and a covariate within A (a separate slope per level of a), unbalanced, with
// levels of b that differ between the levels of a.
TEST(ModelSumsOfSquares, NestedFactorAndCovariateWithinFactor) {
  Csv csv;
  csv.names = {"a", "b", "x", "y"};
  Lcg rng(31);
  const int bLevels[3][3] = {{1, 2, 0}, {1, 2, 3}, {2, 3, 0}};
  for (int a = 1; a <= 3; ++a)
    for (int b : bLevels[a - 1])
      for (int k = 0; b > 0 && k < 2 + (a + b) % 3; ++k) {
        double x = rng.grid(1, 5);
        csv.rows.push_back({double(a), double(b), x, 2.0 * a + b + (0.5 + 0.2 * a) * x + rng.grid(-1, 1)});
      }
  // intercept, a, b(a), x(a)
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {0, 1, -1}, {0, -1, 1}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const Cols one = lsq::constant(csv), ia = lsq::indicators(csv, "a"),
             iba = lsq::products(ia, lsq::indicators(csv, "b")),
             ixa = lsq::products(ia, {lsq::variable(csv, "x")});
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  auto fitted = [&](int type) {
    auto m = std::make_unique<ModelFixture>(csv, "y", std::vector<std::string>{"a", "b"},
                                            std::vector<std::string>{"x"}, rows);
    m->st.ptecwf = {0, 0, 0, 1};
    EXPECT_TRUE(m->fit(type));
    return m;
  };
  const Sscp full = res({one, ia, iba, ixa});
  {
    auto m = fitted(1);
    EXPECT_EQ(m->st.group.effectNcols[2], 7);  // observed (a, b) pairs
    EXPECT_EQ(m->st.group.effectNcols[3], 3);
    expectSscp(*m, 1, lsq::minus(res({one}), res({one, ia})), 2);
    expectSscp(*m, 2, lsq::minus(res({one, ia}), res({one, ia, iba})), 4);
    expectSscp(*m, 3, lsq::minus(res({one, ia, iba}), full), 3);
    expectError(*m, full);
  }
  {
    // b(a) contains a; x(a) has a covariate and contains nothing.
    auto m = fitted(2);
    expectSscp(*m, 1, lsq::minus(res({one, ixa}), res({one, ia, ixa})), 2);
    expectSscp(*m, 2, lsq::minus(res({one, ia, ixa}), full), 4);
    expectSscp(*m, 3, lsq::minus(res({one, ia, iba}), full), 3);
  }
  const Cols ea = lsq::effectCodes(csv, "a"), eba = lsq::nestedCodes(csv, "b", "a");
  const Sscp fullCoded = res({one, ea, eba, ixa});
  // The intercept's hypothesis is a weighted sum of the cell intercepts, sum w_ab g_ab = 0, in
  // the cell model (one column per observed (a, b), plus x(a)); it is tested by the constrained
  // fit with g_last = -sum w_ab g_ab / w_last. Type IV spreads the intercept evenly over the 7
  // cells. Type III makes it orthogonal (in the coefficients of the overparameterised model)
  // to every contrast among the cells, which with n_a cells at level a of a gives each cell of
  // level a the weight 1 / (1 + n_a).
  Cols cells;
  std::vector<int> cellsAt;  // per cell, number of cells at its level of a
  for (size_t i = 0; i < iba.size(); ++i)
    if (std::any_of(iba[i].begin(), iba[i].end(), [](double v) { return v != 0; })) cells.push_back(iba[i]);
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      if (bLevels[a][b] > 0) cellsAt.push_back(a == 1 ? 3 : 2);
  auto interceptSs = [&](const std::vector<double>& wt) {
    Cols constrained;
    for (size_t c = 0; c + 1 < cells.size(); ++c) {
      lsq::Col col = cells[c];
      for (size_t i = 0; i < col.size(); ++i) col[i] -= wt[c] / wt.back() * cells.back()[i];
      constrained.push_back(col);
    }
    return lsq::minus(res({constrained, ixa}), fullCoded);
  };
  std::vector<double> type3, type4(cells.size(), 1.0);
  for (int n : cellsAt) type3.push_back(1.0 / (1 + n));
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    auto m = fitted(type);
    expectSscp(*m, 0, interceptSs(type == 3 ? type3 : type4), 1);
    expectSscp(*m, 1, lsq::minus(res({one, eba, ixa}), fullCoded), 2);
    expectSscp(*m, 2, lsq::minus(res({one, ea, ixa}), fullCoded), 4);
    expectSscp(*m, 3, lsq::minus(res({one, ea, eba}), fullCoded), 3);
  }
}

// Without an intercept nothing is shifted and every total is about zero; the factor's
// hypothesis is that all its level parameters are 0.
TEST(ModelSumsOfSquares, ModelWithoutIntercept) {
  Csv csv = covariateData();
  for (auto& r : csv.rows) r[3] += 1000.0;  // a large mean makes "about zero" matter
  const std::vector<qv::EffectRow> rows{{0, -1, -1}, {-1, 1, -1}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const Cols ia = lsq::indicators(csv, "a"), cx{lsq::variable(csv, "x")};
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp full = res({ia, cx});
  for (int type = 1; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a"}, {"x", "z"}, rows);
    ASSERT_TRUE(m.fit(type));
    EXPECT_FALSE(m.st.interceptIncluded);
    EXPECT_TRUE(m.st.group.depShift.empty());
    EXPECT_EQ(m.st.group.modldf, 4);
    expectSscp(m, 0,
               lsq::minus(res(type == 1 ? std::initializer_list<Cols>{} : std::initializer_list<Cols>{cx}),
                          type == 1 ? res({ia}) : full),
               3);
    expectSscp(m, 1, lsq::minus(res({ia}), full), 1);
    expectError(m, full);
    const double sumSq = lsq::at(res({}), 0, 0);
    EXPECT_TRUE(qv::test::nearRel(m.st.group.totalSS[0], sumSq, kTol));
    EXPECT_TRUE(qv::test::nearRel(m.st.group.totalSSCP(0, 0), sumSq, kTol));
  }
}

// Regression weights enter every cross-product (weighted least squares, checked against the
// rows scaled by the square root of the weight); case weights also count cases, so integer case
// weights give exactly the analysis of the replicated data. A regression weight of 2 counts
// like two cases in the cross-products but not in the number of cases.
TEST(ModelSumsOfSquares, RegressionAndCaseWeights) {
  Csv csv = twoWay();
  csv.names.push_back("r");
  csv.names.push_back("f");
  Lcg rng(3);
  for (auto& row : csv.rows) {
    row.push_back(rng.grid(0.25, 3));
    row.push_back(1.0 + std::floor(rng.next() * 3));
  }
  std::vector<double> r;
  for (auto& row : csv.rows) r.push_back(row[4]);
  const Cols y = ys(csv, {"y", "z"});
  const Cols one = lsq::constant(csv), ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"),
             eab = lsq::products(ea, eb);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, r); };
  const Sscp full = res({one, ea, eb, eab});
  {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, kAB, "", "r");
    ASSERT_TRUE(m.fit(3));
    expectSscp(m, 0, lsq::minus(res({ea, eb, eab}), full), 1);
    expectSscp(m, 1, lsq::minus(res({one, eb, eab}), full), 2);
    expectSscp(m, 2, lsq::minus(res({one, ea, eab}), full), 2);
    expectSscp(m, 3, lsq::minus(res({one, ea, eb}), full), 4);
    expectError(m, full);
    EXPECT_EQ(m.st.group.sumWeights, static_cast<double>(csv.rows.size()));
    // Corrected total: about the weighted mean.
    EXPECT_TRUE(qv::test::nearRel(m.st.group.totalSS[1], lsq::at(res({one}), 1, 1), kTol));
  }
  // Case weights against the replicated data; the same weights as regression weights give the
  // same sums of squares but keep the unweighted case count.
  Csv replicated;
  replicated.names = csv.names;
  double nrep = 0;
  for (auto& row : csv.rows)
    for (int k = 0; k < static_cast<int>(row[5]); ++k, ++nrep) replicated.rows.push_back(row);
  for (int type = 1; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture weighted(csv, kYZ, {"a", "b"}, {}, kAB, "f"),
        asRegwgt(csv, kYZ, {"a", "b"}, {}, kAB, "", "f"), plain(replicated, kYZ, {"a", "b"}, {}, kAB);
    ASSERT_TRUE(weighted.fit(type));
    ASSERT_TRUE(asRegwgt.fit(type));
    ASSERT_TRUE(plain.fit(type));
    EXPECT_EQ(weighted.st.group.sumWeights, nrep);
    EXPECT_EQ(asRegwgt.st.group.sumWeights, static_cast<double>(csv.rows.size()));
    for (const ModelFixture* m : {&weighted, &asRegwgt}) {
      for (int e = 0; e < 4; ++e) {
        ASSERT_EQ(m->st.group.hypotheses[e].df, plain.st.group.hypotheses[e].df);
        for (int d = 0; d < 2; ++d)
          for (int f = 0; f <= d; ++f)
            EXPECT_TRUE(
                qv::test::nearRel(m->st.group.hypotheses[e].sscp(d, f), plain.st.group.hypotheses[e].sscp(d, f), kTol, 1e-9));
      }
      for (int d = 0; d < 2; ++d) {
        EXPECT_TRUE(qv::test::nearRel(m->st.group.errorSSCP(d, d), plain.st.group.errorSSCP(d, d), kTol));
        EXPECT_TRUE(qv::test::nearRel(m->st.group.totalSS[d], plain.st.group.totalSS[d], kTol));
      }
    }
  }
}

// An effect listed after effects that already span its columns has no degrees of freedom under
// Type I; under the other types it is tested in its own right.
TEST(ModelSumsOfSquares, TypeIEffectAliasedWithEarlierEffectsHasNoDf) {
  const Csv csv = twoWay();
  const std::vector<qv::EffectRow> rows{{-1, -1}, {0, 0}, {0, -1}, {-1, 0}};
  ModelFixture m1(csv, kYZ, {"a", "b"}, {}, rows);
  ASSERT_TRUE(m1.fit(1));
  EXPECT_EQ(m1.st.group.hypotheses[1].df, 8);
  EXPECT_EQ(m1.st.group.hypotheses[2].df, 0);
  EXPECT_EQ(m1.st.group.hypotheses[3].df, 0);
  EXPECT_EQ(m1.st.group.hypotheses[2].sscp.n, 0u);
  EXPECT_EQ(m1.st.group.hypotheses[3].L.rows, 0u);
  EXPECT_EQ(m1.ss(2), 0.0);
  ModelFixture m3(csv, kYZ, {"a", "b"}, {}, rows);
  ASSERT_TRUE(m3.fit(3));
  EXPECT_EQ(m3.st.group.hypotheses[1].df, 4);
  EXPECT_EQ(m3.st.group.hypotheses[2].df, 2);
  EXPECT_EQ(m3.st.group.hypotheses[3].df, 2);
}

// With covariates only nothing contains anything, so Types II and III are the same test: each
// term after all the others.
TEST(ModelSumsOfSquares, CovariatesOnlyTypeIIEqualsTypeIII) {
  const Csv csv = covariateData();
  const std::vector<qv::EffectRow> rows{{-1, -1}, {1, -1}, {-1, 1}, {1, 1}, {2, -1}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const lsq::Col x = lsq::variable(csv, "x"), z = lsq::variable(csv, "z");
  const Cols one = lsq::constant(csv), cx{x}, cz{z}, xz = lsq::products(cx, cz), xx = lsq::products(cx, cx);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp full = res({one, cx, cz, xz, xx});
  const Sscp want[] = {lsq::minus(res({cx, cz, xz, xx}), full), lsq::minus(res({one, cz, xz, xx}), full),
                       lsq::minus(res({one, cx, xz, xx}), full), lsq::minus(res({one, cx, cz, xx}), full),
                       lsq::minus(res({one, cx, cz, xz}), full)};
  for (int type = 2; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {}, {"x", "z"}, rows);
    ASSERT_TRUE(m.fit(type));
    EXPECT_EQ(m.st.group.dmncol, 5);
    for (int e = 0; e < 5; ++e) expectSscp(m, e, want[e], 1);
  }
}

// Containment levels: in a three-way factorial a*b*c is above a*b and a*c; with a*d beside it,
// a*d is contained in no top-level effect and is raised to the top level, so a's coefficient
// is spread over the cells of a*b*c and, separately, of a*d, and a*b, a*c receive the sums of
// the a*b*c cells inside theirs. Every cell is filled, so Type IV must equal Type III.
TEST(ModelSumsOfSquares, TypeIVEqualsTypeIIIThroughContainmentLevels) {
  Csv csv;
  csv.names = {"a", "b", "c", "d", "y"};
  Lcg rng(41);
  for (int a = 1; a <= 2; ++a)
    for (int b = 1; b <= 2; ++b)
      for (int c = 1; c <= 3; ++c)
        for (int d = 1; d <= 2; ++d)
          for (int k = 0; k < 1 + (a + b + 2 * c + d) % 3; ++k)
            csv.rows.push_back({double(a), double(b), double(c), double(d),
                                a + 0.5 * b - 0.3 * c + d + (a == b ? 1.0 : 0.0) + rng.grid(-2, 2)});
  auto row = [](int a, int b, int c, int d) { return qv::EffectRow{a, b, c, d}; };
  const std::vector<qv::EffectRow> rows{
      row(-1, -1, -1, -1), row(0, -1, -1, -1), row(-1, 0, -1, -1), row(-1, -1, 0, -1), row(-1, -1, -1, 0),
      row(0, 0, -1, -1),   row(0, -1, 0, -1),  row(-1, 0, 0, -1),  row(0, -1, -1, 0),  row(0, 0, 0, -1)};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const Cols one = lsq::constant(csv), ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"),
             ec = lsq::effectCodes(csv, "c"), ed = lsq::effectCodes(csv, "d");
  const Cols blocks[] = {one,
                         ea,
                         eb,
                         ec,
                         ed,
                         lsq::products(ea, eb),
                         lsq::products(ea, ec),
                         lsq::products(eb, ec),
                         lsq::products(ea, ed),
                         lsq::products(lsq::products(ea, eb), ec)};
  auto without = [&](int drop) {
    Cols all;
    for (int e = 0; e < 10; ++e)
      if (e != drop) all.insert(all.end(), blocks[e].begin(), blocks[e].end());
    return lsq::residual(all, y, w);
  };
  const Sscp full = without(-1);
  int maxchy = 0;
  ModelFixture levels(csv, "y", {"a", "b", "c", "d"}, {}, rows);
  const std::vector<int> lev = qv::containmentLevels(levels.st, 1, maxchy);
  EXPECT_EQ(maxchy, 2);
  EXPECT_EQ(lev, (std::vector<int>{-1, 0, -1, -1, -1, 1, 1, -1, 2, 2}));
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a", "b", "c", "d"}, {}, rows);
    ASSERT_TRUE(m.fit(type));
    for (int e = 0; e < 10; ++e)
      expectSscp(m, e, lsq::minus(without(e), full), static_cast<int>(blocks[e].size()));
  }
}
