#pragma once
// The univariate F test shared by every test table, R squared, and the between-subjects table.
#include <string>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "report/shared_labels.h"  // the labels and footnotes the test tables share

namespace qv {

struct UnivariateTest {
  double msh = kSysmis, mse = kSysmis, f = kSysmis, sig = kSysmis;
  double etaSquared = kSysmis, noncentrality = kSysmis, power = kSysmis;
};

// F test with partial eta squared, noncentrality and observed power (GMTUNV).
UnivariateTest GMTUNV(double alplev, double dfh, double dfe, double ssh, double sse);

// Adds the Eta Squared, Noncentrality Parameter and Observed Power cells of a test row to the
// current category of `statDim`, as PRINT asks for them; true when the power cells were added
// (the table then carries the alpha footnote on its Observed Power column).
bool effectSizeCells(out::TableBuilder& tb, int statDim, const ProcedureState& st, const UnivariateTest& u);

// R squared and adjusted R squared of dependent d (0-based) (GMTRSQ).
void GMTRSQ(const ProcedureState& st, double n, double dfe, int d, double& rsq, double& adjRsq);

// The Tests of Between-Subjects Effects table.
void printBetweenSubjects(Context& ctx, const ProcedureState& st);

// Runs the printed analyses of a split group in their fixed order. `work` holds the group's
// valid cases, for the analyses that pass over them again.
void analysisOutput(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
