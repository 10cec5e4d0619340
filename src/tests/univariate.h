#pragma once
// R squared and the Tests of Between-Subjects Effects table.
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

}  // namespace qv
