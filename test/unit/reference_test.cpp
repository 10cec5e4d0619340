// End-to-end reference cases: each folder of test/reference holds data.csv, command.qv and
// expected.json with independently computed results. The program runs on the case with
// --format json and every expected number is compared with the cell it names.
//
// An expected table is {row: {column: value}}, nested deeper for tables with more dimensions.
// The keys of one value, outermost first, must all occur in the cell's paths (group keys
// included), in that order over the table's dimensions; dimensions the case does not name
// (the "Dependent Variable" layer, for one) are ignored. When the case's "layout" gives the
// dimension names of a table and the table has dimensions of exactly those names, each key must
// lie in its own dimension. null means the cell must be empty.
//
// A case may also list the messages the command issues ("messages": severity, number, key and
// optionally text; the whole list, in order) and hold expected.txt, the text output compared
// exactly. A case whose messages include an error expects the command-error exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "program_runner.h"

namespace {

using qvtest::shellQuote;
using qvtest::slurp;

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kReferenceDir = fs::path(QV_SOURCE_DIR) / "test" / "reference";

struct TableRef {
  const json* table;
};

struct Result {
  int checked = 0;
  std::vector<std::string> failures;
  std::vector<std::string> unchecked;  // informational entries that are not numbers
  double worstLre = INFINITY;          // log relative error of the worst number compared
  std::string worstWhere;
};

std::string joinPath(const std::vector<std::string>& keys) {
  std::string s;
  for (const auto& k : keys) s += (s.empty() ? "" : " / ") + k;
  return s;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A title key ending in "..." matches any title that starts with the words before it, with
// possessives dropped ("Levene Test ..." matches "Levene's Test of Equality of Error Variances").
bool titleMatches(const std::string& want, const std::string& title) {
  if (want == title) return true;
  if (want.size() < 3 || want.compare(want.size() - 3, 3, "...") != 0) return false;
  auto norm = [](std::string s) {
    s = lower(s);
    for (size_t at; (at = s.find("'s")) != std::string::npos;) s.erase(at, 2);
    while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
  };
  std::string stem = norm(want.substr(0, want.size() - 3));
  return !stem.empty() && norm(title).rfind(stem, 0) == 0;
}

void collectTables(const json& items, std::vector<const json*>& out) {
  if (!items.is_array()) return;
  for (const auto& it : items) {
    if (!it.is_object()) continue;
    const std::string type = it.value("type", "");
    if (type == "table") out.push_back(&it);
    if (type == "heading" && it.contains("items")) collectTables(it["items"], out);
  }
}

std::vector<const json*> allTables(const json& doc) {
  std::vector<const json*> out;
  if (doc.contains("commands") && doc["commands"].is_array())
    for (const auto& c : doc["commands"])
      if (c.contains("items")) collectTables(c["items"], out);
  return out;
}

std::vector<std::string> dimensionNames(const json& table) {
  std::vector<std::string> names;
  if (table.contains("dimensions"))
    for (const auto& d : table["dimensions"]) names.push_back(d.value("name", ""));
  return names;
}

// The cell's keys over all dimensions, in the table's dimension order: (dimension, key) pairs.
std::vector<std::pair<std::string, std::string>> flatPath(const json& cell,
                                                          const std::vector<std::string>& dims) {
  std::vector<std::pair<std::string, std::string>> flat;
  if (!cell.contains("path")) return flat;
  const json& path = cell["path"];
  for (const auto& d : dims) {
    if (!path.contains(d)) continue;
    for (const auto& k : path[d]) flat.emplace_back(d, k.is_string() ? k.get<std::string>() : k.dump());
  }
  return flat;
}

bool cellMatches(const json& cell, const std::vector<std::string>& dims, const std::vector<std::string>& keys,
                 const std::vector<std::string>* layout) {
  auto flat = flatPath(cell, dims);
  if (layout) {
    // Each key in the dimension the layout names for it.
    for (size_t i = 0; i < keys.size(); ++i) {
      bool found = false;
      for (const auto& [d, k] : flat) found = found || (d == (*layout)[i] && k == keys[i]);
      if (!found) return false;
    }
    return true;
  }
  size_t next = 0;
  for (const auto& [d, k] : flat)
    if (next < keys.size() && k == keys[next]) ++next;
  return next == keys.size();
}

struct Tolerance {
  double rel, abs;
};

constexpr double kEngineTolerance = 1e-9;

// The override whose path is the longest prefix of `where` wins.
Tolerance toleranceFor(const json& expected, const std::vector<std::string>& where) {
  // We hold ourselves to 1e-9 where a case allows looser agreement; an override (a value the
  // reference itself knows to fewer digits) still decides for its path.
  Tolerance t{std::min(expected.value("tolerance", 1e-7), kEngineTolerance),
              expected.value("abs_tolerance", 1e-10)};
  size_t best = 0;
  if (expected.contains("tolerance_overrides")) {
    for (const auto& o : expected["tolerance_overrides"]) {
      const auto path = o["path"].get<std::vector<std::string>>();
      if (path.size() <= best || path.size() > where.size()) continue;
      if (!std::equal(path.begin(), path.end(), where.begin())) continue;
      best = path.size();
      t.rel = o.value("tolerance", t.rel);
      t.abs = o.value("abs_tolerance", t.abs);
    }
  }
  return t;
}

std::string num(double x) {
  std::ostringstream s;
  s.precision(17);
  s << x;
  return s.str();
}

// Compares one expected number with the value found; records the log relative error.
void compareNumber(const json& expected, const std::vector<std::string>& where, double want, const json& got,
                   Result& r) {
  ++r.checked;
  if (!got.is_number()) {
    r.failures.push_back(joinPath(where) + ": want " + num(want) + ", got " +
                         (got.is_null() ? "an empty cell" : got.dump()));
    return;
  }
  const double g = got.get<double>();
  const double diff = std::fabs(g - want);
  const double lre = diff == 0 ? INFINITY : -std::log10(want != 0 ? diff / std::fabs(want) : diff);
  if (lre < r.worstLre) {
    r.worstLre = lre;
    r.worstWhere = joinPath(where) + " (got " + num(g) + ", want " + num(want) + ")";
  }
  const Tolerance t = toleranceFor(expected, where);
  if (!(diff <= t.abs || diff <= t.rel * std::fabs(want)))
    r.failures.push_back(joinPath(where) + ": want " + num(want) + ", got " + num(g) +
                         " (log relative error " + num(lre) + ")");
}

void compareLeaf(const json& expected, const std::vector<std::string>& where, const json& want,
                 const json& cell, Result& r) {
  const json got = cell.contains("value") ? cell["value"] : json();
  if (want.is_null()) {
    ++r.checked;
    if (!got.is_null()) r.failures.push_back(joinPath(where) + ": want an empty cell, got " + got.dump());
  } else if (want.is_number()) {
    compareNumber(expected, where, want.get<double>(), got, r);
  } else if (want.is_string()) {
    ++r.checked;
    const std::string w = want.get<std::string>();
    const bool ok =
        (got.is_string() && got.get<std::string>() == w) ||
        (cell.contains("text") && cell["text"].is_string() && cell["text"].get<std::string>() == w) ||
        (w.empty() && got.is_null());
    if (!ok) r.failures.push_back(joinPath(where) + ": want \"" + w + "\", got " + got.dump());
  } else {
    r.unchecked.push_back(joinPath(where));
  }
}

void compareEntries(const json& expected, const std::string& title, const std::vector<const json*>& tables,
                    const std::vector<std::string>* layoutNames, const json& node,
                    std::vector<std::string>& keys, Result& r) {
  if (node.is_object()) {
    for (auto it = node.begin(); it != node.end(); ++it) {
      // "redundant": true marks a parameter set to zero: its standard error cell is empty.
      const bool redundantMark = it.key() == "redundant" && it->is_boolean();
      if (redundantMark && !it->get<bool>()) continue;
      keys.push_back(redundantMark ? "Std. Error" : it.key());
      compareEntries(expected, title, tables, layoutNames, redundantMark ? json() : *it, keys, r);
      keys.pop_back();
    }
    return;
  }
  std::vector<std::string> where{title};
  where.insert(where.end(), keys.begin(), keys.end());
  std::vector<const json*> found;
  for (const json* t : tables) {
    const auto dims = dimensionNames(*t);
    const std::vector<std::string>* layout = nullptr;
    if (layoutNames && layoutNames->size() == keys.size() &&
        std::all_of(layoutNames->begin(), layoutNames->end(), [&](const std::string& n) {
          return std::find(dims.begin(), dims.end(), n) != dims.end();
        }))
      layout = layoutNames;
    if (!t->contains("cells")) continue;
    for (const auto& c : (*t)["cells"])
      if (cellMatches(c, dims, keys, layout)) found.push_back(&c);
  }
  if (found.empty()) {
    ++r.checked;
    r.failures.push_back(joinPath(where) + ": no such cell");
  } else if (found.size() > 1) {
    ++r.checked;
    r.failures.push_back(joinPath(where) + ": " + std::to_string(found.size()) +
                         " cells match; the keys are ambiguous");
  } else {
    compareLeaf(expected, where, node, *found[0], r);
  }
}

// Compares an expected.json with a program's JSON output document.
Result compareCase(const json& expected, const json& doc) {
  Result r;
  if (doc.value("format", "") != "quorvest-output") {
    r.failures.push_back("the output is not a quorvest-output document");
    return r;
  }
  const auto tables = allTables(doc);
  if (expected.contains("tables")) {
    for (auto it = expected["tables"].begin(); it != expected["tables"].end(); ++it) {
      std::vector<const json*> matching;
      // A table titled by its data (the Homogeneous Subsets table carries the dependent
      // variable as its title) is keyed by its subtype.
      // "Title [v=1]" picks the table of the split group where split variable v has value 1.
      std::string want = it.key();
      std::vector<std::pair<std::string, std::string>> splitValues;
      if (const size_t open = want.rfind(" ["); open != std::string::npos && want.back() == ']') {
        std::stringstream list(want.substr(open + 2, want.size() - open - 3));
        for (std::string item; std::getline(list, item, ',');)
          if (const size_t eq = item.find('='); eq != std::string::npos)
            splitValues.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        want.resize(open);
      }
      for (const json* t : tables) {
        if (!titleMatches(want, t->value("title", "")) && t->value("subtype", "") != want) continue;
        const bool inGroup = std::all_of(splitValues.begin(), splitValues.end(), [&](const auto& sv) {
          return t->contains("split") && (*t)["split"].is_object() &&
                 (*t)["split"].value(sv.first, "") == sv.second;
        });
        if (inGroup) matching.push_back(t);
      }
      if (matching.empty()) {
        ++r.checked;
        std::string titles;
        for (const json* t : tables)
          titles += (titles.empty() ? "" : ", ") + ("\"" + t->value("title", "") + "\"");
        r.failures.push_back("table \"" + it.key() + "\" not found (tables: " + titles + ")");
        continue;
      }
      std::vector<std::string> layout;
      bool haveLayout = expected.contains("layout") && expected["layout"].contains(it.key());
      if (haveLayout) layout = expected["layout"][it.key()].get<std::vector<std::string>>();
      std::vector<std::string> keys;
      compareEntries(expected, it.key(), matching, haveLayout ? &layout : nullptr, *it, keys, r);
    }
  }
  if (expected.contains("footnotes")) {
    for (auto it = expected["footnotes"].begin(); it != expected["footnotes"].end(); ++it) {
      const std::vector<std::string> where{"footnotes", it.key()};
      if (!it->is_number()) {
        r.unchecked.push_back(joinPath(where));
        continue;
      }
      int seen = 0;
      for (const json* t : tables) {
        if (!t->contains("footnotes")) continue;
        for (const auto& f : (*t)["footnotes"]) {
          if (!f.contains("values") || !f["values"].is_object() || !f["values"].contains(it.key())) continue;
          ++seen;
          compareNumber(expected, where, it->get<double>(), f["values"][it.key()], r);
        }
      }
      if (seen == 0) {
        ++r.checked;
        r.failures.push_back(joinPath(where) + ": no footnote carries this value");
      }
    }
  }
  return r;
}

// The messages of an output document, in order, at any heading depth.
std::vector<const json*> allMessages(const json& doc) {
  std::vector<const json*> out;
  std::function<void(const json&)> walk = [&](const json& items) {
    if (!items.is_array()) return;
    for (const auto& it : items) {
      if (!it.is_object()) continue;
      if (it.value("type", "") == "message") out.push_back(&it);
      if (it.contains("items")) walk(it["items"]);
    }
  };
  if (doc.is_object() && doc.contains("commands"))
    for (const auto& c : doc["commands"])
      if (c.contains("items")) walk(c["items"]);
  return out;
}

// Compares the case's "messages" list, entry by entry, with the document's messages; an entry
// checks the fields it names.
void compareMessages(const json& expected, const json& doc, Result& r) {
  if (!expected.contains("messages")) return;
  const auto got = allMessages(doc);
  const json& want = expected["messages"];
  ++r.checked;
  if (got.size() != want.size()) {
    std::string seen;
    for (const json* m : got) seen += "\n    " + m->dump();
    r.failures.push_back("messages: want " + std::to_string(want.size()) + ", got " +
                         std::to_string(got.size()) + seen);
    return;
  }
  for (size_t i = 0; i < want.size(); ++i)
    for (const char* field : {"severity", "number", "key", "text"}) {
      if (!want[i].contains(field)) continue;
      ++r.checked;
      const json g = got[i]->contains(field) ? (*got[i])[field] : json();
      if (g != want[i][field])
        r.failures.push_back("messages / " + std::to_string(i + 1) + " / " + field + ": want " +
                             want[i][field].dump() + ", got " + g.dump());
    }
}

// Compares the text output with expected.txt. On a difference, names the first line that differs
// and shows a few lines of each text from there, so that a shifted column or a lost line reads
// at a glance.
void compareText(const std::string& want, const std::string& got, Result& r) {
  ++r.checked;
  if (want == got) return;
  auto split = [](const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  };
  const auto w = split(want), g = split(got);
  size_t at = 0;
  while (at < w.size() && at < g.size() && w[at] == g[at]) ++at;
  if (at == w.size() && at == g.size()) {
    r.failures.push_back("text output: differs in its final line ending");
    return;
  }
  constexpr size_t kShown = 4;  // lines of each text shown from the first difference
  auto excerpt = [&](const char* label, const std::vector<std::string>& lines) {
    std::string s = std::string("\n    ") + label + ":";
    for (size_t i = at; i < lines.size() && i < at + kShown; ++i)
      s += "\n    " + std::to_string(i + 1) + "| " + lines[i];
    if (at >= lines.size()) s += "\n    (end)";
    return s;
  };
  r.failures.push_back("text output, line " + std::to_string(at + 1) + ": want \"" +
                       (at < w.size() ? w[at] : "(end)") + "\", got \"" + (at < g.size() ? g[at] : "(end)") +
                       "\"" + excerpt("want", w) + excerpt("got", g));
}

std::string report(const Result& r) {
  std::string s = std::to_string(r.failures.size()) + " of " + std::to_string(r.checked) + " checks failed";
  if (!r.worstWhere.empty())
    s += "; worst number compared: " + r.worstWhere + ", log relative error " + num(r.worstLre);
  for (size_t i = 0; i < r.failures.size() && i < 40; ++i) s += "\n  " + r.failures[i];
  if (r.failures.size() > 40) s += "\n  ...";
  return s;
}

// ---------------------------------------------------------------------------------------------
// The comparison itself, on a hand-made output document.

const json kFakeOutput = json::parse(R"js({
  "format": "quorvest-output", "version": 1,
  "commands": [{"command": "QUORVEST y BY a b", "status": "ok", "items": [
    {"type": "heading", "text": "Univariate Analysis of Variance", "items": [
      {"type": "table", "id": 6, "title": "Tests of Between-Subjects Effects", "subtype": "x", "split": null,
       "dimensions": [
         {"name": "Dependent Variable", "axis": "layer", "categories": [{"key": "y", "label": "y"}]},
         {"name": "Source", "axis": "row", "categories": []},
         {"name": "Statistics", "axis": "column", "categories": []}],
       "cells": [
         {"path": {"Dependent Variable": ["y"], "Source": ["a"], "Statistics": ["F"]}, "value": 6.0881184101415835},
         {"path": {"Dependent Variable": ["y"], "Source": ["a"], "Statistics": ["df"]}, "value": 3},
         {"path": {"Dependent Variable": ["y"], "Source": ["Error"], "Statistics": ["F"]}, "value": null},
         {"path": {"Dependent Variable": ["y"], "Source": ["Error"], "Statistics": ["df"]}, "value": 22}],
       "footnotes": [{"marker": "a", "text": "R Squared = .454", "values": {"R Squared": 0.45361101962024586}}]},
      {"type": "table", "id": 17, "title": "Pairwise Comparisons", "subtype": "x", "split": null,
       "dimensions": [
         {"name": "b", "axis": "row", "categories": []},
         {"name": "(I) a", "axis": "row", "categories": []},
         {"name": "(J) a", "axis": "row", "categories": []},
         {"name": "Statistics", "axis": "column", "categories": []}],
       "cells": [
         {"path": {"b": ["1"], "(I) a": ["1"], "(J) a": ["2"], "Statistics": ["Mean Difference (I-J)"]}, "value": 0.5},
         {"path": {"b": ["1"], "(I) a": ["2"], "(J) a": ["1"], "Statistics": ["Mean Difference (I-J)"]}, "value": -0.5},
         {"path": {"b": ["2"], "(I) a": ["1"], "(J) a": ["2"], "Statistics": ["Mean Difference (I-J)"]}, "value": 1.5},
         {"path": {"b": ["2"], "(I) a": ["2"], "(J) a": ["1"], "Statistics": ["Mean Difference (I-J)"]}, "value": -1.5}],
       "footnotes": []},
      {"type": "table", "id": 4, "title": "Levene's Test of Equality of Error Variances", "subtype": "x",
       "split": null,
       "dimensions": [{"name": "Statistics", "axis": "column", "categories": []}],
       "cells": [{"path": {"Statistics": ["F"]}, "value": 0.9}, {"path": {"Statistics": ["df1"]}, "value": 5}],
       "footnotes": []},
      {"type": "table", "id": 9, "title": "Between-Subjects Factors", "subtype": "x", "split": null,
       "dimensions": [{"name": "Factor", "axis": "row", "categories": []},
                      {"name": "Statistics", "axis": "column", "categories": []}],
       "cells": [{"path": {"Factor": ["a", "1"], "Statistics": ["N"]}, "value": 5},
                 {"path": {"Factor": ["b", "1"], "Statistics": ["N"]}, "value": 7},
                 {"path": {"Factor": ["a", "1"], "Statistics": ["Value Label"]}, "value": "Low"}],
       "footnotes": []}
    ]}]}]})js");

json expectedWith(const std::string& tables, const std::string& extra = "") {
  return json::parse(R"js({"case": "fake", "tolerance": 1e-7, "abs_tolerance": 1e-10, "tables": )js" +
                     tables + extra + "}");
}

TEST(ReferenceComparer, CorrectValuesPassWithinTolerance) {
  auto e = expectedWith(R"js({
    "Tests of Between-Subjects Effects": {"a": {"F": 6.08811841014, "df": 3}, "Error": {"F": null, "df": 22}},
    "Levene Test ...": {"F": 0.9, "df1": 5},
    "Between-Subjects Factors": {"a": {"1": {"N": 5, "Value Label": "Low"}}, "b": {"1": {"N": 7}}}})js",
                        R"js(, "footnotes": {"R Squared": 0.45361101962024586})js");
  Result r = compareCase(e, kFakeOutput);
  EXPECT_TRUE(r.failures.empty()) << report(r);
  EXPECT_EQ(r.checked, 10);
  EXPECT_GT(r.worstLre, 10.0);  // the F above is given to 12 digits
}

