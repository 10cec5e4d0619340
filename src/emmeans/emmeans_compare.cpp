// Comparisons of estimated marginal means: within each layer (a combination of the table's
// other factors) every ordered pair of levels of the COMPARE factor, and the F test that all
// its levels have equal means. Differences of means are differences of the cells' L rows.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "data/factor_tables.h"
#include "emmeans/emmeans.h"
#include "host/numeric/distributions.h"
#include "host/output/messages.h"
#include "hypotheses/parameter_estimates.h"
#include "report/shared_labels.h"
#include "report/univariate_test.h"

namespace qv {

namespace {

// Tolerance of the estimability tests and of the L core here.
constexpr double kTolerance = 1.0e-8;
// exp(x) underflows to 0 below about -708.39: the adjusted probability is then 1.
constexpr double kExpUnderflow = -708.39;

const char* adjustmentNote(EmmeansAdjustment a) {
  switch (a) {
    case EmmeansAdjustment::Bonferroni:
      return "EMMEAN Bonferroni ...";
    case EmmeansAdjustment::Sidak:
      return "EMMEAN Sidak ...";
    case EmmeansAdjustment::Lsd:
      break;
  }
  return "EMMEAN LSD ...";
}

// The layers of a table: the cells of each combination of the other table factors, by level of
// the COMPARE factor.
struct Layers {
  int compareFactor = 0;            // factor number
  int k = 0;                        // levels of the COMPARE factor
  std::vector<int> otherPositions;  // positions in the table's factor list of the other factors
  TableCells layerCells;            // cells over the other factors
  std::vector<long> stride;         // per table factor, the step of its level in the cell index
  long cellOf(long layer, int level) const {
    long c = (level - 1) * stride[static_cast<size_t>(comparePos)];
    const int* lev = layerCells.levelsOf(layer);
    for (size_t i = 0; i < otherPositions.size(); ++i) c += (lev[i] - 1) * stride[otherPositions[i]];
    return c;
  }
  int comparePos = 0;
};

Layers makeLayers(const GroupState& g, const EmmeansRequest& r) {
  Layers ly;
  ly.comparePos = *r.compare;
  ly.compareFactor = r.factors[ly.comparePos];
  ly.k = g.nlevls[ly.compareFactor];
  std::vector<int> others;
  for (int p = 0; p < static_cast<int>(r.factors.size()); ++p)
    if (p != ly.comparePos) {
      ly.otherPositions.push_back(p);
      others.push_back(r.factors[p]);
    }
  ly.layerCells = tableCells(g, others);
  ly.stride.assign(r.factors.size(), 1);
  for (int p = static_cast<int>(r.factors.size()) - 2; p >= 0; --p)
    ly.stride[p] = ly.stride[p + 1] * g.nlevls[r.factors[p + 1]];
  return ly;
}

// Kind of comparison of two present cells.
enum class PairKind { BothEstimable, NeitherEstimable, Mixed };

PairKind pairKind(CellStatus a, CellStatus b) {
  if (isEstimable(a) && isEstimable(b)) return PairKind::BothEstimable;
  if (!isEstimable(a) && !isEstimable(b)) return PairKind::NeitherEstimable;
  return PairKind::Mixed;
}

bool present(CellStatus s) { return s != CellStatus::Absent; }

// Number of estimable comparisons of a layer (GMMNEC).
long countComparisons(const GroupState& g, const EstimabilityIndex& ix, const MarginalTable& t,
                      const Layers& ly, long layer) {
  long n = 0;
  for (int i = 1; i <= ly.k; ++i)
    for (int j = i + 1; j <= ly.k; ++j) {
      const long a = ly.cellOf(layer, i), b = ly.cellOf(layer, j);
      if (!present(t.status[a]) || !present(t.status[b])) continue;
      const PairKind kind = pairKind(t.status[a], t.status[b]);
      if (kind == PairKind::BothEstimable ||
          (kind == PairKind::NeitherEstimable &&
           sparseEstimable(g, ix, difference(t.rows[a], t.rows[b]), kTolerance)))
        ++n;
    }
  return n;
}

void setLayerCategories(out::TableBuilder& tb, const ProcedureState& st, const Dictionary& dict,
                        const std::vector<int>& dims, const Layers& ly, long layer) {
  const int* lev = ly.layerCells.levelsOf(layer);
  for (size_t i = 0; i < dims.size(); ++i) {
    const int f = ly.layerCells.factors[i];
    tb.category(dims[i], levelKey(st, f, lev[i]), levelLabel(st, dict, f, lev[i]));
  }
}

void emitWithSplit(Context& ctx, out::Table t) {
  if (!ctx.splitCaption.empty()) t.split = ctx.splitCaption;
  ctx.emit(std::move(t));
}

void printEmptyComparisons(Context& ctx, const ProcedureState& st, const Layers& ly) {
  const Dictionary& dict = ctx.data->dictionary();
  out::TableBuilder tb(18, "Pairwise Comparisons", "EMMEANS Pairwise Comparisons");
  tb.dimension("Statistics", out::Axis::Column);
  tb.annotateTable(tb.footnote(expandTemplate(catalogueText("Empty comparison table on ^1 ..."),
                                              {dict.vars[st.factorVars[ly.compareFactor]].name})));
  ctx.emitTable(tb);
}

void printPairwise(Context& ctx, const ProcedureState& st, const MarginalTable& t, const Layers& ly,
                   const std::vector<long>& ncomp, double dfe) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const EstimabilityIndex ix = estimabilityIndex(g);
  const EmmeansAdjustment adj = t.request->adjustment;
  const std::string factorName = dict.vars[st.factorVars[ly.compareFactor]].name;

