#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "host/output/render.h"

using namespace qv::out;

namespace {

Document oneCommand(std::vector<Item> items, std::string command = "QUORVEST y BY a b.") {
  Document doc;
  CommandOutput cmd;
  cmd.command = std::move(command);
  cmd.items = std::move(items);
  doc.commands.push_back(std::move(cmd));
  return doc;
}

// Two row dimensions with an empty combination, a layer, a split group and the three kinds of
// footnote (cell, column category, table).
Table cellMeans() {
  TableBuilder tb(9, "Cell Means", "Cell Means");
  int stats = tb.dimension("Statistics", Axis::Column);
  int a = tb.dimension("a", Axis::Row);
  int b = tb.dimension("b", Axis::Row);
  int dep = tb.dimension("Dependent Variable", Axis::Layer);
  tb.category(dep, "y");
  int observed = tb.footnote("Computed from observed cells.");
  tb.category(a, "1");
  tb.category(b, "1");
  tb.annotateCell(tb.cell(stats, "Mean", Value::num(10.5, Fmt::Mean)), observed);
  tb.cell(stats, "N", Value::num(4, Fmt::Count));
  tb.category(b, "2");
  tb.cell(stats, "Mean", Value::num(12.25, Fmt::Mean));
  tb.cell(stats, "N", Value::num(3, Fmt::Count));
  tb.category(a, "2");
  tb.category(b, "1");
  tb.cell(stats, "Mean", Value::missing(Fmt::Mean));
  tb.cell(stats, "N", Value::num(1, Fmt::Count));
  tb.category(stats, "N");
  tb.annotateCategory(stats, tb.footnote("Weighted counts."));
  tb.annotateTable(tb.footnote("Based on y."));
  tb.setSplit({{"g", "1"}});
  return tb.finish();
}

}  // namespace

TEST(RenderText, SmallTableWithRowDimensionsLayerAndFootnotes) {
  Message error{Severity::Error, Phase::Command, 2, "QVT Unrecognized subcommand ^1 ...",
                "FOO is not a QUORVEST subcommand."};
  Message warning{Severity::Warning, Phase::Command, 133, "Not unique factors ...",
                  "A factor is named more than once; it is used once."};
  Message note{Severity::Note, Phase::Processing, std::nullopt, "Design does not use [%1:, ^1:]1",
               "Design does not use x"};
  auto outer = std::make_shared<Heading>();
  outer->text = "Outer";
  auto inner = std::make_shared<Heading>();
  inner->text = "Contrast Coefficients ...";
  inner->items.push_back(Message{Severity::Note, Phase::None, std::nullopt, "inside", "inside"});
  outer->items.push_back(inner);

  const std::string text = renderText(
      oneCommand({cellMeans(), error, warning, note, outer, Chart{"profile", "Means of y", "Means of y", {}}}));
  const std::string expected =
      "QUORVEST y BY a b.\n"
      "\n"
      "g=1\n"
      "Cell Meansᶜ\n"
      "Dependent Variable: y\n"
      "┌───┬───┬─────────┬────┐\n"
      "│ a │ b │  Mean   │ Nᵇ │\n"
      "├───┼───┼─────────┼────┤\n"
      "│ 1 │ 1 │ 10.500ᵃ │  4 │\n"
      "│   │ 2 │ 12.250  │  3 │\n"
      "│ 2 │ 1 │         │  1 │\n"
      "└───┴───┴─────────┴────┘\n"
      "a. Computed from observed cells.\n"
      "b. Weighted counts.\n"
      "c. Based on y.\n"
      "\n"
      "Error 2: FOO is not a QUORVEST subcommand.\n"
      "\n"
      "Warning 133: A factor is named more than once; it is used once.\n"
      "\n"
      "Note: Design does not use x\n"
      "\n"
      "Outer\n"
      "=====\n"
      "\n"
      "Contrast Coefficients (L' Matrix)\n"
      "---------------------------------\n"
      "\n"
      "Note: inside\n"
      "\n"
      "Chart (profile): Means of y\n"
      "\n";
  EXPECT_EQ(text, expected);
}

TEST(RenderText, ColumnGroupSpansItsChildren) {
  TableBuilder tb(4, "Parameter Estimates", "Parameter Estimates");
  int stats = tb.dimension("Statistics", Axis::Column);
  int param = tb.dimension("Parameter", Axis::Row);
  const double rows[2][3] = {{1.0, 0.5, 1.5}, {-2.0, -3.0, -1.0}};
  const char* names[2] = {"Intercept", "[a=1]"};
  for (int r = 0; r < 2; ++r) {
    tb.category(param, names[r]);
    tb.cell(stats, "B", Value::num(rows[r][0], Fmt::Coefficient));
    tb.beginGroup(stats, "95% Confidence Interval", "95% Confidence Interval");
    tb.cell(stats, "Lower Bound", Value::num(rows[r][1], Fmt::Coefficient));
    tb.cell(stats, "Upper Bound", Value::num(rows[r][2], Fmt::Coefficient));
    tb.endGroup(stats);
  }
  const std::string expected =
      "Q.\n"
      "\n"
      "Parameter Estimates\n"
      "┌───────────┬────────┬───────────────────────────┐\n"
      "│           │        │  95% Confidence Interval  │\n"
      "│           │        ├─────────────┬─────────────┤\n"
      "│ Parameter │   B    │ Lower Bound │ Upper Bound │\n"
      "├───────────┼────────┼─────────────┼─────────────┤\n"
      "│ Intercept │  1.000 │       0.500 │       1.500 │\n"
      "│ [a=1]     │ -2.000 │      -3.000 │      -1.000 │\n"
      "└───────────┴────────┴─────────────┴─────────────┘\n"
      "\n";
  EXPECT_EQ(renderText(oneCommand({tb.finish()}, "Q.")), expected);
}

