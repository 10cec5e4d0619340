// Sums of squares of Types I to IV against the reference cases (independently computed).
#include <gtest/gtest.h>

#include <cmath>

#include "estimate/sstypes.h"
#include "model_fixture.h"

using namespace qvtest;

namespace {

const qv::EffectRow kIntercept2{-1, -1};
const std::vector<qv::EffectRow> kFactorialAB{kIntercept2, {0, -1}, {-1, 0}, {0, 0}};
const std::vector<qv::EffectRow> kFactorialBA{kIntercept2, {-1, 0}, {0, -1}, {0, 0}};

// Compares each effect's sum of squares and df, and the error SS, with the reference table.
void expectTable(const ModelFixture& m, const std::string& refCase, const std::string& ssTitle,
                 const std::vector<std::string>& names, double tol = 1e-9) {
  auto exp = readExpected(refCase)["tables"]["Tests of Between-Subjects Effects"];
  for (size_t e = 0; e < names.size(); ++e) {
    SCOPED_TRACE(refCase + ": " + names[e]);
    double want = exp[names[e]][ssTitle].get<double>();
    EXPECT_NEAR(m.ss(static_cast<int>(e)), want, tol * std::max(1.0, std::fabs(want)));
    EXPECT_EQ(m.st.group.hypotheses[e].df, exp[names[e]]["df"].get<int>());
  }
  double sse = exp["Error"][ssTitle].get<double>();
  EXPECT_NEAR(m.st.group.errorSSCP(0, 0), sse, tol * sse);
  double sst = exp["Corrected Total"][ssTitle].get<double>();
  EXPECT_NEAR(m.st.group.totalSS[0], sst, tol * sst);
  double tot = exp["Total"][ssTitle].get<double>();
  EXPECT_NEAR(m.st.group.totalSSCP(0, 0), tot, tol * tot);
}

const char* kTitles[] = {"", "Type I Sum of Squares", "Type II Sum of Squares", "Type III Sum of Squares",
                         "Type IV Sum of Squares"};

}  // namespace

TEST(SumsOfSquares, OneWayUnbalanced) {
  ModelFixture m(readCsv(referenceDir() + "oneway_unbalanced/data.csv"), "y", {"a"}, {}, {{-1}, {0}});
  ASSERT_TRUE(m.fit(3));
  EXPECT_EQ(m.st.group.dmncol, 5);
  EXPECT_EQ(m.st.group.modldf, 4);
  expectTable(m, "oneway_unbalanced", kTitles[3], {"Intercept", "a"});
}

TEST(SumsOfSquares, BalancedDesignGivesTheSameSumsOfSquaresForEveryType) {
  for (int type = 1; type <= 4; ++type) {
    SCOPED_TRACE(type);
    std::string refCase = "balanced_type" + std::to_string(type);
    ModelFixture m(readCsv(referenceDir() + refCase + "/data.csv"), "y", {"a", "b"}, {}, kFactorialAB);
    ASSERT_TRUE(m.fit(type));
    expectTable(m, refCase, kTitles[type], {"Intercept", "a", "b", "a * b"});
    if (type == 4) {
      for (const auto& h : m.st.group.hypotheses) EXPECT_EQ(h.unique, 1);
    }
  }
}

TEST(SumsOfSquares, UnbalancedAllCellsFilled) {
  Csv csv = readCsv(referenceDir() + "unbal_type1_ab/data.csv");
  {
    ModelFixture m(csv, "y", {"a", "b"}, {}, kFactorialAB);
    ASSERT_TRUE(m.fit(1));
    expectTable(m, "unbal_type1_ab", kTitles[1], {"Intercept", "a", "b", "a * b"});
  }
  {
    ModelFixture m(csv, "y", {"a", "b"}, {}, kFactorialBA);
    ASSERT_TRUE(m.fit(1));
    expectTable(m, "unbal_type1_ba", kTitles[1], {"Intercept", "b", "a", "a * b"});
  }
  for (int type = 2; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a", "b"}, {}, kFactorialAB);
    ASSERT_TRUE(m.fit(type));
    expectTable(m, "unbal_type" + std::to_string(type), kTitles[type], {"Intercept", "a", "b", "a * b"});
  }
}

