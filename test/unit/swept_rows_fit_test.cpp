// The fit that keeps only the swept rows of the sweep state against the fit that carries the
// whole matrix (the reference): on random designs with empty cells, aliased columns, an offset
// covariate, weights and two dependents, all four types of sums of squares and the contrast
// bases give the same redundant columns, the same L matrices and the same numbers to 1e-12.
// The kept-rows fit sweeps a run of indicator columns (one factor's, one interaction's) in closed
// form, and Type III of a model of factors alone with few observed design cells in the space of
// those cells, so these cases also hold both to the pivot-by-pivot sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "estimate/structured_sweep.h"
#include "model_fixture.h"

using namespace qvtest;

namespace {

struct Design {
  int factors;
  int maxLevels;
  int cases;
  bool covariate;
  bool weights;
  double emptyShare;  // share of cells left without cases
};

Csv randomData(const Design& d, uint64_t seed) {
  Lcg rng(seed);
  Csv csv;
  std::vector<int> levels;
  for (int f = 0; f < d.factors; ++f) {
    csv.names.push_back("f" + std::to_string(f));
    levels.push_back(2 + static_cast<int>(rng.next() * (d.maxLevels - 1)));
  }
  csv.names.insert(csv.names.end(), {"x", "w", "y1", "y2"});
  int cells = 1;
  for (int l : levels) cells *= l;
  std::vector<char> empty(static_cast<size_t>(cells), 0);
  for (auto& e : empty) e = rng.next() < d.emptyShare ? 1 : 0;
  empty[0] = 0;
  for (int i = 0; i < d.cases; ++i) {
    int cell = static_cast<int>(rng.next() * cells);
    if (empty[static_cast<size_t>(cell)]) cell = 0;
    std::vector<double> row;
    double mean = 0.0;
    for (int f = 0, c = cell; f < d.factors; ++f) {
      const int lv = c % levels[f] + 1;
      c /= levels[f];
      row.push_back(lv);
      mean += 0.7 * lv * (f + 1);
    }
    const double x = 1000.0 + rng.grid(-4.0, 4.0);
    row.push_back(x);
    row.push_back(d.weights ? 1.0 + std::floor(rng.next() * 3.0) : 1.0);
    row.push_back(mean + 0.5 * (x - 1000.0) + rng.grid(-2.0, 2.0));
    row.push_back(100.0 - mean + rng.grid(-3.0, 3.0));
    csv.rows.push_back(row);
  }
  return csv;
}

}  // namespace

TEST(SweptRowsFit, SameResultsAsTheFullMatrixOnRandomDesigns) {
  const std::vector<Design> designs = {
      {2, 5, 60, false, false, 0.2},
      {3, 4, 80, true, true, 0.3},
      {4, 3, 40, false, true, 0.5},
      {3, 6, 50, true, false, 0.6},
      {5, 2, 24, false, false, 0.4},
      {2, 8, 200, true, true, 0.1},
      // Factors with many levels: their indicator columns are swept in closed form as a run.
      {1, 150, 400, false, true, 0.1},
      {1, 90, 300, true, false, 0.2},
      {2, 25, 300, false, true, 0.3},
      // Many factors on few cases: far fewer observed design cells than design columns.
      {5, 2, 16, false, true, 0.0},
      {3, 4, 15, false, false, 0.2},
  };
  int compared = 0, inCells = 0;
  for (size_t di = 0; di < designs.size(); ++di)
    for (int sstype = 1; sstype <= 4; ++sstype) {
      const Design& d = designs[di];
      const std::string tag = "design " + std::to_string(di) + " type " + std::to_string(sstype);
      const Csv csv = randomData(d, 1000 + di * 17 + static_cast<uint64_t>(sstype));
      std::vector<std::string> factors(csv.names.begin(), csv.names.begin() + d.factors);
      std::vector<std::string> covs;
      if (d.covariate) covs.push_back("x");
      const auto effects = fullFactorialRows(d.factors, d.covariate);
      const std::vector<std::string> deps = {"y1", "y2"};
      ModelFixture full(csv, deps, factors, covs, effects, "w");
      ModelFixture swept(csv, deps, factors, covs, effects, "w");
      full.st.contrastSpecs.emplace_back();
      swept.st.contrastSpecs.emplace_back();
      ASSERT_TRUE(full.fit(sstype, qv::FitPath::full)) << tag;
      ASSERT_TRUE(swept.fit(sstype, qv::FitPath::swept)) << tag;
      if (sstype == 3) {
        qv::SweepState ss = qv::makeSweepState(swept.st);
        ss.fullMatrix = false;
        inCells += qv::CellSpaceSweep().prepare(swept.st, ss) ? 1 : 0;
      }
      const auto& a = full.st.group;
      const auto& b = swept.st.group;
      ASSERT_EQ(a.nonRedundant, b.nonRedundant) << tag;
      ASSERT_LT(a.modldf, a.dmncol) << tag << ": the design should have aliased columns";
      expectCloseToScale(a.paramEst.a, b.paramEst.a, tag + " estimates");
      expectCloseToScale(a.ginverse.a, b.ginverse.a, tag + " generalised inverse");
      expectCloseToScale(a.estBasis.a, b.estBasis.a, tag + " estimable functions");
      expectCloseToScale(a.nullBasis.a, b.nullBasis.a, tag + " null space");
      expectCloseToScale(a.errorSSCP.a, b.errorSSCP.a, tag + " error SSCP");
      ASSERT_EQ(a.hypothesisColumns, b.hypothesisColumns) << tag;
      ASSERT_EQ(a.hypotheses.size(), b.hypotheses.size()) << tag;
      for (size_t e = 0; e < a.hypotheses.size(); ++e) {
        ASSERT_EQ(a.hypotheses[e].df, b.hypotheses[e].df) << tag << " effect " << e;
        ASSERT_EQ(a.hypotheses[e].unique, b.hypotheses[e].unique) << tag << " effect " << e;
        expectCloseToScale(a.hypotheses[e].L.a, b.hypotheses[e].L.a, tag + " L of effect " + std::to_string(e));
        expectCloseToScale(a.hypotheses[e].sscp.a, b.hypotheses[e].sscp.a, tag + " SSCP of effect " + std::to_string(e));
      }
      ASSERT_EQ(a.contrastDf, b.contrastDf) << tag;
      for (size_t f = 0; f < a.contrastL.size(); ++f)
        expectCloseToScale(a.contrastL[f].a, b.contrastL[f].a, tag + " contrast basis " + std::to_string(f));
      ++compared;
    }
  EXPECT_EQ(compared, static_cast<int>(designs.size()) * 4);
  EXPECT_GE(inCells, 3) << "designs swept in the space of their design cells";
}
