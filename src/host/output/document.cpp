#include "host/output/document.h"

#include <algorithm>
#include <stdexcept>

namespace qv::out {

namespace {

Category* findChild(std::vector<Category>& cats, const std::string& key) {
  for (auto& c : cats)
    if (c.key == key) return &c;
  return nullptr;
}

// A cell's coordinates as one string, for the index of placed cells. Every key is written with
// its length first, so no key can be mistaken for a separator.
std::string encodePath(const std::vector<std::vector<std::string>>& path) {
  std::string s;
  for (const auto& dim : path) {
    s += std::to_string(dim.size());
    s += '|';
    for (const auto& key : dim) {
      s += std::to_string(key.size());
      s += ':';
      s += key;
    }
  }
  return s;
}

}  // namespace

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

TableBuilder::TableBuilder(int id, std::string title, std::string subtype) {
  t_.id = id;
  t_.title = std::move(title);
  t_.subtype = std::move(subtype);
}

int TableBuilder::dimension(const std::string& name, Axis axis) {
  int existing = dimensionIndex(name);
  if (existing >= 0) return existing;
  t_.dimensions.push_back(Dimension{name, axis, {}});
  groupStack_.emplace_back();
  current_.emplace_back();
  return static_cast<int>(t_.dimensions.size()) - 1;
}

int TableBuilder::dimensionIndex(const std::string& name) const {
  for (size_t i = 0; i < t_.dimensions.size(); ++i)
    if (t_.dimensions[i].name == name) return static_cast<int>(i);
  return -1;
}

Category* TableBuilder::currentContainer(int dim) {
  // Returns the group that new categories go into, or nullptr for the top level.
  Category* group = nullptr;
  for (const auto& key : groupStack_.at(dim)) {
    auto& list = group ? group->children : t_.dimensions[dim].categories;
    group = findChild(list, key);
  }
  return group;
}

std::string TableBuilder::categoryId(int dim, const std::string& key) const {
  std::vector<std::vector<std::string>> path{{std::to_string(dim)}, groupStack_.at(dim), {key}};
  return encodePath(path);
}

void TableBuilder::beginGroup(int dim, const std::string& key, const std::string& label) {
  Category* parent = currentContainer(dim);
  auto& list = parent ? parent->children : t_.dimensions.at(dim).categories;
  if (categoryIndex_.insert(categoryId(dim, key)).second) {
    list.push_back(Category{key, label, true, {}});
  } else if (Category* g = findChild(list, key)) {
    g->isGroup = true;
  }
  groupStack_[dim].push_back(key);
}

void TableBuilder::endGroup(int dim) {
  if (!groupStack_.at(dim).empty()) groupStack_[dim].pop_back();
}

void TableBuilder::category(int dim, const std::string& key, const std::string& label) {
  // The index answers "is it there already" without a search through long category lists.
  if (categoryIndex_.insert(categoryId(dim, key)).second) {
    Category* parent = currentContainer(dim);
    auto& list = parent ? parent->children : t_.dimensions.at(dim).categories;
    list.push_back(Category{key, label, false, {}});
  }
  current_[dim] = groupStack_[dim];
  current_[dim].push_back(key);
}

int TableBuilder::cell(int cellDim, const std::string& statistic, const Value& v) {
  category(cellDim, statistic, statistic);
  return cellHere(v);
}

int TableBuilder::cellHere(const Value& v) {
  // A cell placed again at the same coordinates replaces the earlier one (keeping its
  // footnotes and its place in the order of cells).
  auto [it, inserted] = cellIndex_.try_emplace(encodePath(current_), static_cast<int>(t_.cells.size()));
  if (!inserted) {
    t_.cells[static_cast<size_t>(it->second)].value = v;
    return it->second;
  }
  Cell c;
  c.path = current_;
  c.value = v;
  t_.cells.push_back(std::move(c));
  return it->second;
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
  if (current_.at(dim).empty()) return;
  auto& f = t_.categoryFootnotes[{dim, current_[dim].back()}];
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
  for (auto& c : out.cells) {
    std::vector<std::vector<std::string>> p(n);
    // A cell placed before a later dimension was declared has no category there.
    for (size_t i = 0; i < n && i < c.path.size(); ++i) p[newIndex[i]] = std::move(c.path[i]);
    c.path = std::move(p);
  }
  auto notes = std::move(out.categoryFootnotes);
  out.categoryFootnotes.clear();
  for (auto& [k, v] : notes) out.categoryFootnotes[{static_cast<int>(newIndex[k.first]), k.second}] = v;
  groupStack_.clear();
  current_.clear();
  cellIndex_.clear();
  categoryIndex_.clear();
  return out;
}

}  // namespace qv::out
