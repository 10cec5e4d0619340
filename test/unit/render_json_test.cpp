#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "host/output/render.h"

using namespace qv::out;
using nlohmann::json;

namespace {

// A document with one failed command: a heading holding a between-subjects factors table (two
// factors whose levels share keys), a descriptive table with a layer, a message and a chart.
Document sampleDocument() {
  Document doc;
  CommandOutput cmd;
  cmd.command = "QUORVEST y BY a b.";
  cmd.error = true;

  auto heading = std::make_shared<Heading>();
  heading->text = "Univariate Analysis of Variance";

  TableBuilder bsf(3, "Between-Subjects Factors", "Between Subjects Factors");
  int props = bsf.dimension("Properties", Axis::Column);
  int levels = bsf.dimension("Factor Levels", Axis::Row);
  for (const char* factor : {"a", "b"}) {
    bsf.beginGroup(levels, factor, factor);
    for (const char* level : {"1", "2"}) {
      bsf.category(levels, level);
      bsf.cell(props, "Value Label", Value::str(std::string("label ") + factor + level));
      bsf.cell(props, "N", Value::num(4, Fmt::Count));
    }
    bsf.endGroup(levels);
  }
  heading->items.push_back(bsf.finish());

  // Declared columns first, then the layer, then the rows: the JSON lists them layer, row, column.
  TableBuilder levene(5, "Levene Test ...", "Levene Test");
  int stats = levene.dimension("Statistics", Axis::Column);
  int dep = levene.dimension("Dependent Variable", Axis::Layer);
  int source = levene.dimension("Source", Axis::Row);
  levene.category(dep, "y", "y (Yield)");
  levene.category(source, "Model");
  int f = levene.cell(stats, "F", Value::num(0.1, Fmt::GeneralStat));
  levene.cell(stats, "Tiny", Value::num(1e-300, Fmt::Coefficient));
  levene.cell(stats, "Missing", Value::missing(Fmt::Significance));
  levene.cell(stats, "NaN", Value::num(std::numeric_limits<double>::quiet_NaN(), Fmt::Coefficient));
  levene.cell(stats, "Third", Value::num(1.0 / 3.0, Fmt::Coefficient));
  int r2 = levene.footnote("R Squared = .716 (Adjusted R Squared = .654)",
                           {{"R Squared", 0.7159199982512591}, {"Adjusted R Squared", 0.6541634761319675}});
  levene.annotateCell(f, r2);
  int design = levene.footnote("Design: Intercept + a");
  levene.annotateTable(design);
  levene.annotateTable(levene.footnote("Levene tests the null ..."));
  levene.category(stats, "F");
  levene.annotateCategory(stats, design);
  levene.setSplit({{"sex", "1"}, {"region", "North"}});
  heading->items.push_back(levene.finish());
  cmd.items.push_back(heading);

  Message m;
  m.severity = Severity::Warning;
  m.phase = Phase::Command;
  m.number = 3;
  m.key = "Empty subcommand ^1 ...";
  m.text = "The PRINT subcommand is empty and has been ignored.";
  cmd.items.push_back(m);
  Message note;
  note.severity = Severity::Note;
  note.key = "Design does not use [%1:, ^1:]1";
  note.text = "Design does not use x";
  cmd.items.push_back(note);
  qv::chart::ChartData data;
  data.xTitle = "a";
  data.yTitle = "Estimated Marginal Means";
  data.categories = {{"1", "low"}, {"2", "high"}};
  data.legendTitle = "b";
  data.series = {{"1", "one", {{1, 2.5}}}};
  data.notes = {"Non-estimable means are not plotted"};
  cmd.items.push_back(Chart{"profile", "Estimated Marginal Means of y", "Estimated Marginal Means of y", data});
  doc.commands.push_back(cmd);
  return doc;
}

const json* cellAt(const json& table, const std::string& dim, const std::string& key) {
  for (const auto& c : table["cells"])
    if (c["at"][dim] == key) return &c;
  return nullptr;
}

}  // namespace

