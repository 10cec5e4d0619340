#include "data/factor_tables.h"
#include "host/numeric/moments.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <tuple>

namespace qv {

namespace {

// The post-parse checks refuse descriptive tables over more factors (message 200); each cell
// enters 2^nfactr entries.
constexpr int kMaxDescriptiveFactors = 18;

// Name and shown label of a variable: its label when it has one, else its name.
std::string shownName(const Dictionary& dict, int var) {
  const Variable& v = dict.vars[var];
  return v.label.empty() ? v.name : v.label;
}

}  // namespace

std::string levelLabel(const ProcedureState& st, const Dictionary& dict, int factor, int level) {
  const std::string key = levelKey(st, factor, level);
  const Variable& v = dict.vars[st.factorVars[factor]];
  auto it = v.valueLabels.find(key);
  return it == v.valueLabels.end() ? key : it->second;
}

void printBetweenSubjectsFactors(Context& ctx, const ProcedureState& st) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  if (st.nfactr() < 1) return;
  out::TableBuilder tb(3, "Between-Subjects Factors", "Between Subjects Factors");
  const int rowDim = tb.dimension("Factor Levels", out::Axis::Row);
  const int colDim = tb.dimension("Properties", out::Axis::Column);
  bool anyLabels = false;
  for (int f = 0; f < st.nfactr(); ++f)
    anyLabels = anyLabels || !dict.vars[st.factorVars[f]].valueLabels.empty();
  if (anyLabels) tb.category(colDim, "Value Label");
  tb.category(colDim, "N");
  for (int f = 0; f < st.nfactr(); ++f) {
    const Variable& v = dict.vars[st.factorVars[f]];
    tb.beginGroup(rowDim, v.name, shownName(dict, st.factorVars[f]));
    for (int l = 1; l <= g.nlevls[f]; ++l) {
      const std::string key = levelKey(st, f, l);
      tb.category(rowDim, key, key);
      auto it = v.valueLabels.find(key);
      if (it != v.valueLabels.end()) tb.cell(colDim, "Value Label", out::Value::str(it->second));
      tb.cell(colDim, "N", out::Value::num(g.levelWeights[f][l - 1], out::Fmt::Count));
    }
    tb.endGroup(rowDim);
  }
  ctx.emitTable(tb);
}

void DescriptiveCell::add(const double* y, double w, double wr) {
  const size_t nd = mean.size();
  n += w;
  wsum += wr;
  for (size_t d = 0; d < nd; ++d) {
    const double delta = y[d] - mean[d];
    mean[d] += delta * wr / wsum;
    m2[d] += wr * delta * (y[d] - mean[d]);
  }
}

void DescriptiveCell::merge(const DescriptiveCell& o) {
  if (o.wsum <= 0.0) {
    n += o.n;
    return;
  }
  if (wsum <= 0.0) {
    const double keepN = n;
    *this = o;
    n += keepN;
    return;
  }
  num::mergeMoments(wsum, o.wsum, o.mean.data(), o.m2.data(), mean.data(), m2.data(), mean.size());
  n += o.n;
  wsum += o.wsum;
}

double DescriptiveCell::stdDev(int d) const {
  if (!(n > 1.0)) return kSysmis;
  // Values near the limits of the arithmetic overflow the running sums; an infinite or undefined
  // sum must not be clipped to a variance of 0.
  if (!std::isfinite(m2[d]) || !std::isfinite(mean[d])) return kSysmis;
  // sqrt(m2 / (n - 1)) scaled by sqrt(n / wsum): the weighted variance m2 / wsum with the
  // small-sample factor n / (n - 1) of the case count.
  return std::sqrt(std::max(m2[d], 0.0) / (n - 1.0)) * std::sqrt(n / wsum);
}

