// The HTML renderer: one self-contained page (no scripts, fonts or other files) with the
// outline headings as a table of contents, the pivot tables laid out as in the text output,
// messages styled by severity and the charts inline as SVG.
#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "host/charts/chart.h"
#include "host/output/display.h"
#include "host/output/labels.h"
#include "host/output/render.h"
#include "host/output/table_layout.h"

namespace qv::out {

namespace {

using chart::escapeXml;

constexpr const char* kStyle = R"(
body { font-family: system-ui, sans-serif; margin: 0; color: #1b1b1b; line-height: 1.4; }
nav.toc { background: #f3f5f8; padding: 0.75em 1.5em; border-bottom: 1px solid #d0d5dc; }
nav.toc ul { margin: 0.2em 0; padding-left: 1.2em; }
nav.toc a { color: #1f4f8a; text-decoration: none; }
main { padding: 0 1.5em 2em; max-width: 100%; }
section.command > pre.command-text { background: #f6f6f6; padding: 0.6em; overflow-x: auto;
  border-left: 3px solid #888; white-space: pre-wrap; }
.message { padding: 0.4em 0.8em; margin: 0.6em 0; border-left: 4px solid; }
.message.error { background: #fdecea; border-color: #c0392b; }
.message.warning { background: #fff6e0; border-color: #d68910; }
.message.note { background: #eef4fb; border-color: #2e6da4; }
figure { margin: 1em 0; }
.scroll { overflow-x: auto; -webkit-overflow-scrolling: touch; max-width: 100%; }
table.pivot { border-collapse: collapse; font-size: 0.9em; }
table.pivot caption { text-align: left; font-weight: bold; padding: 0.3em 0; white-space: nowrap; }
table.pivot th, table.pivot td { border: 1px solid #b8bec6; padding: 0.2em 0.5em; vertical-align: top; }
table.pivot thead th { background: #eef1f4; text-align: center; }
table.pivot tbody th { background: #f8f9fa; text-align: left; font-weight: normal; }
table.pivot td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.layer, .split { font-style: italic; margin: 0.2em 0; }
ol.footnotes { list-style: none; padding-left: 0; font-size: 0.85em; margin: 0.3em 0; }
figure.chart svg { max-width: 100%; height: auto; }
@media print {
  nav.toc { display: none; }
  .scroll { overflow: visible; }
  figure, .message { break-inside: avoid; }
  body { font-size: 10pt; }
}
)";

struct Writer {
  char decimal = '.';
  std::string body;
  std::string toc;
  int nextId = 0;
  int nextTable = 0;

  void items(const std::vector<Item>& list, int depth) {
    bool open = false;
    for (const auto& item : list) {
      if (const auto* h = std::get_if<std::shared_ptr<Heading>>(&item)) {
        if (!open) toc += "<ul>";
        open = true;
        heading(**h, depth);
      } else if (const auto* m = std::get_if<Message>(&item)) {
        message(*m);
      } else if (const auto* t = std::get_if<Table>(&item)) {
        if (!open) toc += "<ul>";
        open = true;
        toc += "<li><a href=\"#t" + std::to_string(nextTable + 1) + "\">" + escapeXml(displayText(t->title)) +
               "</a></li>\n";
        table(*t);
      } else if (const auto* c = std::get_if<Chart>(&item)) {
        body +=
            "<figure class=\"chart\" data-kind=\"" + escapeXml(c->kind) + "\">\n" + c->svg() + "</figure>\n";
      }
    }
    if (open) toc += "</ul>\n";
  }

  void heading(const Heading& h, int depth) {
    const std::string id = "h" + std::to_string(++nextId);
    const std::string level = std::to_string(std::min(depth + 2, 6));
    const std::string text = escapeXml(displayText(h.text));
    toc += "<li><a href=\"#" + id + "\">" + text + "</a>";
    body += "<section id=\"" + id + "\">\n<h" + level + ">" + text + "</h" + level + ">\n";
    items(h.items, depth + 1);
    body += "</section>\n";
    toc += "</li>\n";
  }

  void message(const Message& m) {
    const char* cls = m.severity == Severity::Error     ? "error"
                      : m.severity == Severity::Warning ? "warning"
                                                        : "note";
    const char* word = m.severity == Severity::Error     ? "Error"
                       : m.severity == Severity::Warning ? "Warning"
                                                         : "Note";
    body += std::string("<div class=\"message ") + cls + "\" role=\"note\"><strong>" + word;
    if (m.number) body += " " + std::to_string(*m.number);
    body += ":</strong> " + escapeXml(displayText(m.text)) + "</div>\n";
  }

  void table(const Table& t) {
    std::string markers;
    for (int f : t.tableFootnotes)
      if (f >= 0 && static_cast<size_t>(f) < t.footnotes.size())
        markers += t.footnotes[static_cast<size_t>(f)].marker;
    body += "<figure class=\"table\" id=\"t" + std::to_string(++nextTable) + "\" data-table-id=\"" +
            std::to_string(t.id) + "\">\n";
    if (t.split && !t.split->empty() && splitGroupCaption(*t.split) != t.title)
      body += "<p class=\"split\">" + escapeXml(splitGroupCaption(*t.split)) + "</p>\n";
    for (const TableBlock& b : layoutTable(t, decimal)) {
      if (b.header.empty() || b.body.empty()) continue;
      for (const auto& [dim, label] : b.layers)
        body += "<p class=\"layer\">" + escapeXml(dim) + ": " + escapeXml(visibleText(label)) + "</p>\n";
      body += "<div class=\"scroll\"><table class=\"pivot\">\n<caption>" + escapeXml(displayText(t.title)) +
              (markers.empty() ? "" : "<sup>" + escapeXml(markers) + "</sup>") + "</caption>\n<thead>\n";
      for (const auto& row : b.header) {
        body += "<tr>";
        for (const auto& c : row) body += cell("th", c, "");
        body += "</tr>\n";
      }
      body += "</thead>\n<tbody>\n";
      for (const auto& row : b.body) {
        body += "<tr>";
        for (const auto& c : row) {
          const bool header = c.first < b.rowHeaderColumns;
          body += header ? cell("th", c, " scope=\"row\"")
                         : cell("td", c, c.alignRight() ? " class=\"num\"" : "");
        }
        body += "</tr>\n";
      }
      body += "</tbody>\n</table></div>\n";
    }
    if (!t.footnotes.empty()) {
      body += "<ol class=\"footnotes\">\n";
      for (const auto& f : t.footnotes)
        body += "<li>" + escapeXml(f.marker) + ". " + escapeXml(displayText(f.text)) + "</li>\n";
      body += "</ol>\n";
    }
    body += "</figure>\n";
  }

  // Control characters in a cell are shown as escapes, as in the text output.
  static std::string cell(const char* tag, const GridCell& c, const std::string& attrs) {
    std::string text = visibleText(c.text);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::string s = std::string("<") + tag + attrs;
    if (c.last > c.first) s += " colspan=\"" + std::to_string(c.last - c.first + 1) + "\"";
    return s + ">" + escapeXml(text) + "</" + tag + ">";
  }
};

}  // namespace

std::string renderHtml(const Document& doc) {
  Writer w;
  w.decimal = doc.decimal;
  for (size_t i = 0; i < doc.commands.size(); ++i) {
    const CommandOutput& c = doc.commands[i];
    const std::string id = "c" + std::to_string(i + 1);
    w.toc +=
        "<li><a href=\"#" + id + "\">Command " + std::to_string(i + 1) + (c.error ? " (error)" : "") + "</a>";
    w.body += "<section class=\"command\" id=\"" + id + "\">\n<h1>Command " + std::to_string(i + 1) +
              "</h1>\n<pre class=\"command-text\">" + escapeXml(c.command) + "</pre>\n";
    w.items(c.items, 0);
    w.body += "</section>\n";
    w.toc += "</li>\n";
  }
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>QUORVEST output</title>\n<style>";
  out += kStyle;
  out +=
      "</style>\n</head>\n<body>\n<nav class=\"toc\" "
      "aria-label=\"Contents\">\n<strong>Contents</strong>\n<ul>\n";
  out += w.toc;
  out += "</ul>\n</nav>\n<main>\n";
  out += w.body;
  out += "</main>\n</body>\n</html>\n";
  return out;
}

}  // namespace qv::out
