// The post hoc engine against the independent numbers of the post hoc reference cases: level
// statistics are taken from each case's data file here, the engine gives half-widths,
// significances and subsets, and these are compared with the expected tables.
#include <gtest/gtest.h>

#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/numeric/comparison_distributions.h"
#include "host/numeric/k_ratio_t.h"
#include "host/numeric/phtest.h"
#include "tolerances.h"

namespace qv::num {
namespace {

using test::nearRel;

// One-way layout read from a reference case's data.csv (columns a, y).
struct OneWay {
  std::vector<double> levels;  // level values, ascending
  PostHocInput input;
  nlohmann::json expected;
};

OneWay loadCase(const std::string& name) {
  const std::string dir = std::string(QV_SOURCE_DIR) + "/test/reference/" + name + "/";
  std::ifstream csv(dir + "data.csv");
  std::string line;
  std::getline(csv, line);  // header a,y
  std::map<double, std::vector<double>> byLevel;
  while (std::getline(csv, line)) {
    if (line.empty()) continue;
    std::stringstream row(line);
    std::string a, y;
    std::getline(row, a, ',');
    std::getline(row, y, ',');
    byLevel[std::stod(a)].push_back(std::stod(y));
  }
  OneWay w;
  double ss = 0.0, total = 0.0;
  for (const auto& [level, ys] : byLevel) {
    double mean = 0.0;
    for (double y : ys) mean += y;
    mean /= double(ys.size());
    double dev = 0.0;
    for (double y : ys) dev += (y - mean) * (y - mean);
    w.levels.push_back(level);
    w.input.means.push_back(mean);
    w.input.sizes.push_back(double(ys.size()));
    w.input.sds.push_back(std::sqrt(dev / double(ys.size() - 1)));
    ss += dev;
    total += double(ys.size());
  }
  w.input.errorDf = total - double(byLevel.size());
  w.input.mse = ss / w.input.errorDf;
  std::ifstream json(dir + "expected.json");
  w.expected = nlohmann::json::parse(json)["tables"];
  return w;
}

std::string label(double level) {
  std::ostringstream out;
  out << level;
  return out.str();
}

struct PairCase {
  const char* reference;
  const char* display;
  PostHocTest test;
};

// Half-width (upper bound − mean difference) and significance of every ordered pair.
TEST(PostHocEngine, PairsMatchReferenceCases) {
  const PairCase cases[] = {
      {"posthoc_oneway", "Tukey HSD", PostHocTest::TukeyHsd},
      {"posthoc_oneway", "Scheffe", PostHocTest::Scheffe},
      {"posthoc_oneway", "LSD", PostHocTest::Lsd},
      {"posthoc_oneway", "Bonferroni", PostHocTest::Bonferroni},
      {"posthoc_oneway", "Sidak", PostHocTest::Sidak},
      {"posthoc_oneway", "Games-Howell", PostHocTest::GamesHowell},
      {"posthoc_subsets_balanced", "Tukey HSD", PostHocTest::TukeyHsd},
      {"posthoc_subsets_balanced", "Hochberg", PostHocTest::Hochberg},
      {"posthoc_subsets_balanced", "Gabriel", PostHocTest::Gabriel},
  };
  PostHocCache cache;
  for (const PairCase& c : cases) {
    OneWay w = loadCase(c.reference);
    w.input.test = c.test;
    const PostHocResult r = phtest(w.input, &cache);
    ASSERT_EQ(r.status, PostHocStatus::Ok) << c.display;
    const auto& table = w.expected["Multiple Comparisons"][c.display];
    ASSERT_FALSE(table.is_null()) << c.display;
    const size_t k = w.levels.size();
    for (size_t i = 0; i < k; ++i) {
      for (size_t j = 0; j < k; ++j) {
        if (i == j) continue;
        const auto& row = table[label(w.levels[i])][label(w.levels[j])];
        const double ni = w.input.sizes[i], nj = w.input.sizes[j];
        double half;
        if (c.test == PostHocTest::GamesHowell)
          half = r.halfWidth(i, j);
        else if (c.test == PostHocTest::Gabriel)
          half = (std::sqrt(0.5 / ni) + std::sqrt(0.5 / nj)) * r.criticalRange;
        else
          half = r.criticalRange * std::sqrt((1.0 / ni + 1.0 / nj) / 2.0);
        const double expectedHalf =
            row["Upper Bound"].get<double>() - row["Mean Difference (I-J)"].get<double>();
        EXPECT_TRUE(nearRel(half, expectedHalf, 1e-7))
            << c.reference << " " << c.display << " " << i << "," << j;
        EXPECT_NEAR(r.significance(i, j), row["Significance"].get<double>(), 1e-7)
            << c.reference << " " << c.display << " " << i << "," << j;
      }
    }
  }
}

// Many-to-one rows: the half-width of each treatment and its significance (two-sided with
// the last level as control; two- and one-sided with the second level as control).
TEST(PostHocEngine, ControlRowsMatchReferenceCases) {
  const PairCase cases[] = {
      {"posthoc_oneway", "Dunnett t (2-sided)", PostHocTest::DunnettTwoSided},
      {"posthoc_dunnett_control2", "Dunnett t (2-sided)", PostHocTest::DunnettTwoSided},
      {"posthoc_dunnett_control2", "Dunnett t (<control)", PostHocTest::DunnettLess},
      {"posthoc_dunnett_control2", "Dunnett t (>control)", PostHocTest::DunnettGreater},
  };
  for (const PairCase& c : cases) {
    OneWay w = loadCase(c.reference);
    w.input.test = c.test;
    w.input.controlCategory = std::string(c.reference) == "posthoc_oneway" ? 0 : 2;
    const PostHocResult r = phtest(w.input);
    ASSERT_EQ(r.status, PostHocStatus::Ok) << c.display;
    const auto& table = w.expected["Multiple Comparisons"][c.display];
    ASSERT_FALSE(table.is_null()) << c.display;
    const size_t k = w.levels.size();
    EXPECT_EQ(r.control, w.input.controlCategory == 0 ? k - 1 : 1u);
    for (size_t i = 0; i < k; ++i) {
      if (i == r.control) continue;
      const auto& row = table[label(w.levels[i])][label(w.levels[r.control])];
      const double diff = row["Mean Difference (I-J)"].get<double>();
      if (row.contains("Upper Bound")) {
        EXPECT_TRUE(nearRel(r.controlHalfWidth[i], row["Upper Bound"].get<double>() - diff, 1e-7))
            << c.display << i;
      }
      if (row.contains("Lower Bound")) {
        EXPECT_TRUE(nearRel(r.controlHalfWidth[i], diff - row["Lower Bound"].get<double>(), 1e-7))
            << c.display << i;
      }
      EXPECT_NEAR(r.controlSignificance[i], row["Significance"].get<double>(), 1e-7) << c.display << " " << i;
    }
  }
}

// Homogeneous subsets of nine tests on five equal groups: membership in order and, where the
// case gives one, each subset's significance.
TEST(PostHocEngine, SubsetsMatchBalancedReferenceCase) {
  const PairCase cases[] = {
      {"", "Student-Newman-Keuls", PostHocTest::Snk},
      {"", "Tukey HSD", PostHocTest::TukeyHsd},
      {"", "Tukey B", PostHocTest::TukeyB},
      {"", "Duncan", PostHocTest::Duncan},
      {"", "Scheffe", PostHocTest::Scheffe},
      {"", "Hochberg", PostHocTest::Hochberg},
      {"", "Gabriel", PostHocTest::Gabriel},
      {"", "Ryan-Einot-Gabriel-Welsch F", PostHocTest::RegwF},
      {"", "Ryan-Einot-Gabriel-Welsch Range", PostHocTest::RegwQ},
  };
  for (const PairCase& c : cases) {
    OneWay w = loadCase("posthoc_subsets_balanced");
    w.input.test = c.test;
    const PostHocResult r = phtest(w.input);
    ASSERT_EQ(r.status, PostHocStatus::Ok) << c.display;
    EXPECT_TRUE(nearRel(r.harmonicMeanSize, 6.0, test::kTolRoundoff));
    const auto& table = w.expected["Homogeneous Subsets"][c.display];
    ASSERT_FALSE(table.is_null()) << c.display;
    // Expected membership: for each level, the subset numbers listed in its row.
    std::map<int, std::vector<std::string>> expectedSubsets;
    for (auto it = table.begin(); it != table.end(); ++it) {
      if (it.key() == "Significance") continue;
      for (auto cell = it.value().begin(); cell != it.value().end(); ++cell)
        if (cell.key() != "N") expectedSubsets[std::stoi(cell.key())].push_back(it.key());
    }
    ASSERT_EQ(r.subsets.size(), expectedSubsets.size()) << c.display;
    for (size_t s = 0; s < r.subsets.size(); ++s) {
      std::vector<std::string> got;
      for (size_t level : r.subsets[s].levels) got.push_back(label(w.levels[level]));
      std::vector<std::string> want = expectedSubsets[int(s) + 1];
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << c.display << " subset " << s + 1;
      if (table.contains("Significance") && table["Significance"].contains(std::to_string(s + 1))) {
        EXPECT_NEAR(r.subsets[s].significance, table["Significance"][std::to_string(s + 1)].get<double>(),
                    1e-7)
            << c.display << " subset " << s + 1;
      }
    }
    // The order vector lists levels by ascending mean.
    for (size_t q = 1; q < r.order.size(); ++q)
      EXPECT_LE(w.input.means[r.order[q - 1]], w.input.means[r.order[q]]);
  }
}

}  // namespace
}  // namespace qv::num

