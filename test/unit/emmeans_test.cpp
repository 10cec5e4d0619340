// Estimated marginal means through whole commands, with expected values computed here from
// the data by other routes (cell means, pooled within-cell variances, closed forms), and the
// probability adjustment of the comparisons against its closed forms.
#include "emmeans/emmeans.h"

#include <gtest/gtest.h>

#include <boost/math/distributions/students_t.hpp>
#include <cfloat>
#include <cmath>
#include <map>
#include <tuple>

#include "table_fixture.h"
#include "tolerances.h"

using namespace qvtest;
using qv::EmmeansAdjustment;
using qv::test::nearRel;

namespace {

// Cell means, counts and the pooled within-cell mean square of y over factors a and b.
struct CellStats {
  std::map<std::pair<int, int>, double> sum, n;
  double sse = 0.0, cases = 0.0;
  double mean(int a, int b) const { return sum.at({a, b}) / n.at({a, b}); }
  double mse() const { return sse / (cases - static_cast<double>(n.size())); }
};

CellStats cellStats(const Csv& csv) {
  CellStats s;
  const int a = csv.col("a"), b = csv.col("b"), y = csv.col("y");
  for (const auto& r : csv.rows) {
    s.sum[{int(r[a]), int(r[b])}] += r[y];
    s.n[{int(r[a]), int(r[b])}] += 1.0;
    s.cases += 1.0;
  }
  for (const auto& r : csv.rows) {
    const double d = r[y] - s.mean(int(r[a]), int(r[b]));
    s.sse += d * d;
  }
  return s;
}

Csv makeCsv(const std::vector<std::array<double, 3>>& rows) {
  Csv csv;
  csv.names = {"a", "b", "y"};
  for (const auto& r : rows) csv.rows.push_back({r[0], r[1], r[2]});
  return csv;
}

std::vector<std::string> cellNotes(const qv::out::Table& t, const std::map<std::string, std::string>& at) {
  std::vector<std::string> texts;
  if (const qv::out::Cell* c = findCell(t, at))
    for (int f : c->footnotes) texts.push_back(t.footnotes[f].text);
  return texts;
}

bool hasNote(const std::vector<std::string>& notes, const std::string& key) {
  return std::find(notes.begin(), notes.end(), key) != notes.end();
}

std::string level(int l) { return std::to_string(l); }

}  // namespace

TEST(Emmeans, AdjustedProbabilitiesFollowTheirClosedForms) {
  struct Row {
    long ncomp;
    EmmeansAdjustment adj;
    bool significance;
    double p, want;
  };
  const Row rows[] = {
      {3, EmmeansAdjustment::Lsd, true, 0.02, 0.02},
      {3, EmmeansAdjustment::Bonferroni, true, 0.02, 0.06},
      {3, EmmeansAdjustment::Bonferroni, true, 0.5, 1.0},  // capped at 1
      {3, EmmeansAdjustment::Bonferroni, false, 0.05, 0.05 / 3},
      {3, EmmeansAdjustment::Sidak, true, 0.02, 1 - 0.98 * 0.98 * 0.98},
      {3, EmmeansAdjustment::Sidak, false, 0.05, 1 - std::cbrt(0.95)},
      {3, EmmeansAdjustment::Sidak, true, 0.0, 0.0},
      {3, EmmeansAdjustment::Sidak, true, 1.0, 1.0},
      // (1 - p)^n with p = 1e-20: n p to first order, which 1 - pow(1 - p, n) would give as 0.
      {3, EmmeansAdjustment::Sidak, true, 1e-20, 3e-20},
      // ln(1 - p) n <= -708.39, where exp underflows: the adjusted significance is 1. This
      // needs p close to 1 (or very many comparisons), not a small p.
      {20, EmmeansAdjustment::Sidak, true, 1.0 - DBL_EPSILON / 2, 1.0},
      {1000000, EmmeansAdjustment::Sidak, true, 0.999, 1.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.ncomp) + " " + std::to_string(r.p));
    EXPECT_TRUE(nearRel(qv::adjustProbability(r.ncomp, r.adj, r.significance, r.p), r.want,
                        qv::test::kTolClosedForm));
  }
}

