// Levene's test: the sums of squares of the absolute residuals across observed cells.
#include "tests/levene.h"

#include <gtest/gtest.h>

#include "host/output/messages.h"
#include "table_fixture.h"

using namespace qvtest;

namespace {

const std::vector<qv::EffectRow> kOneWay{{-1}, {0}};
const std::vector<qv::EffectRow> kTwoWay{{-1, -1}, {0, -1}, {-1, 0}, {0, 0}};

double leveneF(const qv::LeveneSums& s) { return (s.ssb[0] / s.df1) / (s.ssw[0] / s.df2); }

qv::LeveneSums sumsOf(TableFixture& f) {
  EXPECT_TRUE(f.m.fit(3));
  return qv::leveneSums(f.st(), f.m.work);
}

}  // namespace

TEST(Levene, FrequencyWeightsCountCasesAndMayMakeDf2Fractional) {
  Csv weighted, replicated, halves;
  for (Csv* c : {&weighted, &replicated, &halves}) c->names = {"a", "y", "f"};
  const double data[][3] = {{1, 3.25, 2}, {1, 4.5, 3},  {1, 2.0, 1}, {2, 10.0, 1},
                            {2, 12.5, 4}, {2, 11.0, 2}, {3, 7.0, 2}, {3, 9.5, 1}};
  for (const auto& r : data) {
    weighted.rows.push_back({r[0], r[1], r[2]});
    halves.rows.push_back({r[0], r[1], r[2] * 0.5});
    for (int i = 0; i < r[2]; ++i) replicated.rows.push_back({r[0], r[1], 1.0});
  }
  TableFixture fw(weighted, "y", {"a"}, {}, kOneWay, "f");
  TableFixture fr(replicated, "y", {"a"}, {}, kOneWay);
  qv::LeveneSums sw = sumsOf(fw), sr = sumsOf(fr);
  ASSERT_EQ(sw.status, 0);
  EXPECT_EQ(sw.df1, 2.0);
  EXPECT_EQ(sw.df2, 16.0 - 3.0);
  EXPECT_EQ(sw.df2, sr.df2);
  expectClose(sw.ssb[0], sr.ssb[0], 1e-12, "ssb");
  expectClose(sw.ssw[0], sr.ssw[0], 1e-12, "ssw");
  // Halved weights: summed weight 8, so df2 = 8 - 3; the sums halve.
  TableFixture fh(halves, "y", {"a"}, {}, kOneWay, "f");
  qv::LeveneSums sh = sumsOf(fh);
  EXPECT_EQ(sh.df2, 5.0);
  expectClose(sh.ssw[0], 0.5 * sw.ssw[0], 1e-12, "ssw halved");
  expectClose(sh.ssb[0], 0.5 * sw.ssb[0], 1e-12, "ssb halved");
}

TEST(Levene, RegressionWeightScalesTheAbsoluteResidual) {
  // A constant regression weight 4 leaves the fit unchanged and doubles every absolute residual:
  // both sums of squares grow fourfold and F stays.
  Csv csv = readCsv(referenceDir() + "levene_twoway/data.csv");
  csv.names.push_back("v");
  for (auto& r : csv.rows) r.push_back(4.0);
  TableFixture plain(csv, "y", {"a", "b"}, {}, kTwoWay);
  TableFixture weighted(csv, "y", {"a", "b"}, {}, kTwoWay, "", "v");
  qv::LeveneSums sp = sumsOf(plain), sv = sumsOf(weighted);
  expectClose(sv.ssb[0], 4.0 * sp.ssb[0], 1e-12, "ssb");
  expectClose(sv.ssw[0], 4.0 * sp.ssw[0], 1e-12, "ssw");
  EXPECT_EQ(sv.df2, sp.df2);  // regression weights do not count cases
}

TEST(Levene, FewerThanTwoCellsWithWeight) {
  Csv one;
  one.names = {"a", "y", "f"};
  one.rows = {{1, 2.0, 1}, {1, 3.0, 1}, {1, 7.0, 1}};
  TableFixture f1(one, "y", {"a"}, {}, kOneWay, "f");
  EXPECT_EQ(sumsOf(f1).status, 3);
  // Two observed cells, one of which holds only cases of weight 0: df1 = 0.
  Csv two = one;
  two.rows.push_back({2, 5.0, 0});
  two.rows.push_back({2, 6.0, 0});
  TableFixture f2(two, "y", {"a"}, {}, kOneWay, "f");
  qv::LeveneSums s = sumsOf(f2);
  EXPECT_EQ(f2.g().nonEmptyCells(), 2);
  EXPECT_EQ(s.status, 3);
}