TEST(ReferenceComparer, WrongValueFailsAndNamesTheWorstCell) {
  auto e = expectedWith(R"js({"Tests of Between-Subjects Effects": {"a": {"F": 6.0891, "df": 3}}})js");
  Result r = compareCase(e, kFakeOutput);
  ASSERT_EQ(r.failures.size(), 1u) << report(r);
  EXPECT_NE(r.failures[0].find("Tests of Between-Subjects Effects / a / F"), std::string::npos);
  EXPECT_NEAR(r.worstLre, -std::log10((6.0891 - 6.0881184101415835) / 6.0891), 1e-9);
  EXPECT_NE(report(r).find("worst number compared: Tests of Between-Subjects Effects / a / F"),
            std::string::npos);
  // Just outside the relative tolerance fails too; the absolute floor does not rescue it.
  auto e2 = expectedWith(R"js({"Tests of Between-Subjects Effects": {"a": {"F": 6.08812}}})js");
  EXPECT_EQ(compareCase(e2, kFakeOutput).failures.size(), 1u);
}

TEST(ReferenceComparer, MissingCellOrTableFails) {
  auto e = expectedWith(R"js({"Tests of Between-Subjects Effects": {"b": {"F": 1}, "a": {"Eta Squared": 0.4}},
                              "Parameter Estimates": {"Intercept": {"B": 1}}})js");
  Result r = compareCase(e, kFakeOutput);
  EXPECT_EQ(r.failures.size(), 3u) << report(r);
  EXPECT_TRUE(r.worstWhere.empty());  // no number was compared
  auto f = expectedWith("{}", R"js(, "footnotes": {"Adjusted R Squared": 0.4})js");
  EXPECT_EQ(compareCase(f, kFakeOutput).failures.size(), 1u);
  EXPECT_EQ(compareCase(expectedWith("{}"), json::parse(R"js({"commands": []})js")).failures.size(), 1u);
}

