#include "tests/lack_of_fit.h"

#include <map>
#include <tuple>
#include <vector>

#include "tests/univariate.h"

namespace qv {

namespace {

// Running weighted means and SSCP about them, updated one case at a time (provisional means).
struct GroupAccumulator {
  double caseWeight = 0.0;  // sum of case weights
  double fitWeight = 0.0;   // sum of case x regression weights
  std::vector<double> mean;
  num::Packed sscp;
  auto fields() { return std::tie(caseWeight, fitWeight, mean, sscp); }
  auto fields() const { return std::tie(caseWeight, fitWeight, mean, sscp); }

  // Merges the same group's sums over another range of cases (the pairwise update of Chan,
  // Golub and LeVeque).
  void merge(const GroupAccumulator& o) {
    if (mean.empty()) {
      *this = o;
      return;
    }
    const double w = fitWeight + o.fitWeight;
    const size_t nd = mean.size();
    std::vector<double> delta(nd);
    for (size_t d = 0; d < nd; ++d) delta[d] = o.mean[d] - mean[d];
    const double f = fitWeight * o.fitWeight / w;
    for (size_t i = 0; i < nd; ++i)
      for (size_t j = 0; j <= i; ++j) sscp(i, j) += o.sscp(i, j) + f * delta[i] * delta[j];
    for (size_t d = 0; d < nd; ++d) mean[d] += delta[d] * o.fitWeight / w;
    caseWeight += o.caseWeight;
    fitWeight = w;
  }
};

}  // namespace

PureError GMTPES(const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const int nf = st.nfactr(), nc = st.ncovar(), nd = st.ndepvr();
  std::vector<char> factorUsed(static_cast<size_t>(nf), 0), covUsed(static_cast<size_t>(nc), 0);
  for (const EffectRow& row : st.ptefds) {
    const Effect effect(row, nf);
    for (int f : effect.factors()) factorUsed[f] = 1;
    for (int c = 0; c < nc; ++c)
      if (effect.power(c) > 0) covUsed[c] = 1;
  }
  // The pass: per block, its groups of cases with equal values of the model's factors and
  // covariates, with their sums; merged group by group in block order.
  using Groups = std::map<std::vector<double>, GroupAccumulator>;
  Groups groups;
  work.reduce(
      [&](const CaseBlock& cases) {
        const CaseRange r = cases.range;
        Groups part;
        std::vector<double> key(static_cast<size_t>(nf + nc));
        std::vector<double> delta(static_cast<size_t>(nd));
        for (long k = r.begin; k < r.end; ++k) {
          const double w = cases.weight(k), v = cases.regWeight(k);
          if (!(w > 0) || !(v > 0)) continue;
          const int* lev = nf > 0 ? g.cellLevels(cases.designCell(k)) : nullptr;
          for (int f = 0; f < nf; ++f) key[f] = factorUsed[f] ? lev[f] : 0.0;
          const double* cov = cases.covOf(k);
          // +0.0 makes -0 and 0 one key.
          for (int c = 0; c < nc; ++c) key[nf + c] = covUsed[c] ? cov[c] + 0.0 : 0.0;
          GroupAccumulator& a = part[key];
          if (a.mean.empty()) {
            a.mean.assign(static_cast<size_t>(nd), 0.0);
            a.sscp = num::Packed(static_cast<size_t>(nd));
          }
          const double* y = cases.depOf(k);
          const double wv = w * v;
          a.caseWeight += w;
          a.fitWeight += wv;
          for (int d = 0; d < nd; ++d) {
            delta[d] = y[d] - a.mean[d];
            a.mean[d] += delta[d] * wv / a.fitWeight;
          }
          for (int i = 0; i < nd; ++i)
            for (int j = 0; j <= i; ++j) a.sscp(i, j) += wv * delta[i] * (y[j] - a.mean[j]);
        }
        return part;
      },
      [&](Groups part) {
        for (auto& [key, a] : part) groups[key].merge(a);
      });
  PureError pe;
  pe.sscp = num::Packed(static_cast<size_t>(nd));
  pe.groups = static_cast<long>(groups.size());
  for (const auto& [k, a] : groups) {
    pe.df += a.caseWeight - 1.0;
    for (size_t i = 0; i < pe.sscp.a.size(); ++i) pe.sscp.a[i] += a.sscp.a[i];
  }
  return pe;
}

void printLackOfFit(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const num::Packed& r = g.errorSSCP;
  PureError pe;
  if (st.nfactr() + st.ncovar() < 1) {
    pe.groups = 1;
    pe.df = g.sumWeights - g.modldf;
    pe.sscp = r;
  } else {
    pe = GMTPES(st, work);
  }
  const double lofDf = static_cast<double>(pe.groups - g.modldf);
  // A model with a parameter for every distinct combination has no lack of fit to test.
  const double lofDfShown = std::max(lofDf, 0.0);
  const double peDf = std::max(pe.df, 0.0);

  const bool multi = st.ndepvr() > 1;
  if (multi) ctx.beginHeading("Lack of Fit");
  out::TableBuilder tb(14, multi ? "Univariate Tests" : "Lack of Fit Tests", "Univariate Test Results");
  const int srcDim = tb.dimension("Source", out::Axis::Row);
  const int depDim = tb.dimension("Dependent Variable", multi ? out::Axis::Row : out::Axis::Layer);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  bool powerShown = false;
  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    const size_t dd = static_cast<size_t>(d);
    const double pureSS = pe.sscp(dd, dd);
    // Lack of fit = residual - pure error; rounding must not make it negative.
    const double lofSS = lofDf >= 1 ? std::max(r(dd, dd) - pureSS, 0.0) : 0.0;
    const UnivariateTest u = GMTUNV(st.alplev, lofDfShown, peDf, lofSS, pureSS);
    tb.category(srcDim, "Lack of Fit");
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    tb.cell(statDim, "Sum of Squares", out::Value::num(lofSS, out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(lofDfShown, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(u.msh, out::Fmt::Coefficient));
    tb.cell(statDim, "F", out::Value::num(u.f, out::Fmt::GeneralStat));
    tb.cell(statDim, "Significance", out::Value::num(u.sig, out::Fmt::Significance));
    if (effectSizeCells(tb, statDim, st, u)) powerShown = true;
    tb.category(srcDim, "Pure Error");
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    tb.cell(statDim, "Sum of Squares", out::Value::num(pureSS, out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(peDf, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(u.mse, out::Fmt::Coefficient));
  }
  if (powerShown) {
    tb.category(statDim, "Observed Power");
    tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
  }
  ctx.emitTable(tb);
  if (multi) ctx.endHeading();
}

}  // namespace qv
