// Renderers of the output document: text for people at a terminal and JSON for programs.
//
// Both renderers show a text that is a catalogue key (it ends in "...") through the catalogue,
// so a procedure may store either the key or the full text. The JSON form keeps the stored
// table title in "title" (programs match tables by it) and adds "titleText" when the shown
// title differs.
#include "host/output/render.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/output/labels.h"
#include "host/output/messages.h"

namespace qv::out {

namespace {

// ---- Numbers ---------------------------------------------------------------------------------

// Magnitudes from here on are shown in scientific notation: fixed notation would print digits
// that a double does not hold, and could be hundreds of characters wide.
constexpr double kLargeMagnitude = 1e15;
// Non-zero values below this magnitude that round to zero at the shown decimals are shown in
// scientific notation rather than as a misleading zero (p-values and proportions excepted).
constexpr double kSmallMagnitude = 1e-3;
constexpr int kDefaultDecimals = 3;
constexpr int kMaxDecimals = 15;

// "-0.000" and "-0" come from rounding small negative numbers; show them unsigned.
std::string dropNegativeZero(std::string s) {
  if (!s.empty() && s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
  return s;
}

std::string fixed(double x, int decimals) { return dropNegativeZero(fmt::format("{:.{}f}", x, decimals)); }

std::string scientific(double x) { return fmt::format("{:.3E}", x); }

// Removes trailing zeros after the decimal point, and the point when nothing follows it.
std::string trimZeros(std::string s) {
  if (s.find('.') == std::string::npos) return s;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return dropNegativeZero(s);
}

// ".049" rather than "0.049", as p-values and proportions are traditionally shown.
std::string dropLeadingZero(std::string s) {
  if (s.rfind("0.", 0) == 0) return s.substr(1);
  if (s.rfind("-0.", 0) == 0) return "-" + s.substr(2);
  return s;
}

std::string decimalFormat(double x, int decimals) {
  if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
  std::string s = fixed(x, decimals);
  if (x != 0.0 && std::fabs(x) < kSmallMagnitude && s.find_first_not_of("-0.") == std::string::npos)
    return scientific(x);
  return s;
}

std::string formatNumber(double x, Fmt f, int decimals) {
  if (isSysmis(x) || !std::isfinite(x)) return "";
  decimals = std::min(decimals, kMaxDecimals);
  switch (f) {
    case Fmt::Text:
      return fmt::format("{}", x);
    case Fmt::Integer:
      return std::fabs(x) >= kLargeMagnitude ? scientific(x) : fixed(x, 0);
    case Fmt::Count:
      if (decimals >= 0) return decimalFormat(x, decimals);
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      if (x == std::floor(x)) return fixed(x, 0);
      return trimZeros(fixed(x, 3));
    case Fmt::Significance:
    case Fmt::Correlation:
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      return dropLeadingZero(fixed(x, 3));
    case Fmt::Percent:
      if (decimals >= 0) return decimalFormat(x, decimals);
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      return trimZeros(fixed(x, 2));
    case Fmt::Coefficient:
    case Fmt::GeneralStat:
    case Fmt::Mean:
    case Fmt::StdDev:
    case Fmt::Value:
      return decimalFormat(x, decimals >= 0 ? decimals : kDefaultDecimals);
  }
  return decimalFormat(x, kDefaultDecimals);
}

// A stored text as shown: catalogue keys become their full texts. Only keys the catalogue
// holds are translated, so a data label that happens to end in "..." is shown as it stands.
std::string display(const std::string& s) {
  if (!s.empty() && s.back() == kUserTextMark) return s.substr(0, s.size() - 1);
  return isCatalogueKey(s) && catalogueHas(s) ? catalogueText(s) : s;
}

// Text for a terminal: control characters (line breaks, tabs, escape sequences) written as
// C-style escapes, so that a label cannot break the frame of a table or drive the terminal.
std::string visible(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += fmt::format("\\x{:02x}", c);
    }
  }
  return out;
}

// A stored text as a terminal shows it.
std::string shown(const std::string& s) { return visible(display(s)); }

// Display width in terminal columns: one per code point (continuation bytes do not count).
size_t displayWidth(std::string_view s) {
  size_t w = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++w;
  return w;
}

// ---- Footnote markers --------------------------------------------------------------------------

// Superscript forms of the marker letters a..z.
constexpr std::string_view kSuperscript[26] = {"ᵃ", "ᵇ", "ᶜ", "ᵈ", "ᵉ", "ᶠ", "ᵍ", "ʰ",    "ⁱ",
                                               "ʲ", "ᵏ", "ˡ", "ᵐ", "ⁿ", "ᵒ", "ᵖ", "𐞥", "ʳ",
                                               "ˢ", "ᵗ", "ᵘ", "ᵛ", "ʷ", "ˣ", "ʸ", "ᶻ"};

std::string superscript(const std::string& marker) {
  std::string s;
  for (char c : marker) {
    if (c >= 'a' && c <= 'z') {
      s += kSuperscript[c - 'a'];
    } else {
      s += c;
    }
  }
  return s;
}

// Markers of a list of footnotes, in footnote order, as a superscript suffix ("ᵃ,ᶜ").
std::string markerSuffix(const Table& t, std::vector<int> footnotes) {
  std::sort(footnotes.begin(), footnotes.end());
  footnotes.erase(std::unique(footnotes.begin(), footnotes.end()), footnotes.end());
  std::string s;
  for (int f : footnotes) {
    if (f < 0 || static_cast<size_t>(f) >= t.footnotes.size()) continue;
    if (!s.empty()) s += ",";
    s += superscript(t.footnotes[static_cast<size_t>(f)].marker);
  }
  return s;
}

std::vector<std::string> markersOf(const Table& t, const std::vector<int>& footnotes) {
  std::vector<std::string> m;
  for (int f : footnotes)
    if (f >= 0 && static_cast<size_t>(f) < t.footnotes.size())
      m.push_back(t.footnotes[static_cast<size_t>(f)].marker);
  return m;
}

const std::vector<int>* categoryNotes(const Table& t, int dim, const std::string& key) {
  auto it = t.categoryFootnotes.find({dim, key});
  return it == t.categoryFootnotes.end() ? nullptr : &it->second;
}

std::string categoryLabel(const Table& t, int dim, const Category& c) {
  std::string s = shown(c.label);
  if (const auto* notes = categoryNotes(t, dim, c.key)) s += markerSuffix(t, *notes);
  return s;
}

// Encodes a path of keys (length-prefixed, so no key can fake a separator).
std::string encodeKeys(const std::vector<std::string>& keys) {
  std::string s;
  for (const auto& k : keys) {
    s += std::to_string(k.size());
    s += ':';
    s += k;
  }
  return s;
}

// ---- Text tables -------------------------------------------------------------------------------

// The leaves of one dimension in tree order, each with its chain of categories from the top.
struct DimLeaves {
  std::vector<std::vector<const Category*>> chains;
  std::unordered_map<std::string, int> byPath;  // encoded key path -> leaf index
};

void collectLeaves(const std::vector<Category>& cats, std::vector<const Category*>& chain,
                   std::vector<std::string>& keys, DimLeaves& out) {
  for (const auto& c : cats) {
    chain.push_back(&c);
    keys.push_back(c.key);
    if (c.children.empty()) {
      out.byPath.emplace(encodeKeys(keys), static_cast<int>(out.chains.size()));
      out.chains.push_back(chain);
    } else {
      collectLeaves(c.children, chain, keys, out);
    }
    chain.pop_back();
    keys.pop_back();
  }
}

enum class Align { Left, Right, Center };

struct Span {
  size_t first = 0, last = 0;  // columns [first, last]
  std::string text;
  Align align = Align::Left;
  bool ruleBelow = false;  // header rows: draw a rule under this span
};

using GridRow = std::vector<Span>;

// Box-drawing junction from the lines that meet at a point.
std::string_view junction(bool up, bool down, bool left, bool right) {
  static constexpr std::string_view kJunction[16] = {" ", "─", "─", "─", "│", "┌", "┐", "┬",
                                                     "│", "└", "┘", "┴", "│", "├", "┤", "┼"};
  return kJunction[(up ? 8 : 0) | (down ? 4 : 0) | (left ? 2 : 0) | (right ? 1 : 0)];
}

class BoxWriter {
 public:
  explicit BoxWriter(std::vector<size_t> widths) : widths_(std::move(widths)) {}