  out::TableBuilder tb(18, "Pairwise Comparisons", "EMMEANS Pairwise Comparisons");
  tb.annotateTable(tb.footnote("Based on estimated marginal means"));
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() == 1 ? out::Axis::Layer : out::Axis::Row);
  std::vector<int> layerDims;
  for (int f : ly.layerCells.factors)
    layerDims.push_back(tb.dimension(dict.vars[st.factorVars[f]].name, out::Axis::Row));
  const int iDim = tb.dimension("(I) " + factorName, out::Axis::Row);
  const int jDim = tb.dimension("(J) " + factorName, out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  const std::string ciLabel = confidenceIntervalLabel(st.alplev, false);
  int sigNote = -1;
  // The keys and labels of the levels, worked out once for all pairs.
  std::vector<std::string> keys(static_cast<size_t>(ly.k) + 1), labels(static_cast<size_t>(ly.k) + 1);
  for (int l = 1; l <= ly.k; ++l) {
    keys[l] = levelKey(st, ly.compareFactor, l);
    labels[l] = levelLabel(st, dict, ly.compareFactor, l);
  }
  // Levels in level order, whichever pair first places them.
  for (int l = 1; l <= ly.k; ++l)
    for (int dim : {iDim, jDim}) tb.category(dim, keys[l], labels[l]);

  // Critical t of each layer's intervals, at the adjusted level.
  std::vector<double> tcrit(ncomp.size(), kSysmis);
  for (size_t layer = 0; layer < ncomp.size(); ++layer) {
    if (!(dfe > 0.0) || ncomp[layer] <= 0) continue;
    const double level = adjustProbability(ncomp[layer], adj, false, st.alplev);
    const double p = level * 0.5;
    if (p > 0.0 && p < 1.0) {
      const double x = num::IDFT(p, dfe);
      if (!isSysmis(x)) tcrit[layer] = std::fabs(x);
    }
  }

  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double mse = dfe > 0.0 ? std::max(g.errorSSCP(d, d), 0.0) / dfe : 0.0;
    for (long layer = 0; layer < ly.layerCells.count; ++layer) {
      setLayerCategories(tb, st, dict, layerDims, ly, layer);
      for (int i = 1; i <= ly.k; ++i) {
        tb.category(iDim, keys[i], labels[i]);
        for (int j = 1; j <= ly.k; ++j) {
          if (j == i) continue;
          tb.category(jDim, keys[j], labels[j]);
          const long a = ly.cellOf(layer, i), b = ly.cellOf(layer, j);
          const CellStatus sa = t.status[a], sb = t.status[b];
          double diff = kSysmis, se = kSysmis, sig = kSysmis, lower = kSysmis, upper = kSysmis;
          std::vector<int> notes;
          if (sa == CellStatus::NotEstimable) notes.push_back(tb.footnote("Means (I) nonestim ..."));
          if (sa == CellStatus::Absent) notes.push_back(tb.footnote("Mean (I) not exist ..."));
          if (sa == CellStatus::Modified) notes.push_back(tb.footnote("Means (I) modified ..."));
          if (sb == CellStatus::NotEstimable) notes.push_back(tb.footnote("Means (J) nonestim ..."));
          if (sb == CellStatus::Absent) notes.push_back(tb.footnote("Mean (J) not exist ..."));
          if (sb == CellStatus::Modified) notes.push_back(tb.footnote("Means (J) modified ..."));
          if (present(sa) && present(sb)) {
            const PairKind kind = pairKind(sa, sb);
            bool estimable = kind == PairKind::BothEstimable;
            const SparseRow D = difference(t.rows[a], t.rows[b]);
            if (kind == PairKind::NeitherEstimable) {
              estimable = sparseEstimable(g, ix, D, kTolerance);
              if (estimable) notes.push_back(tb.footnote("Means (IJ) nonestim but ..."));
            }
            if (!estimable) {
              notes.push_back(tb.footnote("Comparison nonestimable ..."));
            } else {
              diff = dotEstimates(g, D, d);
              if (dfe > 0.0) se = std::sqrt(std::max(quadraticForm(g, D, D), 0.0) * mse);
              if (!isSysmis(se) && se > 0.0) {
                const double p = 2.0 * num::CDFT(-std::fabs(diff / se), dfe);
                if (!isSysmis(p) && ncomp[layer] > 0)
                  sig = adjustProbability(ncomp[layer], adj, true, std::clamp(p, 0.0, 1.0));
              }
              if (!isSysmis(tcrit[layer]) && !isSysmis(se)) {
                lower = diff - tcrit[layer] * se;
                upper = diff + tcrit[layer] * se;
              }
            }
          }
          const int dc =
              tb.cell(statDim, "Mean Difference (I-J)", out::Value::num(diff, out::Fmt::Coefficient));
          for (int n : notes) tb.annotateCell(dc, n);
          if (!isSysmis(sig) && st.alplev > sig) {
            if (sigNote < 0)
              sigNote = tb.footnote(expandTemplate(catalogueText("Mean difference is significant at ^1 ..."),
                                                   {alphaLevelText(st)}));
            tb.annotateCell(dc, sigNote);
          }
          tb.cell(statDim, "Std. Error", out::Value::num(se, out::Fmt::GeneralStat));
          tb.cell(statDim, "Significance", out::Value::num(sig, out::Fmt::Significance));
          tb.beginGroup(statDim, ciLabel, ciLabel);
          tb.cell(statDim, "Lower Bound", out::Value::num(lower, out::Fmt::Coefficient));
          tb.cell(statDim, "Upper Bound", out::Value::num(upper, out::Fmt::Coefficient));
          tb.endGroup(statDim);
        }
      }
    }
  }
  const int adjNote = tb.footnote(adjustmentNote(adj));
  tb.annotateCategoryKey(statDim, "Significance", adjNote);
  tb.annotateCategoryKey(statDim, ciLabel, adjNote);