TEST(ReferenceComparer, NullRequiresAnEmptyCellAndANumberRequiresANumber) {
  auto e = expectedWith(R"js({"Tests of Between-Subjects Effects": {"a": {"df": null}}})js");
  EXPECT_EQ(compareCase(e, kFakeOutput).failures.size(), 1u);
  auto e2 = expectedWith(R"js({"Tests of Between-Subjects Effects": {"Error": {"F": 0}}})js");
  EXPECT_EQ(compareCase(e2, kFakeOutput).failures.size(), 1u);
}

TEST(ReferenceComparer, KeysFollowTheDimensionOrder) {
  // b = 2, (I) a = 1, (J) a = 2 is one cell, distinct from b = 1, (I) a = 2, (J) a = 1.
  const std::string t = R"js({"Pairwise Comparisons": {"2": {"1": {"2": {"Mean Difference (I-J)": 1.5}}},
                                                      "1": {"2": {"1": {"Mean Difference (I-J)": -0.5}}}}})js";
  EXPECT_TRUE(compareCase(expectedWith(t), kFakeOutput).failures.empty());
  const std::string layout =
      R"js(, "layout": {"Pairwise Comparisons": ["b", "(I) a", "(J) a", "Statistics"]})js";
  EXPECT_TRUE(compareCase(expectedWith(t, layout), kFakeOutput).failures.empty());
  auto wrong =
      expectedWith(R"js({"Pairwise Comparisons": {"2": {"1": {"2": {"Mean Difference (I-J)": -1.5}}}}})js");
  EXPECT_EQ(compareCase(wrong, kFakeOutput).failures.size(), 1u);
  // With the layout each key must sit in its own dimension: b = 1 and (J) a = 2 exists, but not
  // with (I) a = 2.
  auto misplaced = expectedWith(
      R"js({"Pairwise Comparisons": {"1": {"2": {"2": {"Mean Difference (I-J)": 0.5}}}}})js", layout);
  EXPECT_EQ(compareCase(misplaced, kFakeOutput).failures.size(), 1u);
  // Too few keys to tell the cells apart.
  auto vague = expectedWith(R"js({"Pairwise Comparisons": {"1": {"Mean Difference (I-J)": 0.5}}})js");
  Result r = compareCase(vague, kFakeOutput);
  ASSERT_EQ(r.failures.size(), 1u);
  EXPECT_NE(r.failures[0].find("ambiguous"), std::string::npos);
}