  // Width of the inside of a span over columns [first, last].
  size_t inner(size_t first, size_t last) const {
    size_t w = 0;
    for (size_t c = first; c <= last; ++c) w += widths_[c];
    return w + 3 * (last - first);
  }

  static std::vector<bool> boundaries(const GridRow* row, size_t ncols) {
    std::vector<bool> b(ncols + 1, false);
    if (!row) return b;
    b[0] = b[ncols] = true;
    for (const auto& s : *row) b[s.first] = true;
    return b;
  }

  void rule(const GridRow* above, const GridRow* below, const std::vector<bool>& segment,
            std::string& out) const {
    const size_t n = widths_.size();
    std::vector<bool> up = boundaries(above, n), down = boundaries(below, n);
    for (size_t b = 0; b <= n; ++b) {
      bool left = b > 0 && segment[b - 1];
      bool right = b < n && segment[b];
      out += junction(up[b], down[b], left, right);
      if (b < n) {
        std::string_view fill = segment[b] ? "─" : " ";
        for (size_t i = 0; i < widths_[b] + 2; ++i) out += fill;
      }
    }
    out += '\n';
  }

  void text(const GridRow& row, std::string& out) const {
    for (const auto& s : row) {
      out += "│ ";
      size_t w = inner(s.first, s.last);
      size_t tw = displayWidth(s.text);
      size_t pad = w > tw ? w - tw : 0;
      size_t before = s.align == Align::Right ? pad : s.align == Align::Center ? pad / 2 : 0;
      out.append(before, ' ');
      out += s.text;
      out.append(pad - before, ' ');
      out += ' ';
    }
    out += "│\n";
  }

