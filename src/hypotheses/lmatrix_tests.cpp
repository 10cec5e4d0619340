// LMATRIX and KMATRIX hypotheses L b = K.
#include <fmt/format.h>

#include "data/design.h"
#include "estimate/estimation.h"
#include "host/output/messages.h"
#include "hypotheses/custom_hypotheses.h"
#include "hypotheses/estimable_functions.h"

namespace qv {

namespace {

// Estimability of the rows of an L matrix: a fixed tolerance, whatever CRITERIA EPS says.
constexpr double kEstimabilityTolerance = 1e-8;

// L (lmxrow x dmncol) from an LMATRIX record. Status 0 good, 1 wrong number of values on ALL,
// e + 2 wrong number of values for effect e (0-based).
int lmatrixFromRecord(const ProcedureState& st, const LMatrixRequest& req, num::Mat& l) {
  const GroupState& g = st.group;
  const size_t rows = static_cast<size_t>(req.lmxrow), p = static_cast<size_t>(g.dmncol);
  l = num::Mat(rows, p);
  if (req.all) {
    if (req.valuesPerRow != g.dmncol) return 1;
    for (size_t i = 0; i < rows; ++i)
      for (size_t j = 0; j < p; ++j) l(i, j) = req.allValues[i * p + j];
    return 0;
  }
  for (int e = 0; e < st.effectCount() && e < static_cast<int>(req.effectCounts.size()); ++e) {
    const int count = req.effectCounts[static_cast<size_t>(e)];
    if (count > 0 && count != g.effectNcols[e]) return e + 2;
  }
  for (int e = 0; e < st.effectCount() && e < static_cast<int>(req.effectCounts.size()); ++e) {
    const int count = req.effectCounts[static_cast<size_t>(e)];
    const std::vector<double>& v = req.effectValues[static_cast<size_t>(e)];
    for (int c = 0; c < count; ++c)
      for (size_t i = 0; i < rows; ++i)
        l(i, static_cast<size_t>(g.effectFirstCol[e] - 1 + c)) = v[static_cast<size_t>(c) * rows + i];
  }
  return 0;
}

std::string rowLabel(size_t j) { return fmt::format("L{}", j + 1); }

void printLTable(Context& ctx, const ProcedureState& st, int lnum, const num::Mat& l, bool estimable) {
  std::vector<std::string> local;
  const std::vector<std::string>& labels = parameterLabels(ctx, st, local);
  out::TableBuilder tb(11, catalogueText("Contrast Coefficients ..."), "Contrast Coefficients");
  const int conDim = tb.dimension("Contrast", out::Axis::Column);
  const int parDim = tb.dimension("Parameter", out::Axis::Row);
  if (lnum == 0) {
    tb.annotateTable(tb.footnote(sstypeFootnote(st.sstype)));
  } else {
    tb.annotateTable(tb.footnote(catalogueText("This is the L transpose...")));
    const std::string& label = st.lmatrixList[static_cast<size_t>(lnum - 1)].label;
    if (!label.empty()) tb.annotateTable(tb.footnote(label));
  }
  if (!estimable) tb.annotateTable(tb.footnote(catalogueText("This L matrix not estimable ...")));
  for (size_t i = 0; i < l.cols; ++i) {
    tb.category(parDim, labels[i]);
    for (size_t j = 0; j < l.rows; ++j) tb.cell(conDim, rowLabel(j), lValue(l(j, i)));
  }
  ctx.emitTableTitledBySplitGroup(tb);
}

}  // namespace

std::string lmatrixLabel(const ProcedureState& st, int l) {
  if (l == 0) return "Estimable Function for Intercept";
  const std::string& label = st.lmatrixList[static_cast<size_t>(l - 1)].label;
  if (label.empty()) return fmt::format("LMATRIX Subcommand {}", l);
  return fmt::format("LMATRIX Subcommand {}: {}", l, label);
}

void runLMatrixTests(Context& ctx, const ProcedureState& st, bool several) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const bool kGiven = !st.ptkmat.empty();
  QV_ASSERT(st.lmatrixCount() > 0 || (kGiven && st.interceptIncluded), "runLMatrixTests");
  QV_ASSERT(!kGiven || st.kmncol == st.ndepvr(), "runLMatrixTests");
  const double dfe = g.sumWeights - g.modldf;
  const int first = st.lmatrixCount() > 0 ? 1 : 0;
  const int last = st.lmatrixCount() > 0 ? st.lmatrixCount() : 0;
  for (int lnum = first; lnum <= last; ++lnum) {
    CustomTestHeading heading(ctx, several, st.testCount() + st.contrastCount() + (lnum == 0 ? 1 : lnum));
    MessagePlace place(ctx, lnum == 0 ? st.places.kmatrix
                                      : ProcedureState::RequestPlaces::at(st.places.lmatrices, lnum - 1));
    num::Mat l;
    int status = 0;
    if (lnum == 0) {
      l = num::Mat(1, static_cast<size_t>(g.dmncol));
      if (st.effectCount() > 0 && g.hypotheses[0].df > 0 && g.hypotheses[0].L.rows > 0)
        for (int j = 0; j < g.dmncol; ++j) l(0, j) = g.hypotheses[0].L(0, j);
    } else {
      const LMatrixRequest& req = st.lmatrixList[static_cast<size_t>(lnum - 1)];
      QV_ASSERT(req.lmxrow > 0, "runLMatrixTests");
      QV_ASSERT(!kGiven || req.lmxrow == st.kmnrow, "runLMatrixTests");
      status = lmatrixFromRecord(st, req, l);
    }
    if (status != 0) {
      const std::string n = std::to_string(lnum);
      if (status == 1) {
        ctx.splitGroupNote("LMATRIX ALL ^1 wrong N ...",
                           "LMATRIX ALL ^1 wrong N split [%1 = %2:, ^1 = ^2:]2 ...", out::Severity::Warning,
                           {n});
        printContrastErrorTable(ctx, 5);
      } else {
        ctx.splitGroupNote("LMATRIX ^1 wrong N effect ^2 ...",
                           "LMATRIX ^1 wrong N effect ^2 split [%1 = %2:, ^1 = ^2:]3 ...",
                           out::Severity::Warning, {n, effectName(st, dict, status - 2)});
        printContrastErrorTable(ctx, 6);
      }
      ctx.note("LMATRIX ^1 no tables ...", out::Severity::Warning, {n});
      continue;
    }
    bool estimable = true;
    if (lnum > 0)
      for (size_t j = 0; j < l.rows && estimable; ++j)
        estimable = QESTMB(g, l.row(j), kEstimabilityTolerance);
    if (!estimable && !st.printLMatrix) printContrastErrorTable(ctx, 8);
    if (st.printLMatrix) {
      SeparateSplitHeading lHeading(ctx, catalogueText("Contrast Coefficients ..."));
      printLTable(ctx, st, lnum, l, estimable);
    }

    num::Mat k;
    if (kGiven) {
      k = num::Mat(l.rows, static_cast<size_t>(st.ndepvr()));
      for (size_t j = 0; j < l.rows; ++j)
        for (int d = 0; d < st.ndepvr(); ++d) k(j, d) = st.ptkmat[j * static_cast<size_t>(st.kmncol) + d];
    }
    const HypothesisCore core = GMAHSP(g, l, kGiven ? &k : nullptr, st.rdneps, st.ndepvr());
    const num::Mat se = GMASEC(core.q, g.errorSSCP, dfe);
    ContrastResultsTable t;
    t.dimensionName = "Contrast";
    for (size_t j = 0; j < l.rows; ++j) t.rowLabels.push_back(rowLabel(j));
    if (lnum == 0) {
      t.footnotes.push_back("Estimable Function for Intercept");
    } else {
      const std::string& label = st.lmatrixList[static_cast<size_t>(lnum - 1)].label;
      t.footnotes.push_back(
          label.empty() ? expandTemplate(catalogueText("Based on L number ^1 ..."), {std::to_string(lnum)})
                        : expandTemplate(catalogueText("Based on L label ^1 ..."), {label}));
    }
    t.lb = estimable ? &core.lb : nullptr;
    t.k = kGiven ? &k : nullptr;
    t.se = &se;
    {
      SeparateSplitHeading resultsHeading(ctx, "Contrast Results (K Matrix)");
      printContrastResults(ctx, st, t, dfe);
    }
    if (estimable) printHypothesisTestResults(ctx, st, core.dfh, dfe, &core.sscp);
  }
}

}  // namespace qv
