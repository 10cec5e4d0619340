// Between-Subjects Factors and Descriptive Statistics tables.
#include "data/factor_tables.h"

#include <gtest/gtest.h>

#include <cmath>

#include "table_fixture.h"

using namespace qvtest;

namespace {

const std::vector<qv::EffectRow> kOneWay{{-1}, {0}};
const std::vector<qv::EffectRow> kTwoWay{{-1, -1}, {0, -1}, {-1, 0}, {0, 0}};

}  // namespace

TEST(BetweenSubjectsFactors, WeightedCountsPerLevel) {
  // Frequency weights enter N; regression weights do not.
  struct Case {
    std::string name, weight, regwgt;
    std::vector<std::string> covs;
  };
  for (const Case& c : {Case{"freqweight", "f", "", {}}, Case{"regwgt", "", "w", {"x"}}}) {
    SCOPED_TRACE(c.name);
    TableFixture f(readCsv(referenceDir() + c.name + "/data.csv"), "y", {"a"}, c.covs,
                   c.covs.empty() ? kOneWay : std::vector<qv::EffectRow>{{-1, -1}, {-1, 1}, {0, -1}},
                   c.weight, c.regwgt);
    qv::printBetweenSubjectsFactors(f.ctx, f.st());
    const qv::out::Table* t = findTable(f.output, "Between-Subjects Factors");
    ASSERT_NE(t, nullptr);
    auto want = readExpected(c.name)["tables"]["Between-Subjects Factors"]["a"];
    EXPECT_EQ(leafKeys(*t, "Factor Levels"), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(leafKeys(*t, "Properties"), (std::vector<std::string>{"N"}));  // no value labels
    for (const auto& [level, cells] : want.items()) {
      const qv::out::Cell* cell = findCell(*t, {{"Factor Levels", level}, {"Properties", "N"}});
      ASSERT_NE(cell, nullptr) << level;
      EXPECT_EQ(cell->value.number, cells["N"].get<double>()) << level;
      EXPECT_EQ(cell->path[0], (std::vector<std::string>{"a", level}));  // grouped by factor
    }
  }
}

TEST(FactorTables, ValueLabelsShowWhereTheDictionaryHasThem) {
  TableFixture f(readCsv(referenceDir() + "levene_twoway/data.csv"), "y", {"a", "b"}, {}, kTwoWay);
  f.data.dict.vars[f.st().factorVars[0]].valueLabels = {{"1", "control"}, {"2", "treated"}};
  f.data.dict.vars[f.st().factorVars[0]].label = "Group";
  f.data.dict.vars[f.st().factorVars[1]].valueLabels = {{"3", "late"}};
  qv::printBetweenSubjectsFactors(f.ctx, f.st());
  qv::printDescriptives(f.ctx, f.st(), f.m.work);

  const qv::out::Table* bsf = findTable(f.output, "Between-Subjects Factors");
  ASSERT_NE(bsf, nullptr);
  EXPECT_EQ(leafKeys(*bsf, "Properties"), (std::vector<std::string>{"Value Label", "N"}));
  auto label = [&](const std::string& group, const std::string& level) -> std::string {
    for (const auto& c : bsf->cells)
      if (c.path[0] == std::vector<std::string>{group, level} && c.path[1].back() == "Value Label")
        return c.value.text;
    return "<none>";
  };
  EXPECT_EQ(label("a", "1"), "control");
  EXPECT_EQ(label("a", "2"), "treated");
  EXPECT_EQ(label("b", "3"), "late");
  EXPECT_EQ(label("b", "1"), "<none>");  // the variable has labels, this value has none
  EXPECT_EQ(bsf->dimensions[0].categories[0].label, "Group");

  // In the descriptive table the level categories keep the value as key and show the label.
  const qv::out::Table* ds = findTable(f.output, "Descriptive Statistics");
  ASSERT_NE(ds, nullptr);
  for (const auto& d : ds->dimensions) {
    if (d.name == "a") {
      EXPECT_EQ(d.categories[0].key, "1");
      EXPECT_EQ(d.categories[0].label, "control");
    }
    if (d.name == "b") {
      EXPECT_EQ(d.categories[0].label, "1");
      EXPECT_EQ(d.categories[2].label, "late");
      EXPECT_EQ(d.categories[3].key, "Total");
    }
  }
}

TEST(DescriptiveStatistics, CellsAndEveryMarginalMatchTheReference) {
  TableFixture f(readCsv(referenceDir() + "levene_twoway/data.csv"), "y", {"a", "b"}, {}, kTwoWay);
  qv::printDescriptives(f.ctx, f.st(), f.m.work);
  const qv::out::Table* t = findTable(f.output, "Descriptive Statistics");
  ASSERT_NE(t, nullptr);
  auto exp = readExpected("levene_twoway");
  EXPECT_EQ(exp["layout"]["Descriptive Statistics"], (nlohmann::json{"a", "b", "Statistics"}));
  // Layout: the dependent variable as layer, then a (outer) and b (inner) rows, statistics.
  ASSERT_EQ(t->dimensions.size(), 4u);
  EXPECT_EQ(t->dimensions[0].name, "Dependent Variable");
  EXPECT_EQ(t->dimensions[1].name, "a");
  EXPECT_EQ(t->dimensions[2].name, "b");
  EXPECT_EQ(t->dimensions[3].name, "Statistics");
  EXPECT_EQ(leafKeys(*t, "b"), (std::vector<std::string>{"1", "2", "3", "Total"}));
  EXPECT_EQ(t->cells.size(), 3u * 4u * 3u);  // (2 + 1) x (3 + 1) rows, three statistics
  // The grand total is the last row.
  EXPECT_EQ(t->cells.back().path[1].back(), "Total");
  EXPECT_EQ(t->cells.back().path[2].back(), "Total");
  int checked = 0;
  for (const auto& [a, row] : exp["tables"]["Descriptive Statistics"].items())
    for (const auto& [b, cells] : row.items())
      for (const auto& [stat, want] : cells.items()) {
        expectClose(cellValue(*t, {{"a", a}, {"b", b}, {"Statistics", stat}}), want.get<double>(), 1e-9,
                    a + "," + b + " " + stat);
        ++checked;
      }
  EXPECT_EQ(checked, 36);
}

TEST(DescriptiveStatistics, EmptyCellsHaveNoEntryAndSingleCasesNoDeviation) {
  Csv csv;
  csv.names = {"a", "b", "y"};
  csv.rows = {{1, 1, 4.0}, {1, 1, 6.0}, {1, 2, 7.5}, {2, 1, 1.0}, {2, 1, 2.0}, {2, 1, 6.0}};
  TableFixture f(csv, "y", {"a", "b"}, {}, kTwoWay);
  qv::printDescriptives(f.ctx, f.st(), f.m.work);
  const qv::out::Table* t = findTable(f.output, "Descriptive Statistics");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(findCell(*t, {{"a", "2"}, {"b", "2"}, {"Statistics", "N"}}), nullptr);
  // A cell with one case: its value as mean, no standard deviation.
  EXPECT_EQ(cellValue(*t, {{"a", "1"}, {"b", "2"}, {"Statistics", "Mean"}}), 7.5);
  EXPECT_TRUE(qv::isSysmis(cellValue(*t, {{"a", "1"}, {"b", "2"}, {"Statistics", "Std. Deviation"}})));
  EXPECT_EQ(cellValue(*t, {{"a", "1"}, {"b", "2"}, {"Statistics", "N"}}), 1.0);
  // Marginals pool the cells: b = 1 over both levels of a is {4, 6, 1, 2, 6}: mean 3.8,
  // variance (0.04 + 4.84 + 7.84 + 3.24 + 4.84) / 4 = 5.2.
  EXPECT_NEAR(cellValue(*t, {{"a", "Total"}, {"b", "1"}, {"Statistics", "Mean"}}), 3.8, 1e-14);
  EXPECT_NEAR(cellValue(*t, {{"a", "Total"}, {"b", "1"}, {"Statistics", "Std. Deviation"}}), std::sqrt(5.2),
              1e-14);
  EXPECT_EQ(cellValue(*t, {{"a", "Total"}, {"b", "Total"}, {"Statistics", "N"}}), 6.0);
}

TEST(DescriptiveStatistics, FrequencyWeightsEqualReplicatedCases) {
  Csv weighted, replicated;
  weighted.names = {"a", "y", "f"};
  replicated.names = {"a", "y", "f"};
  const double data[][3] = {{1, 3.25, 2}, {1, 4.5, 3}, {2, 10.0, 1}, {2, 12.5, 4}, {2, 11.0, 2}, {1, 2.0, 1}};
  for (const auto& r : data) {
    weighted.rows.push_back({r[0], r[1], r[2]});
    for (int i = 0; i < r[2]; ++i) replicated.rows.push_back({r[0], r[1], 1.0});
  }
  TableFixture fw(weighted, "y", {"a"}, {}, kOneWay, "f");
  TableFixture fr(replicated, "y", {"a"}, {}, kOneWay);
  qv::printDescriptives(fw.ctx, fw.st(), fw.m.work);
  qv::printDescriptives(fr.ctx, fr.st(), fr.m.work);
  const qv::out::Table* tw = findTable(fw.output, "Descriptive Statistics");
  const qv::out::Table* tr = findTable(fr.output, "Descriptive Statistics");
  ASSERT_TRUE(tw && tr);
  EXPECT_EQ(cellValue(*tw, {{"a", "1"}, {"Statistics", "N"}}), 6.0);  // 2 + 3 + 1
  for (std::string a : {"1", "2", "Total"})
    for (std::string s : {"Mean", "Std. Deviation", "N"})
      expectClose(cellValue(*tw, {{"a", a}, {"Statistics", s}}),
                  cellValue(*tr, {{"a", a}, {"Statistics", s}}), 1e-13, a + " " + s);
}

TEST(DescriptiveStatistics, RegressionWeightsGiveTheWeightedDeviation) {
  Csv csv;
  csv.names = {"a", "y", "r", "c"};
  csv.rows = {{1, 3.0, 1.0, 3}, {1, 5.0, 2.0, 3}, {1, 10.0, 0.5, 3}, {2, 7.0, 4.0, 3}, {2, 8.0, 1.0, 3}};
  // A constant regression weight leaves mean and deviation as without weights.
  TableFixture plain(csv, "y", {"a"}, {}, kOneWay);
  TableFixture constant(csv, "y", {"a"}, {}, kOneWay, "", "c");
  TableFixture varying(csv, "y", {"a"}, {}, kOneWay, "", "r");
  for (auto* f : {&plain, &constant, &varying}) qv::printDescriptives(f->ctx, f->st(), f->m.work);
  const qv::out::Table* tp = findTable(plain.output, "Descriptive Statistics");
  const qv::out::Table* tc = findTable(constant.output, "Descriptive Statistics");
  const qv::out::Table* tv = findTable(varying.output, "Descriptive Statistics");
  ASSERT_TRUE(tp && tc && tv);
  for (std::string s : {"Mean", "Std. Deviation", "N"})
    expectClose(cellValue(*tc, {{"a", "1"}, {"Statistics", s}}),
                cellValue(*tp, {{"a", "1"}, {"Statistics", s}}), 1e-14, s);
  // Level 1 with weights r = (1, 2, 0.5): weighted mean (3 + 10 + 5) / 3.5, and the deviation
  // sqrt(n / (n - 1) * sum r (y - mean)^2 / sum r) with n = 3 cases, computed in two passes.
  const double ys[] = {3.0, 5.0, 10.0}, rs[] = {1.0, 2.0, 0.5};
  double mean = 0, sr = 0, ss = 0;
  for (int i = 0; i < 3; ++i) mean += rs[i] * ys[i], sr += rs[i];
  mean /= sr;
  for (int i = 0; i < 3; ++i) ss += rs[i] * (ys[i] - mean) * (ys[i] - mean);
  expectClose(cellValue(*tv, {{"a", "1"}, {"Statistics", "Mean"}}), mean, 1e-14, "mean");
  expectClose(cellValue(*tv, {{"a", "1"}, {"Statistics", "Std. Deviation"}}), std::sqrt(3.0 / 2.0 * ss / sr),
              1e-14, "sd");
  EXPECT_EQ(cellValue(*tv, {{"a", "1"}, {"Statistics", "N"}}), 3.0);
  // The weighting footnote annotates the table.
  ASSERT_EQ(tableFootnotes(*tv).size(), 1u);
  EXPECT_EQ(tableFootnotes(*tv)[0], varying.st().weightingFootnote);
}