TEST(Emmeans, UnbalancedTwoWayMeansAreUnweightedAveragesOfCellMeans) {
  // Full factorial a * b, every cell observed: the cell predictions are the cell means, so a
  // marginal mean of a is the plain average of its cell means over b, and its variance is
  // MSE / nb^2 * sum_j 1 / n_ij.
  const Csv csv = readCsv(referenceDir() + "emmeans_bonferroni/data.csv");
  const CellStats s = cellStats(csv);
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /EMMEANS=TABLES(a) /EMMEANS=TABLES(b) /EMMEANS=TABLES(OVERALL).");
  ASSERT_FALSE(r.ctx.errorFlag);
  const qv::out::Table* ta = findTable(r.output, "1. a");
  const qv::out::Table* tb = findTable(r.output, "2. b");
  const qv::out::Table* tg = findTable(r.output, "3. Grand Mean");
  ASSERT_TRUE(ta && tb && tg);
  double grand = 0.0, grandVar = 0.0;
  for (int a = 1; a <= 3; ++a) {
    double m = 0.0, v = 0.0;
    for (int b = 1; b <= 2; ++b) {
      m += s.mean(a, b) / 2;
      v += s.mse() / s.n.at({a, b}) / 4;
      grand += s.mean(a, b) / 6;
      grandVar += s.mse() / s.n.at({a, b}) / 36;
    }
    EXPECT_TRUE(nearRel(cellValue(*ta, {{"a", level(a)}, {"Statistics", "Mean"}}), m, 1e-12));
    EXPECT_TRUE(
        nearRel(cellValue(*ta, {{"a", level(a)}, {"Statistics", "Std. Error"}}), std::sqrt(v), 1e-10));
    EXPECT_TRUE(cellNotes(*ta, {{"a", level(a)}, {"Statistics", "Mean"}}).empty());
  }
  for (int b = 1; b <= 2; ++b) {
    double m = 0.0;
    for (int a = 1; a <= 3; ++a) m += s.mean(a, b) / 3;
    EXPECT_TRUE(nearRel(cellValue(*tb, {{"b", level(b)}, {"Statistics", "Mean"}}), m, 1e-12));
  }
  EXPECT_TRUE(nearRel(cellValue(*tg, {{"Statistics", "Mean"}}), grand, 1e-12));
  EXPECT_TRUE(nearRel(cellValue(*tg, {{"Statistics", "Std. Error"}}), std::sqrt(grandVar), 1e-10));
}

