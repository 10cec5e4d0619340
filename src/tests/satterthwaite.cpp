#include "tests/satterthwaite.h"

#include <algorithm>
#include <cmath>

namespace qv {

CombinedMeanSquare combineMeanSquares(const std::vector<MeanSquareTerm>& terms) {
  CombinedMeanSquare r;
  std::vector<std::pair<double, double>> parts;  // (c_i SS_i / df_i, df_i)
  double largest = 0.0;
  for (const MeanSquareTerm& t : terms) {
    if (t.coefficient == 0.0) continue;
    if (!(t.df > 0)) return r;
    const double part = t.coefficient * t.ss / t.df;
    if (!std::isfinite(part)) return r;
    parts.emplace_back(part, t.df);
    largest = std::max(largest, std::fabs(part));
  }
  if (largest == 0.0) {
    // Every term is zero (or none is given): a zero mean square without degrees of freedom.
    r.ms = 0.0;
    return r;
  }
  // The df is a ratio of squares; both are taken relative to the largest part so that neither
  // overflows nor underflows.
  double ms = 0.0, scaledMs = 0.0, scaledDenominator = 0.0;
  for (const auto& [part, df] : parts) {
    ms += part;
    const double scaled = part / largest;
    scaledMs += scaled;
    scaledDenominator += scaled * scaled / df;
  }
  if (ms < 0) return r;
  if (ms == 0) {
    // The terms cancel exactly: no spread, so no degrees of freedom either.
    r.ms = 0.0;
    return r;
  }
  r.ms = ms;
  r.df = scaledMs * scaledMs / scaledDenominator;
  r.ss = ms * r.df;
  r.status = CombinedStatus::Ok;
  return r;
}

}  // namespace qv