DescriptiveTable accumulateDescriptives(const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const int nf = st.nfactr();
  const int nd = st.ndepvr();
  QV_ASSERT(nf <= kMaxDescriptiveFactors, "gmdstb");
  DescriptiveTable tab;
  tab.nfactr = nf;

  // Observed cells first, one pass over the cases; the marginals are merged from the cells, so
  // the cost per case does not grow with the number of factors.
  DescriptiveCell empty;
  empty.mean.assign(nd, 0.0);
  empty.m2.assign(nd, 0.0);
  // The pass: per block, its cells in order of first appearance with their statistics; the
  // blocks' cells are merged in block order, so the cells keep their order of first appearance.
  struct Cells {
    std::unordered_map<std::string, size_t> index;
    std::vector<std::vector<int>> keys;
    std::vector<DescriptiveCell> cells;
    auto fields() { return std::tie(index, keys, cells); }
    auto fields() const { return std::tie(index, keys, cells); }
    // The entry of the cell with the given key, made empty on its first appearance.
    DescriptiveCell& at(const std::string& key, const int* lev, int nf, const DescriptiveCell& empty) {
      auto [it, isNew] = index.try_emplace(key, cells.size());
      if (isNew) {
        keys.emplace_back(lev, lev + nf);
        cells.push_back(empty);
      }
      return cells[it->second];
    }
  };
  Cells all;
  std::string key(sizeof(int) * static_cast<size_t>(nf), '\0');
  work.reduce(
      [&](const CaseBlock& cases) {
        Cells part;
        std::string pkey(key.size(), '\0');
        for (long k = cases.range.begin; k < cases.range.end; ++k) {
          const int* lev = nf > 0 ? g.cellLevels(cases.designCell(k)) : nullptr;
          if (nf > 0) std::memcpy(pkey.data(), lev, pkey.size());
          part.at(pkey, lev, nf, empty)
              .add(cases.depOf(k), cases.weight(k), cases.weight(k) * cases.regWeight(k));
        }
        return part;
      },
      [&](const Cells& part) {
        for (size_t c = 0; c < part.cells.size(); ++c) {
          if (nf > 0) std::memcpy(key.data(), part.keys[c].data(), key.size());
          all.at(key, part.keys[c].data(), nf, empty).merge(part.cells[c]);
        }
      });
  const std::vector<std::vector<int>>& cellKeys = all.keys;
  const std::vector<DescriptiveCell>& cells = all.cells;

  // Every subset of the factors replaced by the total marker 0, the full cell included.
  std::unordered_map<std::string, size_t> entryIndex;
  const unsigned long subsets = 1UL << nf;
  std::vector<int> mk(nf);
  for (size_t c = 0; c < cells.size(); ++c) {
    for (unsigned long mask = 0; mask < subsets; ++mask) {
      for (int f = 0; f < nf; ++f) mk[f] = (mask >> f) & 1UL ? 0 : cellKeys[c][f];
      if (nf > 0) std::memcpy(key.data(), mk.data(), key.size());
      auto [it, isNew] = entryIndex.try_emplace(key, tab.cells.size());
      if (isNew) {
        tab.keys.push_back(mk);
        tab.cells.push_back(empty);
      }
      tab.cells[it->second].merge(cells[c]);
    }
  }
  return tab;
}

void printDescriptives(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const int nf = st.nfactr();
  DescriptiveTable tab = accumulateDescriptives(st, work);
  QV_ASSERT(!tab.cells.empty(), "gmdsot");

  out::TableBuilder tb(2, "Descriptive Statistics", "Descriptive Statistics");
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() < 2 ? out::Axis::Layer : out::Axis::Row);
  std::vector<int> facDim(nf);
  for (int f = 0; f < nf; ++f) {
    const Variable& v = dict.vars[st.factorVars[f]];
    facDim[f] = tb.dimension(v.name, out::Axis::Row);
    // Levels in level order, then the total.
    for (int l = 1; l <= g.nlevls[f]; ++l)
      tb.category(facDim[f], levelKey(st, f, l), levelLabel(st, dict, f, l));
    tb.category(facDim[f], "Total");
  }
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));

  // Entries in table order: levels ascending, the total last.
  std::vector<size_t> order(tab.cells.size());
  std::iota(order.begin(), order.end(), 0);
  auto rank = [&](size_t e, int f) { return tab.keys[e][f] == 0 ? g.nlevls[f] + 1 : tab.keys[e][f]; };
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    for (int f = 0; f < nf; ++f)
      if (rank(a, f) != rank(b, f)) return rank(a, f) < rank(b, f);
    return false;
  });

  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, shownName(dict, var));
    for (size_t e : order) {
      const DescriptiveCell& c = tab.cells[e];
      for (int f = 0; f < nf; ++f) {
        const int l = tab.keys[e][f];
        if (l == 0) {
          tb.category(facDim[f], "Total");
        } else {
          tb.category(facDim[f], levelKey(st, f, l), levelLabel(st, dict, f, l));
        }
      }
      tb.cell(statDim, "Mean", out::Value::num(c.n > 0.0 ? c.mean[d] : kSysmis, out::Fmt::Mean));
      tb.cell(statDim, "Std. Deviation", out::Value::num(c.stdDev(d), out::Fmt::StdDev));
      tb.cell(statDim, "N", out::Value::num(c.n, out::Fmt::Count));
    }
  }
  ctx.emitTable(tb);
}

}  // namespace qv