TEST(Emmeans, AnEmptyCellIsMissingAndFootnotedAndItsNeighboursAreModified) {
  // 2 x 3, cell (2, 3) empty, full factorial.
  const Csv csv = makeCsv({{1, 1, 3.1},
                           {1, 1, 4.2},
                           {1, 2, 5.0},
                           {1, 2, 6.4},
                           {1, 3, 7.7},
                           {1, 3, 6.9},
                           {2, 1, 2.2},
                           {2, 1, 3.0},
                           {2, 1, 2.7},
                           {2, 2, 8.1},
                           {2, 2, 7.4}});
  const CellStats s = cellStats(csv);
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /EMMEANS=TABLES(a*b) COMPARE(a) /EMMEANS=TABLES(a).");
  ASSERT_FALSE(r.ctx.errorFlag);
  const qv::out::Table* est = findTable(r.output, "Estimates");
  const qv::out::Table* ta = findTable(r.output, "2. a");
  const qv::out::Table* pw = findTable(r.output, "Pairwise Comparisons");
  const qv::out::Table* uv = findTable(r.output, "Univariate Tests");
  ASSERT_TRUE(est && ta && pw && uv);

  const std::map<std::string, std::string> empty{{"a", "2"}, {"b", "3"}, {"Statistics", "Mean"}};
  EXPECT_TRUE(qv::isSysmis(cellValue(*est, empty)));
  EXPECT_TRUE(qv::isSysmis(cellValue(*est, {{"a", "2"}, {"b", "3"}, {"Statistics", "Std. Error"}})));
  EXPECT_TRUE(hasNote(cellNotes(*est, empty), "BS level unobserved ..."));
  EXPECT_TRUE(
      nearRel(cellValue(*est, {{"a", "2"}, {"b", "2"}, {"Statistics", "Mean"}}), s.mean(2, 2), 1e-12));

  // Level 2 of a averages only its observed cells and says so; level 1 is ordinary.
  const std::map<std::string, std::string> a2{{"a", "2"}, {"Statistics", "Mean"}};
  EXPECT_TRUE(nearRel(cellValue(*ta, a2), (s.mean(2, 1) + s.mean(2, 2)) / 2, 1e-12));
  EXPECT_TRUE(hasNote(cellNotes(*ta, a2), "Means modified ..."));
  EXPECT_TRUE(nearRel(cellValue(*ta, {{"a", "1"}, {"Statistics", "Mean"}}),
                      (s.mean(1, 1) + s.mean(1, 2) + s.mean(1, 3)) / 3, 1e-12));
  EXPECT_TRUE(cellNotes(*ta, {{"a", "1"}, {"Statistics", "Mean"}}).empty());

  // Comparisons in layer b = 3 lack their (J) or (I) mean; in b = 1 they are ordinary, with an
  // LSD significance from the t distribution of the difference of two cell means.
  const std::map<std::string, std::string> missingJ{
      {"b", "3"}, {"(I) a", "1"}, {"(J) a", "2"}, {"Statistics", "Mean Difference (I-J)"}};
  EXPECT_TRUE(qv::isSysmis(cellValue(*pw, missingJ)));
  EXPECT_TRUE(hasNote(cellNotes(*pw, missingJ), "Mean (J) not exist ..."));
  EXPECT_TRUE(hasNote(
      cellNotes(*pw, {{"b", "3"}, {"(I) a", "2"}, {"(J) a", "1"}, {"Statistics", "Mean Difference (I-J)"}}),
      "Mean (I) not exist ..."));
  const double dfe = 11 - 5;
  const double diff = s.mean(1, 1) - s.mean(2, 1);
  const double se = std::sqrt(s.mse() * (1 / s.n.at({1, 1}) + 1 / s.n.at({2, 1})));
  const double p = 2 * boost::math::cdf(boost::math::students_t(dfe), -std::fabs(diff / se));
  for (auto [i, j, sign] : {std::tuple{"1", "2", 1.0}, std::tuple{"2", "1", -1.0}}) {
    std::map<std::string, std::string> at{{"b", "1"}, {"(I) a", i}, {"(J) a", j}};
    at["Statistics"] = "Mean Difference (I-J)";
    EXPECT_TRUE(nearRel(cellValue(*pw, at), sign * diff, 1e-12));
    at["Statistics"] = "Std. Error";
    EXPECT_TRUE(nearRel(cellValue(*pw, at), se, 1e-10));
    at["Statistics"] = "Significance";
    EXPECT_TRUE(nearRel(cellValue(*pw, at), p, 1e-9));
  }

  // Univariate tests: b = 3 has no test (one present level) and carries the note; b = 1 has
  // one degree of freedom, F = t^2.
  const std::map<std::string, std::string> f3{{"b", "3"}, {"Source", "Contrast"}, {"Statistics", "F"}};
  EXPECT_TRUE(qv::isSysmis(cellValue(*uv, f3)));
  EXPECT_EQ(cellValue(*uv, {{"b", "3"}, {"Source", "Contrast"}, {"Statistics", "df"}}), 0.0);
  ASSERT_EQ(cellNotes(*uv, f3).size(), 1u);
  EXPECT_NE(cellNotes(*uv, f3)[0].find("where the comparisons"), std::string::npos);
  EXPECT_TRUE(nearRel(cellValue(*uv, {{"b", "1"}, {"Source", "Contrast"}, {"Statistics", "F"}}),
                      (diff / se) * (diff / se), 1e-10));
}

