// Charts: axis ticks, escaping, and profile plots through whole commands (their points are the
// estimated marginal means of the same table), and the HTML report.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "host/charts/chart.h"
#include "host/output/render.h"
#include "table_fixture.h"

using namespace qvtest;

namespace {

// Expected ticks worked by hand from the nice-number rule: the range rounded up to 1, 2, 5 or
// 10 times a power of ten, divided by 4 and rounded to the nearest such number, then the
// multiples of that step that cover the data.
TEST(ChartTicks, NiceNumbersCoverTheRange) {
  struct Case {
    double lo, hi;
    std::vector<double> want;
  };
  const Case cases[] = {
      {0, 10, {0, 2, 4, 6, 8, 10}},
      {0.13, 0.87, {0, 0.2, 0.4, 0.6, 0.8, 1.0}},
      {-3, 47, {-10, 0, 10, 20, 30, 40, 50}},
      {5, 5, {4.4, 4.6, 4.8, 5.0, 5.2, 5.4, 5.6}},
      {1234.5, 1236.1, {1234.5, 1235.0, 1235.5, 1236.0, 1236.5}},
  };
  for (const auto& c : cases) {
    const std::vector<double> got = qv::chart::niceTicks(c.lo, c.hi);
    ASSERT_EQ(got.size(), c.want.size()) << c.lo << ".." << c.hi;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], c.want[i], 1e-9) << c.lo << ".." << c.hi;
  }
  EXPECT_EQ(qv::chart::tickText(0.6000000000000001, 0.2), "0.6");
  EXPECT_EQ(qv::chart::tickText(-0.0, 10), "0");
}

// Rows of (a, b, y) for a 3 x 2 design; the cell (3, 2) is empty when `holed`.
Csv design32(bool holed) {
  Csv csv;
  csv.names = {"a", "b", "y"};
  const double ys[] = {4.1, 5.3, 6.2, 3.9, 7.7, 8.4, 2.2, 6.1, 5.5, 9.3, 4.4, 7.2, 6.6, 3.1};
  int i = 0;
  for (int rep = 0; rep < 2; ++rep)
    for (int a = 1; a <= 3; ++a)
      for (int b = 1; b <= 2; ++b) {
        if (holed && a == 3 && b == 2) continue;
        csv.rows.push_back({double(a), double(b), ys[i++]});
      }
  return csv;
}

std::vector<const qv::out::Chart*> charts(const std::vector<qv::out::Item>& items) {
  std::vector<const qv::out::Chart*> out;
  for (const auto& item : items) {
    if (auto* c = std::get_if<qv::out::Chart>(&item)) out.push_back(c);
    if (auto* h = std::get_if<std::shared_ptr<qv::out::Heading>>(&item)) {
      auto inner = charts((*h)->items);
      out.insert(out.end(), inner.begin(), inner.end());
    }
  }
  return out;
}

TEST(ProfilePlot, PointsAreTheMarginalMeansOfTheSameTable) {
  struct Case {
    bool holed;
    const char* design;
  };
  for (const Case& k : {Case{false, "a b a*b"}, Case{true, "a b a*b"}, Case{false, "a b"}}) {
    CommandRun r{TableData(design32(k.holed))};
    r.exec(std::string("QUORVEST y BY a b /PLOT=PROFILE(a*b) /EMMEANS=TABLES(a*b) /DESIGN=") + k.design +
           ".");
    const qv::out::Table* t = findTable(r.output, "a * b");
    ASSERT_NE(t, nullptr);
    const auto cs = charts(r.output.items);
    ASSERT_EQ(cs.size(), 1u) << k.design;
    const qv::chart::ChartData& d = cs[0]->data;
    ASSERT_EQ(d.categories.size(), 3u);
    ASSERT_EQ(d.series.size(), 2u);
    size_t points = 0;
    for (const auto& s : d.series) {
      for (const auto& p : s.points) {
        const double want =
            cellValue(*t, {{"a", d.categories[size_t(p.x)].key}, {"b", s.key}, {"Statistics", "Mean"}});
        EXPECT_NEAR(p.y, want, 1e-12 * std::fabs(want)) << k.design << " b=" << s.key;
        ++points;
      }
    }
    // The empty cell's mean is not estimable with the interaction: left out, with the note.
    const bool missing = k.holed && std::string(k.design).find('*') != std::string::npos;
    EXPECT_EQ(points, missing ? 5u : 6u) << k.design;
    EXPECT_EQ(!d.notes.empty() && d.notes.back() == "Non-estimable means are not plotted", missing);
    EXPECT_NE(cs[0]->svg().find("<svg"), std::string::npos);
  }
}