TEST(RenderJson, FollowsTheContract) {
  const std::string text = renderJson(sampleDocument());
  const json doc = json::parse(text);
  EXPECT_EQ(doc["format"], "quorvest-output");
  EXPECT_EQ(doc["version"], 1);
  ASSERT_EQ(doc["commands"].size(), 1u);
  const json& cmd = doc["commands"][0];
  EXPECT_EQ(cmd["command"], "QUORVEST y BY a b.");
  EXPECT_EQ(cmd["status"], "error");
  ASSERT_EQ(cmd["items"].size(), 4u);

  const json& heading = cmd["items"][0];
  EXPECT_EQ(heading["type"], "heading");
  EXPECT_EQ(heading["text"], "Univariate Analysis of Variance");
  ASSERT_EQ(heading["items"].size(), 2u);

  const json& message = cmd["items"][1];
  EXPECT_EQ(message,
            json::parse(R"({"type": "message", "severity": "warning", "phase": "command", "number": 3,
      "key": "Empty subcommand ^1 ...", "text": "The PRINT subcommand is empty and has been ignored."})"));
  const json& note = cmd["items"][2];
  EXPECT_EQ(note["severity"], "note");
  EXPECT_TRUE(note["phase"].is_null());
  EXPECT_TRUE(note["number"].is_null());
  // The chart is drawn from its model when written: an SVG document with its title.
  json chart = cmd["items"][3];
  const std::string svg = chart.value("svg", "");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find(">Estimated Marginal Means of y<"), std::string::npos);
  chart.erase("svg");
  EXPECT_EQ(chart, json::parse(R"({"type": "chart", "kind": "profile",
      "title": "Estimated Marginal Means of y",
      "xAxis": {"title": "a", "categories": [{"key": "1", "label": "low"}, {"key": "2", "label": "high"}]},
      "yAxis": {"title": "Estimated Marginal Means"}, "legend": "b",
      "series": [{"key": "1", "label": "one", "points": [{"x": "2", "y": 2.5}]}],
      "subtitles": [], "notes": ["Non-estimable means are not plotted"]})"));
}

TEST(RenderJson, GroupedCategoriesAndPaths) {
  const json doc = json::parse(renderJson(sampleDocument()));
  const json& bsf = doc["commands"][0]["items"][0]["items"][0];
  EXPECT_EQ(bsf["type"], "table");
  EXPECT_EQ(bsf["id"], 3);
  EXPECT_EQ(bsf["title"], "Between-Subjects Factors");
  EXPECT_EQ(bsf["subtype"], "Between Subjects Factors");
  EXPECT_TRUE(bsf["split"].is_null());
  EXPECT_FALSE(bsf.contains("titleText"));
  ASSERT_EQ(bsf["dimensions"].size(), 2u);
  EXPECT_EQ(bsf["dimensions"][0]["name"], "Factor Levels");
  EXPECT_EQ(bsf["dimensions"][0]["axis"], "row");
  EXPECT_EQ(bsf["dimensions"][1]["axis"], "column");
  const json& factorA = bsf["dimensions"][0]["categories"][0];
  EXPECT_EQ(factorA["key"], "a");
  ASSERT_EQ(factorA["children"].size(), 2u);
  EXPECT_EQ(factorA["children"][1], json::parse(R"({"key": "2", "label": "2"})"));
  // Leaves have no "children" key at all.
  EXPECT_FALSE(bsf["dimensions"][1]["categories"][0].contains("children"));

  // Level 1 of a and level 1 of b share their leaf key; the paths keep them apart.
  ASSERT_EQ(bsf["cells"].size(), 8u);
  const json& a1 = bsf["cells"][0];
  const json& b1 = bsf["cells"][4];
  EXPECT_EQ(a1["at"], json::parse(R"({"Factor Levels": "1", "Properties": "Value Label"})"));
  EXPECT_EQ(a1["path"], json::parse(R"({"Factor Levels": ["a", "1"], "Properties": ["Value Label"]})"));
  EXPECT_EQ(b1["path"]["Factor Levels"], json::parse(R"(["b", "1"])"));
  EXPECT_EQ(a1["value"], "label a1");
  EXPECT_EQ(a1["text"], "label a1");
  EXPECT_EQ(bsf["cells"][1]["value"], 4);
  EXPECT_EQ(bsf["cells"][1]["text"], "4");
  EXPECT_EQ(bsf["footnotes"], json::array());
  EXPECT_EQ(bsf["tableFootnotes"], json::array());
}