TEST(Emmeans, NonEstimableMeansWithAnEstimableDifference) {
  // Main effects a + b over the cells (1,1), (2,1), (3,2) only: no mean of a is estimable
  // (b's effect is confounded with a = 3), but a1 - a2 is, as the difference of the two cell
  // means in b = 1; a1 - a3 is not.
  const Csv csv =
      makeCsv({{1, 1, 4.0}, {1, 1, 5.5}, {1, 1, 4.9}, {2, 1, 7.2}, {2, 1, 6.1}, {3, 2, 9.0}, {3, 2, 8.2}});
  const CellStats s = cellStats(csv);
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /DESIGN=a b /EMMEANS=TABLES(a) COMPARE ADJ(BONFERRONI).");
  ASSERT_FALSE(r.ctx.errorFlag);
  const qv::out::Table* est = findTable(r.output, "Estimates");
  const qv::out::Table* pw = findTable(r.output, "Pairwise Comparisons");
  ASSERT_TRUE(est && pw);
  for (int a = 1; a <= 3; ++a) {
    const std::map<std::string, std::string> at{{"a", level(a)}, {"Statistics", "Mean"}};
    EXPECT_TRUE(qv::isSysmis(cellValue(*est, at)));
    EXPECT_TRUE(hasNote(cellNotes(*est, at), "Means nonestimable ..."));
  }
  const std::map<std::string, std::string> d12{
      {"(I) a", "1"}, {"(J) a", "2"}, {"Statistics", "Mean Difference (I-J)"}};
  const double diff = s.mean(1, 1) - s.mean(2, 1);
  const double se = std::sqrt(s.mse() * (1 / s.n.at({1, 1}) + 1 / s.n.at({2, 1})));
  EXPECT_TRUE(nearRel(cellValue(*pw, d12), diff, 1e-12));
  EXPECT_TRUE(hasNote(cellNotes(*pw, d12), "Means (IJ) nonestim but ..."));
  // One estimable comparison: Bonferroni leaves the two-sided p as it is.
  const double p = 2 * boost::math::cdf(boost::math::students_t(7 - 3), -std::fabs(diff / se));
  EXPECT_TRUE(
      nearRel(cellValue(*pw, {{"(I) a", "2"}, {"(J) a", "1"}, {"Statistics", "Significance"}}), p, 1e-9));
  const std::map<std::string, std::string> d13{
      {"(I) a", "1"}, {"(J) a", "3"}, {"Statistics", "Mean Difference (I-J)"}};
  EXPECT_TRUE(qv::isSysmis(cellValue(*pw, d13)));
  EXPECT_TRUE(hasNote(cellNotes(*pw, d13), "Comparison nonestimable ..."));
}

TEST(Emmeans, OneLevelCompareFactorGivesOnlyTheEmptyTableNote) {
  const Csv csv = makeCsv({{1, 1, 3.0}, {1, 1, 4.0}, {2, 1, 6.0}, {2, 1, 8.5}});
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /EMMEANS=TABLES(a*b) COMPARE(b).");
  ASSERT_FALSE(r.ctx.errorFlag);
  const qv::out::Table* pw = findTable(r.output, "Pairwise Comparisons");
  const qv::out::Table* uv = findTable(r.output, "Univariate Tests");
  ASSERT_TRUE(pw && uv);
  EXPECT_TRUE(pw->cells.empty());
  ASSERT_EQ(tableFootnotes(*pw).size(), 1u);
  EXPECT_NE(tableFootnotes(*pw)[0].find("for b because"), std::string::npos);
  ASSERT_EQ(tableFootnotes(*uv).size(), 1u);
  EXPECT_NE(tableFootnotes(*uv)[0].find("The F test of b is not computed:"), std::string::npos);
}

