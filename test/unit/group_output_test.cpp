// Whole commands over in-memory data: the order of the group's tables, split groups, and the
// reference cases through the parser, the data pass and the output driver.
#include <gtest/gtest.h>

#include "host/output/messages.h"
#include "table_fixture.h"

using namespace qvtest;

namespace {

std::vector<std::string> tableTitles(const qv::out::CommandOutput& o) {
  std::vector<const qv::out::Table*> all;
  collectTables(o.items, all);
  std::vector<std::string> titles;
  for (auto* t : all)
    if (t->title != "Notes") titles.push_back(t->title);  // the command's processing notes
  return titles;
}

const qv::out::Table* bySubtype(const qv::out::CommandOutput& o, const std::string& subtype, int nth = 0) {
  std::vector<const qv::out::Table*> all;
  collectTables(o.items, all);
  for (auto* t : all)
    if (t->subtype == subtype && nth-- == 0) return t;
  return nullptr;
}

std::string commandOf(const std::string& refCase) {
  std::ifstream in(referenceDir() + refCase + "/command.qv");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Compares the two-level tables {row: {column: value}} of a reference case.
void expectRowsMatch(const qv::out::Table& t, const std::string& rowDim, const nlohmann::json& want) {
  for (const auto& [row, cells] : want.items())
    for (const auto& [stat, value] : cells.items()) {
      const double got = cellValue(t, {{rowDim, row}, {"Statistics", stat}});
      if (value.is_null()) {
        EXPECT_TRUE(qv::isSysmis(got)) << row << " " << stat;
      } else {
        expectClose(got, value.get<double>(), 1e-9, row + " " + stat);
      }
    }
}

}  // namespace

TEST(GroupOutput, TablesComeInDriverOrder) {
  CommandRun r(TableData(readCsv(referenceDir() + "levene_twoway/data.csv")));
  r.exec("QUORVEST y BY a b /PRINT=PARAMETER HOMOGENEITY DESCRIPTIVE GEF TEST(LMATRIX).");
  ASSERT_FALSE(r.ctx.errorFlag);
  EXPECT_EQ(tableTitles(r.output),
            (std::vector<std::string>{"Between-Subjects Factors", "Descriptive Statistics",
                                      qv::catalogueText("Levene Test ..."),
                                      "Tests of Between-Subjects Effects", "Parameter Estimates",
                                      "General Estimable Function", "Intercept", "a", "b", "a * b"}));
  auto exp = readExpected("levene_twoway")["tables"];
  const qv::out::Table* lev = bySubtype(r.output, "Levene Test");
  ASSERT_NE(lev, nullptr);
  for (const auto& [stat, value] : exp["Levene Test ..."].items())
    expectClose(cellValue(*lev, {{"Statistics", stat}}), value.get<double>(), 1e-9, stat);
  const qv::out::Table* ds = findTable(r.output, "Descriptive Statistics");
  ASSERT_NE(ds, nullptr);
  expectClose(cellValue(*ds, {{"a", "Total"}, {"b", "Total"}, {"Statistics", "Mean"}}),
              exp["Descriptive Statistics"]["Total"]["Total"]["Mean"].get<double>(), 1e-9, "grand mean");
}

TEST(GroupOutput, ReferenceParameterEstimatesThroughTheCommand) {
  struct Case {
    std::string name, weight;
  };
  for (const Case& c :
       {Case{"params_twoway", ""}, Case{"ancova_mean", ""}, Case{"regwgt", ""}, Case{"freqweight", "f"}}) {
    SCOPED_TRACE(c.name);
    CommandRun r(TableData(readCsv(referenceDir() + c.name + "/data.csv"), c.weight));
    r.exec(commandOf(c.name));
    ASSERT_FALSE(r.ctx.errorFlag);
    auto exp = readExpected(c.name)["tables"];
    const qv::out::Table* pe = findTable(r.output, "Parameter Estimates");
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(leafKeys(*pe, "Parameter").size(), exp["Parameter Estimates"].size());
    expectRowsMatch(*pe, "Parameter", exp["Parameter Estimates"]);
    if (exp.contains("Between-Subjects Factors")) {
      const qv::out::Table* bsf = findTable(r.output, "Between-Subjects Factors");
      ASSERT_NE(bsf, nullptr);
      for (const auto& [level, cells] : exp["Between-Subjects Factors"]["a"].items())
        EXPECT_EQ(cellValue(*bsf, {{"Factor Levels", level}, {"Properties", "N"}}), cells["N"].get<double>());
    }
  }
}

TEST(GroupOutput, EverySplitGroupGetsItsOwnTables) {
  // Two groups: g = 1 holds the params_twoway data, g = 2 a single cell of a and b.
  Csv base = readCsv(referenceDir() + "params_twoway/data.csv");
  Csv csv;
  csv.names = {"g", "a", "b", "y"};
  for (const auto& r : base.rows) csv.rows.push_back({1, r[0], r[1], r[2]});
  for (double y : {4.0, 5.5, 7.25}) csv.rows.push_back({2, 1, 1, y});
  for (bool separate : {false, true}) {
    SCOPED_TRACE(separate ? "separate" : "layered");
    CommandRun r(TableData(csv, "", {"g"}, separate));
    r.exec("QUORVEST y BY a b /PRINT=PARAMETER HOMOGENEITY GEF.");
    ASSERT_FALSE(r.ctx.errorFlag);
    const qv::out::Table* pe1 = findTable(r.output, "Parameter Estimates", 0);
    const qv::out::Table* pe2 = findTable(r.output, "Parameter Estimates", 1);
    ASSERT_TRUE(pe1 && pe2);
    ASSERT_TRUE(pe1->split && pe2->split);
    EXPECT_EQ((*pe2->split)[0], (std::pair<std::string, std::string>{"g", "2"}));
    expectRowsMatch(*pe1, "Parameter", readExpected("params_twoway")["tables"]["Parameter Estimates"]);
    // Group 2: one cell, so only the intercept is estimable; its mean is the estimate.
    EXPECT_NEAR(cellValue(*pe2, {{"Parameter", "Intercept"}, {"Statistics", "B"}}), (4.0 + 5.5 + 7.25) / 3,
                1e-12);
    // Levene: a table for group 1; for group 2 a warning naming the group, and under separate
    // output a table holding only the explanation.
    std::vector<qv::out::Message> msgs;
    collectMessages(r.output.items, msgs);
    int levWarnings = 0;
    for (const auto& m : msgs) levWarnings += m.text.find("g=2") != std::string::npos;
    EXPECT_EQ(levWarnings, 1);
    const qv::out::Table* lev2 = bySubtype(r.output, "Levene Test", 1);
    EXPECT_EQ(lev2 != nullptr, separate);
    if (lev2) {
      EXPECT_TRUE(lev2->cells.empty());
    }
  }
}

// The steps of a command stop at the first error or failed step; later steps do not run.
TEST(GroupOutput, StepsStopAtTheFirstErrorOrFailedStep) {
  struct Case {
    int failAt;    // step that fails (-1: none)
    bool byError;  // fails by reporting an error rather than returning false
    int stepsRun;  // of the four steps
  } cases[] = {{-1, false, 4}, {1, true, 2}, {1, false, 2}, {0, true, 1}};
  for (const Case& c : cases) {
    qv::Context ctx;
    qv::out::CommandOutput out;
    ctx.output = &out;
    int run = 0;
    auto step = [&](int i) {
      ++run;
      if (i == c.failAt && c.byError) ctx.note("Internal error ^1 ...", qv::out::Severity::Error, {"x"});
      return !(i == c.failAt && !c.byError);
    };
    qv::Steps steps(ctx);
    steps.then([&] { return step(0); })
        .then([&] { return step(1); })
        .when(false, [&] { ADD_FAILURE() << "a step not wanted ran"; })
        .then([&] { step(2); })
        .when(true, [&] { step(3); });
    EXPECT_EQ(run, c.stepsRun) << c.failAt;
    EXPECT_EQ(steps.ok(), c.failAt < 0);
    EXPECT_EQ(ctx.failed(), c.failAt >= 0 && c.byError);
  }
}
