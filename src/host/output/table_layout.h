#pragma once
// The neutral layout of a pivot table: per block of layer categories, a grid of header and body
// rows, each row a list of spans over columns. The text renderer draws it in a box, the HTML
// renderer writes it as <table> rows; the footnote-marker helpers here are shared with the JSON
// writer. Texts are display texts (catalogue keys expanded, footnote markers appended as
// superscripts); escaping for a terminal or a markup language is the renderer's business.
#include <string>
#include <utility>
#include <vector>

#include "host/output/document.h"

namespace qv::out {

enum class Align { Left, Right, Center };

// One span of a grid row: the columns [first, last] it covers and its text.
struct GridCell {
  size_t first = 0, last = 0;
  std::string text;  // label or value with its footnote markers
  Align align = Align::Left;
  bool ruleBelow = false;  // header rows: a rule belongs under this span (it heads the spans below)
  bool alignRight() const { return align == Align::Right; }  // numbers
};
using GridRow = std::vector<GridCell>;

// One block of a table: the cells of one combination of layer categories. The first columns
// (rowHeaderColumns of them) hold the row labels; numeric cells of a column are padded after
// their markers so that the numbers line up.
struct TableBlock {
  std::vector<std::pair<std::string, std::string>> layers;  // (dimension name, category label)
  std::vector<GridRow> header, body;                        // both empty: nothing to show
  size_t rowHeaderColumns = 0;
  size_t columns = 0;  // columns of the grid, row labels included
};

// The blocks of a table in layer-category order, one per combination of layer categories that
// holds cells. Numbers are written with the given decimal character.
std::vector<TableBlock> layoutTable(const Table& t, char decimal = '.');

// Markers of a list of footnotes, in footnote order without repeats, as a superscript suffix
// ("ᵃ,ᶜ").
std::string markerSuffix(const Table& t, std::vector<int> footnotes);
// The markers of a list of footnotes as stored ("a", "c"), in the list's order.
std::vector<std::string> footnoteMarkers(const Table& t, const std::vector<int>& footnotes);
// Footnotes on the categories with key `key` of dimension `dim`; null when there are none.
const std::vector<int>* categoryFootnotes(const Table& t, int dim, const std::string& key);

}  // namespace qv::out
