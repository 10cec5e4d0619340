// Random effects: expected mean squares, synthesised error terms and the tests of a mixed
// model. Every expected number is derived in the test itself: textbook sums of squares of
// balanced and one-way layouts, and for unbalanced data the expectations of the quadratic
// forms computed from projections by the independent least-squares solver of model_fixture.h.
#include <gtest/gtest.h>

#include <boost/math/distributions/fisher_f.hpp>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "driver/qvtctl.h"
#include "host/output/render.h"
#include "model_fixture.h"
#include "tests/expected_mean_squares.h"
#include "tests/satterthwaite.h"
#include "tolerances.h"

using namespace qvtest;

namespace {

using qv::out::Cell;
using qv::out::Table;

struct CommandRun {
  qv::out::CommandOutput out;
  qv::Context ctx;
  CommandRun(const MemoryData& data, const std::string& command) {
    ctx.output = &out;
    ctx.data = &data;
    qv::QVTCTL(ctx, command);
  }
  const Table* table(const std::string& title) const {
    for (const auto& item : out.items)
      if (const auto* t = std::get_if<Table>(&item); t && t->title == title) return t;
    return nullptr;
  }
  std::string text() const {
    qv::out::Document doc;
    doc.commands.push_back(out);
    return qv::out::renderText(doc);
  }
};

// The one cell whose keys, over the dimensions in order (group keys included), contain `keys`
// in that order.
const Cell* cellAt(const Table& t, const std::vector<std::string>& keys) {
  const Cell* found = nullptr;
  int matches = 0;
  for (const Cell& c : t.cells) {
    size_t next = 0;
    for (const auto& dim : c.path.keys())
      for (const auto& k : dim)
        if (next < keys.size() && k == keys[next]) ++next;
    if (next == keys.size()) {
      found = &c;
      ++matches;
    }
  }
  EXPECT_EQ(matches, 1) << ::testing::PrintToString(keys);
  return matches == 1 ? found : nullptr;
}

double valueAt(const Table& t, const std::vector<std::string>& keys) {
  const Cell* c = cellAt(t, keys);
  return c ? c->value.number : std::nan("");
}

// Text and values of the footnote on the error mean square of an effect.
const qv::out::Footnote* errorFootnote(const Table& t, const std::string& effect) {
  const Cell* c = cellAt(t, {effect, "Error", "Mean Square"});
  if (!c || c->footnotes.size() != 1) return nullptr;
  return &t.footnotes[c->footnotes[0]];
}

std::map<std::string, double> coefficients(const qv::out::Footnote* f) {
  std::map<std::string, double> m;
  if (f)
    for (const auto& [k, v] : f->values) m[k] = v;
  return m;
}

MemoryData fromCsv(const Csv& csv) {
  MemoryData d;
  for (const auto& n : csv.names) d.numeric(n);
  for (const auto& row : csv.rows) d.add(row);
  return d;
}

// Cell means, level means and the grand mean of a complete two-way layout.
struct Layout {
  int na = 0, nb = 0;
  std::vector<std::vector<double>> sum, count;
  double n = 0, total = 0;
  explicit Layout(const Csv& csv) {
    for (const auto& r : csv.rows) {
      na = std::max(na, static_cast<int>(r[csv.col("a")]));
      nb = std::max(nb, csv.col("b") >= 0 ? static_cast<int>(r[csv.col("b")]) : 1);
    }
    sum.assign(na, std::vector<double>(nb, 0.0));
    count = sum;
    for (const auto& r : csv.rows) {
      const int i = static_cast<int>(r[csv.col("a")]) - 1;
      const int j = csv.col("b") >= 0 ? static_cast<int>(r[csv.col("b")]) - 1 : 0;
      sum[i][j] += r[csv.col("y")];
      count[i][j] += 1;
      total += r[csv.col("y")];
      n += 1;
    }
  }
};

// ---------------------------------------------------------------------------------------------

// Satterthwaite: df = MS^2 / sum((c_i MS_i)^2 / df_i) for MS = sum c_i MS_i.
TEST(Satterthwaite, CombinationsAndWhenTheyHaveNoDf) {
  using qv::CombinedStatus;
  struct Row {
    std::vector<qv::MeanSquareTerm> terms;
    double ms, df;  // kSysmis where there is none
    CombinedStatus status;
  };
  const double M = qv::kSysmis;
  const Row rows[] = {
      // MS 10 + 10 - 2 = 18.
      {{{1, 20, 2}, {1, 30, 3}, {-1, 8, 4}},
       18,
       18.0 * 18.0 / (100.0 / 2 + 100.0 / 3 + 4.0 / 4),
       CombinedStatus::Ok},
      // One mean square keeps its own df; a zero coefficient drops its term whatever its df.
      {{{1, 12, 4}, {0, 5, 0}}, 3, 4, CombinedStatus::Ok},
      {{{0.5, 10, 5}, {0.5, 3, 0}}, M, M, CombinedStatus::NoErrorDf},           // a needed term has no df
      {{{1, 0, 2}, {1, 0, 3}}, 0, M, CombinedStatus::NoErrorDf},                // nothing varies
      {{{1, 2, 2}, {-1, 12, 3}}, M, M, CombinedStatus::NoErrorDf},              // 1 - 4 < 0
      {{{1e300, 1e10, 2}, {1e300, 1e10, 2}}, M, M, CombinedStatus::NoErrorDf},  // overflow
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.ms));
    const qv::CombinedMeanSquare c = qv::combineMeanSquares(r.terms);
    EXPECT_EQ(c.status, r.status);
    EXPECT_TRUE(r.ms == M ? qv::isSysmis(c.ms) : qv::test::nearRel(c.ms, r.ms, qv::test::kTolRoundoff));
    EXPECT_TRUE(r.df == M ? qv::isSysmis(c.df) : qv::test::nearRel(c.df, r.df, qv::test::kTolRoundoff));
    if (r.status == CombinedStatus::Ok) {
      EXPECT_TRUE(qv::test::nearRel(c.ss, c.ms * c.df, qv::test::kTolRoundoff));
    }
  }
}