TEST(RenderJson, ValuesFootnotesLayersAndSplit) {
  const std::string text = renderJson(sampleDocument());
  const json doc = json::parse(text);
  const json& t = doc["commands"][0]["items"][0]["items"][1];
  // The stored title stays (programs match on it); the shown title comes with it.
  EXPECT_EQ(t["title"], "Levene Test ...");
  EXPECT_EQ(t["titleText"], "Levene's Test of Equality of Error Variances");
  EXPECT_EQ(t["split"], json::parse(R"({"sex": "1", "region": "North"})"));
  // Split variables keep their order.
  EXPECT_NE(text.find(R"("split": {"sex": "1", "region": "North"})"), std::string::npos);

  // Layout order: layers, rows, columns.
  ASSERT_EQ(t["dimensions"].size(), 3u);
  EXPECT_EQ(t["dimensions"][0]["name"], "Dependent Variable");
  EXPECT_EQ(t["dimensions"][0]["axis"], "layer");
  EXPECT_EQ(t["dimensions"][0]["categories"][0], json::parse(R"j({"key": "y", "label": "y (Yield)"})j"));
  EXPECT_EQ(t["dimensions"][1]["name"], "Source");
  EXPECT_EQ(t["dimensions"][2]["name"], "Statistics");
  EXPECT_EQ(t["dimensions"][2]["categories"][0]["footnotes"], json::parse(R"(["b"])"));

  const json* f = cellAt(t, "Statistics", "F");
  ASSERT_NE(f, nullptr);
  // "at" names every dimension, the layer included.
  EXPECT_EQ((*f)["at"], json::parse(R"({"Dependent Variable": "y", "Source": "Model", "Statistics": "F"})"));
  EXPECT_EQ((*f)["value"].get<double>(), 0.1);
  EXPECT_EQ((*f)["text"], "0.100");
  EXPECT_EQ((*f)["footnotes"], json::parse(R"(["a"])"));
  EXPECT_EQ((*cellAt(t, "Statistics", "Tiny"))["value"].get<double>(), 1e-300);
  EXPECT_EQ((*cellAt(t, "Statistics", "Tiny"))["text"], "1.000E-300");
  EXPECT_EQ((*cellAt(t, "Statistics", "Third"))["value"].get<double>(), 1.0 / 3.0);
  for (const char* blank : {"Missing", "NaN"}) {
    EXPECT_TRUE((*cellAt(t, "Statistics", blank))["value"].is_null()) << blank;
    EXPECT_EQ((*cellAt(t, "Statistics", blank))["text"], "") << blank;
  }
  // Shortest round-trip forms in the text itself.
  EXPECT_NE(text.find("\"value\": 0.1,"), std::string::npos);
  EXPECT_NE(text.find("\"value\": 1e-300,"), std::string::npos);
  EXPECT_NE(text.find("\"value\": 0.3333333333333333,"), std::string::npos);

  ASSERT_EQ(t["footnotes"].size(), 3u);
  EXPECT_EQ(t["footnotes"][0]["marker"], "a");
  EXPECT_EQ(t["footnotes"][0]["values"]["R Squared"].get<double>(), 0.7159199982512591);
  EXPECT_EQ(t["footnotes"][0]["values"]["Adjusted R Squared"].get<double>(), 0.6541634761319675);
  EXPECT_EQ(t["footnotes"][1], json::parse(R"({"marker": "b", "text": "Design: Intercept + a"})"));
  EXPECT_EQ(t["footnotes"][2]["key"], "Levene tests the null ...");
  EXPECT_EQ(t["footnotes"][2]["text"],
            "Tests the null hypothesis that the error variance of the dependent variable is equal across "
            "groups.");
  EXPECT_EQ(t["tableFootnotes"], json::parse(R"(["b", "c"])"));
}