 private:
  std::vector<size_t> widths_;
};

// Lays out and writes one layer block of a table: `cells` holds the block's cells by their leaf
// index in every dimension.
class TableLayout {
 public:
  TableLayout(const Table& t, const std::vector<DimLeaves>& leaves,
              const std::map<std::vector<int>, const Cell*>& cells, const std::vector<int>& layerTuple)
      : t_(t), leaves_(leaves), cells_(cells), layerTuple_(layerTuple) {
    for (size_t d = 0; d < t.dimensions.size(); ++d) {
      switch (t.dimensions[d].axis) {
        case Axis::Layer:
          layerDims_.push_back(d);
          break;
        case Axis::Row:
          rowDims_.push_back(d);
          break;
        case Axis::Column:
          colDims_.push_back(d);
          break;
      }
    }
  }

  void write(std::string& out) {
    if (build()) writeGrid(out);
  }

  // Lays out the grid without drawing it; false when there is nothing to show.
  bool build() {
    chooseCombos();
    if (rowCombos_.empty() || colCombos_.empty()) return false;
    depths();
    buildHeader();
    buildBody();
    return true;
  }
  const std::vector<GridRow>& header() const { return header_; }
  const std::vector<GridRow>& body() const { return body_; }
  size_t rowHeaderColumns() const { return rowHeaderCols_; }

 private:
  // Row (column) combinations to show: with one dimension on the axis, all of its leaves; with
  // several, the combinations that hold a cell (the full product of nested dimensions is
  // mostly empty, as in (I) x (J) comparisons).
  void chooseCombos() {
    std::vector<std::vector<int>> rows, cols;
    for (const auto& [idx, cell] : cells_) {
      std::vector<int> r, c;
      for (size_t d : rowDims_) r.push_back(idx[d]);
      for (size_t d : colDims_) c.push_back(idx[d]);
      rows.push_back(std::move(r));
      cols.push_back(std::move(c));
    }
    rowCombos_ = combos(rowDims_, rows);
    colCombos_ = combos(colDims_, cols);
  }