// With a covariate: at its mean by default, at the WITH value when one is given.
TEST(ProfilePlot, CovariatesAtTheirMeansOrTheGivenValues) {
  Csv csv = design32(false);
  csv.names.push_back("x");
  for (size_t i = 0; i < csv.rows.size(); ++i) csv.rows[i].push_back(1.0 + 0.37 * double(i % 5));
  for (const std::string with : {"", " WITH(x=2.5)"}) {
    CommandRun r{TableData(csv)};
    r.exec("QUORVEST y BY a b WITH x /PLOT=PROFILE(b*a)" + with + " /EMMEANS=TABLES(a*b)" + with + ".");
    const qv::out::Table* t = findTable(r.output, "a * b");
    ASSERT_NE(t, nullptr);
    const auto cs = charts(r.output.items);
    ASSERT_EQ(cs.size(), 1u);
    const qv::chart::ChartData& d = cs[0]->data;
    ASSERT_EQ(d.series.size(), 3u);
    for (const auto& s : d.series)
      for (const auto& p : s.points) {
        const double want =
            cellValue(*t, {{"a", s.key}, {"b", d.categories[size_t(p.x)].key}, {"Statistics", "Mean"}});
        EXPECT_NEAR(p.y, want, 1e-12 * std::fabs(want)) << with;
      }
    ASSERT_FALSE(d.notes.empty());
    EXPECT_NE(d.notes[0].find(with.empty() ? "x = " : "x = 2.5"), std::string::npos) << d.notes[0];
  }
}

TEST(ProfilePlot, ThreeFactorsGiveOneChartPerLevelOfTheThird) {
  Csv csv;
  csv.names = {"a", "b", "c", "y"};
  for (int rep = 0; rep < 2; ++rep)
    for (int a = 1; a <= 2; ++a)
      for (int b = 1; b <= 2; ++b)
        for (int c = 1; c <= 3; ++c)
          csv.rows.push_back({double(a), double(b), double(c), a + 2.0 * b - c + 0.3 * rep});
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b c /PLOT=PROFILE(a*b*c).");
  const auto cs = charts(r.output.items);
  ASSERT_EQ(cs.size(), 3u);
  EXPECT_EQ(cs[1]->data.subtitles.front(), "c = 2");
  EXPECT_EQ(cs[1]->data.series.size(), 2u);
}

// A value label with markup characters and a variable label with Unicode letters come out
// escaped in the SVG and in the HTML page, and unchanged in the chart's data.
TEST(ProfilePlot, LabelsAreEscapedInSvgAndHtml) {
  TableData data(design32(false));
  data.dict.vars[0].label = "Größe ünd Maß";
  data.dict.vars[0].valueLabels["1"] = "a<b & \"c\"";
  CommandRun r{std::move(data)};
  r.exec("QUORVEST y BY a b /PLOT=PROFILE(a).");
  const auto cs = charts(r.output.items);
  ASSERT_EQ(cs.size(), 1u);
  EXPECT_EQ(cs[0]->data.categories[0].label, "a<b & \"c\"");
  qv::out::Document doc;
  doc.commands.push_back(r.output);
  const std::string html = qv::out::renderHtml(doc);
  for (const std::string& text : {cs[0]->svg(), html}) {
    EXPECT_NE(text.find("a&lt;b &amp; &quot;c&quot;"), std::string::npos);
    EXPECT_EQ(text.find("a<b"), std::string::npos);
    EXPECT_NE(text.find("Größe ünd Maß"), std::string::npos);
  }
}

