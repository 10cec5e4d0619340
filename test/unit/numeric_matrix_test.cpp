// Matrix kernels on constructed cases whose answers are known exactly: factors built by hand,
// rows placed in or out of a known span, systems with known solutions.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "host/context.h"
#include "host/numeric/matrix.h"
#include "tolerances.h"

namespace qv::num {
namespace {

using test::nearRel;

Packed packedFrom(size_t n, const std::vector<double>& lowerByRows) {
  Packed m(n);
  m.a = lowerByRows;
  return m;
}

Mat matFrom(size_t rows, size_t cols, const std::vector<double>& byRows) {
  Mat m(rows, cols);
  m.a = byRows;
  return m;
}

// M = T T' for a packed lower factor T (zero rows and columns included).
Packed product(const Packed& t) {
  Packed m(t.n);
  for (size_t i = 0; i < t.n; ++i)
    for (size_t j = 0; j <= i; ++j) {
      double s = 0;
      for (size_t k = 0; k <= j; ++k) s += t(i, k) * t(j, k);
      m(i, j) = s;
    }
  return m;
}

std::vector<double> diagonal(const Packed& m) {
  std::vector<double> d(m.n);
  for (size_t i = 0; i < m.n; ++i) d[i] = m(i, i);
  return d;
}

// x' M^- x through the factor: u = T^-1 x, result u.u.
double quadraticForm(const Packed& inverseFactor, const std::vector<double>& x) {
  double s = 0;
  for (size_t i = 0; i < inverseFactor.n; ++i) {
    double u = 0;
    for (size_t k = 0; k <= i; ++k) u += inverseFactor(i, k) * x[k];
    s += u * u;
  }
  return s;
}

// --- Cholesky and triangular inverse ---------------------------------------------------

TEST(NumericCholesky, RecoversAKnownFactor) {
  // T with positive diagonal; M = T T' has T as its Cholesky factor.
  const Packed t = packedFrom(4, {2, 1, 3, -1, 0.5, 1.5, 4, -2, 0.25, 0.75});
  Packed m = product(t);
  EXPECT_EQ(LTRCHD(m, diagonal(m), 1e-8), 0);
  for (size_t k = 0; k < t.a.size(); ++k) EXPECT_TRUE(nearRel(m.a[k], t.a[k], test::kTolRoundoff, 1e-15));
}

TEST(NumericCholesky, CountsAndZeroesDependentPivots) {
  // Columns of X: x0, x1, x2 = x0 + x1 (dependent), x3 = 2 x0 - x1 (dependent), x4 free.
  const std::vector<std::vector<double>> x = {{1, 2, 3, 0, 1},  {0, 1, 1, -1, 2}, {2, 0, 2, 4, 0},
                                              {1, 1, 2, 1, -1}, {3, -1, 2, 7, 5}, {0, 2, 2, -2, 1}};
  Packed m(5);
  for (const auto& row : x)
    for (size_t i = 0; i < 5; ++i)
      for (size_t j = 0; j <= i; ++j) m(i, j) += row[i] * row[j];
  const Packed original = m;
  EXPECT_EQ(LTRCHD(m, diagonal(original), 1e-8), 2);
  for (size_t k = 0; k < 5; ++k) {
    // Rows and columns 2 and 3 of the factor are exactly 0.
    EXPECT_EQ(m(2, k), 0.0);
    EXPECT_EQ(m(3, k), 0.0);
    EXPECT_EQ(m(k, 2), 0.0);
    EXPECT_EQ(m(k, 3), 0.0);
  }
  // On the accepted indices the factor reproduces M.
  const Packed back = product(m);
  for (size_t i : {0u, 1u, 4u})
    for (size_t j : {0u, 1u, 4u})
      if (j <= i) {
        EXPECT_TRUE(nearRel(back(i, j), original(i, j), test::kTolRoundoff * 4, 1e-13));
      }

  // For x = M y in the column space, x' M^- x = y' M y whatever generalised inverse is used.
  const Packed inv = LTRDGI(m);
  const std::vector<double> y = {0.3, -1.2, 0.7, 2.0, -0.4};
  std::vector<double> xv(5, 0.0);
  double yMy = 0;
  for (size_t i = 0; i < 5; ++i) {
    for (size_t j = 0; j < 5; ++j) xv[i] += original(i, j) * y[j];
    yMy += y[i] * xv[i];
  }
  EXPECT_TRUE(nearRel(quadraticForm(inv, xv), yMy, test::kTolClosedForm));
}

TEST(NumericCholesky, TolerancesAreRelativeToTheScale) {
  // [[1, 1], [1, 1 + d]]: the second pivot is d, the scale 1 + d.
  for (double scaleFactor : {1.0, 1e-6, 1e6}) {
    for (auto [d, zero] : {std::pair{1e-9, 1}, std::pair{1e-7, 0}}) {
      Packed m = packedFrom(2, {scaleFactor, scaleFactor, scaleFactor * (1 + d)});
      EXPECT_EQ(LTRCHD(m, diagonal(m), 1e-8), zero) << scaleFactor << " " << d;
    }
  }
  // A zero scale makes the pivot zero; so does an all-zero matrix of any order.
  Packed zeroes(3);
  EXPECT_EQ(LTRCHD(zeroes, diagonal(zeroes), 1e-8), 3);
  for (double v : zeroes.a) EXPECT_EQ(v, 0.0);
  // A negative pivot (a matrix a little off semidefinite) counts as zero, it never gives NaN.
  Packed m = packedFrom(2, {1, 1, 1 - 1e-12});
  EXPECT_EQ(LTRCHD(m, diagonal(m), 1e-8), 1);
  for (double v : m.a) EXPECT_FALSE(std::isnan(v));
}

TEST(NumericTriangularInverse, InverseTimesFactorIsIdentity) {
  const Packed t = packedFrom(4, {2, 1, 3, -1, 0.5, 1.5, 4, -2, 0.25, 0.75});
  const Packed inv = LTRDGI(t);
  for (size_t i = 0; i < 4; ++i)
    for (size_t j = 0; j <= i; ++j) {
      double s = 0;
      for (size_t k = j; k <= i; ++k) s += inv(i, k) * t(k, j);
      EXPECT_TRUE(nearRel(s, i == j ? 1.0 : 0.0, 0, test::kTolRoundoff)) << i << " " << j;
    }
}

TEST(NumericTriangularInverse, ZeroDiagonalRowsStayZero) {
  // Index 1 is a zero pivot: its row and column vanish, the rest inverts the 2x2 factor of
  // indices {0, 2}: [[2, 0], [4, 5]] whose inverse is [[1/2, 0], [-2/5, 1/5]].
  const Packed t = packedFrom(3, {2, 0, 0, 4, 0, 5});
  const Packed inv = LTRDGI(t);
  EXPECT_DOUBLE_EQ(inv(0, 0), 0.5);
  EXPECT_DOUBLE_EQ(inv(2, 0), -0.4);
  EXPECT_DOUBLE_EQ(inv(2, 2), 0.2);
  EXPECT_EQ(inv(1, 0), 0.0);
  EXPECT_EQ(inv(1, 1), 0.0);
  EXPECT_EQ(inv(2, 1), 0.0);
}

// --- Residuals from a row space ---------------------------------------------------------

TEST(NumericResorp, RowsInTheSpanVanishAndResidualsAreOrthogonal) {
  // Row space of C: span{(1,1,0,0), (0,1,1,0)} plus a repeated row, which adds nothing.
  const Mat c = matFrom(3, 4, {1, 1, 0, 0, 0, 1, 1, 0, 2, 2, 0, 0});
  const Mat l = matFrom(4, 4,
                        {2, -1, -3, 0,  // 2 c0 - 3 c1: in the span, vanishes
                         1, 1, 0, 1,    // c0 + e4: residual e4
                         1, 0, 0, 0,    // e1: residual (1, -1, 1, 0) / 3
                         0, 0, 0, 0});  // a zero row is dropped
  const Mat r = RESORP(l, c, 1e-8);
  ASSERT_EQ(r.rows, 2u);
  const std::vector<double> expected = {0, 0, 0, 1, 1.0 / 3, -1.0 / 3, 1.0 / 3, 0};
  for (size_t k = 0; k < expected.size(); ++k)
    EXPECT_TRUE(nearRel(r.a[k], expected[k], test::kTolRoundoff, test::kTolRoundoff)) << k;
  for (size_t i = 0; i < r.rows; ++i)
    for (size_t j = 0; j < c.rows; ++j) {
      double s = 0;
      for (size_t k = 0; k < 4; ++k) s += r(i, k) * c(j, k);
      EXPECT_NEAR(s, 0.0, test::kTolRoundoff);
    }
}

TEST(NumericResorp, NearlyParallelBasisRowsStillProjectCleanly) {
  // c0 and c1 differ by 1e-6 in one entry: together they span e1 and e2 exactly, so both
  // unit vectors must vanish, and e3 must come back whole.
  const Mat c = matFrom(2, 3, {1, 1, 0, 1, 1 + 1e-6, 0});
  const Mat l = matFrom(3, 3, {0, 1, 0, 1, 0, 0, 0, 0, 1});
  const Mat r = RESORP(l, c, 1e-8);
  ASSERT_EQ(r.rows, 1u);
  EXPECT_NEAR(r(0, 0), 0.0, test::kTolRoundoff);
  EXPECT_NEAR(r(0, 1), 0.0, test::kTolRoundoff);
  EXPECT_DOUBLE_EQ(r(0, 2), 1.0);
}

TEST(NumericResorp, ScaleOfRowsDoesNotMatterAndEmptyCKeepsRows) {
  const Mat c = matFrom(1, 3, {1e-9, 2e-9, 0});
  const Mat l = matFrom(2, 3, {3e12, 6e12, 0, 1e12, 0, 0});
  const Mat r = RESORP(l, c, 1e-8);
  ASSERT_EQ(r.rows, 1u);  // the first row is a multiple of c
  // Residual of (1e12, 0, 0) from span{(1, 2, 0)}: 1e12 (4/5, -2/5, 0).
  EXPECT_TRUE(nearRel(r(0, 0), 0.8e12, test::kTolRoundoff));
  EXPECT_TRUE(nearRel(r(0, 1), -0.4e12, test::kTolRoundoff));

  const Mat none(0, 0);
  const Mat kept = RESORP(matFrom(2, 2, {1, 2, 0, 0}), none, 1e-8);
  ASSERT_EQ(kept.rows, 1u);
  EXPECT_EQ(kept(0, 0), 1.0);
  EXPECT_EQ(kept(0, 1), 2.0);
}

TEST(NumericResorp, HeavyCancellationKeepsTheResidualsDigits) {
  // l = (1 + 2^-30, 1, 1) off span{(1, 1, 1)}: exactly 2^-30 (2/3, -1/3, -1/3), a residual
  // 1e-9 of the row's size. Formed in double the projection would keep only about 7 digits.
  const double h = std::ldexp(1.0, -30);
  const Mat r = RESORP(matFrom(1, 3, {1 + h, 1, 1}), matFrom(1, 3, {1, 1, 1}), 1e-12);
  ASSERT_EQ(r.rows, 1u);
  const std::vector<double> expected = {h * 2 / 3, -h / 3, -h / 3};
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(nearRel(r(0, k), expected[k], 1e-14)) << k << " " << r(0, k);
}

// --- Column elimination -----------------------------------------------------------------

TEST(NumericZrmxrw, EliminatesWithTheLargestEntryAsPivot) {
  Mat m = matFrom(4, 3, {1, 2, 3, 2, 1, 0, 4, 0, 1, -3, 5, 5});
  const std::vector<char> keep = {1, 1, 1, 0};
  EXPECT_EQ(ZRMXRW(m, 0, keep, 1e-8), 2);
  // Row 0 - (1/4) row 2, row 1 - (2/4) row 2; the pivot row and the row outside keep stay.
  const std::vector<double> expected = {0, 2, 2.75, 0, 1, -0.5, 4, 0, 1, -3, 5, 5};
  for (size_t k = 0; k < expected.size(); ++k) EXPECT_DOUBLE_EQ(m.a[k], expected[k]) << k;
  // Once the caller drops the pivot row, the column is zero in every kept row.
  EXPECT_EQ(ZRMXRW(m, 0, {1, 1, 0, 0}, 1e-8), -1);
}

TEST(NumericZrmxrw, NegligibleEntriesCountAsZero) {
  Mat m = matFrom(2, 3, {1, 1e-12, 2, 3, -2e-11, 1});
  EXPECT_EQ(ZRMXRW(m, 1, {1, 1}, 1e-8), -1);
  EXPECT_EQ(m(0, 1), 0.0);
  EXPECT_EQ(m(1, 1), 0.0);
  EXPECT_EQ(m(0, 0), 1.0);  // the rest of the rows unchanged
  EXPECT_EQ(m(1, 2), 1.0);
}

// --- Gauss-Jordan ----------------------------------------------------------------------

TEST(NumericGaussJordan, SolvesAFullRankSystem) {
  // x = (1, -2, 3): A x = b.
  Mat ab = matFrom(3, 4, {2, 1, -1, -3, -3, -1, 2, 5, -2, 1, 2, 2});
  std::vector<int> pivotCol;
  EXPECT_EQ(GASJRD(ab, 1e-8, pivotCol), 3);
  EXPECT_EQ(pivotCol, (std::vector<int>{0, 1, 2}));
  const std::vector<double> x = {1, -2, 3};
  for (size_t r = 0; r < 3; ++r) {
    for (size_t j = 0; j < 3; ++j) EXPECT_EQ(ab(r, j), r == j ? 1.0 : 0.0);
    EXPECT_TRUE(nearRel(ab(r, 3), x[r], test::kTolRoundoff * 4)) << r;
  }
}

TEST(NumericGaussJordan, ConsistentRankDeficientSystemLeavesZeroResiduals) {
  // Row 2 = row 0 + row 1 (b included); column 2 = column 0 + column 1.
  Mat ab = matFrom(3, 4, {1, 2, 3, 4, 2, -1, 1, 3, 3, 1, 4, 7});
  std::vector<int> pivotCol;
  EXPECT_EQ(GASJRD(ab, 1e-8, pivotCol), 2);
  EXPECT_EQ(pivotCol, (std::vector<int>{0, 1, -1}));
  for (size_t j = 0; j < 3; ++j) EXPECT_EQ(ab(2, j), 0.0);
  EXPECT_NEAR(ab(2, 3), 0.0, test::kTolRoundoff * 8);
  // Each pivot row depends on the free column 2 with coefficient 1: x0 + x2 = 2, x1 + x2 = 1.
  EXPECT_TRUE(nearRel(ab(0, 2), 1.0, test::kTolRoundoff * 4));
  EXPECT_TRUE(nearRel(ab(1, 2), 1.0, test::kTolRoundoff * 4));
  EXPECT_TRUE(nearRel(ab(0, 3), 2.0, test::kTolRoundoff * 4));
  EXPECT_TRUE(nearRel(ab(1, 3), 1.0, test::kTolRoundoff * 4));
}

TEST(NumericGaussJordan, InconsistentSystemShowsItsResidual) {
  // Same A, but b of row 2 is 8 instead of 7: residual 1 after reduction.
  Mat ab = matFrom(3, 4, {1, 2, 3, 4, 2, -1, 1, 3, 3, 1, 4, 8});
  std::vector<int> pivotCol;
  EXPECT_EQ(GASJRD(ab, 1e-8, pivotCol), 2);
  EXPECT_TRUE(nearRel(std::fabs(ab(2, 3)), 1.0, test::kTolRoundoff * 8));
}

TEST(NumericGaussJordan, UniquelyDeterminedUnknownsHaveCleanPivotRows) {
  // x1 is fixed by the second equation alone; x0 and x2 are tied together. A noise entry of
  // 1e-20 next to the pivot of x1 must not make x1 look undetermined.
  Mat ab = matFrom(2, 4, {1, 0, 1, 5, 0, 4, 1e-20, 8});
  std::vector<int> pivotCol;
  EXPECT_EQ(GASJRD(ab, 1e-8, pivotCol), 2);
  EXPECT_EQ(pivotCol[1], 1);
  EXPECT_EQ(ab(1, 0), 0.0);
  EXPECT_EQ(ab(1, 2), 0.0);
  EXPECT_DOUBLE_EQ(ab(1, 3), 2.0);
  // A small but real coefficient is kept: 1e-3 against a largest entry of 4.
  Mat real = matFrom(2, 4, {1, 0, 1, 5, 0, 4, 1e-3, 8});
  GASJRD(real, 1e-8, pivotCol);
  EXPECT_DOUBLE_EQ(real(1, 2), 2.5e-4);
}

TEST(NumericGaussJordan, HeavyCancellationKeepsTheSolutionsDigits) {
  // [3 1; 1 t] x = (1, 0) with t = fl(1/3) + 2^-30 = 6004799519937877 / 2^54. The determinant
  // is 3t - 1 = 50331647 / 2^54 (fl(1/3) = (2^54 - 1) / (3 2^54)), so exactly
  // x0 = 6004799519937877 / 50331647 and x1 = -2^54 / 50331647 (rounded to doubles below,
  // by Python's fractions). Eliminating in double leaves t - fl(1/3) for t - 1/3 and about
  // 8 correct digits.
  const double t = 1.0 / 3 + std::ldexp(1.0, -30);
  Mat ab = matFrom(2, 3, {3, 1, 1, 1, t, 0});
  std::vector<int> pivotCol;
  EXPECT_EQ(GASJRD(ab, 1e-12, pivotCol), 2);
  EXPECT_TRUE(nearRel(ab(0, 2), 119304649.81481487, 1e-14)) << ab(0, 2);
  EXPECT_TRUE(nearRel(ab(1, 2), -357913948.4444446, 1e-14)) << ab(1, 2);
}

// --- Cleaning and tolerance tests --------------------------------------------------------

TEST(NumericCleaning, VectorCleaningZeroesOnlyNegligibleEntries) {
  std::vector<double> v = {1, 1e-17, -3e-14, 0.5, -2e-16, 0.1 + 0.2};
  const std::vector<double> before = v;
  CLNVEC(v.data(), v.size(), 16);  // threshold 16 eps * 1 = 3.6e-15
  EXPECT_EQ(v[1], 0.0);
  EXPECT_EQ(v[4], 0.0);
  for (size_t k : {0u, 2u, 3u, 5u}) EXPECT_EQ(v[k], before[k]) << k;  // bit for bit
  std::vector<double> zeros(3, 0.0);
  CLNVEC(zeros.data(), zeros.size(), 16);
  EXPECT_EQ(zeros, std::vector<double>(3, 0.0));
}

TEST(NumericCleaning, SscpCleaningIsRelativeToTheDiagonal) {
  // Variable 2 has a negligible sum of squares: its row and column go. The (1, 0) entry is
  // negligible against sqrt(4 * 9); the others are real.
  Packed m = packedFrom(3, {4, 1e-16, 9, 1e-10, 2e-9, 1e-17});
  CLNSCP(m, 64);
  EXPECT_EQ(m(0, 0), 4.0);
  EXPECT_EQ(m(1, 1), 9.0);
  EXPECT_EQ(m(1, 0), 0.0);
  EXPECT_EQ(m(2, 0), 0.0);
  EXPECT_EQ(m(2, 1), 0.0);
  EXPECT_EQ(m(2, 2), 0.0);
  // Small variables on their own scale are not cleaned: a cross-product of 1e-20 between two
  // variables with sums of squares 1e-20 is a correlation of 1.
  Packed small = packedFrom(2, {1e-20, 1e-20, 1e-20});
  CLNSCP(small, 64);
  EXPECT_EQ(small.a, (std::vector<double>{1e-20, 1e-20, 1e-20}));
}

TEST(NumericTolerance, ZeroIntegerAndAlmostEqualTests) {
  EXPECT_TRUE(QLREPS(1e-15, 1.0, 16));
  EXPECT_FALSE(QLREPS(1e-13, 1.0, 16));
  EXPECT_TRUE(QLREPS(0.0, 0.0, 16));
  EXPECT_FALSE(QLREPS(1e-300, 0.0, 16));

  EXPECT_TRUE(QLRINT(3.0, 16));
  EXPECT_TRUE(QLRINT(-2.0 + 1e-15, 16));
  EXPECT_TRUE(QLRINT(1e6 * (1 + 4 * DBL_EPSILON), 16));  // relative for large values
  EXPECT_FALSE(QLRINT(0.5, 16));
  EXPECT_FALSE(QLRINT(2.0 + 1e-10, 16));
  EXPECT_FALSE(QLRINT(std::numeric_limits<double>::quiet_NaN(), 16));

  const double y = 1234567.891;
  EXPECT_TRUE(QLRALMOSTEQUAL(y, y * (1 + 1000 * DBL_EPSILON), 4096));
  EXPECT_FALSE(QLRALMOSTEQUAL(y, y * (1 + 1e-11), 4096));
  EXPECT_TRUE(QLRALMOSTEQUAL(0.0, -0.0, 4096));
  EXPECT_FALSE(QLRALMOSTEQUAL(0.0, 1e-300, 4096));
  EXPECT_FALSE(QLRALMOSTEQUAL(std::numeric_limits<double>::quiet_NaN(), 1.0, 4096));
}

// Inconsistent shapes are bugs in the caller: they raise an internal error, never a crash.
TEST(NumericKernels, InconsistentShapesRaiseInternalErrors) {
  Packed m(3);
  EXPECT_THROW(LTRCHD(m, {1.0, 1.0}, 1e-8), InternalError);
  Mat l(2, 3), c(1, 4);
  EXPECT_THROW(RESORP(l, c, 1e-8), InternalError);
  EXPECT_THROW(ZRMXRW(l, 3, {1, 1}, 1e-8), InternalError);
  EXPECT_THROW(ZRMXRW(l, 0, {1}, 1e-8), InternalError);
  std::vector<double> v(2, 1.0);
  EXPECT_THROW(CLNVEC(v.data(), v.size(), -1.0), InternalError);
}

}  // namespace
}  // namespace qv::num