// The error-term solver on expected-mean-square rows written out by hand. Columns: the random
// effects in order, then the error variance.
TEST(ErrorTermSolver, EveryStatus) {
  struct Row {
    const char* what;
    std::vector<std::vector<double>> ems;  // per effect
    std::vector<int> position;             // per effect, -1 fixed
    int effect;
    bool hasDf;
    std::vector<double> coef;
    int status;
  };
  // Balanced 3 x 4, n = 3, A fixed, B and A*B random (textbook EMS).
  const std::vector<std::vector<double>> mixed = {{9, 3, 1}, {0, 3, 1}, {9, 3, 1}, {0, 3, 1}};
  // Balanced 2 x 3, n = 4, both random: intercept, a, b, a*b.
  const std::vector<std::vector<double>> both = {{12, 8, 4, 1}, {12, 0, 4, 1}, {0, 8, 4, 1}, {0, 0, 4, 1}};
  const Row rows[] = {
      {"intercept vs MS(b)", mixed, {-1, -1, 0, 1}, 0, true, {1, 0, 0}, qv::kErrorTermSingle},
      {"fixed a vs MS(a*b)", mixed, {-1, -1, 0, 1}, 1, true, {0, 1, 0}, qv::kErrorTermSingle},
      {"random b vs MS(a*b)", mixed, {-1, -1, 0, 1}, 2, true, {0, 1, 0}, qv::kErrorTermSingle},
      {"a*b vs MS(Error)", mixed, {-1, -1, 0, 1}, 3, true, {0, 0, 1}, qv::kErrorTermSingle},
      {"intercept vs MS(a) + MS(b) - MS(a*b)",
       both,
       {-1, 0, 1, 2},
       0,
       true,
       {1, 1, -1, 0},
       qv::kErrorTermCombination},
      // Largest coefficient 1 and smallest 0 is not yet one mean square: 1 MS(R1) + 0.5 MS(R2).
      {"1 and 0.5",
       {{4, 1, 1.5}, {4, 0, 1}, {0, 2, 1}},
       {-1, 0, 1},
       0,
       true,
       {1, 0.5, 0},
       qv::kErrorTermCombination},
      // R1 and R2 have the same expectation: the earlier one is used.
      {"dependent mean squares",
       {{1, 1, 1}, {2, 2, 1}, {2, 2, 1}},
       {-1, 0, 1},
       0,
       true,
       {0.5, 0, 0.5},
       qv::kErrorTermDeficient},
      // R1 has no df (a zero row), yet its component is part of the intercept's expectation.
      {"component without a mean square", {{3, 1}, {0, 0}}, {-1, 0}, 0, true, {0, 0}, qv::kErrorTermNone},
      {"effect without df", mixed, {-1, -1, 0, 1}, 1, false, {0, 0, 0}, qv::kErrorTermNone},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    qv::num::Mat ems(r.ems.size(), r.ems[0].size());
    for (size_t i = 0; i < r.ems.size(); ++i)
      for (size_t j = 0; j < r.ems[i].size(); ++j) ems(i, j) = r.ems[i][j];
    const qv::ErrorTerm t = qv::GMXFET(ems, r.position, r.effect, r.hasDf);
    EXPECT_EQ(t.status, r.status);
    ASSERT_EQ(t.coef.size(), r.coef.size());
    for (size_t j = 0; j < r.coef.size(); ++j)
      EXPECT_TRUE(qv::test::nearRel(t.coef[j], r.coef[j], 1e-12, 1e-12));
  }
}