TEST(Levene, NegligibleSumsAreExactZerosJudgedAgainstTheData) {
  // Every cell holds c - 1.1 and c + 1.1 (c differs between cells): every absolute residual is
  // 1.1 up to rounding, so both sums of squares are exact zeros.
  Csv csv;
  csv.names = {"a", "y"};
  for (int a = 1; a <= 4; ++a) {
    const double c = 10.3 * a + 0.1;
    csv.rows.push_back({double(a), c - 1.1});
    csv.rows.push_back({double(a), c + 1.1});
  }
  TableFixture f(csv, "y", {"a"}, {}, kOneWay);
  qv::LeveneSums s = sumsOf(f);
  ASSERT_EQ(s.status, 0);
  EXPECT_EQ(s.ssb[0], 0.0);
  EXPECT_EQ(s.ssw[0], 0.0);

  // Data in tiny units are not mistaken for rounding noise: F is scale free.
  Csv tiny = readCsv(referenceDir() + "levene_twoway/data.csv");
  for (auto& r : tiny.rows) r[2] *= 1e-12;
  TableFixture ft(tiny, "y", {"a", "b"}, {}, kTwoWay);
  qv::LeveneSums st = sumsOf(ft);
  ASSERT_EQ(st.status, 0);
  expectClose(leveneF(st), readExpected("levene_twoway")["tables"]["Levene Test ..."]["F"].get<double>(),
              1e-9, "F of rescaled data");
}

TEST(LeveneTable, ReferenceTableAndFootnotes) {
  TableFixture f(readCsv(referenceDir() + "levene_twoway/data.csv"), "y", {"a", "b"}, {}, kTwoWay);
  ASSERT_TRUE(f.m.fit(3));
  qv::printLevene(f.ctx, f.st(), f.m.work);
  ASSERT_EQ(f.output.items.size(), 1u);
  const auto& t = std::get<qv::out::Table>(f.output.items[0]);
  EXPECT_EQ(t.subtype, "Levene Test");
  auto want = readExpected("levene_twoway")["tables"]["Levene Test ..."];
  for (const auto& [stat, value] : want.items())
    expectClose(cellValue(t, {{"Statistics", stat}}), value.get<double>(), 1e-9, stat);
  EXPECT_EQ(tableFootnotes(t), (std::vector<std::string>{"Design: Intercept + a + b + a * b",
                                                         qv::catalogueText("Levene tests the null ...")}));
}

TEST(LeveneTable, WeightingFootnoteSitsBetweenDesignAndNullHypothesis) {
  Csv csv = readCsv(referenceDir() + "levene_twoway/data.csv");
  csv.names.push_back("v");
  for (auto& r : csv.rows) r.push_back(1.0 + static_cast<int>(r[2]) % 3);
  TableFixture f(csv, "y", {"a", "b"}, {}, kTwoWay, "", "v");
  ASSERT_TRUE(f.m.fit(3));
  qv::printLevene(f.ctx, f.st(), f.m.work);
  const auto& t = std::get<qv::out::Table>(f.output.items.at(0));
  auto notes = tableFootnotes(t);
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[1], f.st().weightingFootnote);
}

TEST(LeveneTable, FewerThanTwoCellsWarnsWithinSplitFiles) {
  Csv one;
  one.names = {"a", "y"};
  one.rows = {{1, 2.0}, {1, 3.0}, {1, 7.0}};
  auto run = [&](bool split, bool separate) {
    auto f = std::make_unique<TableFixture>(one, "y", std::vector<std::string>{"a"},
                                            std::vector<std::string>{}, kOneWay);
    EXPECT_TRUE(f->m.fit(3));
    if (split) f->ctx.splitCaption = {{"g", "2"}};
    f->data.separate = separate;
    qv::printLevene(f->ctx, f->st(), f->m.work);
    EXPECT_FALSE(f->ctx.errorFlag);
    return f;
  };
  // Without split files the warning alone is a reference case (message_levene_one_cell).
  auto layered = run(true, false);
  ASSERT_EQ(layered->output.items.size(), 1u);
  EXPECT_NE(std::get<qv::out::Message>(layered->output.items[0]).text.find("g=2"), std::string::npos);

  // Split groups printed separately also get a table that holds only the explanation.
  auto separate = run(true, true);
  ASSERT_EQ(separate->output.items.size(), 2u);
  const auto& t = std::get<qv::out::Table>(separate->output.items[1]);
  EXPECT_TRUE(t.cells.empty());
  EXPECT_EQ(tableFootnotes(t),
            (std::vector<std::string>{qv::catalogueText("Test Not less than 2 nonempty some split...")}));
  ASSERT_TRUE(t.split.has_value());
}