namespace qv::num {
namespace {

// Two levels with unequal variances: one comparison, so Games-Howell (q / sqrt(2)), Tamhane's
// T2 (Sidak over one pair) and Dunnett's T3 (maximum modulus of one variable) all reduce to
// Welch's t interval; Dunnett's C reduces to the Cochran-Cox weighting of the two levels' own
// t quantiles, (t_1 v_1 + t_2 v_2) / sqrt(v_1 + v_2) with v = s²/n (Dunnett 1980, JASA 75,
// 796-800, and q(2, f) / sqrt(2) = t(f)). The Welch figures are worked out here.
TEST(PostHocEngine, UnequalVarianceTestsWithTwoLevelsAreWelch) {
  PostHocInput in;
  in.means = {10.0, 13.5};
  in.sds = {2.0, 4.5};
  in.sizes = {8.0, 12.0};
  in.errorDf = 18;
  in.mse = 14.0;
  const double v1 = 4.0 / 8.0, v2 = 20.25 / 12.0;
  const double se = std::sqrt(v1 + v2);
  const double welchDf = (v1 + v2) * (v1 + v2) / (v1 * v1 / 7.0 + v2 * v2 / 11.0);
  boost::math::students_t_distribution<> welch(welchDf);
  const double tWelch = quantile(complement(welch, 0.025));
  const double pWelch = 2 * cdf(complement(welch, 3.5 / se));
  for (PostHocTest t : {PostHocTest::GamesHowell, PostHocTest::TamhaneT2, PostHocTest::DunnettT3}) {
    in.test = t;
    const PostHocResult r = phtest(in);
    ASSERT_EQ(r.status, PostHocStatus::Ok);
    EXPECT_TRUE(nearRel(r.halfWidth(0, 1), tWelch * se, 1e-9)) << static_cast<int>(t);
    EXPECT_NEAR(r.significance(1, 0), pWelch, 1e-9) << static_cast<int>(t);
    EXPECT_EQ(r.pairDiffers(0, 1), 3.5 > tWelch * se);
  }
  in.test = PostHocTest::DunnettC;
  const PostHocResult c = phtest(in);
  ASSERT_EQ(c.status, PostHocStatus::Ok);
  const double t1 = quantile(complement(boost::math::students_t_distribution<>(7.0), 0.025));
  const double t2 = quantile(complement(boost::math::students_t_distribution<>(11.0), 0.025));
  EXPECT_TRUE(nearRel(c.halfWidth(0, 1), (t1 * v1 + t2 * v2) / se, 1e-9));
  EXPECT_LT(c.significance(0, 1), 0.0);  // Dunnett's C gives no significance
  EXPECT_EQ(c.pairDiffers(1, 0), 3.5 > (t1 * v1 + t2 * v2) / se);
}

// With many distinct Welch df the unequal-variance tests take their critical values from an
// interpolant polished by a Newton step; each must equal the quantile solved directly at the
// pair's own df. Small df (sizes 3 … 14) and large df (sizes 300 … 5 000), k = 10 and 12.
TEST(PostHocEngine, CriticalValuesAcrossWelchDfEqualDirectSolution) {
  struct Case {
    PostHocTest test;
    size_t k;
    double smallest, step;  // level sizes smallest + step · (i mod 7)
  };
  const std::vector<Case> cases = {{PostHocTest::GamesHowell, 10, 3.0, 1.7},
                                   {PostHocTest::GamesHowell, 12, 300.0, 700.0},
                                   {PostHocTest::DunnettT3, 10, 4.0, 1.5},
                                   {PostHocTest::DunnettT3, 12, 300.0, 700.0}};
  for (const Case& c : cases) {
    PostHocInput in;
    in.test = c.test;
    for (size_t i = 0; i < c.k; ++i) {
      in.means.push_back(double(i % 4));
      in.sizes.push_back(c.smallest + c.step * double(i % 7));
      in.sds.push_back(1.0 + 0.3 * double(i));
    }
    in.errorDf = 50;
    in.mse = 2.0;
    const PostHocResult r = phtest(in);
    ASSERT_EQ(r.status, PostHocStatus::Ok);
    const double pairs = 0.5 * double(c.k * (c.k - 1));
    for (size_t i = 0; i < c.k; ++i)
      for (size_t j = i + 1; j < c.k; ++j) {
        const double vi = in.sds[i] * in.sds[i] / in.sizes[i], vj = in.sds[j] * in.sds[j] / in.sizes[j];
        const double df = (vi + vj) * (vi + vj) / (vi * vi / (in.sizes[i] - 1) + vj * vj / (in.sizes[j] - 1));
        const double direct = c.test == PostHocTest::GamesHowell
                                  ? studentizedRangeQuantile(0.95, double(c.k), df) / std::sqrt(2.0)
                                  : maxModulusQuantile(0.95, pairs, df);
        EXPECT_TRUE(nearRel(r.halfWidth(i, j), direct * std::sqrt(vi + vj), 1e-9))
            << int(c.test) << " k " << c.k << " df " << df;
      }
  }
}

// Waller-Duncan: one Bayes least significant difference t_B sqrt(2 MSE / n_h) for every pair;
// the subsets are the maximal stretches of ordered means whose range stays within it, found
// here by brute force. Without an F ratio no subsets are formed; a k-ratio <= 1 is bad input.
TEST(PostHocEngine, WallerDuncanSubsetsUseOneBayesLeastSignificantDifference) {
  PostHocInput in;
  in.test = PostHocTest::WallerDuncan;
  in.means = {12.0, 10.0, 15.0, 10.6, 12.5, 13.1};
  in.sds = {1, 1, 1, 1, 1, 1};
  in.sizes = {5, 6, 5, 7, 5, 4};
  in.errorDf = 26;
  in.mse = 1.7;
  in.kRatio = 100;
  in.fRatio = 6.5;
  const PostHocResult r = phtest(in);
  ASSERT_EQ(r.status, PostHocStatus::Ok);
  const double t = wallerDuncanT(100, 6.5, 5, 26);
  double inverse = 0;
  for (double n : in.sizes) inverse += 1 / n;
  const double nh = 6 / inverse;
  EXPECT_TRUE(nearRel(r.harmonicMeanSize, nh, 1e-14));
  EXPECT_TRUE(nearRel(r.criticalRange, std::sqrt(2.0) * t * std::sqrt(in.mse), 1e-12));
  const double lsd = t * std::sqrt(2 * in.mse / nh);
  const std::vector<size_t> order{1, 3, 0, 4, 5, 2};
  EXPECT_EQ(r.order, order);
  std::vector<std::vector<size_t>> expected;
  size_t lastHi = 0;
  for (size_t lo = 0; lo < order.size(); ++lo) {
    size_t hi = lo;
    while (hi + 1 < order.size() && in.means[order[hi + 1]] - in.means[order[lo]] <= lsd) ++hi;
    if (!expected.empty() && hi <= lastHi) continue;
    expected.emplace_back(order.begin() + long(lo), order.begin() + long(hi) + 1);
    lastHi = hi;
  }
  ASSERT_EQ(r.subsets.size(), expected.size());
  EXPECT_GT(expected.size(), 1u);
  for (size_t s = 0; s < expected.size(); ++s) {
    EXPECT_EQ(r.subsets[s].levels, expected[s]) << s;
    EXPECT_EQ(r.subsets[s].significance, kSysmis);
  }

  in.fRatio = kSysmis;
  const PostHocResult noF = phtest(in);
  EXPECT_EQ(noF.status, PostHocStatus::Ok);
  EXPECT_TRUE(noF.subsets.empty());
  in.fRatio = 6.5;
  in.kRatio = 1;
  EXPECT_EQ(phtest(in).status, PostHocStatus::Failed);
}

// Bad input gives no results.
TEST(PostHocEngine, BadInputFails) {
  PostHocInput ok;
  ok.means = {1, 2, 3};
  ok.sds = {1, 1, 1};
  ok.sizes = {3, 3, 3};
  ok.errorDf = 6;
  ok.mse = 1;
  std::vector<PostHocInput> bad(5, ok);
  bad[0].sizes[1] = 0;
  bad[1].errorDf = 0;
  bad[2].alpha = 1.0;
  bad[3].means.pop_back();
  bad[4].mse = -1;
  for (const PostHocInput& in : bad) EXPECT_EQ(phtest(in).status, PostHocStatus::Failed);
  EXPECT_EQ(phtest(ok).status, PostHocStatus::Ok);
}

}  // namespace
}  // namespace qv::num
