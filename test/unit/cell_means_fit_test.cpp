// The fit from the design cells' means against the sweep of the whole design (the reference):
// on random designs of one to three factors (random level counts, weights, two dependents, a
// large constant in one of them; empty cells where the types allow them) every type of sums of
// squares gives the same df and SSCP, and the error and total SSCPs, estimates and standard
// errors agree to 1e-12.
#include "estimate/cell_means_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model_fixture.h"

using namespace qvtest;

namespace {

struct Design {
  int factors;
  int maxLevels;
  int cases;
  double emptyShare;  // share of the combinations left without cases (0: each has one at least)
};

Csv randomData(const Design& d, uint64_t seed) {
  Lcg rng(seed);
  Csv csv;
  std::vector<int> levels;
  for (int f = 0; f < d.factors; ++f) {
    csv.names.push_back("f" + std::to_string(f));
    levels.push_back(2 + static_cast<int>(rng.next() * (d.maxLevels - 1)));
  }
  csv.names.insert(csv.names.end(), {"w", "y1", "y2"});
  int cells = 1;
  for (int l : levels) cells *= l;
  std::vector<char> empty(static_cast<size_t>(cells), 0);
  for (auto& e : empty) e = rng.next() < d.emptyShare ? 1 : 0;
  empty[0] = 0;
  for (int i = 0; i < d.cases + cells; ++i) {
    // First one case in every combination kept, then random ones.
    int cell = i < cells ? i : static_cast<int>(rng.next() * cells);
    if (empty[static_cast<size_t>(cell)]) cell = 0;
    std::vector<double> row;
    double mean = 0.0;
    for (int f = 0, c = cell; f < d.factors; ++f) {
      const int lv = c % levels[f] + 1;
      c /= levels[f];
      row.push_back(lv);
      mean += 0.7 * lv * (f + 1) + 0.3 * lv * lv;
    }
    row.push_back(1.0 + std::floor(rng.next() * 3.0));
    row.push_back(mean + rng.grid(-2.0, 2.0));
    row.push_back(1.0e6 - mean + rng.grid(-3.0, 3.0));
    csv.rows.push_back(row);
  }
  return csv;
}

}  // namespace

TEST(CellMeansFit, SameResultsAsTheWholeDesignSweepOnRandomDesigns) {
  const std::vector<Design> designs = {
      {1, 40, 300, 0.0}, {1, 3, 20, 0.0},   {2, 6, 150, 0.0}, {2, 12, 200, 0.0},
      {3, 4, 200, 0.0},  {2, 7, 120, 0.35}, {3, 4, 90, 0.4},  {2, 10, 60, 0.5},
  };
  int served = 0;
  for (size_t di = 0; di < designs.size(); ++di)
    for (int sstype = 1; sstype <= 4; ++sstype) {
      const Design& d = designs[di];
      const std::string tag = "design " + std::to_string(di) + " type " + std::to_string(sstype);
      const Csv csv = randomData(d, 7000 + di * 31 + static_cast<uint64_t>(sstype));
      const std::vector<std::string> factors(csv.names.begin(), csv.names.begin() + d.factors);
      const std::vector<std::string> deps = {"y1", "y2"};
      ModelFixture dense(csv, deps, factors, {}, fullFactorialRows(d.factors), "w");
      ModelFixture cells(csv, deps, factors, {}, fullFactorialRows(d.factors), "w");
      const bool complete = d.emptyShare == 0.0;
      cells.st.printParameters = complete;
      {
        // Types III and IV and the estimates need every combination observed.
        ModelFixture probe(csv, deps, factors, {}, fullFactorialRows(d.factors), "w");
        probe.st.sstype = sstype;
        probe.st.printParameters = complete;
        qv::Context ctx;
        qv::out::CommandOutput out;
        ctx.output = &out;
        ASSERT_TRUE(qv::layoutDesign(ctx, probe.st)) << tag;
        ASSERT_EQ(qv::cellMeansFitServes(probe.st), complete || sstype <= 2) << tag;
      }
      if (!complete && sstype > 2) continue;
      ++served;
      ASSERT_TRUE(dense.fit(sstype, qv::FitPath::full)) << tag;
      ASSERT_TRUE(cells.fit(sstype, qv::FitPath::cells)) << tag;
      const auto& a = dense.st.group;
      const auto& b = cells.st.group;
      EXPECT_TRUE(b.crossProducts.a.empty() && b.ginverse.a.empty() && b.estBasis.a.empty()) << tag;
      ASSERT_EQ(a.modldf, b.modldf) << tag;
      expectCloseToScale(a.errorSSCP.a, b.errorSSCP.a, tag + " error SSCP");
      expectCloseToScale(a.totalSSCP.a, b.totalSSCP.a, tag + " total SSCP");
      expectCloseToScale(a.totalSS, b.totalSS, tag + " total SS");
      expectCloseToScale(a.depMeans, b.depMeans, tag + " means");
      ASSERT_EQ(a.hypotheses.size(), b.hypotheses.size()) << tag;
      for (size_t e = 0; e < a.hypotheses.size(); ++e) {
        const std::string et = tag + " effect " + std::to_string(e);
        ASSERT_EQ(a.hypotheses[e].df, b.hypotheses[e].df) << et;
        ASSERT_EQ(a.hypotheses[e].unique, b.hypotheses[e].unique) << et;
        expectCloseToScale(a.hypotheses[e].sscp.a, b.hypotheses[e].sscp.a, et + " SSCP");
      }
      if (!complete) continue;
      ASSERT_EQ(a.nonRedundant, b.nonRedundant) << tag;
      expectCloseToScale(a.paramEst.a, b.paramEst.a, tag + " estimates");
      std::vector<double> diagonal;
      for (int j = 0; j < a.dmncol; ++j) diagonal.push_back(a.ginverse(j, j));
      expectCloseToScale(diagonal, b.ginverseDiagonal, tag + " generalised inverse diagonal");
    }
  EXPECT_EQ(served, 26);
}