  std::vector<std::vector<int>> combos(const std::vector<size_t>& dims,
                                       std::vector<std::vector<int>> seen) const {
    if (dims.empty()) return {std::vector<int>{}};
    if (dims.size() == 1) {
      std::vector<std::vector<int>> all;
      for (size_t i = 0; i < leaves_[dims[0]].chains.size(); ++i) all.push_back({static_cast<int>(i)});
      return all;
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    return seen;
  }

  const std::vector<const Category*>& chain(size_t dim, int leaf) const {
    return leaves_[dim].chains[static_cast<size_t>(leaf)];
  }

  // Header levels each dimension needs: the deepest chain among the shown leaves.
  void depths() {
    auto depthOf = [&](const std::vector<size_t>& dims, const std::vector<std::vector<int>>& combos) {
      std::vector<size_t> depth(dims.size(), 1);
      for (const auto& combo : combos)
        for (size_t k = 0; k < dims.size(); ++k)
          depth[k] = std::max(depth[k], chain(dims[k], combo[k]).size());
      return depth;
    };
    rowDepth_ = depthOf(rowDims_, rowCombos_);
    colDepth_ = depthOf(colDims_, colCombos_);
    rowHeaderCols_ = 0;
    for (size_t d : rowDepth_) rowHeaderCols_ += d;
    ncols_ = rowHeaderCols_ + colCombos_.size();
  }

  void buildHeader() {
    size_t headerRows = 0;
    for (size_t d : colDepth_) headerRows += d;
    headerRows = std::max<size_t>(headerRows, 1);
    header_.assign(headerRows, {});
    // Corner: one column block per row dimension, its name on the last header row.
    for (size_t r = 0; r < headerRows; ++r) {
      size_t col = 0;
      for (size_t k = 0; k < rowDims_.size(); ++k) {
        std::string name = r + 1 == headerRows ? visible(t_.dimensions[rowDims_[k]].name) : "";
        header_[r].push_back(Span{col, col + rowDepth_[k] - 1, std::move(name), Align::Left, false});
        col += rowDepth_[k];
      }
    }
    if (colDims_.empty()) {
      header_[0].push_back(Span{rowHeaderCols_, rowHeaderCols_, "", Align::Center, false});
      return;
    }
    // Column labels: one header row per level of each column dimension, outer dimensions
    // first. Leaves sit on the last row of their dimension; a group spans its children.
    size_t r = 0;
    for (size_t k = 0; k < colDims_.size(); ++k) {
      const size_t dim = colDims_[k];
      for (size_t level = 0; level < colDepth_[k]; ++level, ++r) {
        const Category* prevNode = nullptr;
        for (size_t j = 0; j < colCombos_.size(); ++j) {
          const auto& ch = chain(dim, colCombos_[j][k]);
          const size_t offset = colDepth_[k] - ch.size();
          const Category* node = level >= offset ? ch[level - offset] : nullptr;
          const bool sameOuter =
              j > 0 && std::equal(colCombos_[j].begin(), colCombos_[j].begin() + static_cast<long>(k),
                                  colCombos_[j - 1].begin());
          const size_t col = rowHeaderCols_ + j;
          if (j > 0 && sameOuter && node && node == prevNode) {
            header_[r].back().last = col;
          } else {
            std::string text = node ? categoryLabel(t_, static_cast<int>(dim), *node) : "";
            // A label with something beneath it (a group, or an outer dimension's category)
            // gets a rule under its span.
            bool ruleBelow = node && (level + 1 < colDepth_[k] || k + 1 < colDims_.size());
            header_[r].push_back(Span{col, col, std::move(text), Align::Center, ruleBelow});
          }
          prevNode = node;
        }
      }
    }
  }

  void buildBody() {
    // Numeric cells of a column line up whether or not they carry markers: pad the markers of
    // each column to a common width.
    std::vector<size_t> markerWidth(colCombos_.size(), 0);
    std::vector<std::vector<std::pair<std::string, std::string>>> texts(rowCombos_.size());
    std::vector<std::vector<bool>> isText(rowCombos_.size());
    for (size_t i = 0; i < rowCombos_.size(); ++i) {
      for (size_t j = 0; j < colCombos_.size(); ++j) {
        const Cell* c = find(rowCombos_[i], colCombos_[j]);
        std::string value, marks;
        bool text = false;
        if (c) {
          value = c->value.isString ? shown(c->value.text) : formatValue(c->value);
          marks = markerSuffix(t_, c->footnotes);
          text = c->value.isString;
          if (!text) markerWidth[j] = std::max(markerWidth[j], displayWidth(marks));
        }
        texts[i].emplace_back(std::move(value), std::move(marks));
        isText[i].push_back(text);
      }
    }
    for (size_t i = 0; i < rowCombos_.size(); ++i) {
      GridRow row;
      size_t col = 0;
      for (size_t k = 0; k < rowDims_.size(); ++k) {
        const size_t dim = rowDims_[k];
        const auto& ch = chain(dim, rowCombos_[i][k]);
        // An outer label is printed once, on the first row of its block.
        bool sameOuter =
            i > 0 && std::equal(rowCombos_[i].begin(), rowCombos_[i].begin() + static_cast<long>(k),
                                rowCombos_[i - 1].begin());
        const auto* prevChain = i > 0 ? &chain(dim, rowCombos_[i - 1][k]) : nullptr;
        for (size_t level = 0; level < ch.size(); ++level) {
          bool repeated =
              sameOuter && prevChain && level < prevChain->size() &&
              std::equal(ch.begin(), ch.begin() + static_cast<long>(level) + 1, prevChain->begin());
          size_t last = level + 1 == ch.size() ? col + rowDepth_[k] - 1 : col + level;
          row.push_back(Span{col + level, last,
                             repeated ? "" : categoryLabel(t_, static_cast<int>(dim), *ch[level]),
                             Align::Left, false});
          sameOuter = sameOuter && repeated;
        }
        col += rowDepth_[k];
      }
      for (size_t j = 0; j < colCombos_.size(); ++j) {
        auto& [value, marks] = texts[i][j];
        std::string s = value + marks;
        if (isText[i][j]) {
          row.push_back(Span{rowHeaderCols_ + j, rowHeaderCols_ + j, std::move(s), Align::Left, false});
        } else {
          s.append(markerWidth[j] - displayWidth(marks), ' ');
          row.push_back(Span{rowHeaderCols_ + j, rowHeaderCols_ + j, std::move(s), Align::Right, false});
        }
      }
      body_.push_back(std::move(row));
    }
  }

  const Cell* find(const std::vector<int>& rowCombo, const std::vector<int>& colCombo) const {
    std::vector<int> idx(t_.dimensions.size(), -1);
    for (size_t k = 0; k < layerDims_.size(); ++k) idx[layerDims_[k]] = layerTuple_[k];
    for (size_t k = 0; k < rowDims_.size(); ++k) idx[rowDims_[k]] = rowCombo[k];
    for (size_t k = 0; k < colDims_.size(); ++k) idx[colDims_[k]] = colCombo[k];
    auto it = cells_.find(idx);
    return it == cells_.end() ? nullptr : it->second;
  }

  std::vector<size_t> columnWidths() const {
    std::vector<size_t> w(ncols_, 0);
    std::vector<const Span*> wide;
    auto consider = [&](const GridRow& row) {
      for (const auto& s : row) {
        if (s.first == s.last) {
          w[s.first] = std::max(w[s.first], displayWidth(s.text));
        } else {
          wide.push_back(&s);
        }
      }
    };
    for (const auto& row : header_) consider(row);
    for (const auto& row : body_) consider(row);
    // Spans over several columns widen their columns evenly when their text needs more room;
    // narrow spans first, so that wider ones see the result.
    std::stable_sort(wide.begin(), wide.end(),
                     [](const Span* a, const Span* b) { return a->last - a->first < b->last - b->first; });
    for (const Span* s : wide) {
      size_t have = 3 * (s->last - s->first);
      for (size_t c = s->first; c <= s->last; ++c) have += w[c];
      size_t need = displayWidth(s->text);
      if (need <= have) continue;
      size_t extra = need - have, n = s->last - s->first + 1;
      for (size_t c = s->first; c <= s->last; ++c) w[c] += extra / n + ((c - s->first) < extra % n ? 1 : 0);
    }
    return w;
  }

  void writeGrid(std::string& out) const {
    BoxWriter box(columnWidths());
    const std::vector<bool> all(ncols_, true);
    box.rule(nullptr, &header_.front(), all, out);
    for (size_t r = 0; r < header_.size(); ++r) {
      box.text(header_[r], out);
      if (r + 1 < header_.size()) {
        std::vector<bool> segment(ncols_, false);
        bool any = false;
        for (const auto& s : header_[r])
          if (s.ruleBelow)
            for (size_t c = s.first; c <= s.last; ++c) segment[c] = any = true;
        if (any) box.rule(&header_[r], &header_[r + 1], segment, out);
      }
    }
    box.rule(&header_.back(), &body_.front(), all, out);
    for (const auto& row : body_) box.text(row, out);
    box.rule(&body_.back(), nullptr, all, out);
  }

  const Table& t_;
  const std::vector<DimLeaves>& leaves_;
  const std::map<std::vector<int>, const Cell*>& cells_;
  const std::vector<int>& layerTuple_;
  std::vector<size_t> layerDims_, rowDims_, colDims_;
  std::vector<std::vector<int>> rowCombos_, colCombos_;
  std::vector<size_t> rowDepth_, colDepth_;
  size_t rowHeaderCols_ = 0, ncols_ = 0;
  std::vector<GridRow> header_, body_;
};

using LayerBlocks = std::map<std::vector<int>, std::map<std::vector<int>, const Cell*>>;

// The table's cells in blocks, one per combination of layer categories that holds cells, in
// category order; each cell keyed by its leaf index in every dimension.
LayerBlocks layerBlocks(const Table& t, const std::vector<DimLeaves>& leaves) {
  const size_t ndims = t.dimensions.size();
  std::vector<size_t> layerDims;
  for (size_t d = 0; d < ndims; ++d)
    if (t.dimensions[d].axis == Axis::Layer) layerDims.push_back(d);
  LayerBlocks blocks;
  for (const auto& c : t.cells) {
    if (c.path.size() != ndims) continue;
    std::vector<int> idx(ndims);
    bool ok = true;
    for (size_t d = 0; d < ndims && ok; ++d) {
      auto it = leaves[d].byPath.find(encodeKeys(c.path[d]));
      ok = it != leaves[d].byPath.end();
      if (ok) idx[d] = it->second;
    }
    if (!ok) continue;
    std::vector<int> layerTuple;
    for (size_t d : layerDims) layerTuple.push_back(idx[d]);
    blocks[layerTuple][idx] = &c;
  }
  return blocks;
}

std::vector<DimLeaves> tableLeaves(const Table& t) {
  std::vector<DimLeaves> leaves(t.dimensions.size());
  for (size_t d = 0; d < t.dimensions.size(); ++d) {
    std::vector<const Category*> chain;
    std::vector<std::string> keys;
    collectLeaves(t.dimensions[d].categories, chain, keys, leaves[d]);
  }
  return leaves;
}

void renderTable(const Table& t, std::string& out) {
  const size_t ndims = t.dimensions.size();
  const std::vector<DimLeaves> leaves = tableLeaves(t);
  std::vector<size_t> layerDims;
  for (size_t d = 0; d < ndims; ++d)
    if (t.dimensions[d].axis == Axis::Layer) layerDims.push_back(d);
  const LayerBlocks blocks = layerBlocks(t, leaves);

  // A table titled by its split group (separate split output) does not name the group twice.
  if (t.split && !t.split->empty() && splitGroupCaption(*t.split) != t.title)
    out += visible(splitGroupCaption(*t.split)) + "\n";
  out += shown(t.title) + markerSuffix(t, t.tableFootnotes) + "\n";

  for (const auto& [tuple, cells] : blocks) {
    for (size_t k = 0; k < layerDims.size(); ++k) {
      const auto& ch = leaves[layerDims[k]].chains[static_cast<size_t>(tuple[k])];
      std::string label;
      for (const Category* c : ch) {
        if (!label.empty()) label += " / ";
        label += categoryLabel(t, static_cast<int>(layerDims[k]), *c);
      }
      out += visible(t.dimensions[layerDims[k]].name) + ": " + label + "\n";
    }
    TableLayout(t, leaves, cells, tuple).write(out);
  }
  for (const auto& f : t.footnotes) out += f.marker + ". " + shown(f.text) + "\n";
}

void renderTextItems(const std::vector<Item>& items, int depth, const std::string& source, std::string& out);

void renderTextItem(const Item& item, int depth, const std::string& source, std::string& out) {
  if (const auto* h = std::get_if<std::shared_ptr<Heading>>(&item)) {
    if (!*h) return;
    std::string text = shown((*h)->text);
    static constexpr char kUnderline[] = {'=', '-', '~'};
    out += text + "\n";
    out.append(std::max<size_t>(displayWidth(text), 1), kUnderline[std::min(depth, 2)]);
    out += "\n\n";
    renderTextItems((*h)->items, depth + 1, source, out);
  } else if (const auto* m = std::get_if<Message>(&item)) {
    const char* word = m->severity == Severity::Error     ? "Error"
                       : m->severity == Severity::Warning ? "Warning"
                                                          : "Note";
    out += word;
    if (m->number) out += " " + std::to_string(*m->number);
    if (m->line > 0) {
      out += " at ";
      if (!source.empty()) out += visible(source) + ":";
      out += std::to_string(m->line) + ":" + std::to_string(m->column);
    }
    out += ": " + shown(m->text) + "\n\n";
  } else if (const auto* t = std::get_if<Table>(&item)) {
    renderTable(*t, out);
    out += "\n";
  } else if (const auto* c = std::get_if<Chart>(&item)) {
    out += "Chart (" + c->kind + "): " + shown(c->title);
    if (!c->file.empty()) out += " [" + shown(c->file) + "]";
    out += "\n\n";
  }
}

void renderTextItems(const std::vector<Item>& items, int depth, const std::string& source, std::string& out) {
  for (const auto& item : items) renderTextItem(item, depth, source, out);
}

// ---- JSON ----------------------------------------------------------------------------------

using ojson = nlohmann::ordered_json;

ojson valueJson(const Value& v) {
  if (v.isString) return v.text;
  if (isSysmis(v.number) || !std::isfinite(v.number)) return nullptr;
  return v.number;
}

ojson categoryJson(const Table& t, int dim, const Category& c) {
  ojson j;
  j["key"] = c.key;
  j["label"] = display(c.label);
  if (const auto* notes = categoryNotes(t, dim, c.key)) j["footnotes"] = markersOf(t, *notes);
  if (c.isGroup || !c.children.empty()) {
    j["children"] = ojson::array();
    for (const auto& child : c.children) j["children"].push_back(categoryJson(t, dim, child));
  }
  return j;
}

ojson tableJson(const Table& t) {
  ojson j;
  j["type"] = "table";
  j["id"] = t.id;
  j["title"] = t.title;
  if (std::string shown = display(t.title); shown != t.title) j["titleText"] = shown;
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
  ojson cells = ojson::array();
  for (const auto& c : t.cells) {
    ojson cj, at = ojson::object(), path = ojson::object();
    for (size_t d = 0; d < t.dimensions.size(); ++d) {
      const std::string& name = t.dimensions[d].name;
      if (d < c.path.size() && !c.path[d].empty()) {
        at[name] = c.path[d].back();
        path[name] = c.path[d];
      } else {
        at[name] = nullptr;
        path[name] = ojson::array();
      }
    }
    cj["at"] = std::move(at);
    cj["path"] = std::move(path);
    cj["value"] = valueJson(c.value);
    cj["text"] = formatValue(c.value);
    cj["footnotes"] = markersOf(t, c.footnotes);
    cells.push_back(std::move(cj));
  }
  j["cells"] = std::move(cells);
  ojson notes = ojson::array();
  for (const auto& f : t.footnotes) {
    ojson fj;
    fj["marker"] = f.marker;
    std::string shown = display(f.text);
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
  j["tableFootnotes"] = markersOf(t, t.tableFootnotes);
  return j;
}

ojson itemsJson(const std::vector<Item>& items);

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

ojson itemJson(const Item& item) {
  ojson j;
  if (const auto* h = std::get_if<std::shared_ptr<Heading>>(&item)) {
    j["type"] = "heading";
    std::string text = *h ? (*h)->text : std::string();
    std::string shown = display(text);
    j["text"] = shown;
    if (shown != text) j["key"] = text;
    j["items"] = *h ? itemsJson((*h)->items) : ojson::array();
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
    j["text"] = display(m->text);
    if (m->line > 0) {
      j["line"] = m->line;
      j["column"] = m->column;
    }
  } else if (const auto* t = std::get_if<Table>(&item)) {
    j = tableJson(*t);
  } else if (const auto* c = std::get_if<Chart>(&item)) {
    j["type"] = "chart";
    j["kind"] = c->kind;
    j["title"] = display(c->title);
    j["svg"] = c->svg;
    addChartData(c->data, j);
    if (!c->file.empty()) j["file"] = c->file;
  }
  return j;
}

ojson itemsJson(const std::vector<Item>& items) {
  ojson a = ojson::array();
  for (const auto& item : items) a.push_back(itemJson(item));
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
  static void cellLines(const ojson& cells, size_t indent, std::string& out) {
    const std::string pad(indent + 2, ' ');
    out += "[\n";
    bool first = true;
    for (const auto& c : cells) {
      if (!first) out += ",\n";
      first = false;
      out += pad;
      compact(c, SIZE_MAX, out);
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
};

}  // namespace

std::vector<TableBlock> layoutTable(const Table& t) {
  const std::vector<DimLeaves> leaves = tableLeaves(t);
  std::vector<TableBlock> out;
  for (const auto& [tuple, cells] : layerBlocks(t, leaves)) {
    TableBlock b;
    size_t k = 0;
    for (size_t d = 0; d < t.dimensions.size(); ++d) {
      if (t.dimensions[d].axis != Axis::Layer) continue;
      std::string label;
      for (const Category* c : leaves[d].chains[static_cast<size_t>(tuple[k++])]) {
        if (!label.empty()) label += " / ";
        label += categoryLabel(t, static_cast<int>(d), *c);
      }
      b.layers.emplace_back(t.dimensions[d].name, std::move(label));
    }
    TableLayout layout(t, leaves, cells, tuple);
    if (!layout.build()) continue;
    auto copy = [](const std::vector<GridRow>& rows) {
      std::vector<std::vector<GridCell>> r;
      for (const auto& row : rows) {
        r.emplace_back();
        for (const auto& s : row) r.back().push_back({s.first, s.last, s.text, s.align == Align::Right});
      }
      return r;
    };
    b.header = copy(layout.header());
    b.body = copy(layout.body());
    b.rowHeaderColumns = layout.rowHeaderColumns();
    out.push_back(std::move(b));
  }
  return out;
}

std::string displayText(const std::string& s) { return display(s); }

std::string formatValue(const Value& v) {
  if (v.isString) return display(v.text);
  return formatNumber(v.number, v.fmt, v.decimals);
}

std::string renderText(const Document& doc) {
  std::string out;
  for (const auto& c : doc.commands) {
    out += c.command;
    if (c.command.empty() || c.command.back() != '\n') out += '\n';
    out += '\n';
    renderTextItems(c.items, 0, c.source, out);
  }
  return out;
}

std::string renderJson(const Document& doc) {
  ojson root;
  root["format"] = "quorvest-output";
  root["version"] = 1;
  root["commands"] = ojson::array();
  for (const auto& c : doc.commands) {
    ojson cj;
    cj["command"] = c.command;
    cj["status"] = c.error ? "error" : "ok";
    cj["items"] = itemsJson(c.items);
    root["commands"].push_back(std::move(cj));
  }
  return JsonWriter().write(root);
}

}  // namespace qv::out
