// The JSON writer: the output document for programs ("format": "quorvest-output", "version":
// 1). Tables are written as their pivot structure (dimensions, categories, cells with their
// full doubles and display texts, footnotes), not as a grid. A stored text that is a catalogue
// key is shown through the catalogue; a table's "title" keeps the stored title (programs match
// tables by it) and "titleText" is added when the shown title differs.
#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/output/display.h"
#include "host/output/render.h"
#include "host/output/table_layout.h"

namespace qv::out {

namespace {

using ojson = nlohmann::ordered_json;

ojson categoryJson(const Table& t, int dim, const Category& c) {
  ojson j;
  j["key"] = c.key;
  j["label"] = displayText(c.label);
  if (const auto* notes = categoryFootnotes(t, dim, c.key)) j["footnotes"] = footnoteMarkers(t, *notes);
  if (c.isGroup || !c.children.empty()) {
    j["children"] = ojson::array();
    for (const auto& child : c.children) j["children"].push_back(categoryJson(t, dim, child));
  }
  return j;
}

void quoted(std::string_view s, std::string& out);
std::string shortestDouble(double x);

// A cell on one line, as the writer lays out a small object: {"at": {...}, "path": {...},
// "value": ..., "text": "...", "footnotes": [...]}.
std::string cellText(const Table& t, const Cell& c, char decimal) {
  std::string s = "{\"at\": {";
  for (size_t d = 0; d < t.dimensions.size(); ++d) {
    if (d > 0) s += ", ";
    quoted(t.dimensions[d].name, s);
    s += ": ";
    if (d < c.path.size() && c.path.node(d) > 0 && t.nodes) {
      quoted(t.nodes->key[d][static_cast<size_t>(c.path.node(d))], s);
    } else {
      s += "null";
    }
  }
  s += "}, \"path\": {";
  for (size_t d = 0; d < t.dimensions.size(); ++d) {
    if (d > 0) s += ", ";
    quoted(t.dimensions[d].name, s);
    s += ": [";
    if (d < c.path.size()) {
      const std::vector<std::string> keys = c.path[d];
      for (size_t k = 0; k < keys.size(); ++k) {
        if (k > 0) s += ", ";
        quoted(keys[k], s);
      }
    }
    s += ']';
  }
  s += "}, \"value\": ";
  if (c.value.isString) {
    quoted(c.value.text, s);
  } else if (isSysmis(c.value.number) || !std::isfinite(c.value.number)) {
    s += "null";
  } else {
    s += shortestDouble(c.value.number);
  }
  s += ", \"text\": ";
  quoted(formatValue(c.value, decimal), s);
  s += ", \"footnotes\": [";
  bool first = true;
  for (const std::string& m : footnoteMarkers(t, c.footnotes)) {
    if (!first) s += ", ";
    first = false;
    quoted(m, s);
  }
  s += "]}";
  return s;
}

ojson tableJson(const Table& t, char decimal, std::vector<std::string>& cellTexts) {
  ojson j;
  j["type"] = "table";
  j["id"] = t.id;
  j["title"] = t.title;
  if (std::string shown = displayText(t.title); shown != t.title) j["titleText"] = shown;
  j["subtype"] = t.subtype;
  if (t.split) {
    ojson split = ojson::object();
    for (const auto& [name, value] : *t.split) split[name] = value;
    j["split"] = std::move(split);
  } else {
    j["split"] = nullptr;
  }
  ojson dims = ojson::array();
  for (size_t d = 0; d < t.dimensions.size(); ++d) {
    const auto& dim = t.dimensions[d];
    ojson dj;
    dj["name"] = dim.name;
    dj["axis"] = dim.axis == Axis::Row ? "row" : dim.axis == Axis::Column ? "column" : "layer";
    dj["categories"] = ojson::array();
    for (const auto& c : dim.categories) dj["categories"].push_back(categoryJson(t, static_cast<int>(d), c));
    dims.push_back(std::move(dj));
  }
  j["dimensions"] = std::move(dims);
  // The cells are written straight to their one-line texts (see cellText); the tree holds only
  // their numbers in `cellTexts`.
  ojson cells = ojson::array();
  for (const auto& c : t.cells) {
    cells.push_back(cellTexts.size());
    cellTexts.push_back(cellText(t, c, decimal));
  }
  j["cells"] = std::move(cells);
  ojson notes = ojson::array();
  for (const auto& f : t.footnotes) {
    ojson fj;
    fj["marker"] = f.marker;
    std::string shown = displayText(f.text);
    fj["text"] = shown;
    if (shown != f.text) fj["key"] = f.text;
    if (!f.values.empty()) {
      ojson values = ojson::object();
      for (const auto& [name, x] : f.values)
        values[name] = std::isfinite(x) && !isSysmis(x) ? ojson(x) : ojson(nullptr);
      fj["values"] = std::move(values);
    }
    notes.push_back(std::move(fj));
  }
  j["footnotes"] = std::move(notes);
  j["tableFootnotes"] = footnoteMarkers(t, t.tableFootnotes);
  return j;
}

ojson itemsJson(const std::vector<Item>& items, char decimal, std::vector<std::string>& cellTexts);

// The data a chart shows: axis titles, categories, series of points (on a category axis x is
// the category's key), the legend title and the frame texts.
void addChartData(const chart::ChartData& d, ojson& j) {
  const bool categorical = d.style == chart::Style::Lines;
  ojson x;
  x["title"] = d.xTitle;
  if (categorical) {
    x["categories"] = ojson::array();
    for (const auto& c : d.categories) x["categories"].push_back({{"key", c.key}, {"label", c.label}});
  }
  j["xAxis"] = std::move(x);
  j["yAxis"] = {{"title", d.yTitle}};
  j["legend"] = d.legendTitle.empty() ? ojson(nullptr) : ojson(d.legendTitle);
  j["series"] = ojson::array();
  for (const auto& s : d.series) {
    ojson pts = ojson::array();
    for (const auto& p : s.points) {
      const auto i = static_cast<size_t>(p.x);
      ojson xv = categorical && p.x >= 0 && i < d.categories.size() ? ojson(d.categories[i].key) : ojson(p.x);
      pts.push_back({{"x", std::move(xv)}, {"y", p.y}});
    }
    j["series"].push_back({{"key", s.key}, {"label", s.label}, {"points", std::move(pts)}});
  }
  if (d.style == chart::Style::Matrix) {
    const chart::MatrixData& m = d.matrix;
    ojson mj;
    mj["variables"] = m.variables;
    if (m.bins > 0) {
      mj["bins"] = m.bins;
      mj["low"] = m.lo;
      mj["high"] = m.hi;
      mj["counts"] = m.counts;
    } else {
      mj["rows"] = m.rows;
    }
    j["matrix"] = std::move(mj);
  }
  j["subtitles"] = d.subtitles;
  j["notes"] = d.notes;
}

ojson itemJson(const Item& item, char decimal, std::vector<std::string>& cellTexts) {
  ojson j;
  if (const auto* h = std::get_if<std::shared_ptr<Heading>>(&item)) {
    j["type"] = "heading";
    std::string text = *h ? (*h)->text : std::string();
    std::string shown = displayText(text);
    j["text"] = shown;
    if (shown != text) j["key"] = text;
    j["items"] = *h ? itemsJson((*h)->items, decimal, cellTexts) : ojson::array();
  } else if (const auto* m = std::get_if<Message>(&item)) {
    j["type"] = "message";
    j["severity"] = m->severity == Severity::Error     ? "error"
                    : m->severity == Severity::Warning ? "warning"
                                                       : "note";
    if (m->phase == Phase::None) {
      j["phase"] = nullptr;
    } else {
      j["phase"] = m->phase == Phase::Command ? "command" : "processing";
    }
    j["number"] = m->number ? ojson(*m->number) : ojson(nullptr);
    j["key"] = m->key;
    j["text"] = displayText(m->text);
    if (m->line > 0) {
      j["line"] = m->line;
      j["column"] = m->column;
    }
  } else if (const auto* t = std::get_if<Table>(&item)) {
    j = tableJson(*t, decimal, cellTexts);
  } else if (const auto* c = std::get_if<Chart>(&item)) {
    j["type"] = "chart";
    j["kind"] = c->kind;
    j["title"] = displayText(c->title);
    j["svg"] = c->svg();
    addChartData(c->data, j);
    if (!c->file.empty()) j["file"] = c->file;
  }
  return j;
}

ojson itemsJson(const std::vector<Item>& items, char decimal, std::vector<std::string>& cellTexts) {
  ojson a = ojson::array();
  for (const auto& item : items) a.push_back(itemJson(item, decimal, cellTexts));
  return a;
}

// The shortest text that reads back as the same double, with the exponent written without
// leading zeros ("1e-9", "2.5e+20").
std::string shortestDouble(double x) {
  std::string s = fmt::format("{}", x);
  size_t e = s.find('e');
  if (e != std::string::npos) {
    size_t digits = e + 1;
    if (digits < s.size() && (s[digits] == '-' || s[digits] == '+')) ++digits;
    size_t firstNonZero = s.find_first_not_of('0', digits);
    if (firstNonZero != std::string::npos && firstNonZero > digits) s.erase(digits, firstNonZero - digits);
  }
  return s;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes there are not one
// (stray continuation bytes, overlong forms, surrogates, code points above U+10FFFF).
size_t utf8Length(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

// A JSON string literal. Bytes that are not valid UTF-8 (text from a file in another encoding)
// become U+FFFD, so the output is always valid JSON.
void quoted(std::string_view s, std::string& out) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (c < 0x20) {
            out += fmt::format("\\u{:04x}", c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    if (size_t n = utf8Length(s, i)) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out += '"';
}

// Our own writer over the JSON tree: doubles in their shortest round-trip form, non-finite
// numbers as null, and small containers kept on one line so that every cell reads as one line.
class JsonWriter {
 public:
  explicit JsonWriter(const std::vector<std::string>& cellTexts) : cellTexts_(cellTexts) {}
  std::string write(const ojson& j) {
    std::string out;
    pretty(j, 0, out);
    out += '\n';
    return out;
  }

 private:
  static constexpr size_t kLineWidth = 120;

  static void scalar(const ojson& j, std::string& out) {
    switch (j.type()) {
      case ojson::value_t::number_float: {
        double x = j.get<double>();
        out += std::isfinite(x) ? shortestDouble(x) : "null";
        break;
      }
      case ojson::value_t::string:
        quoted(j.get_ref<const std::string&>(), out);
        break;
      default:
        out += j.dump();
    }
  }

  // Writes j on one line; gives up (returns false) once the text passes `limit` characters.
  static bool compact(const ojson& j, size_t limit, std::string& out) {
    if (out.size() > limit) return false;
    if (j.is_object()) {
      out += '{';
      bool first = true;
      for (const auto& [k, v] : j.items()) {
        // A table's cells are never on one line: the tree holds only their numbers (a table
        // with a cell is longer than a line anyway).
        if (k == "cells" && v.is_array() && !v.empty()) return false;
        if (!first) out += ", ";
        first = false;
        quoted(k, out);
        out += ": ";
        if (!compact(v, limit, out)) return false;
      }
      out += '}';
    } else if (j.is_array()) {
      out += '[';
      bool first = true;
      for (const auto& v : j) {
        if (!first) out += ", ";
        first = false;
        if (!compact(v, limit, out)) return false;
      }
      out += ']';
    } else {
      scalar(j, out);
    }
    return out.size() <= limit;
  }

  // The cells of a table, one cell per line however long, so that a cell can be found with a
  // line-oriented tool.
  void cellLines(const ojson& cells, size_t indent, std::string& out) const {
    const std::string pad(indent + 2, ' ');
    out += "[\n";
    bool first = true;
    for (const auto& c : cells) {
      if (!first) out += ",\n";
      first = false;
      out += pad;
      out += cellTexts_[c.get<size_t>()];
    }
    out += '\n';
    out.append(indent, ' ');
    out += ']';
  }

  void pretty(const ojson& j, size_t indent, std::string& out) {
    if (!j.is_structured() || j.empty()) {
      std::string s;
      compact(j, SIZE_MAX, s);
      out += s;
      return;
    }
    std::string line;
    size_t room = kLineWidth > indent ? kLineWidth - indent : 0;
    if (compact(j, room, line)) {
      out += line;
      return;
    }
    const std::string pad(indent + 2, ' ');
    out += j.is_object() ? "{\n" : "[\n";
    bool first = true;
    if (j.is_object()) {
      for (const auto& [k, v] : j.items()) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        quoted(k, out);
        out += ": ";
        if (k == "cells" && v.is_array() && !v.empty()) {
          cellLines(v, indent + 2, out);
        } else {
          pretty(v, indent + 2, out);
        }
      }
    } else {
      for (const auto& v : j) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        pretty(v, indent + 2, out);
      }
    }
    out += '\n';
    out.append(indent, ' ');
    out += j.is_object() ? '}' : ']';
  }

  const std::vector<std::string>& cellTexts_;  // the tables' cells on their lines
};

}  // namespace

std::string renderJson(const Document& doc) {
  std::vector<std::string> cellTexts;
  ojson root;
  root["format"] = "quorvest-output";
  root["version"] = 1;
  root["commands"] = ojson::array();
  for (const auto& c : doc.commands) {
    ojson cj;
    cj["command"] = c.command;
    cj["status"] = c.error ? "error" : "ok";
    cj["items"] = itemsJson(c.items, doc.decimal, cellTexts);
    root["commands"].push_back(std::move(cj));
  }
  return JsonWriter(cellTexts).write(root);
}

}  // namespace qv::out
