#pragma once
// The output document: a sequence of items (headings, messages, pivot tables, charts) in
// output order, and the pivot-table builder that procedures use to fill it.
// Renderers (text, JSON, HTML) turn a document into bytes; see render.h.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "host/charts/chart.h"
#include "host/sysmis.h"

namespace qv::out {

enum class Axis { Layer, Row, Column };

// How a number is shown to people. The JSON form always carries the full double as well.
enum class Fmt {
  Text,          // a string value
  Count,         // N, df: integer when whole, else up to 3 decimals
  Coefficient,   // sums of squares, mean squares, estimates, standard errors
  GeneralStat,   // F, t, noncentrality
  Significance,  // p-values, power: 3 decimals
  Correlation,   // eta squared, R squared: 3 decimals
  Mean,          // means of a dependent variable
  StdDev,        // standard deviations of a dependent variable
  Integer,       // integer labels and counts
  Percent,       // a percentage value without the sign (95, 97.5): the "%" is in the label
  Value,         // a data value (dependent variable scale)
};

enum class Severity { Error, Warning, Note };
enum class Phase { Command, Processing, None };

// One cell value: a number (kSysmis for the system-missing value, shown blank) or a string.
struct Value {
  double number = kSysmis;
  std::string text;  // used when isString
  bool isString = false;
  Fmt fmt = Fmt::GeneralStat;
  int decimals = -1;  // explicit decimals (all numeric formats but Significance/Correlation);
                      // -1 = the format's default

  static Value num(double x, Fmt f, int dec = -1) { return Value{x, {}, false, f, dec}; }
  static Value str(std::string s) { return Value{kSysmis, std::move(s), true, Fmt::Text, -1}; }
  static Value missing(Fmt f = Fmt::GeneralStat) { return Value{kSysmis, {}, false, f, -1}; }
};

struct Category {
  std::string key;    // stable key used by JSON consumers
  std::string label;  // shown to people
  bool isGroup = false;
  std::vector<Category> children;
};

struct Dimension {
  std::string name;
  Axis axis = Axis::Row;
  std::vector<Category> categories;  // in first-placed order
};

// The categories of one table as its cells refer to them, per dimension: node 0 is the top
// level, every other node one category (group or leaf) with its parent node and its key.
struct CategoryNodes {
  std::vector<std::vector<int>> parent;       // per dimension, per node (-1 for node 0)
  std::vector<std::vector<std::string>> key;  // per dimension, per node ("" for node 0)
  // The keys from the outermost enclosing group down to the node itself.
  std::vector<std::string> keyPath(size_t dim, int node) const;
};

// A cell's coordinates: per dimension of the table (same order as Table::dimensions) the node of
// its category, or none. Read as key paths: path[d] holds the keys of the enclosing groups
// first, then the leaf key (empty where the cell has no category). A cell keeps numbers, not
// texts, so that tables of millions of cells stay small.
class CellPath {
 public:
  size_t size() const { return node_.size(); }
  std::vector<std::string> operator[](size_t d) const;
  std::vector<std::vector<std::string>> keys() const;
  bool operator==(const std::vector<std::vector<std::string>>& other) const { return keys() == other; }
  int node(size_t d) const { return node_[d]; }  // -1 when none