TEST(RenderText, GroupedRowsAndWideGroupLabels) {
  // The factor names group the levels; a column group label wider than its children widens them.
  TableBuilder tb(3, "Between-Subjects Factors", "x");
  int levels = tb.dimension("Factor Levels", Axis::Row);
  int props = tb.dimension("Properties", Axis::Column);
  for (const char* factor : {"a", "b"}) {
    tb.beginGroup(levels, factor, factor);
    tb.category(levels, "1");
    tb.beginGroup(props, "Counts of cases", "Counts of cases");
    tb.cell(props, "N", Value::num(4, Fmt::Count));
    tb.cell(props, "W", Value::num(2.5, Fmt::Count));
    tb.endGroup(props);
    tb.endGroup(levels);
  }
  const std::string expected =
      "Between-Subjects Factors\n"
      "┌───────────────┬─────────────────┐\n"
      "│               │ Counts of cases │\n"
      "│               ├───────┬─────────┤\n"
      "│ Factor Levels │   N   │    W    │\n"
      "├───────┬───────┼───────┼─────────┤\n"
      "│ a     │ 1     │     4 │     2.5 │\n"
      "│ b     │ 1     │     4 │     2.5 │\n"
      "└───────┴───────┴───────┴─────────┘\n"
      "\n";
  std::string text = renderText(oneCommand({tb.finish()}, "Q."));
  EXPECT_EQ(text.substr(text.find("Between")), expected);
}

TEST(RenderText, OneBlockPerLayerCategoryAndFootnotesOnce) {
  TableBuilder tb(14, "Univariate Tests", "EMMEANS Univariate Tests");
  int stats = tb.dimension("Statistics", Axis::Column);
  int source = tb.dimension("Source", Axis::Row);
  int b = tb.dimension("b", Axis::Layer);
  int note = tb.footnote("Each F tests the simple effects of a.");
  tb.annotateTable(note);
  for (const char* level : {"1", "2"}) {
    tb.category(b, level);
    tb.category(source, "Contrast");
    tb.cell(stats, "F", Value::num(level[0] == '1' ? 2.0 : 3.0, Fmt::GeneralStat));
  }
  const std::string text = renderText(oneCommand({tb.finish()}, "Q."));
  const size_t first = text.find("b: 1\n"), second = text.find("b: 2\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(text.find("2.000", first), std::string::npos);
  EXPECT_GT(text.find("3.000"), second);
  EXPECT_EQ(text.find("a. Each F"), text.rfind("a. Each F"));
  EXPECT_GT(text.find("a. Each F"), second);
}

TEST(RenderText, NonFiniteValuesNeverPrintAsNumbers) {
  TableBuilder tb(6, "Tests", "Tests");
  int stats = tb.dimension("Statistics", Axis::Column);
  int source = tb.dimension("Source", Axis::Row);
  tb.category(source, "Model");
  tb.cell(stats, "NaN", Value::num(std::numeric_limits<double>::quiet_NaN(), Fmt::GeneralStat));
  tb.cell(stats, "Inf", Value::num(std::numeric_limits<double>::infinity(), Fmt::Coefficient));
  tb.cell(stats, "-Inf", Value::num(-std::numeric_limits<double>::infinity(), Fmt::Significance));
  tb.cell(stats, "Missing", Value::missing(Fmt::Count));
  tb.cell(stats, "Ok", Value::num(1.25, Fmt::Coefficient));
  const std::string text = renderText(oneCommand({tb.finish()}, "Q."));
  for (const char* bad : {"nan", "NaN", "inf", "Inf", "E+308", "179769"}) {
    // Column headers hold the names themselves; only body rows are checked.
    std::string body = text.substr(text.find("│ Model"));
    EXPECT_EQ(body.find(bad), std::string::npos) << bad << "\n" << text;
  }
  EXPECT_NE(text.find("1.250"), std::string::npos);
}

TEST(RenderText, TablesWithoutCellsShowTitleAndFootnotes) {
  TableBuilder tb(10, "General Estimable Function", "General Estimable Function");
  tb.annotateTable(tb.footnote("Zero degrees of freedom ..."));
  EXPECT_EQ(renderText(oneCommand({tb.finish()}, "Q.")),
            "Q.\n\nGeneral Estimable Functionᵃ\na. Nothing is shown because there are zero degrees of "
            "freedom.\n\n");
}

TEST(RenderText, OnlyKnownKeysAreTranslated) {
  // Data labels that merely end in "..." are shown as they stand; known keys are translated.
  TableBuilder tb(3, "Between-Subjects Factors", "x");
  int levels = tb.dimension("Factor Levels", Axis::Row);
  int props = tb.dimension("Properties", Axis::Column);
  tb.category(levels, "9", "Other ...");
  tb.cell(props, "Value Label", Value::str("More..."));
  tb.category(levels, "8");
  tb.cell(props, "Value Label", Value::str("MISSING=EXCLUDE..."));
  const std::string text = renderText(oneCommand({tb.finish()}, "Q."));
  EXPECT_NE(text.find("│ Other ...     │ More...    "), std::string::npos) << text;
  EXPECT_NE(text.find("MISSING=EXCLUDE: user-defined missing values are treated as missing."),
            std::string::npos)
      << text;
}
