// Post hoc comparisons: the level statistics pass, the row rules of the Multiple Comparisons
// table, and the refusals and table layout of whole commands. The critical values themselves
// are checked where they are computed; the reference cases check whole tables.
#include "posthoc/posthoc.h"

#include <gtest/gtest.h>

#include <cmath>

#include "host/output/messages.h"
#include "posthoc/level_statistics.h"
#include "table_fixture.h"

using namespace qvtest;

namespace {

const std::vector<qv::EffectRow> kOneWay{{-1}, {0}};

// The messages of a run, by key.
std::vector<std::string> messageKeys(const qv::out::CommandOutput& o) {
  std::vector<qv::out::Message> all;
  collectMessages(o.items, all);
  std::vector<std::string> keys;
  for (const auto& m : all) keys.push_back(m.key);
  return keys;
}

bool has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

TEST(PosthocLevels, RangesMergeToTheWholePassAndWeightsCountAsStated) {
  // Level 1 holds y = 1 (case weight 2), 3, 8; level 2 holds 4 (regression weight 3), 6.
  Csv csv;
  csv.names = {"a", "y", "f", "v"};
  csv.rows = {{1, 1, 2, 1}, {2, 4, 1, 3}, {1, 3, 1, 1}, {2, 6, 1, 1}, {1, 8, 1, 1}};
  ModelFixture m(csv, "y", {"a"}, {}, kOneWay, "f", "v");
  auto pass = [&] {
    auto all = qv::emptyLevelStatistics(m.st, {0});
    m.work.reduce([&](const qv::CaseBlock& b) { return qv::accumulateLevelStatistics(m.st, b, {0}); },
                  [&](const qv::LevelStatistics& part) { all.merge(part); });
    return all;
  };
  const auto whole = pass();
  m.storeCases(2, qv::CaseWorkFile::kMemoryBytes);
  const auto split = pass();
  const auto& lv = *whole.of(0);
  ASSERT_EQ(lv.size(), 2u);
  // Level 1: weights 2, 1, 1: mean (2 + 3 + 8) / 4 = 3.25, SS 2(2.25)^2 + 0.25^2 + 4.75^2.
  EXPECT_EQ(lv[0].n, 4.0);
  EXPECT_EQ(lv[0].wsum, 4.0);
  EXPECT_NEAR(lv[0].mean[0], 3.25, 1e-15);
  EXPECT_NEAR(lv[0].m2[0], 2 * 2.25 * 2.25 + 0.0625 + 4.75 * 4.75, 1e-13);
  // Level 2: case weights 1, 1 count 2 cases; accumulation weights 3, 1: mean (12 + 6) / 4 = 4.5.
  EXPECT_EQ(lv[1].n, 2.0);
  EXPECT_EQ(lv[1].wsum, 4.0);
  EXPECT_NEAR(lv[1].mean[0], 4.5, 1e-15);
  EXPECT_NEAR(lv[1].m2[0], 3 * 0.25 + 2.25, 1e-13);
  for (size_t l = 0; l < 2; ++l) {
    EXPECT_EQ(split.of(0)->at(l).n, lv[l].n);
    EXPECT_NEAR(split.of(0)->at(l).mean[0], lv[l].mean[0], 1e-15);
    EXPECT_NEAR(split.of(0)->at(l).m2[0], lv[l].m2[0], 1e-13);
  }
  EXPECT_EQ(whole.of(1), nullptr);
}

namespace {

// Three levels with means 10, 12, 17, sizes 4, 5, 6, standard deviations 1, 2, 3.
qv::LevelSummary threeLevels() { return {{10, 12, 17}, {1, 2, 3}, {4, 5, 6}}; }

qv::num::PostHocResult resultWith(double range, double fillP) {
  qv::num::PostHocResult r;
  r.status = qv::num::PostHocStatus::Ok;
  r.criticalRange = range;
  r.significance = qv::num::PostHocMatrix(3, fillP);
  r.halfWidth = qv::num::PostHocMatrix(3, 2.5);
  r.differs.assign(9, 0);
  return r;
}

const qv::ComparisonRow& rowOf(const std::vector<qv::ComparisonRow>& rows, int i, int j) {
  for (const auto& r : rows)
    if (r.i == i && r.j == j) return r;
  throw std::runtime_error("no row");
}

}  // namespace

TEST(PosthocRows, PooledErrorRulesUseTheCriticalRangeAndClampSignificances) {
  const double mse = 4.0;  // root 2
  // LSD at df 12, alpha .05: t(.975; 12) = 2.178812829667228 (Boost t quantile; tables give
  // 2.179), so R(1,1) = t sqrt(2) and the half-width of (1, 2) is t * sqrt(1/4 + 1/5) * 1 * root
  // once the engine includes root in R.
  const double t12 = 2.178812829667228;
  auto r = resultWith(t12 * std::sqrt(2.0) * 2.0, 0.5);
  r.significance(0, 2) = -1e-17;  // rounding below 0
  r.significance(1, 0) = 1.0 + 1e-15;
  const auto rows = qv::comparisonRows(qv::PosthocTest::Lsd, r, threeLevels(), mse, 0.05);
  ASSERT_EQ(rows.size(), 6u);
  const auto& r12 = rowOf(rows, 0, 1);
  EXPECT_DOUBLE_EQ(r12.diff, -2.0);
  EXPECT_NEAR(r12.stdError, 2.0 * std::sqrt(0.25 + 0.2), 1e-15);
  EXPECT_NEAR(r12.upper - r12.diff, t12 * r12.stdError, 1e-13);
  EXPECT_NEAR(r12.diff - r12.lower, t12 * r12.stdError, 1e-13);
  EXPECT_FALSE(r12.significant);
  EXPECT_EQ(rowOf(rows, 0, 2).sig, 0.0);
  EXPECT_TRUE(rowOf(rows, 0, 2).significant);
  EXPECT_EQ(rowOf(rows, 1, 0).sig, 1.0);

  // Gabriel: half-width (sqrt(1/(2 n_i)) + sqrt(1/(2 n_j))) R; no rows without a positive R.
  const auto g = qv::comparisonRows(qv::PosthocTest::Gabriel, resultWith(3.0, 0.2), threeLevels(), mse, 0.05);
  EXPECT_NEAR(rowOf(g, 2, 1).upper - rowOf(g, 2, 1).diff, (std::sqrt(1.0 / 12) + std::sqrt(0.1)) * 3.0,
              1e-14);
  EXPECT_TRUE(
      qv::comparisonRows(qv::PosthocTest::Gabriel, resultWith(0.0, 0.2), threeLevels(), mse, 0.05).empty());
  // Subsets-only tests have no rows.
  EXPECT_TRUE(
      qv::comparisonRows(qv::PosthocTest::Snk, resultWith(3.0, 0.2), threeLevels(), mse, 0.05).empty());
}

TEST(PosthocRows, UnequalVarianceRowsUseLevelDeviationsAndFallBackOnTheDecision) {
  auto r = resultWith(qv::kSysmis, 0.01);
  r.significance(0, 1) = -1.0;  // not available: the decision indicator decides
  r.differs[0 * 3 + 1] = 1;
  r.halfWidth(1, 2) = -1.0;  // no interval
  const auto gh = qv::comparisonRows(qv::PosthocTest::GamesHowell, r, threeLevels(), 4.0, 0.05);
  const auto& r12 = rowOf(gh, 0, 1);
  EXPECT_NEAR(r12.stdError, std::sqrt(1.0 / 4 + 4.0 / 5), 1e-15);
  EXPECT_TRUE(qv::isSysmis(r12.sig));
  EXPECT_TRUE(r12.significant);
  EXPECT_EQ(r12.upper - r12.diff, 2.5);
  EXPECT_LT(rowOf(gh, 1, 2).half, 0.0);
  EXPECT_TRUE(rowOf(gh, 2, 0).significant);  // p = .01 <= .05
  // Dunnett C: the indicator alone decides and a negative significance is left out.
  r.significance = qv::num::PostHocMatrix(3, -1.0);
  const auto c = qv::comparisonRows(qv::PosthocTest::DunnettC, r, threeLevels(), 4.0, 0.05);
  EXPECT_FALSE(rowOf(c, 0, 1).sigShown);
  EXPECT_TRUE(rowOf(c, 0, 1).significant);
  EXPECT_FALSE(rowOf(c, 2, 0).significant);
}

TEST(PosthocRows, ControlRowsShowTheBoundsOfTheirSide) {
  qv::num::PostHocResult r;
  r.status = qv::num::PostHocStatus::Ok;
  r.control = 1;
  r.controlHalfWidth = {3.0, 0.0, -1.0};  // level 3: no bound
  r.controlSignificance = {0.2, 0.0, 1.0 + 1e-12};
  struct Case {
    qv::PosthocTest test;
    bool lower, upper;
  };
  for (const Case& c :
       {Case{qv::PosthocTest::Dunnett, true, true}, Case{qv::PosthocTest::DunnettL, false, true},
        Case{qv::PosthocTest::DunnettR, true, false}}) {
    const auto rows = qv::comparisonRows(c.test, r, threeLevels(), 4.0, 0.05);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].i, 0);
    EXPECT_EQ(rows[0].j, 1);
    EXPECT_DOUBLE_EQ(rows[0].diff, -2.0);
    EXPECT_NEAR(rows[0].stdError, 2.0 * std::sqrt(0.2 + 0.25), 1e-15);
    EXPECT_EQ(rows[0].lower, -5.0);
    EXPECT_EQ(rows[0].upper, 1.0);
    EXPECT_EQ(rows[0].showLower, c.lower);
    EXPECT_EQ(rows[0].showUpper, c.upper);
    EXPECT_EQ(rows[1].i, 2);
    EXPECT_FALSE(rows[1].showLower || rows[1].showUpper);
    EXPECT_EQ(rows[1].sig, 1.0);
  }
}

