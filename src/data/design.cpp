#include "data/design.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "data/case_pass.h"
#include "host/output/message_numbers.h"

namespace qv {

namespace {

// The largest integer whose square fits in a signed 64-bit integer: the design may not have
// this many possible cells.
constexpr double kCellLimit = 3037000499.0;

}  // namespace

bool effectHasFactors(const EffectRow& row, int nfactr) { return !Effect(row, nfactr).factors().empty(); }

bool effectHasCovariates(const EffectRow& row, int nfactr) { return Effect(row, nfactr).hasCovariate(); }

std::vector<int> effectFactorOrder(const EffectRow& row, int nfactr) {
  return Effect(row, nfactr).cellOrder();
}

long cellOfLevels(const std::vector<int>& order, const std::vector<int>& nlevls, const int* levels) {
  long cell = 0;
  for (int f : order) {
    int l = levels[f];
    if (l <= 0) return 0;
    QV_ASSERT(l <= nlevls[f], "gmdrcl");
    cell = cell * nlevls[f] + (l - 1);
  }
  return cell + 1;
}

std::vector<int> levelsOfCell(const std::vector<int>& order, const std::vector<int>& nlevls, int nfactr,
                              long cell) {
  std::vector<int> lev(nfactr, -1);
  long rest = cell - 1;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    lev[*it] = static_cast<int>(rest % nlevls[*it]) + 1;
    rest /= nlevls[*it];
  }
  return lev;
}

bool layoutDesign(Context& ctx, ProcedureState& st) {
  GroupState& g = st.group;
  const int nf = st.nfactr();
  const int ne = st.effectCount();
  g.effectOrder.assign(ne, {});
  g.effectPossibleCells.assign(ne, 1);
  double running = 0.0;
  for (int e = 0; e < ne; ++e) {
    g.effectOrder[e] = effectFactorOrder(st.ptefds[e], nf);
    double prod = 1.0;
    for (int f : g.effectOrder[e]) prod *= g.nlevls[f];
    running += prod;
    if (prod >= kCellLimit || running >= kCellLimit) {
      ctx.message(msg::kTooManyDesignColumns, out::Phase::Processing, out::Severity::Error);
      return false;
    }
    g.effectPossibleCells[e] = static_cast<long>(prod);
  }

  // Each effect's columns are laid out from the design cells (numbered by the data pass)
  // instead of from every case.
  const size_t ncells = nf > 0 ? g.designCellLevels.size() / static_cast<size_t>(nf) : (g.nvalid > 0 ? 1 : 0);

  g.effectFirstCol.assign(ne, 0);
  g.effectNcols.assign(ne, 0);
  g.colCell.clear();
  g.designCellColumns.assign(ncells * ne, -1);
  int col = 0;
  for (int e = 0; e < ne; ++e) {
    g.effectFirstCol[e] = col + 1;
    std::vector<long> cellOf(ncells, 1);
    if (nf > 0 && !g.effectOrder[e].empty())
      for (size_t c = 0; c < ncells; ++c)
        cellOf[c] =
            cellOfLevels(g.effectOrder[e], g.nlevls, &g.designCellLevels[c * static_cast<size_t>(nf)]);
    std::vector<long> cells(cellOf);
    if (cells.empty()) cells.push_back(1);
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    g.effectNcols[e] = static_cast<int>(cells.size());
    for (size_t c = 0; c < ncells; ++c) {
      auto pos = std::lower_bound(cells.begin(), cells.end(), cellOf[c]);
      g.designCellColumns[c * ne + e] = col + static_cast<int>(pos - cells.begin());
    }
    g.colCell.insert(g.colCell.end(), cells.begin(), cells.end());
    col += static_cast<int>(cells.size());
  }
  g.dmncol = std::max(col, 1);
  return true;
}

void designRow(const ProcedureState& st, int cell, const double* cov,
               std::vector<std::pair<int, double>>& out) {
  out.clear();
  const GroupState& g = st.group;
  const int nf = st.nfactr();
  const int ne = st.effectCount();
  const int* cols = g.designCellColumns.data() + static_cast<size_t>(cell) * ne;
  for (int e = 0; e < ne; ++e) {
    double v = 1.0;
    if (st.ncovar() > 0) {
      const Effect effect(st.ptefds[e], nf);
      for (int c = 0; c < st.ncovar(); ++c) {
        const int p = effect.power(c);
        if (p >= 1) v *= p == 1 ? cov[c] : std::pow(cov[c], p);
      }
    }
    out.emplace_back(cols[e], v);
  }
  if (out.empty()) out.emplace_back(0, 1.0);
}

int effectOfColumn(const ProcedureState& st, int col) {
  const GroupState& g = st.group;
  for (int e = 0; e < st.effectCount(); ++e)
    if (col + 1 >= g.effectFirstCol[e] && col + 1 < g.effectFirstCol[e] + g.effectNcols[e]) return e;
  return -1;
}

Effect designEffect(const ProcedureState& st, int e) {
  const bool cwf = e < static_cast<int>(st.ptecwf.size()) && st.ptecwf[static_cast<size_t>(e)] == 1;
  return Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr(), cwf);
}

EffectVocabulary effectVocabulary(const ProcedureState& st, const Dictionary& dict) {
  EffectVocabulary v;
  for (int f : st.factorVars) v.factors.push_back(dict.vars[static_cast<size_t>(f)].name);
  for (int c : st.covVars) v.covariates.push_back(dict.vars[static_cast<size_t>(c)].name);
  return v;
}

std::string effectName(const ProcedureState& st, const Dictionary& dict, int e) {
  return designEffect(st, e).name(effectVocabulary(st, dict));
}

namespace {

// The label of column `col` of effect e, with the effect's vocabulary given.
std::string columnLabel(const ProcedureState& st, const EffectVocabulary& names, int e, int col) {
  const GroupState& g = st.group;
  const std::vector<int> lev = levelsOfCell(g.effectOrder[e], g.nlevls, st.nfactr(), g.colCell[col]);
  return designEffect(st, e).label(names, [&](int f) {
    return "[" + names.factors[static_cast<size_t>(f)] + "=" + levelKey(st, f, lev[static_cast<size_t>(f)]) +
           "]";
  });
}

}  // namespace

std::string paramLabel(const ProcedureState& st, const Dictionary& dict, int col) {
  int e = effectOfColumn(st, col);
  QV_ASSERT(e >= 0, "paramLabel");
  return columnLabel(st, effectVocabulary(st, dict), e, col);
}

void buildParamLabels(const ProcedureState& st, const Dictionary& dict, std::vector<std::string>& labels) {
  // Effect by effect over its own columns: no search for each column's effect.
  labels.clear();
  const EffectVocabulary names = effectVocabulary(st, dict);
  for (int e = 0; e < st.effectCount(); ++e) {
    const int first = st.group.effectFirstCol[e] - 1;
    for (int c = 0; c < st.group.effectNcols[e]; ++c) labels.push_back(columnLabel(st, names, e, first + c));
  }
  if (labels.empty()) labels.push_back("Intercept");
}

}  // namespace qv