TEST(ReferenceComparer, LongestOverridePathWins) {
  const std::string t = R"js({"Tests of Between-Subjects Effects": {"a": {"F": 6.0882}}})js";
  EXPECT_EQ(compareCase(expectedWith(t), kFakeOutput).failures.size(), 1u);
  auto loose = expectedWith(t, R"js(, "tolerance_overrides": [
      {"path": ["Tests of Between-Subjects Effects"], "tolerance": 1e-9},
      {"path": ["Tests of Between-Subjects Effects", "a"], "tolerance": 1e-4}])js");
  EXPECT_TRUE(compareCase(loose, kFakeOutput).failures.empty());
  auto tight = expectedWith(t, R"js(, "tolerance_overrides": [
      {"path": ["Tests of Between-Subjects Effects"], "tolerance": 1e-4},
      {"path": ["Tests of Between-Subjects Effects", "a", "F"], "tolerance": 1e-9}])js");
  EXPECT_EQ(compareCase(tight, kFakeOutput).failures.size(), 1u);
}

TEST(ReferenceComparer, TitleStemsMatchWithPossessivesDropped) {
  EXPECT_TRUE(titleMatches("Levene Test ...", "Levene's Test of Equality of Error Variances"));
  EXPECT_TRUE(titleMatches("a", "a"));
  EXPECT_FALSE(titleMatches("a", "ab"));
  EXPECT_FALSE(titleMatches("Levene Test ...", "Tests of Between-Subjects Effects"));
}

