#pragma once
// Renderers of the output document.
#include <string>
#include <utility>
#include <vector>

#include "host/output/document.h"

namespace qv::out {

// Text for people at a terminal: boxed tables, nested column groups, footnotes under tables.
std::string renderText(const Document& doc);
// The JSON contract ("format": "quorvest-output", "version": 1).
std::string renderJson(const Document& doc);

// HTML: one self-contained page with a table of contents, the tables, messages and charts.
std::string renderHtml(const Document& doc);

// A pivot table laid out as a grid (the layout the text renderer draws), for other renderers.
struct GridCell {
  size_t first = 0, last = 0;  // columns spanned
  std::string text;            // label or value with its footnote markers
  bool alignRight = false;     // numbers
};
struct TableBlock {
  std::vector<std::pair<std::string, std::string>> layers;  // (dimension, category) of the block
  std::vector<std::vector<GridCell>> header, body;
  size_t rowHeaderColumns = 0;
};
std::vector<TableBlock> layoutTable(const Table& t);

// A stored text as shown: catalogue keys become their full texts.
std::string displayText(const std::string& s);

// Text of a value as displayed (also the "text" field of JSON cells): numbers in their format
// (blank for the system-missing value, NaN and infinities), strings as they stand except that
// a catalogue key shows its full text.
std::string formatValue(const Value& v);

}  // namespace qv::out
