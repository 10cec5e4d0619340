#pragma once
// The case pass and the split-group loop: for each split group, read the valid cases, lay out
// the design, print the factor tables, fit the model and produce the analysis output.
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Runs the case pass over ctx.data for a parsed command (the driver's steps from opening the
// case stream to the end of the last group). Failure travels through the error flag (ctx.failed()): the steps
// of a group run as a `Steps` sequence (host/context.h), which the first error ends.
void analyseGroups(Context& ctx, ProcedureState& st);

}  // namespace qv