TEST(Emmeans, OtherFormsAndBadInput) {
  const Csv csv = makeCsv({{1, 1, 3.0}, {1, 2, 4.0}, {2, 1, 6.0}, {2, 2, 8.5}, {2, 2, 9.0}});
  struct Case {
    std::string command;
    int message;  // error message expected, 0 = none
  };
  const Case cases[] = {
      {"QUORVEST y BY a b /EMMEANS=TABLES(c).", 109},
      {"QUORVEST y BY a WITH b /EMMEANS=TABLES(a) WITH(z=1).", 193},
      {"QUORVEST y BY a /EMMEANS=TABLES(a) WITH(b=1).", 192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    CommandRun r{TableData(csv)};
    r.exec(c.command);
    std::vector<qv::out::Message> msgs;
    collectMessages(r.output.items, msgs);
    bool found = false;
    for (const auto& m : msgs) found = found || (m.number && *m.number == c.message);
    EXPECT_TRUE(found);
    EXPECT_EQ(findTable(r.output, "a"), nullptr);
  }

  // A factor that enters no effect does not change the average: every level of b gets the
  // unweighted average of the level means of a (the one-way fit's predictions).
  {
    CommandRun r{TableData(csv)};
    r.exec("QUORVEST y BY a b /DESIGN=a /EMMEANS=TABLES(b).");
    ASSERT_FALSE(r.ctx.errorFlag);
    const qv::out::Table* t = findTable(r.output, "b");
    ASSERT_NE(t, nullptr);
    const double want = ((3.0 + 4.0) / 2 + (6.0 + 8.5 + 9.0) / 3) / 2;
    for (const char* b : {"1", "2"})
      EXPECT_TRUE(nearRel(cellValue(*t, {{"b", b}, {"Statistics", "Mean"}}), want, 1e-12));
  }
  // A table of 60^4 cells is refused with a note; the rest of the command runs.
  {
    Csv wide;
    wide.names = {"a", "b", "c", "d", "y"};
    for (int i = 1; i <= 60; ++i)
      wide.rows.push_back({double(i), double(i), double(i), double(i), std::sin(i)});
    CommandRun r{TableData(wide)};
    r.exec("QUORVEST y BY a b c d /DESIGN=a b c d /EMMEANS=TABLES(a*b*c*d) /EMMEANS=TABLES(a).");
    ASSERT_FALSE(r.ctx.errorFlag);
    std::vector<qv::out::Message> msgs;
    collectMessages(r.output.items, msgs);
    int notes = 0;
    for (const auto& m : msgs)
      notes += m.key == "Too many cells in emmean ^1" && m.text.find("table 1 ") != std::string::npos;
    EXPECT_EQ(notes, 1);
    EXPECT_NE(findTable(r.output, "2. a"), nullptr);
  }
  // No error degrees of freedom: the means are the cell values; no standard errors or bounds.
  {
    CommandRun r{TableData(makeCsv({{1, 1, 3.0}, {2, 1, 7.5}}))};
    r.exec("QUORVEST y BY a /EMMEANS=TABLES(a).");
    ASSERT_FALSE(r.ctx.errorFlag);
    const qv::out::Table* t = findTable(r.output, "a");
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(nearRel(cellValue(*t, {{"a", "2"}, {"Statistics", "Mean"}}), 7.5, 1e-12));
    EXPECT_TRUE(qv::isSysmis(cellValue(*t, {{"a", "2"}, {"Statistics", "Std. Error"}})));
    EXPECT_TRUE(qv::isSysmis(cellValue(*t, {{"a", "2"}, {"Statistics", "Upper Bound"}})));
  }
}

TEST(Emmeans, CellRowsCarryTheCovariateValuesOfTheirEffects) {
  // y = a + x + a*x over the ancova data: columns Intercept, x, [a=1..3], [a=1..3]*x. Evaluated
  // at x = 10, the row of level 2 is 1, 10, (0 1 0), (0 10 0); the grand mean spreads the
  // factor columns evenly over the three levels.
  ModelFixture m(readCsv(referenceDir() + "ancova_mean/data.csv"), "y", {"a"}, {"x"},
                 {{-1, 0}, {-1, 1}, {0, 0}, {0, 1}});
  ASSERT_TRUE(m.fit(3));
  struct Case {
    std::vector<int> factors;
    long cell;
    std::vector<double> want;  // dense row over the 8 columns
  };
  const Case cases[] = {
      {{0}, 1, {1, 10, 0, 1, 0, 0, 10, 0}},
      {{}, 0, {1, 10, 1.0 / 3, 1.0 / 3, 1.0 / 3, 10.0 / 3, 10.0 / 3, 10.0 / 3}},
  };
  for (const Case& c : cases) {
    const qv::TableCells cells = qv::tableCells(m.st.group, c.factors);
    std::vector<qv::SparseRow> rows;
    std::vector<qv::CellStatus> status;
    ASSERT_TRUE(qv::buildMarginalRows(m.st, cells, {10.0}, 1e-8, rows, status));
    ASSERT_EQ(rows.size(), static_cast<size_t>(cells.count));
    EXPECT_EQ(status[c.cell], qv::CellStatus::Ordinary);
    std::vector<double> dense(8, 0.0);
    for (size_t i = 0; i < rows[c.cell].col.size(); ++i) dense[rows[c.cell].col[i]] = rows[c.cell].val[i];
    for (size_t j = 0; j < 8; ++j) EXPECT_TRUE(nearRel(dense[j], c.want[j], qv::test::kTolRoundoff)) << j;
  }
  // The sparse estimability test agrees with the dense one on single columns and on sums of
  // pairs of columns, estimable or not.
  const qv::EstimabilityIndex ix = qv::estimabilityIndex(m.st.group);
  int estimable = 0;
  for (int i = 0; i < 8; ++i)
    for (int j = i; j < 8; ++j) {
      std::vector<double> dense(8, 0.0);
      dense[i] += 1.0;
      dense[j] += 1.0;
      qv::SparseRow row;
      for (int k = 0; k < 8; ++k)
        if (dense[k] != 0.0) {
          row.col.push_back(k);
          row.val.push_back(dense[k]);
        }
      const bool want = qv::QESTMB(m.st.group, dense.data(), 1e-8);
      EXPECT_EQ(qv::sparseEstimable(m.st.group, ix, row, 1e-8), want) << i << " " << j;
      estimable += want;
    }
  EXPECT_GT(estimable, 0);
  EXPECT_LT(estimable, 36);
}
