// CONTRAST hypotheses: the basis over the factor's levels, its L matrix through the factor's
// estimable functions, the estimates and the joint test.
#include <fmt/format.h>

#include <cmath>

#include "host/numeric/contrast_bases.h"
#include "host/output/message_numbers.h"
#include "host/output/messages.h"
#include "host/output/number_format.h"
#include "hypotheses/custom_hypotheses.h"
#include "hypotheses/estimable_functions.h"

namespace qv {

namespace {

int referenceLevel(const ContrastRequest& c, int nlevel) { return c.refcat == -1 ? nlevel : c.refcat; }

std::vector<double> polynomialMetric(const ContrastRequest& c, int nlevel) {
  if (c.values) return *c.values;
  std::vector<double> metric(static_cast<size_t>(nlevel));
  for (int i = 0; i < nlevel; ++i) metric[static_cast<size_t>(i)] = i + 1;
  return metric;
}

std::string joinNumbers(const std::vector<double>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + out::formatLabelNumber(v[i]);
  return s;
}

// Label of contrast row j (1-based) (GMACTC).
std::string contrastRowLabel(const ContrastRequest& c, int j, int nlevel) {
  const int ref = referenceLevel(c, nlevel);
  switch (c.ctrtyp) {
    case ContrastType::Deviation:
      return fmt::format("Level {} vs. Mean", j < ref ? j : j + 1);
    case ContrastType::Difference:
      return j == 1 ? "Level 2 vs. Level 1" : fmt::format("Level {} vs. Previous", j + 1);
    case ContrastType::Simple:
      return fmt::format("Level {} vs. Level {}", j < ref ? j : j + 1, ref);
    case ContrastType::Helmert:
      return j < nlevel - 1 ? fmt::format("Level {} vs. Later", j)
                            : fmt::format("Level {} vs. Level {}", j, nlevel);
    case ContrastType::Polynomial:
      if (j == 1) return "Linear";
      if (j == 2) return "Quadratic";
      if (j == 3) return "Cubic";
      return fmt::format("Order {}", j);
    case ContrastType::Repeated:
      return fmt::format("Level {} vs. Level {}", j, j + 1);
    case ContrastType::Special:
      return fmt::format("L{}", j);
    default:
      QV_ASSERT(false, "GMACTC");
  }
  return {};
}

// The category footnote: omitted or reference category, or the polynomial metric.
std::string categoryFootnote(const ContrastRequest& c, int nlevel) {
  switch (c.ctrtyp) {
    case ContrastType::Deviation:
      return fmt::format("Omitted category = {}", referenceLevel(c, nlevel));
    case ContrastType::Simple:
      return fmt::format("Reference category = {}", referenceLevel(c, nlevel));
    case ContrastType::Polynomial:
      return "Metric = " + joinNumbers(polynomialMetric(c, nlevel));
    default:
      return {};
  }
}

// The basis over the levels (GMABFC); returns a contrast error code (0 = none).
int GMABFC(const ContrastRequest& c, int nlevel, int k, num::Mat& p) {
  QV_ASSERT(nlevel >= 1, "GMABFC");
  const int ref = referenceLevel(c, nlevel);
  if (ref < 1 || ref > nlevel) return 2;
  switch (c.ctrtyp) {
    case ContrastType::Deviation:
      p = num::CTRDEV(nlevel, ref);
      return 0;
    case ContrastType::Difference:
      p = num::CTRDIF(nlevel);
      return 0;
    case ContrastType::Simple:
      p = num::CTRSMP(nlevel, ref);
      return 0;
    case ContrastType::Helmert:
      p = num::CTRHEL(nlevel);
      return 0;
    case ContrastType::Repeated:
      p = num::CTRRPT(nlevel);
      return 0;
    case ContrastType::Polynomial: {
      if (c.values && static_cast<int>(c.values->size()) != nlevel) return 4;
      // Repeated metric values leave some degree without a polynomial.
      return num::CTROPL(polynomialMetric(c, nlevel), p) ? 0 : 1;
    }
    case ContrastType::Special: {
      // User row j becomes column j.
      const std::vector<double>& v = *c.values;
      p = num::Mat(static_cast<size_t>(nlevel), static_cast<size_t>(k));
      for (int j = 0; j < k; ++j)
        for (int i = 0; i < nlevel; ++i)
          p(static_cast<size_t>(i), static_cast<size_t>(j)) = v[static_cast<size_t>(j * nlevel + i)];
      return 0;
    }
    default:
      QV_ASSERT(false, "GMABFC");
  }
  return 1;
}

// L (k x dmncol) from the basis P and the basis rows E (m x dmncol): the combination of the
// rows of E whose restriction to the main effect's columns is P. Status 0 when the
// restriction of E has full rank, 1 when not, 2 when P cannot be reached.
int buildContrastL(const num::Mat& e, int first, int ncols, const num::Mat& p, double eps, num::Mat& l) {
  const size_t m = e.rows, dm = e.cols, k = p.cols;
  num::Mat a(m, static_cast<size_t>(ncols));
  for (size_t t = 0; t < m; ++t)
    for (int c = 0; c < ncols; ++c) a(t, static_cast<size_t>(c)) = e(t, static_cast<size_t>(first + c));
  num::Mat x;
  int rank = 0;
  if (p.rows != static_cast<size_t>(ncols)) return 2;
  const int status = num::GEMSLV(a, p, eps, x, rank);
  if (status == 2) return 2;
  l = num::Mat(k, dm);
  for (size_t j = 0; j < k; ++j) {
    for (size_t c = 0; c < dm; ++c) {
      long double s = 0.0L;
      for (size_t t = 0; t < m; ++t) s += static_cast<long double>(x(t, j)) * e(t, c);
      l(j, c) = static_cast<double>(s);
    }
    num::CLNVEC(l.row(j), dm, 16.0 * static_cast<double>(dm));
  }
  return rank == ncols ? 0 : 1;
}

// The transposed L matrix of a contrast.
void printContrastLTable(Context& ctx, const ProcedureState& st, const std::string& title,
                         const std::vector<std::string>& rowLabels, const std::string& catNote,
                         const num::Mat& l, bool unique) {
  std::vector<std::string> local;
  const std::vector<std::string>& labels = parameterLabels(ctx, st, local);
  out::TableBuilder tb(8, catalogueText("Contrast Coefficients ..."), "Contrast Coefficients");
  const int conDim = tb.dimension(title, out::Axis::Column);
  const int parDim = tb.dimension("Parameter", out::Axis::Row);
  if (!catNote.empty()) tb.annotateTable(tb.footnote(catNote));
  tb.annotateTable(tb.footnote(catalogueText("This is the L transpose...")));
  if (!unique) tb.annotateTable(tb.footnote(catalogueText("Estimable not unique ...")));
  for (size_t i = 0; i < l.cols; ++i) {
    tb.category(parDim, labels[i]);
    for (size_t j = 0; j < l.rows; ++j) tb.cell(conDim, rowLabels[j], lValue(l(j, i)));
  }
  ctx.emitTableTitledBySplitGroup(tb);
}

}  // namespace

std::string contrastTitle(const ProcedureState& st, const Dictionary& dict, int i) {
  static const char* const kNames[] = {"Deviation",  "Difference", "Simple",    "Helmert",
                                       "Polynomial", "Repeated",   "Indicator", "Special"};
  const ContrastRequest& c = st.contrastSpecs[static_cast<size_t>(i)];
  const int type = static_cast<int>(c.ctrtyp);
  QV_ASSERT(type >= 1 && type <= 8 && c.ctrtyp != ContrastType::Indicator, "contrast title");
  return dict.vars[st.factorVars[c.factor]].name + " " + kNames[type - 1] + " Contrast";
}

std::string contrastDescription(const ProcedureState& st, const Dictionary& dict, int i) {
  const ContrastRequest& c = st.contrastSpecs[static_cast<size_t>(i)];
  const std::string name = dict.vars[st.factorVars[c.factor]].name;
  const int nlevel = static_cast<int>(st.group.nlevls.size()) > c.factor ? st.group.nlevls[c.factor] : 0;
  switch (c.ctrtyp) {
    case ContrastType::Deviation:
      return fmt::format("Deviation Contrast (omitted category = {}) for {}", referenceLevel(c, nlevel),
                         name);
    case ContrastType::Difference:
      return "Difference Contrast for " + name;
    case ContrastType::Simple:
      return fmt::format("Simple Contrast (reference category = {}) for {}", referenceLevel(c, nlevel), name);
    case ContrastType::Helmert:
      return "Helmert Contrast for " + name;
    case ContrastType::Polynomial:
      return "Polynomial Contrast (metric = " + joinNumbers(polynomialMetric(c, nlevel)) + ") for " + name;
    case ContrastType::Repeated:
      return "Repeated Contrast for " + name;
    case ContrastType::Special:
      return "Special Contrast for " + name;
    default:
      QV_ASSERT(false, "contrast description");
  }
  return {};
}

void runContrasts(Context& ctx, const ProcedureState& st, bool several) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  if (g.modldf < 1) {
    ctx.message(msg::kZeroDegreesOfFreedomInTheModel, out::Phase::Processing, out::Severity::Warning);
    return;
  }
  const double dfe = g.sumWeights - g.modldf;
  // Rows of the first effect in the estimable-function basis (the intercept's, when present).
  int h = 0;
  if (st.effectCount() > 0)
    for (int c = 0; c < g.effectNcols[0]; ++c)
      h += g.nonRedundant[static_cast<size_t>(g.effectFirstCol[0] - 1 + c)];

