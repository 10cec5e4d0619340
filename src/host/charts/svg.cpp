// Standalone SVG rendering of the chart model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "host/charts/chart.h"

namespace qv::chart {

namespace {

// A "nice" number near x: 1, 2, 5 or 10 times a power of ten; rounded to the nearest one, or
// the smallest one not below x.
double niceNumber(double x, bool round) {
  const double e = std::floor(std::log10(x));
  const double f = x / std::pow(10.0, e);
  double nf;
  if (round) {
    nf = f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10;
  } else {
    nf = f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10;
  }
  return nf * std::pow(10.0, e);
}

std::string num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", v);
  std::string s = b;
  if (s == "-0.00") s = "0.00";
  return s;
}

constexpr const char* kPalette[] = {"#1f5fa8", "#c0392b", "#2e8b57", "#8e44ad", "#d35400",
                                    "#16a085", "#7f8c8d", "#b7950b", "#2c3e50", "#e84393"};

struct Scale {
  double lo, hi, from, to;
  double operator()(double v) const { return from + (v - lo) / (hi - lo) * (to - from); }
};

void text(std::string& out, double x, double y, const std::string& s, const char* anchor, int size,
          const std::string& extra = "") {
  out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\" font-size=\"" +
         std::to_string(size) + "\"" + extra + ">" + escapeXml(s) + "</text>\n";
}

}  // namespace

std::vector<double> niceTicks(double lo, double hi, int target) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {0.0, 1.0};
  if (lo > hi) std::swap(lo, hi);
  if (lo == hi) {
    const double pad = lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1;
    lo -= pad;
    hi += pad;
  }
  target = std::max(target, 2);
  const double range = niceNumber(hi - lo, false);
  const double step = niceNumber(range / (target - 1), true);
  const double first = std::floor(lo / step) * step;
  const double last = std::ceil(hi / step) * step;
  std::vector<double> ticks;
  for (int i = 0; first + i * step <= last + 0.5 * step && i < 100; ++i) {
    const double v = first + i * step;
    ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
  }
  return ticks;
}

std::string tickText(double v, double step) {
  int decimals = 0;
  if (step > 0 && std::isfinite(step))
    decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 12);
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  std::string s = b;
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return s;
}

std::string escapeXml(const std::string& s) {
  std::string r;
  r.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        r += "&amp;";
        break;
      case '<':
        r += "&lt;";
        break;
      case '>':
        r += "&gt;";
        break;
      case '"':
        r += "&quot;";
        break;
      case '\'':
        r += "&#39;";
        break;
      default:
        // Control characters other than tab and newline are not allowed in XML 1.0.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
          r += "\xEF\xBF\xBD";  // U+FFFD
        } else {
          r += c;
        }
    }
  }
  return r;
}