  out::Table table = tb.finish();
  if (sigNote >= 0) {
    // The significance footnote is marked "*"; the others keep consecutive letters.
    size_t letter = 0;
    for (size_t f = 0; f < table.footnotes.size(); ++f)
      table.footnotes[f].marker = static_cast<int>(f) == sigNote ? "*" : out::footnoteMarker(letter++);
  }
  emitWithSplit(ctx, std::move(table));
}

void printUnivariateTests(Context& ctx, const ProcedureState& st, const MarginalTable& t, const Layers& ly,
                          double dfe) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const EstimabilityIndex ix = estimabilityIndex(g);
  const std::string factorName = dict.vars[st.factorVars[ly.compareFactor]].name;

  out::TableBuilder tb(14, "Univariate Tests", "EMMEANS Univariate Tests");
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() == 1 ? out::Axis::Layer : out::Axis::Row);
  std::vector<int> layerDims;
  for (int f : ly.layerCells.factors)
    layerDims.push_back(tb.dimension(dict.vars[st.factorVars[f]].name, out::Axis::Row));
  const int srcDim = tb.dimension("Source", out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);

  // Per layer the contrast rows L_ref - L_level and their hypothesis SSCP.
  std::vector<int> dfh(static_cast<size_t>(ly.layerCells.count), 0);
  std::vector<num::Packed> sscp(static_cast<size_t>(ly.layerCells.count));
  long withTest = 0;
  for (long layer = 0; layer < ly.layerCells.count; ++layer) {
    int ref = 0;
    for (int l = 1; l <= ly.k && ref == 0; ++l)
      if (present(t.status[ly.cellOf(layer, l)])) ref = l;
    std::vector<SparseRow> rows;
    if (ref > 0) {
      const long rc = ly.cellOf(layer, ref);
      for (int l = ref + 1; l <= ly.k; ++l) {
        const long c = ly.cellOf(layer, l);
        if (!present(t.status[c])) continue;
        const PairKind kind = pairKind(t.status[rc], t.status[c]);
        if (kind == PairKind::Mixed) continue;
        SparseRow row = difference(t.rows[rc], t.rows[c]);
        if (kind == PairKind::NeitherEstimable && !sparseEstimable(g, ix, row, kTolerance)) continue;
        rows.push_back(std::move(row));
      }
    }
    QV_ASSERT(static_cast<int>(rows.size()) <= ly.k - 1, "emmeans: nrwdlx .le. lcpnrw");
    dfh[layer] = static_cast<int>(rows.size());
    if (!rows.empty()) {
      sscp[layer] = sparseHypothesisSSCP(g, rows, kTolerance, st.ndepvr());
      ++withTest;
    }
  }
  const long layers = ly.layerCells.count;
  int noTestNote = -1;
  if (withTest < layers) {
    const char* key =
        st.ndepvr() == 1
            ? (withTest == 0 ? "Emmeans UNV annotation 1 for ^1 ..." : "Emmeans UNV annotation 2 for ^1 ...")
            : (withTest == 0 ? "Emmeans UNV annotation 3 for ^1 ..." : "Emmeans UNV annotation 4 for ^1 ...");
    noTestNote = tb.footnote(expandTemplate(catalogueText(key), {factorName}));
    if (withTest == 0) tb.annotateTable(noTestNote);
  }

  bool powerShown = false;
  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    const double sse = g.errorSSCP(d, d);
    for (long layer = 0; layer < layers; ++layer) {
      setLayerCategories(tb, st, dict, layerDims, ly, layer);
      const double ssh = dfh[layer] > 0 ? sscp[layer](d, d) : 0.0;
      const UnivariateTest u = GMTUNV(st.alplev, dfh[layer], dfe, ssh, sse);
      tb.category(srcDim, "Contrast");
      tb.cell(statDim, "Sum of Squares", out::Value::num(ssh, out::Fmt::Coefficient));
      tb.cell(statDim, "df", out::Value::num(dfh[layer], out::Fmt::Count));
      tb.cell(statDim, "Mean Square", out::Value::num(u.msh, out::Fmt::Coefficient));
      const int fc = tb.cell(statDim, "F", out::Value::num(u.f, out::Fmt::GeneralStat));
      if (dfh[layer] == 0 && noTestNote >= 0 && withTest > 0) tb.annotateCell(fc, noTestNote);
      tb.cell(statDim, "Significance", out::Value::num(u.sig, out::Fmt::Significance));
      if (effectSizeCells(tb, statDim, st, u)) powerShown = true;
      tb.category(srcDim, "Error");
      tb.cell(statDim, "Sum of Squares", out::Value::num(sse, out::Fmt::Coefficient));
      tb.cell(statDim, "df", out::Value::num(std::max(dfe, 0.0), out::Fmt::Count));
      tb.cell(statDim, "Mean Square",
              out::Value::num(dfe > 0.0 ? sse / dfe : kSysmis, out::Fmt::Coefficient));
    }
  }
  if (powerShown) {
    tb.category(statDim, "Observed Power");
    tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
  }
  ctx.emitTable(tb);
}

}  // namespace

