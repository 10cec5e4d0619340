#pragma once
// Levene's test of equality of error variances: a one-way analysis of variance, across the
// observed cells, of the absolute residuals of the fitted model, one test per dependent.
#include <string>
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "report/shared_labels.h"  // designFootnote

namespace qv {

// Between- and within-cells sums of squares of the absolute residuals.
struct LeveneSums {
  int status = 0;  // 0 done; 3 fewer than two cells with positive weight
  double df1 = kSysmis, df2 = kSysmis;
  std::vector<double> ssb, ssw;  // per dependent; a value negligible against the data is 0
};

// The accumulation of Levene's test: residuals of the full model (frequency weight w counts the
// case, regression weight v scales its absolute residual by sqrt(v)), cell means and sums of
// squares, then the between-cells sum of squares of the cell means weighted by the cell
// weights. Needs the observed cells of the data pass.
LeveneSums leveneSums(const ProcedureState& st, const CaseWorkFile& work);

// Levene's test (GMTLEV): the sums above with their F tests.
struct LeveneResult {
  int status = 0;
  double df1 = kSysmis, df2 = kSysmis;
  std::vector<double> f, sig;  // per dependent
};
LeveneResult GMTLEV(const ProcedureState& st, const CaseWorkFile& work);

// Runs Levene's test and prints its table, or the warning for fewer than two non-empty cells.
void printLevene(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
