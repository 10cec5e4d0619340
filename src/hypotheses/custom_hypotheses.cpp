// The hypothesis core of custom hypotheses, their result tables, the index and the driver.
#include "hypotheses/custom_hypotheses.h"

#include <fmt/format.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "data/design.h"
#include "host/numeric/distributions.h"
#include "host/output/messages.h"
#include "hypotheses/custom_test.h"
#include "hypotheses/parameter_estimates.h"
#include "report/shared_labels.h"
#include "report/univariate_test.h"

namespace qv {

HypothesisCore GMAHSP(const GroupState& g, const num::Mat& l, const num::Mat* k, double eps, int ndepvr) {
  const size_t rows = l.rows, p = static_cast<size_t>(g.dmncol), nd = static_cast<size_t>(ndepvr);
  QV_ASSERT(p >= 1 && rows >= 1 && nd >= 1 && eps > 0.0 && l.cols == p, "GMAHSP");
  HypothesisCore h;
  h.lb = num::Mat(rows, nd);
  for (size_t i = 0; i < rows; ++i)
    for (size_t c = 0; c < nd; ++c) {
      long double s = 0.0L;
      for (size_t j = 0; j < p; ++j) s += static_cast<long double>(l(i, j)) * g.paramEst(j, c);
      h.lb(i, c) = static_cast<double>(s);
    }
  // L C: rows x dmncol, then L C L'.
  num::Mat lc(rows, p);
  for (size_t i = 0; i < rows; ++i)
    for (size_t j = 0; j < p; ++j) {
      long double s = 0.0L;
      for (size_t t = 0; t < p; ++t)
        if (l(i, t) != 0.0) s += static_cast<long double>(l(i, t)) * g.ginverse(t, j);
      lc(i, j) = static_cast<double>(s);
    }
  h.q = num::Packed(rows);
  for (size_t i = 0; i < rows; ++i)
    for (size_t j = 0; j <= i; ++j) {
      long double s = 0.0L;
      for (size_t t = 0; t < p; ++t) s += static_cast<long double>(lc(i, t)) * l(j, t);
      h.q(i, j) = static_cast<double>(s);
    }

  // Independent rows: sweep a copy of Q on each pivot in order against its diagonal.
  num::Packed swept = h.q;
  std::vector<double> scale(rows);
  for (size_t i = 0; i < rows; ++i) scale[i] = h.q(i, i);
  h.independent.assign(rows, 0);
  for (size_t i = 0; i < rows; ++i) num::LTRSWE(swept, i, scale, h.independent, eps);
  h.dfh = static_cast<int>(std::count(h.independent.begin(), h.independent.end(), 1));
  h.sscp = num::Packed(nd);
  if (h.dfh == 0) return h;

  // Differences from the hypothesised values, and the generalised inverse of Q: the negated
  // swept block on the independent rows, 0 elsewhere.
  num::Mat diff = h.lb;
  if (k) {
    QV_ASSERT(k->rows == rows && k->cols == nd, "GMAHSP");
    for (size_t i = 0; i < rows; ++i)
      for (size_t c = 0; c < nd; ++c) diff(i, c) -= (*k)(i, c);
  }
  for (size_t a = 0; a < nd; ++a)
    for (size_t b = 0; b <= a; ++b) {
      long double s = 0.0L;
      for (size_t i = 0; i < rows; ++i) {
        if (!h.independent[i]) continue;
        for (size_t j = 0; j < rows; ++j)
          if (h.independent[j]) s -= static_cast<long double>(diff(i, a)) * swept(i, j) * diff(j, b);
      }
      h.sscp(a, b) = static_cast<double>(s);
    }
  // Negligible entries of the result are rounding: clean them, with a factor that grows with
  // the size of the computation (kept below 1 / DBL_EPSILON).
  const double factor = std::pow(static_cast<double>(p * rows * nd), 2.0);
  num::CLNSCP(h.sscp, std::min(factor, 0.5 / DBL_EPSILON));
  return h;
}

num::Mat GMASEC(const num::Packed& q, const num::Packed& errorSSCP, double dfe) {
  const size_t rows = q.n, nd = errorSSCP.n;
  QV_ASSERT(rows >= 1 && nd >= 1, "GMASEC");
  num::Mat se(rows, nd);
  for (size_t c = 0; c < nd; ++c) {
    const double mse = dfe > 0 ? errorSSCP(c, c) / dfe : kSysmis;
    for (size_t j = 0; j < rows; ++j) {
      if (isSysmis(mse) || !std::isfinite(mse)) {
        se(j, c) = kSysmis;
      } else {
        const double v = q(j, j) * mse;
        se(j, c) = mse > 0 && v > 0 ? std::sqrt(v) : 0.0;
      }
    }
  }
  return se;
}

void printContrastResults(Context& ctx, const ProcedureState& st, const ContrastResultsTable& t, double dfe) {
  const Dictionary& dict = ctx.data->dictionary();
  out::TableBuilder tb(13, "Contrast Results (K Matrix)", "Contrast Results");
  const int conDim = tb.dimension(t.dimensionName, out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Row);
  const int depDim = tb.dimension("Dependent Variable", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  for (const std::string& f : t.footnotes) tb.annotateTable(tb.footnote(f));
  const double tcrit = st.alplev > 0 ? criticalT(st.alplev, dfe) : kSysmis;
  const bool tcritUsable = !isSysmis(tcrit) && std::isfinite(tcrit);
  const std::string ciLabel = confidenceIntervalLabel(st.alplev, true);
  auto coef = [](double x) { return out::Value::num(std::isfinite(x) ? x : kSysmis, out::Fmt::Coefficient); };
  for (size_t j = 0; j < t.rowLabels.size(); ++j) {
    tb.category(conDim, t.rowLabels[j]);
    for (int d = 0; d < st.ndepvr(); ++d) {
      const int var = st.depVars[d];
      tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
      const double kv = t.k ? (*t.k)(j, static_cast<size_t>(d)) : 0.0;
      double est = kSysmis, diff = kSysmis, se = kSysmis, sig = kSysmis, lo = kSysmis, hi = kSysmis;
      if (t.lb) {
        est = (*t.lb)(j, static_cast<size_t>(d));
        diff = est - kv;
        se = (*t.se)(j, static_cast<size_t>(d));
        if (dfe > 0 && !isSysmis(se) && std::isfinite(diff)) {
          if (se > 0) {
            sig = num::DSIGT(diff / se, dfe);
            if (tcritUsable) {
              lo = diff - tcrit * se;
              hi = diff + tcrit * se;
            }
          } else {
            lo = hi = diff;
          }
        }
      }
      tb.cell(statDim, "Contrast Estimate", coef(est));
      tb.cell(statDim, "Hypothesized Value",
              out::Value::num(kv, t.k ? out::Fmt::Coefficient : out::Fmt::Count));
      tb.cell(statDim, "Difference (Estimate - Hypothesized)", coef(diff));
      tb.cell(statDim, "Std. Error", out::Value::num(se, out::Fmt::GeneralStat));
      tb.cell(statDim, "Significance", out::Value::num(sig, out::Fmt::Significance));
      tb.beginGroup(statDim, ciLabel, ciLabel);
      tb.cell(statDim, "Lower Bound", coef(lo));
      tb.cell(statDim, "Upper Bound", coef(hi));
      tb.endGroup(statDim);
    }
  }
  ctx.emitTableTitledBySplitGroup(tb);
}

void printHypothesisTestResults(Context& ctx, const ProcedureState& st, int dfh, double dfe,
                                const num::Packed* sscp) {
  const Dictionary& dict = ctx.data->dictionary();
  const GroupState& g = st.group;
  out::TableBuilder tb(14, st.ndepvr() == 1 ? "Test Results" : "Univariate Test Results",
                       "Custom Univariate Tests");
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() == 1 ? out::Axis::Layer : out::Axis::Row);
  const int srcDim = tb.dimension("Source", out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const double dfeShown = std::max(dfe, 0.0);
  bool powerShown = false;
  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double ssh = dfh > 0 && sscp ? (*sscp)(static_cast<size_t>(d), static_cast<size_t>(d)) : 0.0;
    const double sse = dfe > 0 ? g.errorSSCP(static_cast<size_t>(d), static_cast<size_t>(d)) : 0.0;
    const UnivariateTest u = GMTUNV(st.alplev, dfh, dfeShown, ssh, sse);
    tb.category(srcDim, "Contrast");
    tb.cell(statDim, "Sum of Squares", out::Value::num(ssh, out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(dfh, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(u.msh, out::Fmt::Coefficient));
    tb.cell(statDim, "F", out::Value::num(u.f, out::Fmt::GeneralStat));
    tb.cell(statDim, "Significance", out::Value::num(u.sig, out::Fmt::Significance));
    if (effectSizeCells(tb, statDim, st, u)) powerShown = true;
    tb.category(srcDim, "Error");
    tb.cell(statDim, "Sum of Squares", out::Value::num(sse, out::Fmt::Coefficient));
    tb.cell(statDim, "df", out::Value::num(dfeShown, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(u.mse, out::Fmt::Coefficient));
  }
  if (powerShown) {
    tb.category(statDim, "Observed Power");
    tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
  }
  ctx.emitTable(tb);
}

std::string contrastErrorKey(int code) {
  static const char* const kKeys[] = {"Cannot form L matrix ...",
                                      "Reference category out of range ...",
                                      "Wrong number of values for SPECIAL ...",
                                      "Wrong number of values for POLYNOMIAL ...",
                                      "Wrong number of values for LMATRIX ALL ...",
                                      "Wrong number of values for LMATRIX effect ...",
                                      "Cannot form L matrix for one level factor ...",
                                      "This L matrix not estimable ..."};
  if (code < 1 || code > 8) return {};
  return kKeys[code - 1];
}

void printContrastErrorTable(Context& ctx, int code) {
  const std::string key = contrastErrorKey(code);
  if (key.empty()) return;
  out::TableBuilder tb(8, catalogueText("Contrast Coefficients ..."), "Contrast Coefficients");
  tb.annotateTable(tb.footnote(catalogueText(key)));
  ctx.emitTableTitledBySplitGroup(tb);
}

CustomTestHeading::CustomTestHeading(Context& ctx, bool several, int number)
    : ctx_(ctx), depth_(ctx.headingStack.size()) {
  ctx.beginHeading(several ? fmt::format("Custom Hypothesis Tests #{}", number) : "Custom Hypothesis Tests");
}

CustomTestHeading::~CustomTestHeading() {
  while (ctx_.headingStack.size() > depth_) ctx_.endHeading();
}

SeparateSplitHeading::SeparateSplitHeading(Context& ctx, const std::string& text) : ctx_(ctx) {
  open_ = ctx.separateSplitOutput();
  if (open_) ctx.beginHeading(text);
}

SeparateSplitHeading::~SeparateSplitHeading() {
  if (open_) ctx_.endHeading();
}

void printCustomHypothesisIndex(Context& ctx, const ProcedureState& st) {
  const Dictionary& dict = ctx.data->dictionary();
  out::TableBuilder tb(8, "Custom Hypothesis Tests Index", "Custom Hypothesis Tests Index");
  const int rowDim = tb.dimension("Custom Hypothesis Test", out::Axis::Row);
  const int detDim = tb.dimension("Details", out::Axis::Column);
  const std::string coefficients = catalogueText("Contrast Coefficients ...");
  int number = 0;
  auto next = [&]() { tb.category(rowDim, std::to_string(++number)); };
  for (int i = 0; i < st.testCount(); ++i) {
    next();
    const TestIndexItems items = testIndexItems(st, dict, i);
    tb.cell(detDim, "Hypothesis Term", out::Value::str(items.hypothesisTerm));
    tb.cell(detDim, "Error Term", out::Value::str(items.errorTerm));
    if (items.errorDf)
      tb.cell(detDim, "Error df",
              out::Value::num(*items.errorDf, *items.errorDf == std::nearbyint(*items.errorDf)
                                                  ? out::Fmt::Count
                                                  : out::Fmt::Coefficient));
    else
      tb.category(detDim, "Error df");
    if (st.printLMatrix)
      tb.cell(detDim, coefficients,
              out::Value::str(expandComposite(catalogueText("Estimable Function for [:^1:]1"), {},
                                              {{items.hypothesisTerm}})));
  }
  for (int i = 0; i < st.contrastCount(); ++i) {
    next();
    tb.cell(detDim, coefficients, out::Value::str(contrastDescription(st, dict, i)));
    tb.cell(detDim, "Transformation Coefficients (M Matrix)", out::Value::str("Identity Matrix"));
    tb.cell(detDim, "Contrast Results (K Matrix)", out::Value::str("Zero Matrix"));
  }
  const int lcount =
      st.lmatrixCount() > 0 ? st.lmatrixCount() : (!st.ptkmat.empty() && st.interceptIncluded ? 1 : 0);
  for (int l = 1; l <= lcount; ++l) {
    next();
    tb.cell(detDim, coefficients, out::Value::str(lmatrixLabel(st, st.lmatrixCount() > 0 ? l : 0)));
    tb.cell(detDim, "Transformation Coefficients (M Matrix)", out::Value::str("Identity Matrix"));
    tb.cell(detDim, "Contrast Results (K Matrix)",
            out::Value::str(st.ptkmat.empty() ? "Zero Matrix" : "KMATRIX Subcommand"));
  }
  ctx.emitTable(tb);
}

void printCustomHypotheses(Context& ctx, const ProcedureState& st) {
  const bool kGiven = !st.ptkmat.empty();
  if (st.testCount() == 0 && st.contrastCount() == 0 && st.lmatrixCount() == 0 && !kGiven) return;
  const int total = st.contrastCount() + st.testCount() + st.lmatrixCount();
  const bool several = total > 1 || (total == 1 && kGiven);
  if (several) printCustomHypothesisIndex(ctx, st);
  if (st.testCount() > 0) runTestHypotheses(ctx, st, several);
  if (st.contrastCount() > 0) runContrasts(ctx, st, several);
  if (st.lmatrixCount() > 0 || (kGiven && st.interceptIncluded)) runLMatrixTests(ctx, st, several);
}

}  // namespace qv
