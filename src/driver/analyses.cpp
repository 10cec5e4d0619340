#include "driver/analyses.h"

#include "emmeans/emmeans.h"
#include "hypotheses/custom_hypotheses.h"
#include "hypotheses/estimable_functions.h"
#include "hypotheses/parameter_estimates.h"
#include "plots/profile_plots.h"
#include "plots/residual_plots.h"
#include "plots/spread_level.h"
#include "posthoc/posthoc.h"
#include "tests/expected_mean_squares.h"
#include "tests/lack_of_fit.h"
#include "tests/levene.h"
#include "tests/univariate.h"

namespace qv {

namespace {

using State = const ProcedureState&;
using Work = const CaseWorkFile&;

bool always(State) { return true; }
bool randomEffects(State st) { return st.randomEffectCount() > 0; }

const std::vector<Analysis>& table() {
  static const std::vector<Analysis> kAnalyses{
      // The expected mean squares and error terms that the tests of a mixed model use.
      {"random-effect error terms",
       randomEffects,
       [](Context&, ProcedureState& st, Work) { GMXMDL(st); },
       {}},
      {"Levene's test",
       [](State st) { return st.printHomogeneity; },
       [](Context& ctx, ProcedureState& st, Work work) { printLevene(ctx, st, work); },
       {}},
      {"tests of between-subjects effects",
       always,
       [](Context& ctx, ProcedureState& st, Work) { printBetweenSubjects(ctx, st); },
       {}},
      {"expected mean squares",
       randomEffects,
       [](Context& ctx, ProcedureState& st, Work) { printExpectedMeanSquares(ctx, st); },
       {}},
      {"parameter estimates",
       [](State st) { return st.printParameters; },
       [](Context& ctx, ProcedureState& st, Work) { printParameterEstimates(ctx, st); },
       {}},
      {"general estimable function",
       [](State st) { return st.printGef; },
       [](Context& ctx, ProcedureState& st, Work) { printGeneralEstimableFunction(ctx, st); },
       {}},
      {"L matrices of the effects",
       [](State st) { return st.printLMatrix; },
       [](Context& ctx, ProcedureState& st, Work) { printEffectLMatrices(ctx, st); },
       {}},
      {"lack of fit",
       [](State st) { return st.printLackOfFit; },
       [](Context& ctx, ProcedureState& st, Work work) { printLackOfFit(ctx, st, work); },
       {}},
      // Reads the requests itself and prints nothing when none is given.
      {"custom hypotheses",
       always,
       [](Context& ctx, ProcedureState& st, Work) { printCustomHypotheses(ctx, st); },
       {{"CONTRAST", [](State st) { return st.contrastCount() > 0; }},
        {"LMATRIX", [](State st) { return st.lmatrixCount() > 0; }},
        {"KMATRIX", [](State st) { return !st.ptkmat.empty(); }},
        {"TEST", [](State st) { return st.testCount() > 0; }}}},
      {"estimated marginal means",
       [](State st) { return st.emmeansCount() > 0; },
       [](Context& ctx, ProcedureState& st, Work work) { printEstimatedMarginalMeans(ctx, st, work); },
       {{"EMMEANS", [](State st) { return st.emmeansCount() > 0; }}}},
      {"post hoc tests",
       [](State st) { return st.posthocCount() > 0; },
       [](Context& ctx, ProcedureState& st, Work work) { printPosthoc(ctx, st, work); },
       {{"POSTHOC", [](State st) { return st.posthocCount() > 0; }}}},
      {"spread-versus-level plots",
       [](State st) { return st.plotSpreadLevel; },
       [](Context& ctx, ProcedureState& st, Work work) { printSpreadLevelPlots(ctx, st, work); },
       {{"PLOT=SPREADLEVEL", [](State st) { return st.plotSpreadLevel; }}}},
      {"profile plots",
       [](State st) { return st.profilePlotCount() > 0; },
       [](Context& ctx, ProcedureState& st, Work work) { printProfilePlots(ctx, st, work); },
       {{"PLOT=PROFILE", [](State st) { return st.profilePlotCount() > 0; }}}},
      {"residual plots",
       [](State st) { return st.plotResiduals; },
       [](Context& ctx, ProcedureState& st, Work work) { printResidualPlots(ctx, st, work); },
       {{"PLOT=RESIDUALS", [](State st) { return st.plotResiduals; }}}},
  };
  return kAnalyses;
}

}  // namespace

std::span<const Analysis> analyses() { return table(); }

void noteRequestsNotComputed(Context& ctx, const ProcedureState& st, std::span<const Analysis> table) {
  for (const Analysis& a : table) {
    if (a.run != nullptr) continue;
    for (const AnalysisRequest& r : a.requests)
      if (r.present(st))
        ctx.note("Request not computed yet ^1 ...", out::Severity::Note, {r.name}, out::Phase::None);
  }
}

}  // namespace qv
