#pragma once
// Named tolerances of the unit tests, from tightest to loosest. A test picks the rung that
// matches what it compares: round-off of a few operations, a closed form evaluated two ways,
// a series or quadrature written in the test, or a table printed to a given number of digits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iomanip>

namespace qv::test {

// A handful of floating-point operations: identities that should hold to the last bits.
inline constexpr double kTolRoundoff = 16 * DBL_EPSILON;  // ~3.6e-15
// Special functions against a closed form of the same quantity (incomplete beta against a
// power, t against an arctangent): a few hundred ulps.
inline constexpr double kTolClosedForm = 512 * DBL_EPSILON;  // ~1.1e-13
// Inverse functions (root finding inside the library) against a closed form.
inline constexpr double kTolInverse = 1e-11;
// Series and quadratures written in the tests: truncated after a stated error.
inline constexpr double kTolSeries = 1e-10;
// Published tables: half a unit in the last digit printed.
inline constexpr double kTolTable15Digits = 5e-15;  // before the ~12-digit limit of the method
inline constexpr double kTolTable12Digits = 5e-12;
inline constexpr double kTolTable4Decimals = 5e-5;
inline constexpr double kTolTable3Decimals = 5e-4;
inline constexpr double kTolTable2Decimals = 5e-3;

// Relative comparison with an absolute floor, |actual - expected| <= max(tol |expected|, floor).
inline ::testing::AssertionResult nearRel(double actual, double expected, double tol, double floor = 0.0) {
  const double allowed = std::max(tol * std::fabs(expected), floor);
  const double error = std::fabs(actual - expected);
  if (error <= allowed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::setprecision(17) << "actual " << actual << " expected "
                                       << expected << " error " << error << " allowed " << allowed;
}

}  // namespace qv::test