double adjustProbability(long ncomp, EmmeansAdjustment adjustment, bool significance, double p) {
  QV_ASSERT(ncomp > 0, "GMMAPR");
  QV_ASSERT(p >= 0.0 && p <= 1.0, "GMMAPR");
  const double n = static_cast<double>(ncomp);
  switch (adjustment) {
    case EmmeansAdjustment::Lsd:
      return p;
    case EmmeansAdjustment::Bonferroni:
      return std::min(significance ? p * n : p / n, 1.0);
    case EmmeansAdjustment::Sidak: {
      if (p == 0.0) return 0.0;
      if (p == 1.0) return 1.0;
      // log1p and expm1 keep the digits of small probabilities: 1 - (1 - p)^n for p = 1e-20 is
      // n 1e-20, not 0.
      const double e = std::log1p(-p) * (significance ? n : 1.0 / n);
      QV_ASSERT(e <= 0.0, "GMMAPR: result .le. r0");
      if (e <= kExpUnderflow) return 1.0;
      return std::max(-std::expm1(e), 0.0);
    }
  }
  return p;
}

void printComparisons(Context& ctx, const ProcedureState& st, const MarginalTable& t, double dfe) {
  const GroupState& g = st.group;
  const Layers ly = makeLayers(g, *t.request);
  const EstimabilityIndex ix = estimabilityIndex(g);
  std::vector<long> ncomp(static_cast<size_t>(ly.layerCells.count));
  for (long layer = 0; layer < ly.layerCells.count; ++layer)
    ncomp[layer] = countComparisons(g, ix, t, ly, layer);
  if (ly.k < 2) {
    printEmptyComparisons(ctx, st, ly);
  } else {
    printPairwise(ctx, st, t, ly, ncomp, dfe);
  }
  printUnivariateTests(ctx, st, t, ly, dfe);
}

}  // namespace qv
