#pragma once
// Residual plots: for each dependent variable a scatterplot matrix of the observed values, the
// predicted values and the standardized residuals of the cases.
#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Cases beyond which the matrix shows binned counts instead of one mark per case.
constexpr long kMaxMarkedCases = 20000;

// The PLOT=RESIDUALS charts of a split group, or the note saying why there is none.
void printResidualPlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
