// The neutral table layout: which rows and columns a pivot table shows, the header spans over
// nested column groups, row labels printed once per block, and numbers aligned in their
// columns. No drawing and no escaping here (see text_render.cpp and html.cpp).
#include "host/output/table_layout.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/output/display.h"

namespace qv::out {

namespace {

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

std::string categoryLabel(const Table& t, int dim, const Category& c) {
  std::string s = displayText(c.label);
  if (const auto* notes = categoryFootnotes(t, dim, c.key)) s += markerSuffix(t, *notes);
  return s;
}

// Encodes a path of keys (length-prefixed, so no key can fake a separator).
void encodeKeys(const std::vector<std::string>& keys, std::string& s) {
  for (const auto& k : keys) {
    s += std::to_string(k.size());
    s += ':';
    s += k;
  }
}

// One cell of a layer block with its leaf index in every dimension.
struct BlockCell {
  std::vector<int> idx;
  const Cell* cell = nullptr;
};
using LayerBlock = std::pair<std::vector<int>, std::vector<BlockCell>>;  // (layer tuple, cells)

// ---- Layout ------------------------------------------------------------------------------------

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
      std::string key;
      encodeKeys(keys, key);
      out.byPath.emplace(std::move(key), static_cast<int>(out.chains.size()));
      out.chains.push_back(chain);
    } else {
      collectLeaves(c.children, chain, keys, out);
    }
    chain.pop_back();
    keys.pop_back();
  }
}

