#pragma once
// R squared, the between-subjects table, and the step list of the analyses of a split group.
#include <string>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "report/shared_labels.h"    // the labels and footnotes the test tables share
#include "report/univariate_test.h"  // the F test every test table shares (GMTUNV)

namespace qv {

// R squared and adjusted R squared of dependent d (0-based) (GMTRSQ).
void GMTRSQ(const ProcedureState& st, double n, double dfe, int d, double& rsq, double& adjRsq);

// The Tests of Between-Subjects Effects table.
void printBetweenSubjects(Context& ctx, const ProcedureState& st);

// Runs the printed analyses of a split group in their fixed order. `work` holds the group's
// valid cases, for the analyses that pass over them again.
void analysisOutput(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
