#include "host/output/document.h"

#include <algorithm>
#include <stdexcept>

namespace qv::out {

std::string footnoteMarker(size_t index) {
  // a, b, ..., z, aa, ab, ...
  std::string m;
  size_t n = index;
  do {
    m.insert(m.begin(), static_cast<char>('a' + n % 26));
    n = n / 26;
  } while (n-- > 0);
  return m;
}

std::vector<std::string> CategoryNodes::keyPath(size_t dim, int node) const {
  std::vector<std::string> keys;
  for (int at = node; at > 0; at = parent[dim][static_cast<size_t>(at)]) keys.push_back(key[dim][static_cast<size_t>(at)]);
  std::reverse(keys.begin(), keys.end());
  return keys;
}

std::vector<std::string> CellPath::operator[](size_t d) const {
  if (d >= node_.size() || node_[d] < 0 || nodes_ == nullptr) return {};
  return nodes_->keyPath(d, node_[d]);
}

std::vector<std::vector<std::string>> CellPath::keys() const {
  std::vector<std::vector<std::string>> all;
  for (size_t d = 0; d < node_.size(); ++d) all.push_back((*this)[d]);
  return all;
}

TableBuilder::TableBuilder(int id, std::string title, std::string subtype) {
  t_.id = id;
  t_.title = std::move(title);
  t_.subtype = std::move(subtype);
}

int TableBuilder::dimension(const std::string& name, Axis axis) {
  int existing = dimensionIndex(name);
  if (existing >= 0) return existing;
  t_.dimensions.push_back(Dimension{name, axis, {}});
  nodes_.emplace_back(1);  // the top level
  groupStack_.emplace_back();
  currentNode_.push_back(-1);
  return static_cast<int>(t_.dimensions.size()) - 1;
}

int TableBuilder::dimensionIndex(const std::string& name) const {
  for (size_t i = 0; i < t_.dimensions.size(); ++i)
    if (t_.dimensions[i].name == name) return static_cast<int>(i);
  return -1;
}

std::vector<Category>& TableBuilder::childList(int dim, int node) {
  return node == 0 ? t_.dimensions.at(static_cast<size_t>(dim)).categories : categoryOf(dim, node).children;
}

Category& TableBuilder::categoryOf(int dim, int node) {
  const Node& n = nodes_[static_cast<size_t>(dim)][static_cast<size_t>(node)];
  return childList(dim, n.parent)[n.index];
}

int TableBuilder::child(int dim, int parent, const std::string& key, const std::string& label, bool group) {
  auto& nodes = nodes_.at(static_cast<size_t>(dim));
  auto [it, isNew] =
      nodes[static_cast<size_t>(parent)].children.try_emplace(key, static_cast<int>(nodes.size()));
  const int node = it->second;
  if (isNew) {
    std::vector<Category>& list = childList(dim, parent);
    list.push_back(Category{key, label, group, {}});
    nodes.push_back(Node{parent, list.size() - 1, key, {}});
  } else if (group) {
    categoryOf(dim, node).isGroup = true;
  }
  return node;
}

void TableBuilder::beginGroup(int dim, const std::string& key, const std::string& label) {
  auto& stack = groupStack_.at(static_cast<size_t>(dim));
  stack.push_back(child(dim, stack.empty() ? 0 : stack.back(), key, label, true));
}

void TableBuilder::endGroup(int dim) {
  if (!groupStack_.at(static_cast<size_t>(dim)).empty()) groupStack_[static_cast<size_t>(dim)].pop_back();
}

void TableBuilder::category(int dim, const std::string& key, const std::string& label) {
  const auto& stack = groupStack_.at(static_cast<size_t>(dim));
  const int node = child(dim, stack.empty() ? 0 : stack.back(), key, label, false);
  const size_t d = static_cast<size_t>(dim);
  currentNode_[d] = node;
}

int TableBuilder::cell(int cellDim, const std::string& statistic, const Value& v) {
  category(cellDim, statistic, statistic);
  return cellHere(v);
}

int TableBuilder::cellHere(const Value& v) {
  // A cell placed again at the same coordinates replaces the earlier one (keeping its
  // footnotes and its place in the order of cells). The coordinates are the current nodes.
  cellKey_.assign(reinterpret_cast<const char*>(currentNode_.data()), currentNode_.size() * sizeof(int));
  auto it = cellIndex_.find(cellKey_);
  if (it != cellIndex_.end()) {
    t_.cells[static_cast<size_t>(it->second)].value = v;
    return it->second;
  }
  const int index = static_cast<int>(t_.cells.size());
  cellIndex_.emplace(cellKey_, index);
  Cell c;
  c.path.node_ = currentNode_;
  c.value = v;
  t_.cells.push_back(std::move(c));
  return index;
}

int TableBuilder::footnote(const std::string& text, std::vector<std::pair<std::string, double>> values) {
  for (size_t i = 0; i < t_.footnotes.size(); ++i)
    if (t_.footnotes[i].text == text) return static_cast<int>(i);
  t_.footnotes.push_back(Footnote{footnoteMarker(lettered_++), text, std::move(values)});
  return static_cast<int>(t_.footnotes.size()) - 1;
}

int TableBuilder::footnoteWithMarker(const std::string& text, const std::string& marker) {
  for (size_t i = 0; i < t_.footnotes.size(); ++i)
    if (t_.footnotes[i].text == text && t_.footnotes[i].marker == marker) return static_cast<int>(i);
  t_.footnotes.push_back(Footnote{marker, text, {}});
  return static_cast<int>(t_.footnotes.size()) - 1;
}

void TableBuilder::annotateCell(int cellIndex, int footnoteIndex) {
  auto& f = t_.cells.at(cellIndex).footnotes;
  if (std::find(f.begin(), f.end(), footnoteIndex) == f.end()) f.push_back(footnoteIndex);
}

void TableBuilder::annotateTable(int footnoteIndex) {
  auto& f = t_.tableFootnotes;
  if (std::find(f.begin(), f.end(), footnoteIndex) == f.end()) f.push_back(footnoteIndex);
}

void TableBuilder::annotateCategory(int dim, int footnoteIndex) {
  const int node = currentNode_.at(static_cast<size_t>(dim));
  if (node < 0) return;
  auto& f = t_.categoryFootnotes[{dim, nodes_[static_cast<size_t>(dim)][static_cast<size_t>(node)].key}];
  if (std::find(f.begin(), f.end(), footnoteIndex) == f.end()) f.push_back(footnoteIndex);
}

void TableBuilder::annotateCategoryKey(int dim, const std::string& key, int footnoteIndex) {
  (void)t_.dimensions.at(static_cast<size_t>(dim));  // the dimension must exist
  auto& f = t_.categoryFootnotes[{dim, key}];
  if (std::find(f.begin(), f.end(), footnoteIndex) == f.end()) f.push_back(footnoteIndex);
}

void TableBuilder::setSplit(std::vector<std::pair<std::string, std::string>> caption) {
  t_.split = std::move(caption);
}

Table TableBuilder::finish() {
  // Order dimensions: layers, rows, columns; keep declaration order within an axis, and
  // permute the cell paths and category footnotes to match.
  const size_t n = t_.dimensions.size();
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return static_cast<int>(t_.dimensions[a].axis) < static_cast<int>(t_.dimensions[b].axis);
  });
  std::vector<size_t> newIndex(n);
  for (size_t i = 0; i < n; ++i) newIndex[order[i]] = i;
  // The table is handed over, not copied: a large table is built once.
  Table out = std::move(t_);
  t_ = Table{};
  lettered_ = 0;
  t_.id = out.id;
  t_.title = out.title;
  t_.subtype = out.subtype;
  std::vector<Dimension> dims = std::move(out.dimensions);
  out.dimensions.clear();
  for (size_t i : order) out.dimensions.push_back(std::move(dims[i]));
  auto nodes = std::make_shared<CategoryNodes>();
  nodes->parent.resize(n);
  nodes->key.resize(n);
  for (size_t i = 0; i < n && i < nodes_.size(); ++i) {
    auto& parent = nodes->parent[newIndex[i]];
    auto& key = nodes->key[newIndex[i]];
    for (Node& node : nodes_[i]) {
      parent.push_back(node.parent);
      key.push_back(std::move(node.key));
    }
  }
  std::vector<int> p(n);
  for (auto& c : out.cells) {
    // A cell placed before a later dimension was declared has no category there.
    std::fill(p.begin(), p.end(), -1);
    for (size_t i = 0; i < n && i < c.path.node_.size(); ++i) p[newIndex[i]] = c.path.node_[i];
    c.path.node_.assign(p.begin(), p.end());
    c.path.nodes_ = nodes.get();
  }
  out.nodes = std::move(nodes);
  auto notes = std::move(out.categoryFootnotes);
  out.categoryFootnotes.clear();
  for (auto& [k, v] : notes) out.categoryFootnotes[{static_cast<int>(newIndex[k.first]), k.second}] = v;
  nodes_.clear();
  groupStack_.clear();
  currentNode_.clear();
  cellIndex_.clear();
  return out;
}

}  // namespace qv::out
