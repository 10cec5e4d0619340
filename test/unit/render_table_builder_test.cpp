#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "host/output/document.h"
#include "host/output/render.h"

using namespace qv::out;

using Path = std::vector<std::vector<std::string>>;

TEST(TableBuilder, PlacingAgainReplacesTheCell) {
  TableBuilder tb(6, "T", "T");
  int stats = tb.dimension("Statistics", Axis::Column);
  int source = tb.dimension("Source", Axis::Row);
  tb.category(source, "Error");
  int first = tb.cell(stats, "df", Value::num(10, Fmt::Count));
  tb.annotateCell(first, tb.footnote("note"));
  tb.cell(stats, "F", Value::num(2, Fmt::GeneralStat));
  int again = tb.cell(stats, "df", Value::num(12, Fmt::Count));
  EXPECT_EQ(again, first);
  Table t = tb.finish();
  ASSERT_EQ(t.cells.size(), 2u);
  EXPECT_EQ(t.cells[0].value.number, 12);
  EXPECT_EQ(t.cells[0].footnotes, std::vector<int>{0});
}

TEST(TableBuilder, SameLeafKeyInDifferentGroupsIsADifferentCell) {
  TableBuilder tb(3, "T", "T");
  int levels = tb.dimension("Factor Levels", Axis::Row);
  int props = tb.dimension("Properties", Axis::Column);
  for (const char* factor : {"a", "b"}) {
    tb.beginGroup(levels, factor, factor);
    tb.category(levels, "1");
    tb.cell(props, "N", Value::num(factor[0] == 'a' ? 3 : 5, Fmt::Count));
    tb.endGroup(levels);
  }
  Table t = tb.finish();
  ASSERT_EQ(t.cells.size(), 2u);
  EXPECT_EQ(t.cells[0].path, (Path{{"a", "1"}, {"N"}}));
  EXPECT_EQ(t.cells[1].path, (Path{{"b", "1"}, {"N"}}));
}

TEST(TableBuilder, FinishOrdersDimensionsAndPermutesPaths) {
  TableBuilder tb(4, "T", "T");
  int stats = tb.dimension("Statistics", Axis::Column);
  int param = tb.dimension("Parameter", Axis::Row);
  int dep = tb.dimension("Dependent Variable", Axis::Layer);
  tb.category(dep, "y");
  tb.category(param, "Intercept");
  tb.cell(stats, "B", Value::num(1, Fmt::Coefficient));
  tb.annotateCategory(stats, tb.footnote("column note"));
  Table t = tb.finish();
  ASSERT_EQ(t.dimensions.size(), 3u);
  EXPECT_EQ(t.dimensions[0].name, "Dependent Variable");
  EXPECT_EQ(t.dimensions[1].name, "Parameter");
  EXPECT_EQ(t.dimensions[2].name, "Statistics");
  EXPECT_EQ(t.cells[0].path, (Path{{"y"}, {"Intercept"}, {"B"}}));
  ASSERT_EQ(t.categoryFootnotes.size(), 1u);
  EXPECT_EQ(t.categoryFootnotes.begin()->first, (std::pair<int, std::string>{2, "B"}));
}

TEST(TableBuilder, DimensionDeclaredAfterCellsLeavesThoseCellsWithoutACategory) {
  TableBuilder tb(1, "T", "T");
  int stats = tb.dimension("Statistics", Axis::Column);
  tb.cell(stats, "N", Value::num(1, Fmt::Count));
  int layer = tb.dimension("Late", Axis::Layer);
  tb.category(layer, "x");
  tb.cell(stats, "N", Value::num(2, Fmt::Count));
  Table t = tb.finish();
  ASSERT_EQ(t.cells.size(), 2u);
  EXPECT_EQ(t.cells[0].path, (Path{{}, {"N"}}));
  EXPECT_EQ(t.cells[1].path, (Path{{"x"}, {"N"}}));
  Document doc;
  doc.commands.push_back(CommandOutput{"Q.", false, {t}});
  auto json = nlohmann::json::parse(renderJson(doc));
  EXPECT_TRUE(json["commands"][0]["items"][0]["cells"][0]["at"]["Late"].is_null());
  EXPECT_NO_THROW(renderText(doc));
}

TEST(TableBuilder, ManyCellsBuildAndRenderQuickly) {
  // 300 x 200 cells: placing each cell must not search all earlier ones.
  TableBuilder tb(2, "Big", "Big");
  int col = tb.dimension("Column", Axis::Column);
  int row = tb.dimension("Row", Axis::Row);
  for (int r = 0; r < 300; ++r) {
    tb.category(row, std::to_string(r));
    for (int c = 0; c < 200; ++c) tb.cell(col, std::to_string(c), Value::num(r * 1000.0 + c, Fmt::Count));
  }
  // Placing them all again replaces, it does not add.
  tb.category(row, "0");
  tb.cell(col, "0", Value::num(-1, Fmt::Count));
  Table t = tb.finish();
  ASSERT_EQ(t.cells.size(), 60000u);
  EXPECT_EQ(t.cells[0].value.number, -1);
  Document doc;
  doc.commands.push_back(CommandOutput{"Q.", false, {t}});
  std::string text = renderText(doc);
  EXPECT_NE(text.find("299199"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(renderJson(doc))["commands"][0]["items"][0]["cells"].size(), 60000u);
}

TEST(TableBuilder, GroupFootnotesByKey) {
  TableBuilder tb(18, "T", "T");
  int stats = tb.dimension("Statistics", Axis::Column);
  int row = tb.dimension("Source", Axis::Row);
  tb.category(row, "x");
  tb.beginGroup(stats, "95% Confidence Interval", "95% Confidence Interval");
  tb.cell(stats, "Lower Bound", Value::num(1, Fmt::Coefficient));
  tb.endGroup(stats);
  tb.annotateCategoryKey(stats, "95% Confidence Interval", tb.footnote("Adjusted."));
  Document doc;
  doc.commands.push_back(CommandOutput{"Q.", false, {tb.finish()}});
  EXPECT_NE(renderText(doc).find("95% Confidence Intervalᵃ"), std::string::npos);
  auto json = nlohmann::json::parse(renderJson(doc));
  EXPECT_EQ(json["commands"][0]["items"][0]["dimensions"][1]["categories"][0]["footnotes"],
            nlohmann::json::parse(R"(["a"])"));
}
