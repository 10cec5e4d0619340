#pragma once
// Spread-versus-level plots: for each dependent variable the spread of every observed cell
// against its mean, once as standard deviations and once as variances.
#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// The PLOT=SPREADLEVEL charts of a split group, under "Spread-versus-Level Plots".
void printSpreadLevelPlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
