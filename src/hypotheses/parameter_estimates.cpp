// The statistics of the parameter estimates that need no probability function; the table
// itself, which does, is in parameter_table.cpp.
#include "hypotheses/parameter_estimates.h"

#include <fmt/format.h>

#include <cmath>

#include "host/output/number_format.h"

namespace qv {

double errorMeanSquare(const GroupState& g, int d, double dfe) {
  if (!(dfe > 0.0)) return kSysmis;
  return g.errorSSCP(static_cast<size_t>(d), static_cast<size_t>(d)) / dfe;
}

ParameterRow parameterStatistics(double b, double cjj, double mse, double dfe, double tcrit, bool redundant,
                                 bool etaSquared) {
  ParameterRow row;
  row.b = b;
  row.redundant = redundant;
  if (redundant || isSysmis(mse)) return row;
  const double var = cjj * mse;
  // Cross-products that overflowed leave an infinite or undefined variance: nothing can be said.
  if (!std::isfinite(var) || !std::isfinite(b)) return row;
  if (var > 0.0) {
    row.stdError = std::sqrt(var);
    row.t = b / row.stdError;
    if (etaSquared) row.etaSquared = row.t * row.t / (row.t * row.t + dfe);
    row.noncentrality = std::fabs(row.t);
  } else {
    // An exactly determined parameter: no sampling error, nothing to test.
    row.stdError = 0.0;
    if (etaSquared) row.etaSquared = 1.0;
  }
  if (!isSysmis(tcrit)) {
    row.lower = b - tcrit * row.stdError;
    row.upper = b + tcrit * row.stdError;
  }
  return row;
}

std::string confidenceIntervalLabel(double alplev, bool difference) {
  // 100 (1 - alplev) to ten significant digits, so that 95.00000000000001 reads 95.
  std::string pct = out::formatSignificant(100.0 * (1.0 - alplev), 10);
  return pct + (difference ? "% Confidence Interval for Difference" : "% Confidence Interval");
}

}  // namespace qv