namespace {

// The scatterplot matrix: names on the diagonal, variable j across and i up in panel (i, j).
std::string renderMatrix(const std::string& title, const ChartData& c) {
  const MatrixData& m = c.matrix;
  const size_t n = m.variables.size();
  const double panel = 170, gap = 8, left = 40, top = 40 + 18.0 * static_cast<double>(c.subtitles.size());
  const double width = left + static_cast<double>(n) * (panel + gap) + 10;
  const double height =
      top + static_cast<double>(n) * (panel + gap) + 18.0 * static_cast<double>(c.notes.size()) + 20;
  std::vector<double> lo(n, INFINITY), hi(n, -INFINITY);
  if (m.bins > 0) {
    lo = m.lo;
    hi = m.hi;
  } else {
    for (const auto& r : m.rows)
      for (size_t v = 0; v < n && v < r.size(); ++v) {
        lo[v] = std::min(lo[v], r[v]);
        hi[v] = std::max(hi[v], r[v]);
      }
  }
  for (size_t v = 0; v < n; ++v) {
    if (!std::isfinite(lo[v]) || !std::isfinite(hi[v])) lo[v] = hi[v] = 0;
    if (lo[v] == hi[v]) {
      lo[v] -= 1;
      hi[v] += 1;
    }
  }
  auto px = [&](size_t v, size_t col, double x) {
    return left + static_cast<double>(col) * (panel + gap) + 4 + (x - lo[v]) / (hi[v] - lo[v]) * (panel - 8);
  };
  auto py = [&](size_t v, size_t row, double y) {
    return top + static_cast<double>(row) * (panel + gap) + panel - 4 -
           (y - lo[v]) / (hi[v] - lo[v]) * (panel - 8);
  };
  std::string out;
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"qv-chart\" width=\"" + num(width) +
         "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
         "\" font-family=\"sans-serif\" role=\"img\">\n<title>" + escapeXml(title) + "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  text(out, width / 2, 22, title, "middle", 15, " font-weight=\"bold\"");
  for (size_t i = 0; i < c.subtitles.size(); ++i)
    text(out, width / 2, 40 + 18.0 * static_cast<double>(i), c.subtitles[i], "middle", 12);
  double maxCount = 0;
  for (const auto& grid : m.counts)
    for (double k : grid) maxCount = std::max(maxCount, k);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      const double x0 = left + static_cast<double>(j) * (panel + gap),
                   y0 = top + static_cast<double>(i) * (panel + gap);
      out += "<rect x=\"" + num(x0) + "\" y=\"" + num(y0) + "\" width=\"" + num(panel) + "\" height=\"" +
             num(panel) + "\" fill=\"none\" stroke=\"#555555\"/>\n";
      if (i == j) {
        text(out, x0 + panel / 2, y0 + panel / 2 + 4, m.variables[i], "middle", 12);
        continue;
      }
      out += "<g class=\"panel\" fill=\"#1f5fa8\">\n";
      if (m.bins > 0 && i * n + j < m.counts.size()) {
        const auto& grid = m.counts[i * n + j];
        const double cell = (panel - 8) / m.bins;
        for (int by = 0; by < m.bins; ++by)
          for (int bx = 0; bx < m.bins; ++bx) {
            const double k = grid[static_cast<size_t>(by * m.bins + bx)];
            if (k <= 0) continue;
            out += "<rect class=\"bin\" x=\"" + num(x0 + 4 + bx * cell) + "\" y=\"" +
                   num(y0 + panel - 4 - (by + 1) * cell) + "\" width=\"" + num(cell) + "\" height=\"" +
                   num(cell) + "\" fill-opacity=\"" + num(0.15 + 0.85 * std::sqrt(k / maxCount)) + "\"/>\n";
          }
      } else {
        for (const auto& r : m.rows)
          out += "<circle class=\"point\" cx=\"" + num(px(j, j, r[j])) + "\" cy=\"" + num(py(i, i, r[i])) +
                 "\" r=\"1.8\"/>\n";
      }
      out += "</g>\n";
    }
  const double notesTop = top + static_cast<double>(n) * (panel + gap) + 10;
  for (size_t i = 0; i < c.notes.size(); ++i)
    text(out, left, notesTop + 18.0 * static_cast<double>(i), c.notes[i], "start", 11,
         " font-style=\"italic\"");
  out += "</svg>\n";
  return out;
}

}  // namespace

