// The EMMEANS step: per request the covariate values, the cells' L rows, the Estimates table
// and, on request, the coefficients table; the comparisons are in emmeans_compare.cpp.
#include "emmeans/emmeans.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "data/design.h"
#include "data/factor_tables.h"
#include "host/output/messages.h"
#include "host/output/number_format.h"
#include "hypotheses/parameter_estimates.h"
#include "report/shared_labels.h"

namespace qv {

namespace {

// Tolerance of the estimability tests of marginal means.
constexpr double kEstimabilityTolerance = 1.0e-8;

// A table is laid out cell by cell, with a row of coefficients for each: more cells than this
// are refused with the too-many-cells note instead of exhausting memory.
constexpr double kMaxTableCells = 1.0e7;

// Covariate values are shown with the decimals of the variable's print format; means with two
// more.
constexpr int kMeanExtraDecimals = 2;

// The name of a request's tables: "Grand Mean" or "a * b", numbered "2. a * b" when there are
// several requests.
std::string tableName(const ProcedureState& st, const Dictionary& dict, int i) {
  const EmmeansRequest& r = st.emmeansList[i];
  std::string name;
  if (r.factors.empty()) {
    name = "Grand Mean";
  } else {
    for (int f : r.factors) name += (name.empty() ? "" : " * ") + dict.vars[st.factorVars[f]].name;
  }
  return st.emmeansCount() > 1 ? std::to_string(i + 1) + ". " + name : name;
}

struct Evaluation {
  std::vector<double> values;  // per covariate, the value the means are evaluated at
  std::string footnote;        // empty when the design uses no covariate
  std::vector<std::pair<std::string, double>> shown;
};

// The covariate values of a request and the footnote that lists them.
Evaluation evaluationValues(const ProcedureState& st, const Dictionary& dict, const EmmeansRequest& r,
                            const std::vector<double>& means) {
  Evaluation ev;
  ev.values = means;
  RepeatList list;
  std::vector<std::pair<std::string, double>> shown;
  for (int c = 0; c < st.ncovar(); ++c) {
    const bool given = c < static_cast<int>(r.covariateValues.size()) && r.covariateValues[c].has_value();
    if (given) ev.values[c] = *r.covariateValues[c];
    const bool used = c < static_cast<int>(st.covariateUsed.size()) ? st.covariateUsed[c] : true;
    if (!used) continue;
    const Variable& v = dict.vars[st.covVars[c]];
    const int decimals = v.format.decimals + (given ? 0 : kMeanExtraDecimals);
    list.push_back({v.name, isSysmis(ev.values[c]) ? "." : out::formatFixed(ev.values[c], decimals)});
    shown.emplace_back(v.name, ev.values[c]);
  }
  const bool designUsesCovariates = st.designContent == 1 || st.designContent == 3 || st.designContent == 0;
  if (list.empty() || !designUsesCovariates) return ev;
  ev.footnote = expandComposite(catalogueText("Evaluated at [%1 = %2:, ^1 = ^2:]1"), {}, list);
  // The values in full for programs: keyed by the covariate when several are listed.
  for (const auto& [name, x] : shown)
    ev.shown.emplace_back(shown.size() == 1 ? std::string("Covariate value used by EMMEANS")
                                            : "Covariate value used by EMMEANS: " + name,
                          x);
  return ev;
}

// Footnote key of a cell status in the Estimates table; empty for an ordinary cell.
const char* statusNote(CellStatus s) {
  switch (s) {
    case CellStatus::Modified:
      return "Means modified ...";
    case CellStatus::NotEstimable:
      return "Means nonestimable ...";
    case CellStatus::Absent:
      return "BS level unobserved ...";
    case CellStatus::Ordinary:
      break;
  }
  return "";
}

// Makes the categories of a table cell current: one per table factor.
void setCellCategories(out::TableBuilder& tb, const ProcedureState& st, const Dictionary& dict,
                       const std::vector<int>& dims, const TableCells& cells, long c) {
  const int* lev = cells.levelsOf(c);
  for (size_t k = 0; k < cells.factors.size(); ++k) {
    const int f = cells.factors[k];
    tb.category(dims[k], levelKey(st, f, lev[k]), levelLabel(st, dict, f, lev[k]));
  }
}

void printEstimates(Context& ctx, const ProcedureState& st, const MarginalTable& t, const std::string& title,
                    const Evaluation& ev, double dfe) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  out::TableBuilder tb(9, title, "Estimated Marginal Means");
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() == 1 ? out::Axis::Layer : out::Axis::Row);
  std::vector<int> facDims;
  for (int f : t.cells.factors)
    facDims.push_back(tb.dimension(dict.vars[st.factorVars[f]].name, out::Axis::Row));
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  const int evNote = ev.footnote.empty() ? -1 : tb.footnote(ev.footnote, ev.shown);
  const double tcrit = 1.0 - st.alplev / 2.0 > 0.0 ? criticalT(st.alplev, dfe) : kSysmis;
  const std::string ciLabel = confidenceIntervalLabel(st.alplev, false);

