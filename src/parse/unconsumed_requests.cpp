// Notes about parsed requests that no analysis reads yet.
#include <string>

#include "parse/optional_subcommands.h"

namespace qv {

RequestConsumption consumedRequests() {
  RequestConsumption c{};
  // Set an entry to true when the analysis that reads the request is in place.
  c[static_cast<int>(RequestKind::Contrast)] = true;
  c[static_cast<int>(RequestKind::Posthoc)] = true;
  c[static_cast<int>(RequestKind::Emmeans)] = true;
  c[static_cast<int>(RequestKind::ProfilePlot)] = true;
  c[static_cast<int>(RequestKind::SpreadLevelPlot)] = true;
  c[static_cast<int>(RequestKind::ResidualPlot)] = true;
  c[static_cast<int>(RequestKind::Save)] = true;
  c[static_cast<int>(RequestKind::Lmatrix)] = true;
  c[static_cast<int>(RequestKind::Kmatrix)] = true;
  c[static_cast<int>(RequestKind::Test)] = true;
  c[static_cast<int>(RequestKind::Outfile)] = true;
  return c;
}

void noteUnconsumedRequests(ParseContext& pc) { noteUnconsumedRequests(pc, consumedRequests()); }

void noteUnconsumedRequests(ParseContext& pc, const RequestConsumption& consumed) {
  const ProcedureState& st = pc.st;
  struct Requested {
    RequestKind kind;
    bool present;
    const char* what;
  };
  const Requested requested[] = {
      {RequestKind::Contrast, st.ncontr > 0, "CONTRAST"},
      {RequestKind::Posthoc, st.posthocCount > 0, "POSTHOC"},
      {RequestKind::Emmeans, st.emmeansCount > 0, "EMMEANS"},
      {RequestKind::ProfilePlot, st.profilePlotCount > 0, "PLOT=PROFILE"},
      {RequestKind::SpreadLevelPlot, st.plotSpreadLevel, "PLOT=SPREADLEVEL"},
      {RequestKind::ResidualPlot, st.plotResiduals, "PLOT=RESIDUALS"},
      {RequestKind::Save, st.saveCount > 0, "SAVE"},
      {RequestKind::Lmatrix, st.nlmatr > 0, "LMATRIX"},
      {RequestKind::Kmatrix, !st.ptkmat.empty(), "KMATRIX"},
      {RequestKind::Test, st.ntests > 0, "TEST"},
      {RequestKind::Outfile, !st.outdpcPath.empty() || !st.outdpdPath.empty() || !st.effectOutPath.empty(),
       "OUTFILE"},
  };
  for (const Requested& r : requested) {
    if (!r.present || consumed[static_cast<size_t>(r.kind)]) continue;
    pc.ctx.note("Request not computed yet ^1 ...", out::Severity::Note, {r.what}, out::Phase::None);
  }
}

}  // namespace qv