std::string renderSvg(const std::string& title, const ChartData& c) {
  if (c.style == Style::Matrix) return renderMatrix(title, c);
  const double width = 600;
  const bool legend = !c.legendTitle.empty() && !c.series.empty();
  const double plotTop = 40 + 18.0 * static_cast<double>(c.subtitles.size());
  const double plotHeight = 280;
  const double left = 80, right = width - (legend ? 160 : 24);
  const double bottom = plotTop + plotHeight;
  const bool rotate = c.style == Style::Lines && c.categories.size() > 6;
  const double notesTop = bottom + (rotate ? 110 : 62);
  const double height = notesTop + 18.0 * static_cast<double>(c.notes.size()) + 8;

  // Value ranges of the points present.
  double ylo = INFINITY, yhi = -INFINITY, xlo = INFINITY, xhi = -INFINITY;
  for (const auto& s : c.series)
    for (const auto& p : s.points) {
      ylo = std::min(ylo, p.y);
      yhi = std::max(yhi, p.y);
      xlo = std::min(xlo, p.x);
      xhi = std::max(xhi, p.x);
    }
  if (!std::isfinite(ylo)) ylo = yhi = 0;
  if (!std::isfinite(xlo)) xlo = xhi = 0;
  const std::vector<double> yt = niceTicks(ylo, yhi);
  const double ystep = yt.size() > 1 ? yt[1] - yt[0] : 1;
  const Scale ys{yt.front(), yt.back(), bottom, plotTop};
  std::vector<double> xt;
  Scale xs{0, 1, left, right};
  if (c.style == Style::Lines) {
    const double n = static_cast<double>(std::max<size_t>(c.categories.size(), 1));
    xs = Scale{-0.5, n - 0.5, left, right};
  } else {
    xt = niceTicks(xlo, xhi);
    xs = Scale{xt.front(), xt.back(), left, right};
  }

  std::string out;
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"qv-chart\" width=\"" + num(width) +
         "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
         "\" font-family=\"sans-serif\" role=\"img\">\n";
  out += "<title>" + escapeXml(title) + "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  text(out, width / 2, 22, title, "middle", 15, " font-weight=\"bold\"");
  for (size_t i = 0; i < c.subtitles.size(); ++i)
    text(out, width / 2, 40 + 18.0 * static_cast<double>(i), c.subtitles[i], "middle", 12);

  // Grid, axes and tick labels.
  out += "<g class=\"axes\" stroke=\"#cccccc\" stroke-width=\"1\">\n";
  for (double v : yt)
    out += "<line x1=\"" + num(left) + "\" x2=\"" + num(right) + "\" y1=\"" + num(ys(v)) + "\" y2=\"" +
           num(ys(v)) + "\"/>\n";
  out += "<rect x=\"" + num(left) + "\" y=\"" + num(plotTop) + "\" width=\"" + num(right - left) +
         "\" height=\"" + num(plotHeight) + "\" fill=\"none\" stroke=\"#555555\"/>\n</g>\n";
  for (double v : yt) text(out, left - 6, ys(v) + 4, tickText(v, ystep), "end", 11);
  if (c.style == Style::Lines) {
    for (size_t i = 0; i < c.categories.size(); ++i) {
      const double x = xs(static_cast<double>(i));
      if (rotate) {
        text(out, x, bottom + 14, c.categories[i].label, "end", 11,
             " transform=\"rotate(-45 " + num(x) + " " + num(bottom + 14) + ")\"");
      } else {
        text(out, x, bottom + 18, c.categories[i].label, "middle", 11);
      }
    }
  } else {
    const double xstep = xt.size() > 1 ? xt[1] - xt[0] : 1;
    for (double v : xt) text(out, xs(v), bottom + 18, tickText(v, xstep), "middle", 11);
  }
  text(out, (left + right) / 2, notesTop - 16, c.xTitle, "middle", 12);
  const double ymid = (plotTop + bottom) / 2;
  text(out, 18, ymid, c.yTitle, "middle", 12, " transform=\"rotate(-90 18 " + num(ymid) + ")\"");

  // Series: lines between neighbouring categories that both have a point, and a marker per point.
  for (size_t k = 0; k < c.series.size(); ++k) {
    const auto& s = c.series[k];
    const std::string colour = kPalette[k % std::size(kPalette)];
    out += "<g class=\"series\" data-label=\"" + escapeXml(s.label) + "\" fill=\"" + colour + "\" stroke=\"" +
           colour + "\">\n";
    std::vector<Point> pts = s.points;
    std::sort(pts.begin(), pts.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
    if (c.style == Style::Lines) {
      for (size_t i = 0; i + 1 < pts.size(); ++i)
        if (pts[i + 1].x - pts[i].x == 1.0)
          out += "<line class=\"segment\" x1=\"" + num(xs(pts[i].x)) + "\" y1=\"" + num(ys(pts[i].y)) +
                 "\" x2=\"" + num(xs(pts[i + 1].x)) + "\" y2=\"" + num(ys(pts[i + 1].y)) +
                 "\" stroke-width=\"2\"/>\n";
    }
    for (const auto& p : pts)
      out += "<circle class=\"point\" cx=\"" + num(xs(p.x)) + "\" cy=\"" + num(ys(p.y)) + "\" r=\"3.5\"/>\n";
    out += "</g>\n";
  }

  if (legend) {
    const double lx = right + 16;
    double ly = plotTop + 8;
    text(out, lx, ly, c.legendTitle, "start", 12, " font-weight=\"bold\"");
    for (size_t k = 0; k < c.series.size(); ++k) {
      ly += 18;
      const std::string colour = kPalette[k % std::size(kPalette)];
      out += "<line x1=\"" + num(lx) + "\" x2=\"" + num(lx + 18) + "\" y1=\"" + num(ly - 4) + "\" y2=\"" +
             num(ly - 4) + "\" stroke=\"" + colour + "\" stroke-width=\"2\"/>\n";
      text(out, lx + 24, ly, c.series[k].label, "start", 11);
    }
  }
  for (size_t i = 0; i < c.notes.size(); ++i)
    text(out, left, notesTop + 4 + 18.0 * static_cast<double>(i), c.notes[i], "start", 11,
         " font-style=\"italic\"");
  out += "</svg>\n";
  return out;
}

}  // namespace qv::chart