// Lays out one layer block of a table: `cells` holds the block's cells by their leaf index in
// every dimension.
class TableLayout {
 public:
  TableLayout(const Table& t, const std::vector<DimLeaves>& leaves, const std::vector<BlockCell>& cells,
              char decimal)
      : t_(t), leaves_(leaves), cells_(cells), decimal_(decimal) {
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
  size_t columns() const { return ncols_; }

 private:
  // Row (column) combinations to show: with one dimension on the axis, all of its leaves; with
  // several, the combinations that hold a cell (the full product of nested dimensions is
  // mostly empty, as in (I) x (J) comparisons).
  void chooseCombos() {
    std::vector<std::vector<int>> rows, cols;
    for (const BlockCell& bc : cells_) {
      rows.push_back(project(bc.idx, rowDims_));
      cols.push_back(project(bc.idx, colDims_));
    }
    rowCombos_ = combos(rowDims_, rows);
    colCombos_ = combos(colDims_, cols);
  }

  static std::vector<int> project(const std::vector<int>& idx, const std::vector<size_t>& dims) {
    std::vector<int> v;
    v.reserve(dims.size());
    for (size_t d : dims) v.push_back(idx[d]);
    return v;
  }

  // Position of a cell's row (column) among the shown combinations; -1 when not shown.
  static long position(const std::vector<std::vector<int>>& combos, const std::vector<int>& combo) {
    auto it = std::lower_bound(combos.begin(), combos.end(), combo);
    return it != combos.end() && *it == combo ? it - combos.begin() : -1;
  }

  // The cells of the grid, row by row: one pass over the block's cells instead of a search per
  // row and column.
  std::vector<const Cell*> grid() const {
    std::vector<const Cell*> g(rowCombos_.size() * colCombos_.size(), nullptr);
    for (const BlockCell& bc : cells_) {
      const long r = position(rowCombos_, project(bc.idx, rowDims_));
      const long c = position(colCombos_, project(bc.idx, colDims_));
      if (r >= 0 && c >= 0) g[static_cast<size_t>(r) * colCombos_.size() + static_cast<size_t>(c)] = bc.cell;
    }
    return g;
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
        std::string name = r + 1 == headerRows ? t_.dimensions[rowDims_[k]].name : "";
        header_[r].push_back(GridCell{col, col + rowDepth_[k] - 1, std::move(name), Align::Left, false});
        col += rowDepth_[k];
      }
    }
    if (colDims_.empty()) {
      header_[0].push_back(GridCell{rowHeaderCols_, rowHeaderCols_, "", Align::Center, false});
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
            header_[r].push_back(GridCell{col, col, std::move(text), Align::Center, ruleBelow});
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
    const std::vector<const Cell*> cells = grid();
    for (size_t i = 0; i < rowCombos_.size(); ++i) {
      for (size_t j = 0; j < colCombos_.size(); ++j) {
        const Cell* c = cells[i * colCombos_.size() + j];
        std::string value, marks;
        bool text = false;
        if (c) {
          value = c->value.isString ? displayText(c->value.text) : formatValue(c->value, decimal_);
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
          row.push_back(GridCell{col + level, last,
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
          row.push_back(GridCell{rowHeaderCols_ + j, rowHeaderCols_ + j, std::move(s), Align::Left, false});
        } else {
          s.append(markerWidth[j] - displayWidth(marks), ' ');
          row.push_back(GridCell{rowHeaderCols_ + j, rowHeaderCols_ + j, std::move(s), Align::Right, false});
        }
      }
      body_.push_back(std::move(row));
    }
  }

  const Table& t_;
  const std::vector<DimLeaves>& leaves_;
  const std::vector<BlockCell>& cells_;
  const char decimal_;
  std::vector<size_t> layerDims_, rowDims_, colDims_;
  std::vector<std::vector<int>> rowCombos_, colCombos_;
  std::vector<size_t> rowDepth_, colDepth_;
  size_t rowHeaderCols_ = 0, ncols_ = 0;
  std::vector<GridRow> header_, body_;
};

// The table's cells in blocks, one per combination of layer categories that holds cells, in
// category order; each cell keyed by its leaf index in every dimension, the block's cells in
// index order. A cell whose coordinates are not a leaf of every dimension is not shown.
std::vector<LayerBlock> layerBlocks(const Table& t, const std::vector<DimLeaves>& leaves) {
  const size_t ndims = t.dimensions.size();
  std::vector<size_t> layerDims;
  for (size_t d = 0; d < ndims; ++d)
    if (t.dimensions[d].axis == Axis::Layer) layerDims.push_back(d);
  std::vector<std::pair<std::vector<int>, BlockCell>> placed;  // (layer tuple, cell)
  placed.reserve(t.cells.size());
  // Per dimension and category node, its leaf index: -1 when it is not a leaf, -2 not looked up yet.
  std::vector<std::vector<int>> leafOf(ndims);
  std::string key;
  auto leafIndex = [&](size_t d, int node) {
    if (node < 0 || !t.nodes) return -1;
    std::vector<int>& known = leafOf[d];
    if (known.empty()) known.assign(t.nodes->key[d].size(), -2);
    int& at = known[static_cast<size_t>(node)];
    if (at == -2) {
      key.clear();
      encodeKeys(t.nodes->keyPath(d, node), key);
      auto it = leaves[d].byPath.find(key);
      at = it == leaves[d].byPath.end() ? -1 : it->second;
    }
    return at;
  };
  for (const auto& c : t.cells) {
    if (c.path.size() != ndims) continue;
    std::vector<int> idx(ndims);
    bool ok = true;
    for (size_t d = 0; d < ndims && ok; ++d) {
      idx[d] = leafIndex(d, c.path.node(d));
      ok = idx[d] >= 0;
    }
    if (!ok) continue;
    std::vector<int> layerTuple;
    for (size_t d : layerDims) layerTuple.push_back(idx[d]);
    placed.emplace_back(std::move(layerTuple), BlockCell{std::move(idx), &c});
  }
  // Sorted by block and coordinates; of two cells at the same coordinates the later one is
  // shown (stable sort, last of each run).
  std::stable_sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.idx < b.second.idx;
  });
  std::vector<LayerBlock> blocks;
  for (size_t i = 0; i < placed.size(); ++i) {
    if (i + 1 < placed.size() && placed[i + 1].first == placed[i].first &&
        placed[i + 1].second.idx == placed[i].second.idx)
      continue;
    if (blocks.empty() || blocks.back().first != placed[i].first)
      blocks.emplace_back(placed[i].first, std::vector<BlockCell>{});
    blocks.back().second.push_back(std::move(placed[i].second));
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

}  // namespace

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

std::vector<std::string> footnoteMarkers(const Table& t, const std::vector<int>& footnotes) {
  std::vector<std::string> m;
  for (int f : footnotes)
    if (f >= 0 && static_cast<size_t>(f) < t.footnotes.size())
      m.push_back(t.footnotes[static_cast<size_t>(f)].marker);
  return m;
}

const std::vector<int>* categoryFootnotes(const Table& t, int dim, const std::string& key) {
  auto it = t.categoryFootnotes.find({dim, key});
  return it == t.categoryFootnotes.end() ? nullptr : &it->second;
}

std::vector<TableBlock> layoutTable(const Table& t, char decimal) {
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
    TableLayout layout(t, leaves, cells, decimal);
    if (layout.build()) {
      b.header = layout.header();
      b.body = layout.body();
      b.rowHeaderColumns = layout.rowHeaderColumns();
      b.columns = layout.columns();
    }
    out.push_back(std::move(b));
  }
  return out;
}

}  // namespace qv::out