// Balanced 2 x 3, n = 4, both factors random. Textbook sums of squares: SS_A = bn sum(m_i - m)^2,
// SS_B = an sum(m_j - m)^2, SS_AB = n sum(m_ij - m_i - m_j + m)^2, SS_E = sum(y - m_ij)^2,
// SS_Intercept = N m^2; expectations E(MS_A) = s2 + n s2_AB + bn s2_A, E(MS_B) = s2 + n s2_AB +
// an s2_B, E(MS_AB) = s2 + n s2_AB, E(MS_Intercept) = s2 + n s2_AB + bn s2_A + an s2_B + N mu^2.
TEST(MixedModel, BalancedTwoWayBothRandom) {
  const Csv csv = readCsv(referenceDir() + "balanced_type3/data.csv");
  const Layout l(csv);
  ASSERT_EQ(l.na, 2);
  ASSERT_EQ(l.nb, 3);
  const double n = 4, a = 2, b = 3, N = l.n;
  const double m = l.total / N;
  std::vector<double> mi(2, 0.0), mj(3, 0.0);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) {
      ASSERT_EQ(l.count[i][j], n);
      mi[i] += l.sum[i][j] / (b * n);
      mj[j] += l.sum[i][j] / (a * n);
    }
  double ssA = 0, ssB = 0, ssAB = 0, ssE = 0;
  for (int i = 0; i < 2; ++i) ssA += b * n * (mi[i] - m) * (mi[i] - m);
  for (int j = 0; j < 3; ++j) ssB += a * n * (mj[j] - m) * (mj[j] - m);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) {
      const double d = l.sum[i][j] / n - mi[i] - mj[j] + m;
      ssAB += n * d * d;
    }
  for (const auto& r : csv.rows) {
    const double cell = l.sum[static_cast<int>(r[0]) - 1][static_cast<int>(r[1]) - 1] / n;
    ssE += (r[2] - cell) * (r[2] - cell);
  }
  const double msA = ssA / (a - 1), msB = ssB / (b - 1), msAB = ssAB / ((a - 1) * (b - 1));
  const double msIntErr = msA + msB - msAB;
  ASSERT_GT(msIntErr, 0);
  const double dfIntErr =
      msIntErr * msIntErr / (msA * msA / (a - 1) + msB * msB / (b - 1) + msAB * msAB / ((a - 1) * (b - 1)));

  const MemoryData d = fromCsv(csv);
  CommandRun r(d, "QUORVEST y BY a b /RANDOM=a b.");
  const Table* t = r.table("Tests of Between-Subjects Effects");
  const Table* ems = r.table("Expected Mean Squares");
  ASSERT_TRUE(t && ems) << r.text();
  EXPECT_EQ(t->subtype, "Test of Between Subjects Mixed Effects");
  const std::string ss = "Type III Sum of Squares";
  const double tol = 1e-10;

  struct Test {
    std::string effect;
    double ssh, dfh, ssErr, dfErr;
    std::string composition;
  };
  const Test tests[] = {
      {"Intercept", N * m * m, 1, msIntErr * dfIntErr, dfIntErr, "MS(a) + MS(b) - MS(a * b)"},
      {"a", ssA, a - 1, ssAB, (a - 1) * (b - 1), "MS(a * b)"},
      {"b", ssB, b - 1, ssAB, (a - 1) * (b - 1), "MS(a * b)"},
      {"a * b", ssAB, (a - 1) * (b - 1), ssE, N - a * b, "MS(Error)"},
  };
  for (const Test& x : tests) {
    SCOPED_TRACE(x.effect);
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {x.effect, "Hypothesis", ss}), x.ssh, tol));
    EXPECT_EQ(valueAt(*t, {x.effect, "Hypothesis", "df"}), x.dfh);
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {x.effect, "Error", ss}), x.ssErr, tol));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {x.effect, "Error", "df"}), x.dfErr, tol));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {x.effect, "Hypothesis", "F"}),
                                  (x.ssh / x.dfh) / (x.ssErr / x.dfErr), tol));
    const qv::out::Footnote* f = errorFootnote(*t, x.effect);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->text, x.composition);
  }
  // The combination's df is fractional and shown with decimals.
  EXPECT_NE(std::floor(dfIntErr), dfIntErr);
  EXPECT_EQ(cellAt(*t, {"Intercept", "Error", "df"})->value.fmt, qv::out::Fmt::Coefficient);
  EXPECT_EQ(cellAt(*t, {"a", "Error", "df"})->value.fmt, qv::out::Fmt::Count);

  struct EmsRow {
    std::string effect;
    double varA, varB, varAB, varE;
    std::string quadratic;
  };
  const EmsRow rows[] = {{"Intercept", b * n, a * n, n, 1, "Intercept"},
                         {"a", b * n, 0, n, 1, ""},
                         {"b", 0, a * n, n, 1, ""},
                         {"a * b", 0, 0, n, 1, ""},
                         {"Error", 0, 0, 0, 1, "-"}};
  for (const EmsRow& e : rows) {
    SCOPED_TRACE(e.effect);
    EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {e.effect, "Var(a)"}), e.varA, tol, 1e-12));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {e.effect, "Var(b)"}), e.varB, tol, 1e-12));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {e.effect, "Var(a * b)"}), e.varAB, tol, 1e-12));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {e.effect, "Var(Error)"}), e.varE, tol, 1e-12));
    if (e.quadratic != "-") {
      EXPECT_EQ(cellAt(*ems, {e.effect, "Quadratic Term"})->value.text, e.quadratic);
    }
  }
}