TEST(ReferenceComparer, MessagesMatchInOrderOnTheFieldsGiven) {
  const json doc = json::parse(R"js({"format": "quorvest-output", "commands": [{"items": [
      {"type": "message", "severity": "warning", "number": 133, "key": "Not unique factors ..."},
      {"type": "heading", "text": "h", "items": [
        {"type": "message", "severity": "error", "number": null, "key": "k ...", "text": "K."}]}]}]})js");
  const struct {
    const char* messages;
    size_t failures;
  } rows[] = {
      {R"js([{"severity": "warning", "number": 133}, {"severity": "error", "key": "k ...", "text": "K."}])js",
       0},
      {R"js([{"severity": "warning"}, {"number": null, "key": "other ..."}])js", 1},
      {R"js([{"severity": "note"}, {"text": "L."}])js", 2},
      {R"js([{"severity": "warning", "number": 133}])js", 1},
  };
  for (const auto& row : rows) {
    Result r;
    compareMessages(json{{"messages", json::parse(row.messages)}}, doc, r);
    EXPECT_EQ(r.failures.size(), row.failures) << row.messages << "\n" << report(r);
  }
}

TEST(ReferenceComparer, TextMustMatchExactlyAndTheFirstDifferenceIsNamed) {
  Result r;
  compareText("a\nb\nc\n", "a\nb\nc\n", r);
  compareText("a\nb\nc\n", "a\nB\nc\n", r);
  compareText("a\nb\n", "a\nb", r);
  compareText("a\n", "a\nb\n", r);
  ASSERT_EQ(r.failures.size(), 3u) << report(r);
  EXPECT_NE(r.failures[0].find("line 2: want \"b\", got \"B\""), std::string::npos) << r.failures[0];
  // Each text is shown from the first difference on, numbered: the want side, then the got side.
  EXPECT_NE(r.failures[0].find("want:\n    2| b\n    3| c\n    got:\n    2| B\n    3| c"), std::string::npos)
      << r.failures[0];
  EXPECT_NE(r.failures[1].find("final line ending"), std::string::npos) << r.failures[1];
  EXPECT_NE(r.failures[2].find("line 2: want \"(end)\""), std::string::npos) << r.failures[2];
}