TEST(SumsOfSquares, EmptyCell) {
  Csv csv = readCsv(referenceDir() + "empty_type1/data.csv");
  for (int type = 1; type <= 2; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a", "b"}, {}, kFactorialAB);
    ASSERT_TRUE(m.fit(type));
    EXPECT_EQ(m.st.group.effectNcols[3], 5);  // one empty cell has no column
    expectTable(m, "empty_type" + std::to_string(type), kTitles[type], {"Intercept", "a", "b", "a * b"});
  }
  // The cell (a=2, b=3) is empty. Types III and IV differ for b: Type IV compares b1 and b2
  // with b3 only where b3 was observed (a=1), and is not unique for either main effect.
  ModelFixture m3(csv, "y", {"a", "b"}, {}, kFactorialAB), m4(csv, "y", {"a", "b"}, {}, kFactorialAB);
  ASSERT_TRUE(m3.fit(3));
  ASSERT_TRUE(m4.fit(4));
  EXPECT_GT(std::fabs(m3.ss(2) - m4.ss(2)), 1e-6 * m3.ss(2));
  const auto& l4 = m4.st.group.hypotheses[2].L;
  ASSERT_EQ(l4.rows, 2u);
  // Columns: intercept, a1, a2, b1, b2, b3, then cells (1,1) (1,2) (1,3) (2,1) (2,2).
  const std::vector<double> row1{0, 0, 0, 1, 0, -1, 1, 0, -1, 0, 0};
  for (size_t c = 0; c < row1.size(); ++c) EXPECT_NEAR(l4(0, c), row1[c], 1e-12) << c;
  EXPECT_EQ(m4.st.group.hypotheses[1].unique, 0);
  EXPECT_EQ(m4.st.group.hypotheses[2].unique, 0);
  // The interaction is the same hypothesis under both types.
  EXPECT_NEAR(m3.ss(3), m4.ss(3), 1e-9 * m3.ss(3));
}

TEST(SumsOfSquares, NestedDesign) {
  ModelFixture m(readCsv(referenceDir() + "nested_type3/data.csv"), "y", {"a", "b"}, {},
                 {kIntercept2, {0, -1}, {0, 1}});
  ASSERT_TRUE(m.fit(3));
  expectTable(m, "nested_type3", kTitles[3], {"Intercept", "a", "b(a)"});
}

// Data with a large constant offset: y = 1e12 + d with d = k/16 exactly representable. Every sum
// of squares depends on d only, so the expected values are computed from d in long double
// (exact here: the d are multiples of 1/16 below 4, their squares and sums have few bits).
TEST(SumsOfSquares, LargeOffsetKeepsItsDigits) {
  Csv csv;
  csv.names = {"a", "y"};
  const int levels = 3;
  std::vector<std::vector<long double>> d(levels);
  int k = 0;
  for (int a = 1; a <= levels; ++a)
    for (int i = 0; i < 5 + a; ++i) {
      long double dv = static_cast<long double>((k * 7) % 23) / 16.0L + a * 0.25L;
      ++k;
      d[a - 1].push_back(dv);
      csv.rows.push_back({static_cast<double>(a), 1e12 + static_cast<double>(dv)});
    }
  long double n = 0, sum = 0;
  for (auto& v : d)
    for (auto x : v) n += 1, sum += x;
  long double grand = sum / n, ssb = 0, ssw = 0;
  for (auto& v : d) {
    long double m = 0;
    for (auto x : v) m += x;
    m /= v.size();
    ssb += v.size() * (m - grand) * (m - grand);
    for (auto x : v) ssw += (x - m) * (x - m);
  }
  ModelFixture m(csv, "y", {"a"}, {}, {{-1}, {0}});
  ASSERT_TRUE(m.fit(3));
  EXPECT_NEAR(m.ss(1), static_cast<double>(ssb), 1e-10 * static_cast<double>(ssb));
  EXPECT_NEAR(m.st.group.errorSSCP(0, 0), static_cast<double>(ssw), 1e-10 * static_cast<double>(ssw));
  EXPECT_NEAR(m.st.group.totalSS[0], static_cast<double>(ssb + ssw), 1e-10 * static_cast<double>(ssb + ssw));
  // Intercept: n * mean(y)^2 with mean(y) = 1e12 + grand.
  double meanY = 1e12 + static_cast<double>(grand);
  ModelFixture m1(csv, "y", {"a"}, {}, {{-1}, {0}});
  ASSERT_TRUE(m1.fit(1));
  EXPECT_NEAR(m1.ss(0), static_cast<double>(n) * meanY * meanY,
              1e-12 * static_cast<double>(n) * meanY * meanY);
  EXPECT_NEAR(m1.ss(1), static_cast<double>(ssb), 1e-10 * static_cast<double>(ssb));
}

TEST(Containment, LevelsFollowTheEffectHierarchy) {
  Csv csv;
  csv.names = {"a", "b", "c", "y"};
  for (int i = 0; i < 16; ++i)
    csv.rows.push_back({double(i % 2), double((i / 2) % 2), double((i / 4) % 2), double(i)});
  ModelFixture m(csv, "y", {"a", "b", "c"}, {},
                 {{-1, -1, -1}, {0, -1, -1}, {-1, 0, -1}, {0, 0, -1}, {0, -1, 0}, {0, 0, 0}});
  int maxchy = 0;
  std::vector<int> lev = qv::containmentLevels(m.st, 1, maxchy);  // effect a
  EXPECT_EQ(lev[0], -1);
  EXPECT_EQ(lev[1], 0);
  EXPECT_EQ(lev[2], -1);
  EXPECT_EQ(maxchy, 2);
  EXPECT_EQ(lev[5], 2);  // a*b*c contains a*b and a*c
  EXPECT_EQ(lev[3], 1);
  EXPECT_EQ(lev[4], 1);
  EXPECT_TRUE(qv::effectContains(m.st, 1, 0));  // a contains the intercept
  EXPECT_FALSE(qv::effectContains(m.st, 0, 1));
}
