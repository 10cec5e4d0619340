#pragma once
// Parameter estimates of the over-parameterised model: one row of statistics per design column
// and dependent variable, and the confidence-interval label shared by the tables that show
// intervals.
#include <string>

#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Statistics of one parameter. Everything but the estimate starts system-missing.
struct ParameterRow {
  double b = 0.0;
  double stdError = kSysmis, t = kSysmis, sig = kSysmis;
  double lower = kSysmis, upper = kSysmis;
  double etaSquared = kSysmis, noncentrality = kSysmis, power = kSysmis;
  bool redundant = false;
};

// Error mean square of dependent d (0-based): residual SS / dfe; kSysmis when dfe <= 0.
double errorMeanSquare(const GroupState& g, int d, double dfe);

// The part of a parameter's row that needs no probability function: standard error, t, partial
// eta squared (with `etaSquared`), noncentrality |t|, and the confidence bounds when `tcrit` is
// usable (not kSysmis). `cjj` is the parameter's diagonal element of the generalised inverse;
// `mse` is kSysmis when there are no error degrees of freedom. A redundant parameter keeps
// only its estimate. Significance and power are left for the caller.
ParameterRow parameterStatistics(double b, double cjj, double mse, double dfe, double tcrit, bool redundant,
                                 bool etaSquared);

// "95% Confidence Interval", or "95% Confidence Interval for Difference" when `difference`;
// the percentage is 100 (1 - alplev).
std::string confidenceIntervalLabel(double alplev, bool difference);

// Critical t of the two-sided intervals: the (1 - alplev/2) quantile of t(dfe); kSysmis when
// dfe <= 0 or the quantile is undefined.
double criticalT(double alplev, double dfe);

// Observed power of the two-sided t test of one parameter at noncentrality |t|:
// 1 - P(T' <= tcrit) + P(T' <= -tcrit), T' noncentral t(dfe, |t|); kSysmis when undefined.
double parameterPower(double tcrit, double dfe, double absT);

// The Parameter Estimates table of the current group (PRINT=PARAMETER), with the error
// degrees of freedom sumWeights - rank.
void printParameterEstimates(Context& ctx, const ProcedureState& st);

}  // namespace qv
