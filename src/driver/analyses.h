#pragma once
// The table of analyses a split group runs after the model is fitted: one row per analysis, in
// the order their output appears. The group loop (driver/group_loop.cpp) runs the rows in
// turn, each as a step that is skipped once an error has been reported; a new analysis is one
// row here and its folder under src/.
#include <span>
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// A request of the command that an analysis answers, by the name a user knows it by.
struct AnalysisRequest {
  const char* name;  // as the subcommand reads, e.g. "POSTHOC" or "PLOT=PROFILE"
  bool (*present)(const ProcedureState& st);
};

struct Analysis {
  const char* name;  // what it produces, for readers and test messages
  // Whether the group runs it (a request, a PRINT keyword, or always).
  bool (*wanted)(const ProcedureState& st);
  // Runs it for the current group; `work` holds the group's valid cases for an analysis that
  // passes over them again. Null for an analysis whose requests are parsed but not computed
  // yet: the command then ends with a note per such request, so that no output is not
  // mistaken for a result.
  void (*run)(Context& ctx, ProcedureState& st, const CaseWorkFile& work);
  std::vector<AnalysisRequest> requests;  // the requests it answers (none: not requested by name)
};

// Every analysis, in the driver's order.
std::span<const Analysis> analyses();

// After a successful parse: one note per request that was given but whose analysis is not
// computed (run is null) in `table`.
void noteRequestsNotComputed(Context& ctx, const ProcedureState& st,
                             std::span<const Analysis> table = analyses());

}  // namespace qv
