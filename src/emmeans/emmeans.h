#pragma once
// Estimated marginal means of the EMMEANS requests: the Estimates table of every requested
// table (with PRINT=TEST(LMATRIX) its coefficients), and for a COMPARE factor the pairwise
// comparisons of its levels and the univariate tests of their equality.
#include <string>
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "emmeans/marginal_l.h"
#include "host/context.h"

namespace qv {

// The EMMEANS step of a split group: every request in order, under the outline heading
// "Estimated Marginal Means".
void printEstimatedMarginalMeans(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

// Adjusted probability for ncomp comparisons (GMMAPR). With `significance` an observed
// significance is adjusted (Bonferroni: min(p ncomp, 1); Sidak: 1 - (1 - p)^ncomp); otherwise
// the significance level of the intervals (Bonferroni: p / ncomp; Sidak: 1 - (1 - p)^(1/ncomp)).
// LSD leaves p unchanged. ncomp > 0, 0 <= p <= 1.
double adjustProbability(long ncomp, EmmeansAdjustment adjustment, bool significance, double p);

// One request's table cells with their L rows and statuses, as the comparisons read them.
struct MarginalTable {
  const EmmeansRequest* request = nullptr;
  TableCells cells;
  std::vector<SparseRow> rows;
  std::vector<CellStatus> status;
};

// Pairwise Comparisons and Univariate Tests of the COMPARE factor of `t` (dfe: error degrees of
// freedom, may be <= 0).
void printComparisons(Context& ctx, const ProcedureState& st, const MarginalTable& t, double dfe);

}  // namespace qv