TEST(PosthocCommand, RefusalsAreNotesAndOtherFactorsStillRun) {
  // b has two levels; c has a level with one case; a is fine. Error df = 9 - 5 = 4 for a + b + c.
  Csv csv;
  csv.names = {"a", "b", "c", "y"};
  csv.rows = {{1, 1, 1, 3.1}, {1, 2, 1, 4.0}, {1, 1, 2, 2.2}, {2, 2, 2, 5.3}, {2, 1, 2, 6.1},
              {2, 2, 1, 5.9}, {3, 1, 2, 9.4}, {3, 2, 1, 8.8}, {3, 1, 3, 9.9}};
  CommandRun r(TableData(std::move(csv)));
  r.exec("QUORVEST y BY a b c /DESIGN=a b c /POSTHOC=a b c (LSD).");
  ASSERT_FALSE(r.ctx.errorFlag);
  const auto keys = messageKeys(r.output);
  EXPECT_TRUE(has(keys, "No POSTHOC for ^1 fewer than 3 groups."));
  EXPECT_TRUE(has(keys, "No POSTHOC for ^1 lack of cases."));
  EXPECT_FALSE(has(keys, "No POSTHOC for ^1 zero error DF ..."));
  const qv::out::Table* mc = findTable(r.output, "Multiple Comparisons");
  ASSERT_NE(mc, nullptr);
  EXPECT_EQ(leafKeys(*mc, "(I) a"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(findTable(r.output, "Multiple Comparisons", 1), nullptr);
}

TEST(PosthocCommand, ZeroErrorDfAndTwoLevelsGiveBothNotes) {
  Csv csv;
  csv.names = {"a", "y"};
  csv.rows = {{1, 3.0}, {2, 4.0}};
  CommandRun r(TableData(std::move(csv)));
  r.exec("QUORVEST y BY a /POSTHOC=a (TUKEY).");
  const auto keys = messageKeys(r.output);
  EXPECT_TRUE(has(keys, "No POSTHOC for ^1 fewer than 3 groups."));
  EXPECT_TRUE(has(keys, "No POSTHOC for ^1 zero error DF ..."));
  EXPECT_EQ(findTable(r.output, "Multiple Comparisons"), nullptr);
}

TEST(PosthocCommand, ErrorTermAfterVsGivesTheRowsAndTheFootnote) {
  // Error term a * b of the unbalanced 2 x 3 reference data: mean square 40.986446611186224 on
  // 2 df (the reference value of its between-subjects table). With 2 df the t distribution has
  // closed forms: two-sided p = 1 - |t| / sqrt(2 + t^2), and t(.975; 2) = sqrt(2 q / (1 - q))
  // with q = .95^2.
  CommandRun r(TableData(readCsv(referenceDir() + "unbal_type3/data.csv")));
  r.exec("QUORVEST y BY a b /POSTHOC=b (LSD) VS a*b.");
  ASSERT_FALSE(r.ctx.errorFlag);
  const qv::out::Table* mc = findTable(r.output, "Multiple Comparisons");
  ASSERT_NE(mc, nullptr);
  const double mse = 40.986446611186224, q = 0.95 * 0.95;
  const double tcrit = std::sqrt(2 * q / (1 - q));
  // Level means of b from the data file (11, 11 and 7 cases).
  const double m1 = 519.08 / 11, m3 = 365.66 / 7;
  const double se = std::sqrt(mse * (1.0 / 11 + 1.0 / 7));
  const double t = (m1 - m3) / se;
  const std::map<std::string, std::string> at{{"(I) b", "1"}, {"(J) b", "3"}};
  auto stat = [&](const char* s) {
    auto a = at;
    a["Statistics"] = s;
    return cellValue(*mc, a);
  };
  expectClose(stat("Mean Difference (I-J)"), m1 - m3, 1e-12, "difference");
  expectClose(stat("Std. Error"), se, 1e-12, "standard error");
  expectClose(stat("Significance"), 1 - std::fabs(t) / std::sqrt(2 + t * t), 1e-9, "significance");
  expectClose(stat("Upper Bound"), m1 - m3 + tcrit * se, 1e-9, "upper bound");
  const auto notes = tableFootnotes(*mc);
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes[0].find("Mean Square(a * b) = 40.986"), std::string::npos) << notes[0];
}

TEST(PosthocCommand, SubsetFootnotesFollowTheTest) {
  // Unequal sizes 6, 9, 7, 8: harmonic mean 4 / (1/6 + 1/9 + 1/7 + 1/8).
  const double harmonic = 4.0 / (1.0 / 6 + 1.0 / 9 + 1.0 / 7 + 1.0 / 8);
  CommandRun r(TableData(readCsv(referenceDir() + "posthoc_oneway/data.csv")));
  r.exec("QUORVEST y BY a /POSTHOC=a (SNK DUNCAN BTUKEY FREGW LSD).");
  ASSERT_FALSE(r.ctx.errorFlag);
  std::vector<const qv::out::Table*> all;
  collectTables(r.output.items, all);
  const qv::out::Table* hs = nullptr;
  for (auto* t : all)
    if (t->subtype == "Homogeneous Subsets") hs = t;
  ASSERT_NE(hs, nullptr);
  EXPECT_EQ(hs->title, "y");
  ASSERT_EQ(hs->dimensions.size(), 3u);
  EXPECT_EQ(hs->dimensions[0].name, "Test");
  EXPECT_EQ(hs->dimensions[0].axis, qv::out::Axis::Row);  // several tests: row blocks
  const int testDim = 0;
  auto notesOf = [&](const std::string& test) {
    std::vector<std::string> texts;
    auto it = hs->categoryFootnotes.find({testDim, test});
    if (it != hs->categoryFootnotes.end())
      for (int f : it->second) texts.push_back(hs->footnotes[f].text);
    return texts;
  };
  const std::string unequal = qv::catalogueText("The group sizes are unequal ...");
  struct Case {
    std::string test;
    bool harmonicNote, significanceRow;
  };
  for (const Case& c : {Case{"Student-Newman-Keuls", true, true}, Case{"Duncan", true, true},
                        Case{"Tukey B", true, false}, Case{"Ryan-Einot-Gabriel-Welsch F", false, true}}) {
    const auto notes = notesOf(c.test);
    EXPECT_EQ(has(notes, unequal), c.harmonicNote) << c.test;
    bool harmonicSeen = false;
    for (int f = 0; f < static_cast<int>(hs->footnotes.size()); ++f)
      for (const auto& [name, value] : hs->footnotes[f].values)
        if (name == "Uses Harmonic Mean Sample Size" && has(notes, hs->footnotes[f].text)) {
          harmonicSeen = true;
          expectClose(value, harmonic, 1e-13, "harmonic mean");
        }
    EXPECT_EQ(harmonicSeen, c.harmonicNote) << c.test;
    bool sigRow = false;
    for (const auto& cell : hs->cells)
      sigRow = sigRow || (cell.path[0].back() == c.test && cell.path[1].back() == "Significance");
    EXPECT_EQ(sigRow, c.significanceRow) << c.test;
  }
  EXPECT_TRUE(has(notesOf("Student-Newman-Keuls"), "Alpha = .050."));
}

TEST(PosthocCommand, WallerSubsetsAndTablesWithoutRows) {
  CommandRun r(TableData(readCsv(referenceDir() + "posthoc_oneway/data.csv")));
  r.exec("QUORVEST y BY a /POSTHOC=a (WALLER(50) SNK).");
  ASSERT_FALSE(r.ctx.errorFlag);
  EXPECT_FALSE(has(messageKeys(r.output), "Posthoc test ^1 not computed for ^2 ..."));
  // Subset tests only: the Multiple Comparisons table is still there, without rows.
  const qv::out::Table* mc = findTable(r.output, "Multiple Comparisons");
  ASSERT_NE(mc, nullptr);
  EXPECT_TRUE(mc->cells.empty());
  std::vector<const qv::out::Table*> all;
  collectTables(r.output.items, all);
  const qv::out::Table* hs = nullptr;
  for (auto* t : all)
    if (t->subtype == "Homogeneous Subsets") hs = t;
  ASSERT_NE(hs, nullptr);
  std::vector<std::string> wallerNotes;
  auto it = hs->categoryFootnotes.find({0, "Waller-Duncan"});
  ASSERT_NE(it, hs->categoryFootnotes.end());
  for (int f : it->second) wallerNotes.push_back(hs->footnotes[f].text);
  EXPECT_TRUE(has(wallerNotes, "Type 1/Type 2 Error Seriousness Ratio = 50."));
  bool wallerMeans = false, wallerSignificance = false, snkSignificance = false;
  for (const auto& cell : hs->cells) {
    const bool waller = cell.path[0].back() == "Waller-Duncan";
    const bool sigRow = cell.path[1].back() == "Significance";
    wallerMeans = wallerMeans || (waller && !sigRow && cell.path[2].back() != "N");
    wallerSignificance = wallerSignificance || (waller && sigRow);
    snkSignificance = snkSignificance || (!waller && sigRow);
  }
  EXPECT_TRUE(wallerMeans);
  EXPECT_FALSE(wallerSignificance);
  EXPECT_TRUE(snkSignificance);

  // Pair tests only: the Homogeneous Subsets table is still there, without rows.
  CommandRun pairs(TableData(readCsv(referenceDir() + "posthoc_oneway/data.csv")));
  pairs.exec("QUORVEST y BY a /POSTHOC=a (LSD).");
  all.clear();
  collectTables(pairs.output.items, all);
  hs = nullptr;
  for (auto* t : all)
    if (t->subtype == "Homogeneous Subsets") hs = t;
  ASSERT_NE(hs, nullptr);
  EXPECT_TRUE(hs->cells.empty());
}

TEST(PosthocCommand, ControlBeyondTheLevelsIsTheLastLevelWithANote) {
  CommandRun r(TableData(readCsv(referenceDir() + "posthoc_oneway/data.csv")));
  r.exec("QUORVEST y BY a /POSTHOC=a (DUNNETT(7)).");
  ASSERT_FALSE(r.ctx.errorFlag);
  EXPECT_TRUE(has(messageKeys(r.output), "Dunnett control ^1 beyond ^2 levels of ^3 ..."));
  const qv::out::Table* mc = findTable(r.output, "Multiple Comparisons");
  ASSERT_NE(mc, nullptr);
  EXPECT_EQ(mc->dimensions[0].name, "Test");
  EXPECT_EQ(mc->dimensions[0].axis, qv::out::Axis::Layer);  // one test: a layer
  EXPECT_EQ(leafKeys(*mc, "(J) a"), (std::vector<std::string>{"4"}));
  EXPECT_EQ(leafKeys(*mc, "(I) a"), (std::vector<std::string>{"1", "2", "3"}));
}

TEST(PosthocCommand, RefusalsNameTheSplitGroup) {
  Csv csv;
  csv.names = {"s", "a", "y"};
  csv.rows = {{1, 1, 3.0}, {1, 1, 3.5}, {1, 2, 4.0}, {1, 2, 4.4}, {2, 1, 5.0}, {2, 2, 6.0}, {2, 2, 6.5}};
  CommandRun r(TableData(std::move(csv), "", {"s"}));
  r.exec("QUORVEST y BY a /POSTHOC=a (TUKEY).");
  std::vector<qv::out::Message> all;
  collectMessages(r.output.items, all);
  int named = 0;
  for (const auto& m : all)
    if (m.key == "No POSTHOC for ^1 [%1=%2:, ^1=^2:]2 < 3 groups.") {
      EXPECT_NE(m.text.find("s=" + std::to_string(++named)), std::string::npos) << m.text;
    }
  EXPECT_EQ(named, 2);
}