  for (int i = 0; i < st.contrastCount(); ++i) {
    CustomTestHeading heading(ctx, several, st.testCount() + i + 1);
    MessagePlace place(ctx, ProcedureState::RequestPlaces::at(st.places.contrasts, i));
    const ContrastRequest& c = st.contrastSpecs[static_cast<size_t>(i)];
    const int f = c.factor;
    const int nlevel = g.nlevls[f];
    const int r = g.contrastDf[f];
    const int m = h + r;
    int code = 0, k = 0;
    if (m == 0) {
      code = 1;
    } else if (c.ctrtyp == ContrastType::Special) {
      const int nmrc = c.values ? static_cast<int>(c.values->size()) : 0;
      if (nlevel < 1 || nmrc % nlevel != 0 || nmrc == 0)
        code = 3;
      else
        k = nmrc / nlevel;
    } else if (nlevel == 1) {
      code = 7;
    } else {
      k = nlevel - 1;
    }
    num::Mat p, l;
    if (code == 0) code = GMABFC(c, nlevel, k, p);
    int status = 0;
    if (code == 0) {
      // Basis rows: the factor's hypothesis rows, then the first effect's estimable functions.
      num::Mat e(static_cast<size_t>(m), static_cast<size_t>(g.dmncol));
      for (int t = 0; t < r; ++t)
        for (int j = 0; j < g.dmncol; ++j) e(t, j) = g.contrastL[f](t, j);
      for (int t = 0; t < h; ++t)
        for (int j = 0; j < g.dmncol; ++j) e(r + t, j) = g.estBasis(t, j);
      const int main = c.mainEffect;
      status = buildContrastL(e, g.effectFirstCol[main] - 1, g.effectNcols[main], p, st.rdneps, l);
      if (status == 2) code = 1;
    }
    const bool unique = status == 0 && g.contrastUnique[f] == 1;
    const std::string title = contrastTitle(st, dict, i);
    const std::string catNote = code == 0 || code == 1 ? categoryFootnote(c, nlevel) : std::string();
    std::vector<std::string> rowLabels;
    for (int j = 1; j <= k; ++j) rowLabels.push_back(contrastRowLabel(c, j, nlevel));

    // The reason a contrast is not computed is always reported; the table that holds it
    // comes with the L matrix display.
    if (code != 0) ctx.note(contrastErrorKey(code), out::Severity::Warning);
    if (st.printLMatrix) {
      SeparateSplitHeading lHeading(ctx, catalogueText("Contrast Coefficients ..."));
      if (code != 0)
        printContrastErrorTable(ctx, code);
      else
        printContrastLTable(ctx, st, title, rowLabels, catNote, l, unique);
    }
    if (code != 0) {
      printHypothesisTestResults(ctx, st, 0, dfe, nullptr);
      continue;
    }
    const HypothesisCore core = GMAHSP(g, l, nullptr, st.rdneps, st.ndepvr());
    const num::Mat se = GMASEC(core.q, g.errorSSCP, dfe);
    ContrastResultsTable t;
    t.dimensionName = title;
    t.rowLabels = rowLabels;
    if (!catNote.empty()) t.footnotes.push_back(catNote);
    t.lb = &core.lb;
    t.se = &se;
    {
      SeparateSplitHeading resultsHeading(ctx, "Contrast Results (K Matrix)");
      printContrastResults(ctx, st, t, dfe);
    }
    printHypothesisTestResults(ctx, st, core.dfh, dfe, &core.sscp);
  }
}

}  // namespace qv