  // The quadratic forms do not depend on the dependent variable.
  std::vector<double> q(static_cast<size_t>(t.cells.count), kSysmis);
  for (long c = 0; c < t.cells.count; ++c)
    if (isEstimable(t.status[c]) && dfe > 0.0)
      q[c] = std::max(quadraticForm(g, t.rows[c], t.rows[c]), 0.0) / dfe;

  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double sse = std::max(g.errorSSCP(d, d), 0.0);
    for (long c = 0; c < t.cells.count; ++c) {
      setCellCategories(tb, st, dict, facDims, t.cells, c);
      const bool est = isEstimable(t.status[c]);
      const double mean = est ? dotEstimates(g, t.rows[c], d) : kSysmis;
      const double se = est && !isSysmis(q[c]) ? std::sqrt(sse * q[c]) : kSysmis;
      const bool bounds = !isSysmis(mean) && !isSysmis(se) && !isSysmis(tcrit);
      const int mc = tb.cell(statDim, "Mean", out::Value::num(mean, out::Fmt::Coefficient));
      if (evNote >= 0) tb.annotateCell(mc, evNote);
      if (const char* note = statusNote(t.status[c]); *note) tb.annotateCell(mc, tb.footnote(note));
      tb.cell(statDim, "Std. Error", out::Value::num(se, out::Fmt::GeneralStat));
      tb.beginGroup(statDim, ciLabel, ciLabel);
      tb.cell(statDim, "Lower Bound",
              out::Value::num(bounds ? mean - tcrit * se : kSysmis, out::Fmt::Coefficient));
      tb.cell(statDim, "Upper Bound",
              out::Value::num(bounds ? mean + tcrit * se : kSysmis, out::Fmt::Coefficient));
      tb.endGroup(statDim);
    }
  }
  ctx.emitTable(tb);
}

// The coefficients of the cells' rows: one column per present cell, one row per parameter.
void printCoefficients(Context& ctx, const ProcedureState& st, const MarginalTable& t) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  std::vector<std::string> localLabels;
  if (g.paramLabels.empty()) buildParamLabels(st, dict, localLabels);
  const std::vector<std::string>& labels = g.paramLabels.empty() ? localLabels : g.paramLabels;

  out::TableBuilder tb(11, "Contrast Coefficients ...", "Contrast Coefficients");
  const int parDim = tb.dimension("Parameter", out::Axis::Row);
  std::vector<int> facDims;
  for (int f : t.cells.factors)
    facDims.push_back(tb.dimension(dict.vars[st.factorVars[f]].name, out::Axis::Column));
  const int contrastDim = t.cells.factors.empty() ? tb.dimension("Contrast", out::Axis::Column) : -1;
  bool omitted = false;
  std::vector<double> dense(static_cast<size_t>(g.dmncol));
  for (long c = 0; c < t.cells.count; ++c) {
    if (t.status[c] == CellStatus::Absent) {
      omitted = true;
      continue;
    }
    if (contrastDim >= 0) tb.category(contrastDim, "Grand Mean");
    setCellCategories(tb, st, dict, facDims, t.cells, c);
    std::fill(dense.begin(), dense.end(), 0.0);
    for (size_t i = 0; i < t.rows[c].col.size(); ++i) dense[t.rows[c].col[i]] = t.rows[c].val[i];
    for (int j = 0; j < g.dmncol; ++j) {
      tb.category(parDim, j < static_cast<int>(labels.size()) ? labels[j] : std::to_string(j + 1));
      tb.cellHere(out::Value::num(dense[j], out::Fmt::Coefficient));
    }
  }
  if (omitted) tb.annotateTable(tb.footnote("Unobserved BS factor level not shown ..."));
  ctx.emitTable(tb);
}

bool separateSplitOutput(const Context& ctx) {
  return ctx.data && !ctx.data->splitIndexes().empty() && ctx.data->splitSeparate();
}

void runRequest(Context& ctx, const ProcedureState& st, int i, const std::vector<double>& means, double dfe) {
  const Dictionary& dict = ctx.data->dictionary();
  const EmmeansRequest& r = st.emmeansList[i];
  MessagePlace place(ctx, ProcedureState::RequestPlaces::at(st.places.emmeans, i));
  MarginalTable t;
  t.request = &r;
  const Evaluation ev = evaluationValues(st, dict, r, means);
  double cellCount = 1.0;
  for (int f : r.factors) cellCount *= st.group.nlevls[f];
  bool built = cellCount <= kMaxTableCells;
  if (built) {
    t.cells = tableCells(st.group, r.factors);
    built = buildMarginalRows(st, t.cells, ev.values, kEstimabilityTolerance, t.rows, t.status);
  }
  if (!built) {
    ctx.splitGroupNote("Too many cells in emmean ^1",
                       "Too many cells in emmean ^1 split [%1 = %2:, ^1 = ^2]2", out::Severity::Note,
                       {std::to_string(i + 1)});
    return;
  }
  const std::string name = tableName(st, dict, i);
  const bool heading = r.compare.has_value() || st.printLMatrix;
  if (heading) ctx.beginHeading(name);
  if (st.printLMatrix) {
    if (separateSplitOutput(ctx)) ctx.beginHeading(catalogueText("Contrast Coefficients ..."));
    printCoefficients(ctx, st, t);
    if (separateSplitOutput(ctx)) ctx.endHeading();
  }
  printEstimates(ctx, st, t, heading ? "Estimates" : name, ev, dfe);
  if (r.compare) printComparisons(ctx, st, t, dfe);
  if (heading) ctx.endHeading();
}

}  // namespace

void printEstimatedMarginalMeans(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  if (st.emmeansList.empty()) return;
  const GroupState& g = st.group;
  QV_ASSERT(static_cast<int>(g.errorSSCP.n) == st.ndepvr(), "emmeans: ptrscp .gt. 0");
  const double dfe = g.sumWeights - g.modldf;
  const std::vector<double> means = st.ncovar() > 0 ? covariateMeans(st, work) : std::vector<double>{};
  ctx.beginHeading("Estimated Marginal Means");
  for (int i = 0; i < static_cast<int>(st.emmeansList.size()); ++i) runRequest(ctx, st, i, means, dfe);
  ctx.endHeading();
}

}  // namespace qv