// Points are (cell mean, cell standard deviation) and (cell mean, cell variance), with the
// cell statistics computed here by the two-pass textbook formulas.
TEST(SpreadLevelPlot, PointsAreTheCellMeansAndSpreads) {
  const Csv csv = design32(true);
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /PLOT=SPREADLEVEL.");
  const auto cs = charts(r.output.items);
  ASSERT_EQ(cs.size(), 2u);
  std::map<std::pair<int, int>, std::vector<double>> cells;
  for (const auto& row : csv.rows) cells[{int(row[0]), int(row[1])}].push_back(row[2]);
  for (int kind = 0; kind < 2; ++kind) {
    const auto& pts = cs[size_t(kind)]->data.series.at(0).points;
    ASSERT_EQ(pts.size(), cells.size());
    for (const auto& [key, ys] : cells) {
      double mean = 0, ss = 0;
      for (double y : ys) mean += y / double(ys.size());
      for (double y : ys) ss += (y - mean) * (y - mean);
      const double var = ss / double(ys.size() - 1), want = kind == 0 ? std::sqrt(var) : var;
      bool found = false;
      for (const auto& p : pts)
        found = found || (std::fabs(p.x - mean) < 1e-12 && std::fabs(p.y - want) < 1e-12 * want);
      EXPECT_TRUE(found) << "cell " << key.first << "," << key.second << " kind " << kind;
    }
  }
  // Every cell with a single case: no chart, the note instead.
  Csv single = design32(false);
  single.rows.resize(6);
  CommandRun one{TableData(single)};
  one.exec("QUORVEST y BY a b /PLOT=SPREADLEVEL /DESIGN=a b.");
  EXPECT_TRUE(charts(one.output.items).empty());
  std::vector<qv::out::Message> ms;
  collectMessages(one.output.items, ms);
  bool noted = false;
  for (const auto& m : ms) noted = noted || m.key == "No SPLEVEL plot";
  EXPECT_TRUE(noted);
}

// Residual plot of a full two-way model: predicted values are the cell means and the
// standardized residuals (y - cell mean) / sqrt(pooled within-cell variance), computed here.
// A model that fits exactly has no plot, only the zero-variance note.
TEST(ResidualPlot, StandardizedResidualsAgainstCellMeans) {
  const Csv csv = design32(false);
  CommandRun r{TableData(csv)};
  r.exec("QUORVEST y BY a b /PLOT=RESIDUALS.");
  const auto cs = charts(r.output.items);
  ASSERT_EQ(cs.size(), 1u);
  std::map<std::pair<int, int>, std::pair<double, double>> cell;  // sum, n
  for (const auto& row : csv.rows) {
    auto& c = cell[{int(row[0]), int(row[1])}];
    c.first += row[2];
    c.second += 1;
  }
  double sse = 0;
  for (const auto& row : csv.rows) {
    const auto& c = cell[{int(row[0]), int(row[1])}];
    sse += std::pow(row[2] - c.first / c.second, 2);
  }
  const double mse = sse / double(csv.rows.size() - cell.size());
  const auto& rows = cs[0]->data.matrix.rows;
  ASSERT_EQ(rows.size(), csv.rows.size());
  for (size_t k = 0; k < rows.size(); ++k) {
    const auto& c = cell[{int(csv.rows[k][0]), int(csv.rows[k][1])}];
    const double mean = c.first / c.second;
    EXPECT_DOUBLE_EQ(rows[k][0], csv.rows[k][2]);
    EXPECT_NEAR(rows[k][1], mean, 1e-12 * std::fabs(mean));
    EXPECT_NEAR(rows[k][2], (csv.rows[k][2] - mean) / std::sqrt(mse), 1e-10);
  }

  Csv exact = design32(false);
  for (auto& row : exact.rows) row[2] = row[0] + 2 * row[1];
  CommandRun e{TableData(exact)};
  e.exec("QUORVEST y BY a b /PLOT=RESIDUALS.");
  EXPECT_TRUE(charts(e.output.items).empty());
  std::vector<qv::out::Message> ms;
  collectMessages(e.output.items, ms);
  bool noted = false;
  for (const auto& m : ms) noted = noted || m.key == "No residual plot ^1 zero rsv";
  EXPECT_TRUE(noted);
}

}  // namespace