// One-way random, unbalanced, k levels with n_i cases: E(MS_A) = s2 + n0 s2_A with
// n0 = (N - sum n_i^2 / N) / (k - 1). The intercept hypothesis is the unweighted mean of the
// level means, with variance s2_A / k + s2 sum(1/n_i) / k^2; relative to its error part the
// component's coefficient is the harmonic mean nh = k / sum(1/n_i). Its error term solves
// c_A n0 = nh, c_A + c_E = 1.
TEST(MixedModel, UnbalancedOneWayRandom) {
  const Csv csv = readCsv(referenceDir() + "oneway_unbalanced/data.csv");
  const Layout l(csv);
  const double k = l.na, N = l.n, m = l.total / N;
  double sumN2 = 0, sumInv = 0, ssA = 0, ssE = 0, meanOfMeans = 0;
  for (int i = 0; i < l.na; ++i) {
    const double ni = l.count[i][0], mi = l.sum[i][0] / ni;
    sumN2 += ni * ni;
    sumInv += 1 / ni;
    ssA += ni * (mi - m) * (mi - m);
    meanOfMeans += mi / k;
  }
  for (const auto& r : csv.rows) {
    const int i = static_cast<int>(r[csv.col("a")]) - 1;
    const double dev = r[csv.col("y")] - l.sum[i][0] / l.count[i][0];
    ssE += dev * dev;
  }
  const double n0 = (N - sumN2 / N) / (k - 1), nh = k / sumInv;
  const double msA = ssA / (k - 1), msE = ssE / (N - k);
  const double cA = nh / n0, cE = 1 - nh / n0;
  const double msErr = cA * msA + cE * msE;
  const double dfErr =
      msErr * msErr / ((cA * msA) * (cA * msA) / (k - 1) + (cE * msE) * (cE * msE) / (N - k));
  const double ssInt = meanOfMeans * meanOfMeans / (sumInv / (k * k));
  ASSERT_NE(n0, nh);  // really unbalanced

  const MemoryData d = fromCsv(csv);
  CommandRun r(d, "QUORVEST y BY a /RANDOM=a.");
  const Table* t = r.table("Tests of Between-Subjects Effects");
  const Table* ems = r.table("Expected Mean Squares");
  ASSERT_TRUE(t && ems) << r.text();
  const double tol = 1e-10;
  EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {"a", "Var(a)"}), n0, tol));
  EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {"Intercept", "Var(a)"}), nh, tol));
  EXPECT_EQ(errorFootnote(*t, "a")->text, "MS(Error)");
  EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {"a", "Hypothesis", "F"}), msA / msE, tol));
  auto c = coefficients(errorFootnote(*t, "Intercept"));
  EXPECT_TRUE(qv::test::nearRel(c["MS(a)"], cA, tol));
  EXPECT_TRUE(qv::test::nearRel(c["MS(Error)"], cE, tol));
  EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {"Intercept", "Error", "Mean Square"}), msErr, tol));
  EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {"Intercept", "Error", "df"}), dfErr, tol));
  EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {"Intercept", "Hypothesis", "F"}), ssInt / msErr, tol));
}