 private:
  friend class TableBuilder;
  const CategoryNodes* nodes_ = nullptr;
  std::vector<int> node_;
};

struct Cell {
  CellPath path;
  Value value;
  std::vector<int> footnotes;  // indexes into Table::footnotes
};

struct Footnote {
  std::string marker;  // "a", "b", ... assigned in order of creation
  std::string text;
  // Full-precision numbers shown in the text (e.g. {"R Squared", 0.7159...}), so that programs
  // reading the JSON need not parse the rounded text.
  std::vector<std::pair<std::string, double>> values;
};

struct Table {
  int id = 0;
  std::string title;
  std::string subtype;
  // Split-group caption (name, value) pairs when the table belongs to a split group.
  std::optional<std::vector<std::pair<std::string, std::string>>> split;
  std::vector<Dimension> dimensions;  // layout order: layers, rows outer->inner, columns outer->inner
  std::vector<Cell> cells;
  // The categories the cells' paths refer to (shared by copies of the table).
  std::shared_ptr<const CategoryNodes> nodes;
  std::vector<Footnote> footnotes;
  std::vector<int> tableFootnotes;  // footnotes attached to the whole table
  // Footnotes on categories, by (dimension, category key): they apply to every category of
  // the dimension with that key, leaf or group.
  std::map<std::pair<int, std::string>, std::vector<int>> categoryFootnotes;
};

struct Message {
  Severity severity = Severity::Error;
  Phase phase = Phase::None;
  std::optional<int> number;
  std::string key;
  std::string text;
  // Where the offending symbol is (1-based): in the command text while the command runs, in
  // the script once the program has placed the command; 0 when not tied to a symbol.
  long line = 0, column = 0;
};

// A chart is kept as its model; the renderers draw it (svg()) when they write it.
struct Chart {
  std::string kind;
  std::string title;
  std::string drawnTitle;  // the title drawn above the plot (full text)
  chart::ChartData data;   // what the chart shows, for programs that redraw it
  std::string file = {};   // where --charts wrote the chart as SVG; empty when not written
  std::string svg() const { return chart::renderSvg(drawnTitle, data); }
};

struct Heading;
using Item = std::variant<std::shared_ptr<Heading>, Message, Table, Chart>;

struct Heading {
  std::string text;
  std::vector<Item> items;
};

struct CommandOutput {
  std::string command;
  bool error = false;
  std::vector<Item> items;
  std::string source = {};  // the script the command came from ("-e" for command-line text), if known
};

struct Document {
  std::vector<CommandOutput> commands;
  char decimal = '.';  // decimal character of the numbers the renderers format
};

// Builds one pivot table the way a procedure thinks of it: declare dimensions, make a category
// current in each dimension (groups nest), place values, attach footnotes, then finish.
// Categories keep their first-placed order; setting the same key again addresses the same
// category.
// The letter marker of the footnote at 0-based position `index`: a, b, ..., z, aa, ab, ...
std::string footnoteMarker(size_t index);

class TableBuilder {
 public:
  TableBuilder(int id, std::string title, std::string subtype);

  // Declares a dimension; returns its index. Dimensions may be declared in any order; finish()
  // orders them layers, rows, columns (keeping declaration order within an axis).
  int dimension(const std::string& name, Axis axis);
  int dimensionIndex(const std::string& name) const;  // -1 when absent

  // Opens a group inside the current group of a dimension (nested groups allowed).
  void beginGroup(int dim, const std::string& key, const std::string& label);
  void endGroup(int dim);
  // Makes a leaf category current in the current group of the dimension (created when new).
  void category(int dim, const std::string& key, const std::string& label);
  void category(int dim, const std::string& keyAndLabel) { category(dim, keyAndLabel, keyAndLabel); }

  // Places a value at the current categories of all dimensions except `cellDim`, whose
  // category is set to `statistic` first. Returns the cell index.
  int cell(int cellDim, const std::string& statistic, const Value& v);
  // Places a value at the current categories of all dimensions.
  int cellHere(const Value& v);

  // Footnotes: the same text gives the same footnote.
  int footnote(const std::string& text, std::vector<std::pair<std::string, double>> values = {});
  // A footnote shown with its own marker (such as "*") instead of the next letter; the letters of
  // the other footnotes run on without a gap.
  int footnoteWithMarker(const std::string& text, const std::string& marker);
  void annotateCell(int cellIndex, int footnoteIndex);
  void annotateTable(int footnoteIndex);
  // Footnote on the current leaf category of a dimension (e.g. a column header).
  void annotateCategory(int dim, int footnoteIndex);
  // Footnote on every category (leaf or group) of a dimension with the given key, e.g. the
  // confidence-interval group over "Lower Bound" and "Upper Bound".
  void annotateCategoryKey(int dim, const std::string& key, int footnoteIndex);

  void setSplit(std::vector<std::pair<std::string, std::string>> caption);

  // Hands the finished table over; the builder is left empty (no dimensions, no cells).
  Table finish();

 private:
  // One category of a dimension as the builder finds it again: its key, its place in its
  // parent's list (node 0 of each dimension is the top level) and an index of its children by
  // key, so that placing a value costs the same however many categories there are.
  struct Node {
    int parent = -1;
    size_t index = 0;  // position in the parent's list of categories
    std::string key;
    std::unordered_map<std::string, int> children;
  };
  Category& categoryOf(int dim, int node);
  std::vector<Category>& childList(int dim, int node);
  // The node of `key` under `parent`, created (with its category) when new.
  int child(int dim, int parent, const std::string& key, const std::string& label, bool group);
  size_t lettered_ = 0;  // footnotes marked with letters so far
  Table t_;
  std::vector<std::vector<Node>> nodes_;            // per dimension, its categories
  std::vector<std::vector<int>> groupStack_;        // per dimension, nodes of the open groups
  std::vector<int> currentNode_;                    // per dimension, the current leaf; -1 none
  std::unordered_map<std::string, int> cellIndex_;  // current nodes (as bytes) -> index in t_.cells
  std::string cellKey_;                             // scratch for the key of a cell
};

}  // namespace qv::out
