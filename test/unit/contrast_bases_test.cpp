// Orthogonal polynomial contrasts and the solver that expresses a contrast basis in estimable
// functions. The other bases are held to the reference cases contrast_*.
#include "host/numeric/contrast_bases.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using qv::num::Mat;

// Published integer coefficients of orthogonal polynomials for equally spaced levels (the
// classical tables of Fisher and Yates), one row per degree; normalised, they must match.
TEST(ContrastBases, PolynomialsMatchTheClassicalTables) {
  const std::vector<std::vector<std::vector<double>>> tables = {
      {{-1, 0, 1}, {1, -2, 1}},
      {{-3, -1, 1, 3}, {1, -1, -1, 1}, {-1, 3, -3, 1}},
      {{-2, -1, 0, 1, 2}, {2, -1, -2, -1, 2}, {-1, 2, 0, -2, 1}, {1, -4, 6, -4, 1}},
  };
  for (const auto& rows : tables) {
    const size_t n = rows.size() + 1;
    std::vector<double> metric(n);
    for (size_t i = 0; i < n; ++i) metric[i] = 10.0 + 5.0 * static_cast<double>(i);  // any equal spacing
    Mat p;
    ASSERT_TRUE(qv::num::CTROPL(metric, p));
    ASSERT_EQ(p.rows, n);
    ASSERT_EQ(p.cols, n - 1);
    for (size_t d = 0; d < rows.size(); ++d) {
      double norm = 0;
      for (double v : rows[d]) norm += v * v;
      for (size_t i = 0; i < n; ++i)
        EXPECT_NEAR(p(i, d), rows[d][i] / std::sqrt(norm), 1e-15) << n << " " << d;
    }
  }
}

TEST(ContrastBases, PolynomialsOverAnUnequalMetricAreOrthonormalContrasts) {
  Mat p;
  ASSERT_TRUE(qv::num::CTROPL({1, 2, 4, 8, 16, 32}, p));
  for (size_t a = 0; a < p.cols; ++a) {
    double sum = 0;
    for (size_t i = 0; i < p.rows; ++i) sum += p(i, a);
    EXPECT_NEAR(sum, 0.0, 1e-14);
    for (size_t b = 0; b <= a; ++b) {
      double dot = 0;
      for (size_t i = 0; i < p.rows; ++i) dot += p(i, a) * p(i, b);
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-13);
    }
  }
  // The linear trend rises with the metric.
  EXPECT_LT(p(0, 0), p(5, 0));
  // Repeated values leave the highest degree undefined.
  EXPECT_FALSE(qv::num::CTROPL({1, 2, 2}, p));
  EXPECT_FALSE(qv::num::CTROPL({3}, p));
}

TEST(ContrastBases, SolverReportsRankAndUnreachableColumns) {
  // A' X = P with A = [[1, -1, 0], [0, 0, 1]] (two functions over three levels).
  Mat a(2, 3);
  a(0, 0) = 1, a(0, 1) = -1, a(1, 2) = 1;
  Mat p(3, 1), x;
  int rank = 0;
  p(0, 0) = 2, p(1, 0) = -2, p(2, 0) = 5;  // 2 (first) + 5 (second)
  EXPECT_EQ(qv::num::GEMSLV(a, p, 1e-8, x, rank), 0);
  EXPECT_EQ(rank, 2);
  EXPECT_NEAR(x(0, 0), 2.0, 1e-15);
  EXPECT_NEAR(x(1, 0), 5.0, 1e-15);
  p(1, 0) = 0;  // level 1 against level 3 alone is not a combination of the two
  EXPECT_EQ(qv::num::GEMSLV(a, p, 1e-8, x, rank), 2);
}

}  // namespace