// ---------------------------------------------------------------------------------------------
// The cases.

std::map<std::string, std::string> readPending() {
  std::map<std::string, std::string> pending;
  std::ifstream in(kReferenceDir / "PENDING");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    std::string name, reason;
    ss >> name;
    std::getline(ss, reason);
    reason.erase(0, reason.find_first_not_of(" \t"));
    if (!name.empty()) pending[name] = reason.empty() ? "pending" : reason;
  }
  return pending;
}

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kReferenceDir, ec))
    if (e.is_directory() && fs::exists(e.path() / "expected.json"))
      names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The texts of the error messages in an output document, one per line.
std::string errorMessages(const json& doc) {
  std::string s;
  for (const json* m : allMessages(doc))
    if (m->value("severity", "") == "error") s += "  error: " + m->value("text", "") + "\n";
  return s;
}

// Whether the case expects an error message (and so the command-error exit status).
bool expectsError(const json& expected) {
  if (!expected.contains("messages")) return false;
  for (const auto& m : expected["messages"])
    if (m.value("severity", "") == "error") return true;
  return false;
}

TEST(ReferenceCases, AreFoundAndPendingNamesExist) {
  const auto names = caseNames();
  EXPECT_GE(names.size(), 30u);
  for (const auto& [name, reason] : readPending())
    EXPECT_TRUE(std::find(names.begin(), names.end(), name) != names.end())
        << "PENDING names no case: " << name;
}

