// The Parameter Estimates table: estimate, standard error, t test and confidence interval of
// every design column, with effect size, noncentrality and observed power on request.
#include <cmath>

#include "data/design.h"
#include "host/numeric/distributions.h"
#include "host/output/messages.h"
#include "hypotheses/parameter_estimates.h"
#include "report/shared_labels.h"

namespace qv {

double criticalT(double alplev, double dfe) {
  if (!(dfe > 0.0)) return kSysmis;
  return num::IDFT(1.0 - alplev / 2.0, dfe);
}

double parameterPower(double tcrit, double dfe, double absT) {
  if (isSysmis(tcrit) || isSysmis(absT)) return kSysmis;
  const double p1 = num::NCDT(tcrit, dfe, absT);
  const double p2 = num::NCDT(-tcrit, dfe, absT);
  if (isSysmis(p1) || isSysmis(p2)) return kSysmis;
  return 1.0 - p1 + p2;
}

void printParameterEstimates(Context& ctx, const ProcedureState& st) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const double dfe = g.sumWeights - g.modldf;  // not clipped: no error df means no intervals
  const double tcrit = criticalT(st.alplev, dfe);

  std::vector<std::string> localLabels;
  if (g.paramLabels.empty()) buildParamLabels(st, dict, localLabels);
  const std::vector<std::string>& labels = g.paramLabels.empty() ? localLabels : g.paramLabels;

  out::TableBuilder tb(4, "Parameter Estimates", "Parameter Estimates");
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() < 2 ? out::Axis::Layer : out::Axis::Row);
  const int parDim = tb.dimension("Parameter", out::Axis::Row);
  const std::string ciLabel = confidenceIntervalLabel(st.alplev, false);
  const std::string redundantNote = catalogueText("Redundant parameter ...");
  bool powerShown = false;

  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double mse = errorMeanSquare(g, d, dfe);
    // Printed separately per split group, the parameters would sit in a group numbered by the
    // split group, but that group is ungrouped as soon as it is begun, so it leaves no mark on
    // the table: the group caption above the table names the split group instead.
    for (int j = 0; j < g.dmncol; ++j) {
      tb.category(parDim, labels[j]);
      const bool redundant = !g.nonRedundant[j];
      ParameterRow row = parameterStatistics(g.paramEst(j, d), g.ginverseAt(static_cast<size_t>(j)), mse, dfe,
                                             tcrit, redundant, st.printEtaSquared);
      if (!redundant && !isSysmis(row.t)) {
        row.sig = num::DSIGT(row.t, dfe);
        if (st.printObservedPower) {
          row.power = parameterPower(tcrit, dfe, row.noncentrality);
          if (!isSysmis(row.power)) powerShown = true;
        }
      }
      if (redundant) {
        tb.annotateCell(tb.cell(statDim, "B", out::Value::num(0.0, out::Fmt::Integer)),
                        tb.footnote(redundantNote));
      } else {
        tb.cell(statDim, "B", out::Value::num(row.b, out::Fmt::Coefficient));
      }
      tb.cell(statDim, "Std. Error", out::Value::num(row.stdError, out::Fmt::Coefficient));
      tb.cell(statDim, "t", out::Value::num(row.t, out::Fmt::GeneralStat));
      tb.cell(statDim, "Significance", out::Value::num(row.sig, out::Fmt::Significance));
      tb.beginGroup(statDim, ciLabel, ciLabel);
      tb.cell(statDim, "Lower Bound", out::Value::num(row.lower, out::Fmt::Coefficient));
      tb.cell(statDim, "Upper Bound", out::Value::num(row.upper, out::Fmt::Coefficient));
      tb.endGroup(statDim);
      if (st.printEtaSquared)
        tb.cell(statDim, "Eta Squared", out::Value::num(row.etaSquared, out::Fmt::Correlation));
      if (st.printObservedPower) {
        tb.cell(statDim, "Noncentrality Parameter",
                out::Value::num(row.noncentrality, out::Fmt::GeneralStat));
        tb.cell(statDim, "Observed Power", out::Value::num(row.power, out::Fmt::Significance));
      }
    }
  }
  if (powerShown) {
    tb.category(statDim, "Observed Power");
    tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
  }
  ctx.emitTable(tb);
}

}  // namespace qv
