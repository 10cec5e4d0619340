#pragma once
// The chart model: what a chart shows (axes, series of points, legend, notes), kept as data so
// that the JSON output can carry it for programs to redraw, and a standalone SVG renderer.
#include <string>
#include <vector>

namespace qv::chart {

// One point of a series. On a category axis x is the 0-based category index.
struct Point {
  double x = 0.0;
  double y = 0.0;
};

struct Series {
  std::string key;    // stable key for programs (a level as written in the data)
  std::string label;  // shown in the legend
  std::vector<Point> points;
};

struct Category {
  std::string key;
  std::string label;
};

enum class Style {
  Lines,   // category axis across, one line (with markers) per series
  Points,  // numeric axes, markers only
  Matrix,  // scatterplot matrix of `variables`
};

// A scatterplot matrix: either the cases' values (one row per case) or, for many cases,
// counts of the cases in a grid of bins for every pair of variables.
struct MatrixData {
  std::vector<std::string> variables;
  std::vector<std::vector<double>> rows;    // the cases' values, when not binned
  int bins = 0;                             // > 0: binned; counts[i * n + j] is bins x bins,
  std::vector<double> lo, hi;               // per variable, the binned range
  std::vector<std::vector<double>> counts;  // x = variable j, y = variable i, row-major by y
};

struct ChartData {
  Style style = Style::Lines;
  std::string xTitle, yTitle;
  std::vector<Category> categories;  // the horizontal axis of a Lines chart
  std::string legendTitle;           // empty: no legend
  std::vector<Series> series;
  std::vector<std::string> subtitles;  // frame texts under the title
  std::vector<std::string> notes;      // frame notes under the plot
  MatrixData matrix;                   // Style::Matrix only
};

// Tick values for an axis covering [lo, hi]: round steps of 1, 2 or 5 times a power of ten
// (the "nice numbers" of Heckbert, Graphics Gems, 1990), about `target` of them, covering the
// range. lo == hi gives a small range around the value.
std::vector<double> niceTicks(double lo, double hi, int target = 5);

// Text of a tick value: the fewest decimals that tell the ticks apart.
std::string tickText(double v, double step);

// Escapes text for XML and HTML content and attribute values (&, <, >, ", ').
std::string escapeXml(const std::string& s);

// A standalone SVG document of the chart: 600 x 400 user units, system fonts, no scripts.
std::string renderSvg(const std::string& title, const ChartData& c);

}  // namespace qv::chart