class ReferenceCase : public ::testing::TestWithParam<std::string> {};

TEST_P(ReferenceCase, MatchesExpected) {
  const std::string name = GetParam();
  const auto pending = readPending();
  if (auto it = pending.find(name); it != pending.end()) GTEST_SKIP() << it->second;

  const fs::path dir = kReferenceDir / name;
  const json expected = json::parse(slurp(dir / "expected.json"));
  // Runs the program on the case in one output format; returns the exit status and the output.
  auto runAs = [&](const std::string& format, std::string& text, const std::string& extra = "",
                   const std::string& program = std::string(QV_BINARY)) {
    const fs::path out =
        fs::path(::testing::TempDir()) / ("qv_ref_" + name + "_" + std::to_string(::getpid()) + "." + format);
    const fs::path err = fs::path(out).replace_extension(".err");
    // Run from the case folder, so that messages locate themselves in "command.qv", not in a
    // path that differs between machines.
    std::string cmd = "cd " + shellQuote(dir.string()) + " && " + program +
                      " command.qv --data data.csv --format " + format + " -o " + shellQuote(out.string()) +
                      extra;
    if (fs::exists(dir / "weight.txt")) {
      std::string w = slurp(dir / "weight.txt");
      w.erase(std::remove_if(w.begin(), w.end(), [](unsigned char c) { return std::isspace(c); }), w.end());
      cmd += " --weight " + shellQuote(w);
    }
    // split.txt: the split variables (comma-separated) on its first line and, optionally, the
    // layout (layered or separate) on its second.
    if (fs::exists(dir / "split.txt")) {
      std::istringstream lines(slurp(dir / "split.txt"));
      std::string vars, layout;
      std::getline(lines, vars);
      std::getline(lines, layout);
      auto trim = [](std::string& x) {
        x.erase(std::remove_if(x.begin(), x.end(), [](unsigned char c) { return std::isspace(c); }), x.end());
      };
      trim(vars);
      trim(layout);
      cmd += " --split " + shellQuote(vars);
      if (!layout.empty()) cmd += " --split-layout " + shellQuote(layout);
    }
    cmd += " 2> " + shellQuote(err.string());
    const int status = std::system(cmd.c_str());
    text = fs::exists(out) ? slurp(out) : "";
    const std::string stderrText = slurp(err);
    fs::remove(err);
    fs::remove(out);
    return std::make_pair(status, cmd + "\n" + stderrText);
  };
  const int wantExit = expectsError(expected) ? 1 : 0;  // 1: a command reported an error

  std::string text;
  const auto [status, how] = runAs("json", text);
  json doc = json::parse(text, nullptr, false);
  const bool asExpected = WIFEXITED(status) && WEXITSTATUS(status) == wantExit;
  ASSERT_TRUE(asExpected) << how << errorMessages(doc);
  ASSERT_FALSE(doc.is_discarded()) << "the output is not JSON:\n" << text.substr(0, 2000);
  Result r = compareCase(expected, doc);
  compareMessages(expected, doc, r);
  if (fs::exists(dir / "expected.txt")) {
    std::string shown;
    const auto [textStatus, textHow] = runAs("text", shown);
    EXPECT_TRUE(WIFEXITED(textStatus) && WEXITSTATUS(textStatus) == wantExit) << textHow;
    compareText(slurp(dir / "expected.txt"), shown, r);
  }
  EXPECT_GT(r.checked, 0);
  EXPECT_TRUE(r.failures.empty()) << name << ": " << report(r);

  // The passes over the cases in blocks of 2 cases, merged in block order: the same numbers,
  // and the same output to the byte on one, two and three threads.
  std::string one;
  const auto [oneStatus, oneHow] = runAs("json", one, " --threads 1 --case-block 2");
  ASSERT_TRUE(WIFEXITED(oneStatus) && WEXITSTATUS(oneStatus) == wantExit) << oneHow;
  Result blocks = compareCase(expected, json::parse(one));
  EXPECT_TRUE(blocks.failures.empty()) << name << " in blocks of 2 cases: " << report(blocks);
  for (const char* threads : {"2", "3"}) {
    std::string many;
    runAs("json", many, std::string(" --threads ") + threads + " --case-block 2");
    EXPECT_TRUE(many == one) << name << ": the output on " << threads << " threads differs from one thread's";
  }
#ifdef QV_MPI_BINARY
  // The passes shared among the processes of an MPI job: the same output to the byte as one
  // process's. A launch costs about a third of a second, so three processes run every case and
  // two processes (of two threads each) every fourth.
  const auto names = caseNames();
  const auto index = std::find(names.begin(), names.end(), name) - names.begin();
  for (const auto& [processes, threads] : {std::pair{3, 1}, std::pair{2, 2}}) {
    if (processes == 2 && index % 4 != 0) continue;
    std::string shared;
    const auto [sharedStatus, sharedHow] =
        runAs("json", shared, " --threads " + std::to_string(threads) + " --case-block 2",
              qvtest::mpiCommand(processes));
    EXPECT_TRUE(WIFEXITED(sharedStatus) && WEXITSTATUS(sharedStatus) == wantExit) << sharedHow;
    EXPECT_TRUE(shared == one) << name << ": the output on " << processes
                               << " MPI processes differs from one process's\n" << sharedHow;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Reference, ReferenceCase, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
