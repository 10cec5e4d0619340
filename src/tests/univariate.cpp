#include "tests/univariate.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "data/design.h"
#include "host/output/number_format.h"
#include "tests/mixed_tests.h"

namespace qv {

void GMTRSQ(const ProcedureState& st, double n, double dfe, int d, double& rsq, double& adjRsq) {
  QV_ASSERT(d >= 0 && d < st.ndepvr(), "GMTRSQ");
  const GroupState& g = st.group;
  const double sst = g.totalSS[d];
  const double sse = g.errorSSCP(d, d);
  rsq = adjRsq = kSysmis;
  if (!(sst > 0) || !std::isfinite(sst) || !std::isfinite(sse)) return;
  rsq = sst >= sse ? 1.0 - sse / sst : 0.0;
  const double dft = st.interceptIncluded ? n - 1 : n;
  if (dft <= 0 || dfe <= 0) return;
  adjRsq = rsq > 0 ? 1.0 - (sse / dfe) / (sst / dft) : 1.0 - dft / dfe;
}

namespace {

// A covariate whose squares overflow (values of the order of 1e154 and beyond) leaves infinite
// cross-products in its columns, which the sweep can only set aside as redundant: each effect
// so lost is named, as the dependent variables are below.
void warnOverflowingCovariateEffects(Context& ctx, const ProcedureState& st, const Dictionary& dict) {
  const GroupState& g = st.group;
  for (int e = 0; e < st.effectCount() && static_cast<size_t>(e) < g.effectFirstCol.size(); ++e) {
    if (!Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()).hasCovariate()) continue;
    const size_t first = static_cast<size_t>(g.effectFirstCol[static_cast<size_t>(e)] - 1);
    const size_t last =
        std::min(first + static_cast<size_t>(g.effectNcols[static_cast<size_t>(e)]), g.crossProducts.n);
    for (size_t j = first; j < last; ++j)
      if (!std::isfinite(g.crossProducts(j, j))) {
        ctx.note("Covariate sums of squares out of range ^1 ...", out::Severity::Warning,
                 {effectName(st, dict, e)});
        break;
      }
  }
}

}  // namespace

void printBetweenSubjects(Context& ctx, const ProcedureState& st) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const double n = g.sumWeights;
  const double rank = g.modldf;
  const double dfe = std::max(n - rank, 0.0);
  double dfm = st.interceptIncluded ? n - 1 - dfe : n - dfe;
  dfm = std::max(dfm, 0.0);

  out::TableBuilder tb(6, "Tests of Between-Subjects Effects",
                       st.randomEffectCount() > 0 ? "Test of Between Subjects Mixed Effects"
                                                  : "Test of Between Subjects Fixed Effects");
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() == 1 ? out::Axis::Layer : out::Axis::Row);
  const int srcDim = tb.dimension("Source", out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const std::string ssTitle = ssTypeTitle(st.sstype);
  bool powerShown = false;

  auto testCells = [&](const UnivariateTest& t) {
    tb.cell(statDim, "Mean Square", out::Value::num(t.msh, out::Fmt::Coefficient));
    tb.cell(statDim, "F", out::Value::num(t.f, out::Fmt::GeneralStat));
    tb.cell(statDim, "Significance", out::Value::num(t.sig, out::Fmt::Significance));
    if (effectSizeCells(tb, statDim, st, t)) powerShown = true;
  };

  warnOverflowingCovariateEffects(ctx, st, dict);
  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double sse = g.errorSSCP(d, d);
    const double sst = g.totalSS[d];
    if (!std::isfinite(sst) || !std::isfinite(sse))
      ctx.note("Sums of squares out of range ^1 ...", out::Severity::Warning, {dict.vars[var].name});
    if (st.randomEffectCount() > 0) {
      // Each effect against its own error term instead of the residual.
      powerShown |= writeMixedEffectRows(tb, srcDim, statDim, st, dict);
      continue;
    }

    // Model
    tb.category(srcDim, st.interceptIncluded ? "Corrected Model" : "Model");
    const double ssm = dfm > 0 ? std::max(sst - sse, 0.0) : 0.0;
    int c = tb.cell(statDim, ssTitle, out::Value::num(ssm, out::Fmt::Coefficient));
    double rsq, adj;
    GMTRSQ(st, n, dfe, d, rsq, adj);
    std::vector<std::pair<std::string, double>> values;
    if (!isSysmis(rsq)) values.emplace_back("R Squared", rsq);
    if (!isSysmis(adj)) values.emplace_back("Adjusted R Squared", adj);
    tb.annotateCell(
        c, tb.footnote("R Squared = " + out::formatProportion(rsq, ctx.decimalChar) +
                           " (Adjusted R Squared = " + out::formatProportion(adj, ctx.decimalChar) + ")",
                       values));
    tb.cell(statDim, "df", out::Value::num(dfm, out::Fmt::Count));
    testCells(GMTUNV(st.alplev, dfm, dfe, ssm, sse));

    // Effects
    for (int e = 0; e < st.effectCount(); ++e) {
      const std::string name = effectName(st, dict, e);
      tb.category(srcDim, name);
      const double dfh = g.hypotheses[e].df;
      const double ssh = dfh > 0 ? g.hypotheses[e].sscp(d, d) : 0.0;
      int sc = tb.cell(statDim, ssTitle, out::Value::num(ssh, out::Fmt::Coefficient));
      if (st.sstype == 4 && g.hypotheses[e].unique != 1)
        tb.annotateCell(sc, tb.footnote("The Type IV testable ..."));
      tb.cell(statDim, "df", out::Value::num(dfh, out::Fmt::Count));
      testCells(GMTUNV(st.alplev, dfh, dfe, ssh, sse));
    }

    tb.category(srcDim, "Error");
    tb.cell(statDim, ssTitle, out::Value::num(sse, out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(dfe, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(dfe > 0 ? sse / dfe : kSysmis, out::Fmt::Coefficient));

    tb.category(srcDim, "Total");
    tb.cell(statDim, ssTitle, out::Value::num(g.totalSSCP(d, d), out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(n, out::Fmt::Count));

    if (st.interceptIncluded) {
      tb.category(srcDim, "Corrected Total");
      tb.cell(statDim, ssTitle, out::Value::num(sst, out::Fmt::Coefficient));
      tb.cell(statDim, "df", out::Value::num(n > 1 ? n - 1 : 0.0, out::Fmt::Count));
    }
  }
  if (powerShown) {
    tb.category(statDim, "Observed Power");
    tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
  }
  ctx.emitTable(tb);
}

}  // namespace qv
