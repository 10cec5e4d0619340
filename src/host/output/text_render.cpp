// The text renderer: for people at a terminal. Headings underlined by level, messages with their
// place in the script, and each table as boxed grids (one per layer block) drawn from the
// neutral layout, with its footnotes under it. Control characters in stored texts are written
// as escapes so that no label can break a frame or drive the terminal.
#include <algorithm>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/output/display.h"
#include "host/output/labels.h"
#include "host/output/render.h"
#include "host/output/table_layout.h"

namespace qv::out {

namespace {

// A stored text as a terminal shows it.
std::string shown(const std::string& s) { return visibleText(displayText(s)); }

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

// Column widths of a block: each column as wide as its widest single-column span; spans over
// several columns widen their columns evenly when their text needs more room, narrow spans
// first, so that wider ones see the result.
std::vector<size_t> columnWidths(const TableBlock& b) {
  std::vector<size_t> w(b.columns, 0);
  std::vector<const GridCell*> wide;
  auto consider = [&](const GridRow& row) {
    for (const auto& s : row) {
      if (s.first == s.last) {
        w[s.first] = std::max(w[s.first], displayWidth(s.text));
      } else {
        wide.push_back(&s);
      }
    }
  };
  for (const auto& row : b.header) consider(row);
  for (const auto& row : b.body) consider(row);
  std::stable_sort(wide.begin(), wide.end(), [](const GridCell* a, const GridCell* c) {
    return a->last - a->first < c->last - c->first;
  });
  for (const GridCell* s : wide) {
    size_t have = 3 * (s->last - s->first);
    for (size_t c = s->first; c <= s->last; ++c) have += w[c];
    size_t need = displayWidth(s->text);
    if (need <= have) continue;
    size_t extra = need - have, n = s->last - s->first + 1;
    for (size_t c = s->first; c <= s->last; ++c) w[c] += extra / n + ((c - s->first) < extra % n ? 1 : 0);
  }
  return w;
}

// The texts of a grid's rows as a terminal shows them, in place.
void makeVisible(std::vector<GridRow>& rows) {
  for (auto& row : rows)
    for (auto& s : row) s.text = visibleText(s.text);
}

// Draws one laid-out block: a rule above, the header rows with rules under group labels, a
// rule, the body, a closing rule. The block is the renderer's own: its texts are made visible
// where they are.
void writeGrid(TableBlock& b, std::string& out) {
  makeVisible(b.header);
  makeVisible(b.body);
  const size_t ncols = b.columns;
  BoxWriter box(columnWidths(b));
  const std::vector<bool> all(ncols, true);
  box.rule(nullptr, &b.header.front(), all, out);
  for (size_t r = 0; r < b.header.size(); ++r) {
    box.text(b.header[r], out);
    if (r + 1 < b.header.size()) {
      std::vector<bool> segment(ncols, false);
      bool any = false;
      for (const auto& s : b.header[r])
        if (s.ruleBelow)
          for (size_t c = s.first; c <= s.last; ++c) segment[c] = any = true;
      if (any) box.rule(&b.header[r], &b.header[r + 1], segment, out);
    }
  }
  box.rule(&b.header.back(), &b.body.front(), all, out);
  for (const auto& row : b.body) box.text(row, out);
  box.rule(&b.body.back(), nullptr, all, out);
}

void renderTable(const Table& t, char decimal, std::string& out) {
  // A table titled by its split group (separate split output) does not name the group twice.
  if (t.split && !t.split->empty() && splitGroupCaption(*t.split) != t.title)
    out += visibleText(splitGroupCaption(*t.split)) + "\n";
  out += shown(t.title) + markerSuffix(t, t.tableFootnotes) + "\n";
  for (TableBlock& b : layoutTable(t, decimal)) {
    for (const auto& [dim, label] : b.layers) out += visibleText(dim) + ": " + visibleText(label) + "\n";
    if (!b.header.empty() && !b.body.empty()) writeGrid(b, out);
  }
  for (const auto& f : t.footnotes) out += f.marker + ". " + shown(f.text) + "\n";
}

void renderTextItems(const std::vector<Item>& items, int depth, const std::string& source, char decimal,
                     std::string& out);

void renderTextItem(const Item& item, int depth, const std::string& source, char decimal, std::string& out) {
  if (const auto* h = std::get_if<std::shared_ptr<Heading>>(&item)) {
    if (!*h) return;
    std::string text = shown((*h)->text);
    static constexpr char kUnderline[] = {'=', '-', '~'};
    out += text + "\n";
    out.append(std::max<size_t>(displayWidth(text), 1), kUnderline[std::min(depth, 2)]);
    out += "\n\n";
    renderTextItems((*h)->items, depth + 1, source, decimal, out);
  } else if (const auto* m = std::get_if<Message>(&item)) {
    const char* word = m->severity == Severity::Error     ? "Error"
                       : m->severity == Severity::Warning ? "Warning"
                                                          : "Note";
    out += word;
    if (m->number) out += " " + std::to_string(*m->number);
    if (m->line > 0) {
      out += " at ";
      if (!source.empty()) out += visibleText(source) + ":";
      out += std::to_string(m->line) + ":" + std::to_string(m->column);
    }
    out += ": " + shown(m->text) + "\n\n";
  } else if (const auto* t = std::get_if<Table>(&item)) {
    renderTable(*t, decimal, out);
    out += "\n";
  } else if (const auto* c = std::get_if<Chart>(&item)) {
    out += "Chart (" + c->kind + "): " + shown(c->title);
    if (!c->file.empty()) out += " [" + shown(c->file) + "]";
    out += "\n\n";
  }
}

void renderTextItems(const std::vector<Item>& items, int depth, const std::string& source, char decimal,
                     std::string& out) {
  for (const auto& item : items) renderTextItem(item, depth, source, decimal, out);
}

}  // namespace

std::string renderText(const Document& doc) {
  std::string out;
  for (const auto& c : doc.commands) {
    out += c.command;
    if (c.command.empty() || c.command.back() != '\n') out += '\n';
    out += '\n';
    renderTextItems(c.items, 0, c.source, doc.decimal, out);
  }
  return out;
}

}  // namespace qv::out