// Unbalanced 2 x 3 (all cells filled), a fixed, b and a*b random, Type III. The hypothesis sum
// of squares of an effect is y'Qy with Q = P(full) - P(full without the effect's sum-to-zero
// columns), so E(SS) = s2 tr(Q) + sum_k s2_k tr(Z_k' Q Z_k) + fixed part, where Z_k holds the
// indicator columns of random effect k, and z'Qz is the drop in the residual sum of squares of
// z between the two models. The error term found by the program must reproduce each effect's
// expectation without its own component, coefficient by coefficient.
TEST(MixedModel, UnbalancedErrorTermsMatchTheirExpectations) {
  using namespace lsq;
  const Csv csv = readCsv(referenceDir() + "unbal_type3/data.csv");
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols one = constant(csv), ca = effectCodes(csv, "a"), cb = effectCodes(csv, "b"),
             cab = products(ca, cb);
  const Cols full = join({one, ca, cb, cab});
  const Cols zb = indicators(csv, "b"), zab = products(indicators(csv, "a"), zb);
  const Cols ys = join({{variable(csv, "y")}, zb, zab});
  const Sscp rssFull = residual(full, ys, w);

  struct Effect {
    std::string name;
    Cols reduced;
    double df;
    int randomPos;  // position among (b, a*b), -1 fixed
  };
  const std::vector<Effect> effects = {{"Intercept", join({ca, cb, cab}), 1, -1},
                                       {"a", join({one, cb, cab}), 1, -1},
                                       {"b", join({one, ca, cab}), 2, 0},
                                       {"a * b", join({one, ca, cb}), 2, 1}};
  // Independent expectations: per effect the coefficients of Var(b), Var(a * b), Var(Error);
  // and the mean squares.
  std::vector<std::vector<double>> expect;
  std::vector<double> ms, df;
  for (const Effect& e : effects) {
    const Sscp rssRed = residual(e.reduced, ys, w);
    double vb = 0, vab = 0;
    for (size_t z = 1; z < ys.size(); ++z) {
      const double drop = at(rssRed, z, z) - at(rssFull, z, z);
      (z <= zb.size() ? vb : vab) += drop / e.df;
    }
    expect.push_back({vb, vab, 1.0});
    ms.push_back((at(rssRed, 0, 0) - at(rssFull, 0, 0)) / e.df);
    df.push_back(e.df);
  }
  const double dfe = static_cast<double>(csv.rows.size()) - 6;
  const double mse = at(rssFull, 0, 0) / dfe;

  const MemoryData d = fromCsv(csv);
  CommandRun r(d, "QUORVEST y BY a b /RANDOM=b.");
  const Table* t = r.table("Tests of Between-Subjects Effects");
  const Table* ems = r.table("Expected Mean Squares");
  ASSERT_TRUE(t && ems) << r.text();
  const double tol = 1e-9;
  const std::vector<std::string> columns = {"Var(b)", "Var(a * b)", "Var(Error)"};
  const std::vector<std::string> meanSquares = {"MS(b)", "MS(a * b)", "MS(Error)"};
  int combinations = 0;
  for (size_t e = 0; e < effects.size(); ++e) {
    SCOPED_TRACE(effects[e].name);
    for (size_t j = 0; j < 3; ++j)
      EXPECT_TRUE(qv::test::nearRel(valueAt(*ems, {effects[e].name, columns[j]}), expect[e][j], tol, 1e-12))
          << columns[j];
    // Target: the effect's expectation without its own component.
    std::vector<double> target = expect[e];
    if (effects[e].randomPos >= 0) target[effects[e].randomPos] = 0;
    auto c = coefficients(errorFootnote(*t, effects[e].name));
    ASSERT_FALSE(c.empty());
    combinations += c.size() > 1;
    // sum_k c_k E(MS_k) over the random effects and the residual, component by component.
    const std::vector<double> msOf = {ms[2], ms[3], mse};
    const std::vector<double> dfOf = {df[2], df[3], dfe};
    const std::vector<std::vector<double>> expOf = {expect[2], expect[3], {0, 0, 1}};
    for (size_t j = 0; j < 3; ++j) {
      double got = 0;
      for (size_t k = 0; k < 3; ++k) got += c[meanSquares[k]] * expOf[k][j];
      EXPECT_TRUE(qv::test::nearRel(got, target[j], tol, 1e-12)) << columns[j];
    }
    double msErr = 0, denominator = 0;
    for (size_t k = 0; k < 3; ++k) {
      msErr += c[meanSquares[k]] * msOf[k];
      denominator += std::pow(c[meanSquares[k]] * msOf[k], 2) / dfOf[k];
    }
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {effects[e].name, "Error", "Mean Square"}), msErr, tol));
    EXPECT_TRUE(
        qv::test::nearRel(valueAt(*t, {effects[e].name, "Error", "df"}), msErr * msErr / denominator, tol));
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {effects[e].name, "Hypothesis", "F"}), ms[e] / msErr, tol));
    // The significance at Satterthwaite's fractional df, from the F distribution directly.
    const boost::math::fisher_f f(df[e], msErr * msErr / denominator);
    EXPECT_TRUE(qv::test::nearRel(valueAt(*t, {effects[e].name, "Hypothesis", "Significance"}),
                                  boost::math::cdf(boost::math::complement(f, ms[e] / msErr)), tol));
  }
  EXPECT_GT(combinations, 0);  // unbalanced: some error term is a true combination
}

