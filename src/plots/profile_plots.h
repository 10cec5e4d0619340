#pragma once
// Profile plots: line charts of estimated marginal means, the levels of one factor across, one
// line per level of a second factor, one chart per level of a third, for every dependent
// variable. The means are those of the marginal-means tables (same L rows).
#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Every PLOT=PROFILE request of the split group, under the outline heading "Profile Plots".
void printProfilePlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