TEST(RenderJson, DoublesRoundTripExactly) {
  const double values[] = {0.1,
                           0.2 + 0.1,
                           1.0 / 3.0,
                           2.0 / 3.0,
                           1e-300,
                           5e-324,
                           DBL_MAX / 3,
                           DBL_MIN,
                           -123456.789,
                           1e21,
                           123456789012345678.0,
                           352.92412,
                           -0.0,
                           5.0,
                           1e16,
                           2.5e-7};
  Document doc;
  CommandOutput cmd;
  TableBuilder tb(1, "Numbers", "Numbers");
  int d = tb.dimension("Statistics", Axis::Column);
  for (size_t i = 0; i < std::size(values); ++i)
    tb.cell(d, std::to_string(i), Value::num(values[i], Fmt::Coefficient));
  cmd.items.push_back(tb.finish());
  doc.commands.push_back(cmd);
  const std::string text = renderJson(doc);
  const json cells = json::parse(text)["commands"][0]["items"][0]["cells"];
  ASSERT_EQ(cells.size(), std::size(values));
  for (size_t i = 0; i < std::size(values); ++i) {
    double back = cells[i]["value"].get<double>();
    EXPECT_EQ(back, values[i]);
  }
  // Exponents without leading zeros; integers without a fraction.
  EXPECT_NE(text.find("\"value\": 2.5e-7,"), std::string::npos);
  EXPECT_NE(text.find("\"value\": 5,"), std::string::npos);
  EXPECT_NE(text.find("\"value\": 5e-324,"), std::string::npos);
}

TEST(RenderJson, BadTextAndEmptyDocuments) {
  EXPECT_EQ(json::parse(renderJson(Document{})), json::parse(R"({"format": "quorvest-output", "version": 1,
      "commands": []})"));
  // A data value that is not valid UTF-8 (a Latin-1 byte) must not break the output.
  Document doc;
  CommandOutput cmd;
  cmd.command = "QUORVEST y BY \"quoted\"\n  /PRINT=PARAMETER.";
  TableBuilder tb(3, "Between-Subjects Factors", "x");
  int d = tb.dimension("Factor Levels", Axis::Row);
  int p = tb.dimension("Properties", Axis::Column);
  tb.category(d, "M\xfcller");
  tb.cell(p, "Value Label", Value::str("tab\there \x01"));
  TableBuilder empty(10, "General Estimable Function", "General Estimable Function");
  empty.annotateTable(empty.footnote("Zero degrees of freedom ..."));
  cmd.items.push_back(tb.finish());
  cmd.items.push_back(empty.finish());
  doc.commands.push_back(cmd);
  json parsed;
  ASSERT_NO_THROW(parsed = json::parse(renderJson(doc)));
  const json& cmdJson = parsed["commands"][0];
  EXPECT_EQ(cmdJson["command"], "QUORVEST y BY \"quoted\"\n  /PRINT=PARAMETER.");
  EXPECT_EQ(cmdJson["status"], "ok");
  EXPECT_EQ(cmdJson["items"][0]["cells"][0]["value"], "tab\there \x01");
  EXPECT_EQ(cmdJson["items"][0]["dimensions"][0]["categories"][0]["key"],
            "M\xef\xbf\xbd"
            "ller");
  const json& gef = cmdJson["items"][1];
  EXPECT_EQ(gef["cells"], json::array());
  EXPECT_EQ(gef["dimensions"], json::array());
  EXPECT_EQ(gef["tableFootnotes"], json::parse(R"(["a"])"));
  EXPECT_EQ(gef["footnotes"][0]["text"], "Nothing is shown because there are zero degrees of freedom.");
}