// Designs where no test can be made: the Error row says why, F is left empty, and nothing
// prints NaN.
TEST(MixedModel, NoErrorTermOrNoErrorDf) {
  struct Row {
    const char* what;
    std::vector<std::vector<double>> data;  // a, b, y
    std::string command;
    std::map<std::string, std::string> footnotes;  // effect -> start of its error footnote
  };
  auto oneLevel = [] {
    std::vector<std::vector<double>> v;
    for (int i = 0; i < 12; ++i) v.push_back({double(1 + i % 3), 1, 10.0 + (i * 7) % 5});
    return v;
  };
  auto onePerCell = [] {
    std::vector<std::vector<double>> v;
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 2; ++j) v.push_back({double(i), double(j), i * 1.5 + j + (i * j) % 2});
    return v;
  };
  // A large interaction and no main effects: MS(a) + MS(b) - MS(a*b) < 0 for the intercept.
  auto crossing = [] {
    std::vector<std::vector<double>> v;
    for (int i = 1; i <= 2; ++i)
      for (int j = 1; j <= 2; ++j)
        for (int k = 0; k < 3; ++k) v.push_back({double(i), double(j), 50 + (i == j ? 10 : -10) + 0.25 * k});
    return v;
  };
  const std::string noTerm = "The F test cannot be computed: no error term";
  const std::string noDf = "The F test cannot be computed: the error term has no degrees";
  const Row rows[] = {
      {"random factor with one level",
       oneLevel(),
       "QUORVEST y BY a b /RANDOM=b.",
       {{"b", noTerm}, {"a * b", noTerm}}},
      {"one case per cell", onePerCell(), "QUORVEST y BY a b /RANDOM=a b.", {{"a * b", noDf}}},
      {"negative combination",
       crossing(),
       "QUORVEST y BY a b /RANDOM=a b /PRINT=ETASQ OPOWER.",
       {{"Intercept", noDf}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryData d;
    d.numeric("a");
    d.numeric("b");
    d.numeric("y");
    for (const auto& v : row.data) d.add(v);
    CommandRun r(d, row.command);
    const Table* t = r.table("Tests of Between-Subjects Effects");
    ASSERT_TRUE(t && r.table("Expected Mean Squares")) << r.text();
    EXPECT_FALSE(r.out.error);
    const std::string text = r.text();
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(text.find("inf"), std::string::npos) << text;
    for (const auto& [effect, start] : row.footnotes) {
      SCOPED_TRACE(effect);
      const qv::out::Footnote* f = errorFootnote(*t, effect);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(qv::out::formatValue(qv::out::Value::str(f->text)).rfind(start, 0), 0u) << f->text;
      EXPECT_TRUE(qv::isSysmis(valueAt(*t, {effect, "Hypothesis", "F"})));
      EXPECT_TRUE(qv::isSysmis(valueAt(*t, {effect, "Hypothesis", "Significance"})));
    }
  }
}

}  // namespace
