#include "emmeans/marginal_l.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "data/design.h"
#include "host/context.h"

namespace qv {

namespace {

// Products of level counts above this are "too many cells".
constexpr double kMaxOtherCombinations = 1.0e50;
// Designs with unobserved cells are averaged by visiting the combinations of the other factors
// one by one; a table that would need more visits than this is refused as too many cells.
constexpr double kMaxVisits = 2.0e8;

// Design column (0-based) of the cell of effect e at the level combination `levels` (one level
// per factor); -1 when that cell was never observed.
int columnOf(const GroupState& g, int e, const int* levels) {
  const long cell = cellOfLevels(g.effectOrder[e], g.nlevls, levels);
  const auto first = g.colCell.begin() + (g.effectFirstCol[e] - 1);
  const auto last = first + g.effectNcols[e];
  const auto it = std::lower_bound(first, last, cell);
  if (it == last || *it != cell) return -1;
  return static_cast<int>(it - g.colCell.begin());
}

// Value an effect's column takes in a design row: 1, or the product of the covariates' values
// raised to their powers in the effect.
double effectValue(const ProcedureState& st, int e, const std::vector<double>& covValues) {
  double v = 1.0;
  const Effect effect(st.ptefds[e], st.nfactr());
  for (int c = 0; c < st.ncovar(); ++c) {
    const int p = effect.power(c);
    if (p >= 1) v *= p == 1 ? covValues[c] : std::pow(covValues[c], p);
  }
  return v;
}

}  // namespace

TableCells tableCells(const GroupState& g, const std::vector<int>& factors) {
  TableCells t;
  t.factors = factors;
  double count = 1.0;
  for (int f : factors) count *= g.nlevls[f];
  t.count = static_cast<long>(count);
  t.levels.resize(static_cast<size_t>(t.count) * factors.size());
  std::vector<int> lev(factors.size(), 1);
  for (long c = 0; c < t.count; ++c) {
    std::copy(lev.begin(), lev.end(), t.levels.begin() + c * static_cast<long>(factors.size()));
    for (int k = static_cast<int>(factors.size()) - 1; k >= 0; --k) {
      if (++lev[k] <= g.nlevls[factors[k]]) break;
      lev[k] = 1;
    }
  }
  return t;
}

std::vector<double> covariateMeans(const ProcedureState& st, const CaseWorkFile& work) {
  const int nc = st.ncovar();
  std::vector<double> means(nc, kSysmis);
  // Accumulated about the first case's values in extended precision, so that covariates with
  // a large constant offset keep their digits.
  std::vector<long double> origin(nc, 0.0L);
  work.scan([&](const CaseBlock& cases) {
    for (long k = cases.range.begin; k < cases.range.end; ++k)
      if (cases.weight(k) > 0.0 && cases.regWeight(k) > 0.0) {
        for (int c = 0; c < nc; ++c) origin[c] = cases.covOf(k)[c];
        return true;
      }
    return false;
  });
  // The pass: per block, the weight and the weighted sums of the deviations from the origin
  // (the weight last); added in block order.
  std::vector<long double> sum(static_cast<size_t>(nc) + 1, 0.0L);
  work.reduce(
      [&](const CaseBlock& cases) {
        std::vector<long double> part(static_cast<size_t>(nc) + 1, 0.0L);
        for (long k = cases.range.begin; k < cases.range.end; ++k) {
          const double w = cases.weight(k), r = cases.regWeight(k);
          if (!(w > 0.0) || !(r > 0.0)) continue;
          const double* x = cases.covOf(k);
          const long double wr = static_cast<long double>(w) * r;
          part[nc] += wr;
          for (int c = 0; c < nc; ++c) part[c] += wr * (x[c] - origin[c]);
        }
        return part;
      },
      [&](const std::vector<long double>& part) {
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += part[i];
      });
  const long double wsum = sum[nc];
  if (wsum > 0.0L)
    for (int c = 0; c < nc; ++c) means[c] = static_cast<double>(origin[c] + sum[c] / wsum);
  return means;
}

EstimabilityIndex estimabilityIndex(const GroupState& g) {
  EstimabilityIndex ix;
  ix.basisRow.assign(static_cast<size_t>(g.dmncol), -1);
  int r = 0;
  for (int j = 0; j < g.dmncol; ++j) {
    if (j < static_cast<int>(g.nonRedundant.size()) && g.nonRedundant[j]) {
      ix.basisRow[j] = r++;
    } else {
      ix.redundant.push_back(j);
    }
  }
  return ix;
}

bool buildMarginalRows(const ProcedureState& st, const TableCells& cells,
                       const std::vector<double>& covValues, double eps, std::vector<SparseRow>& rows,
                       std::vector<CellStatus>& status) {
  const GroupState& g = st.group;
  const int nf = st.nfactr();
  const int ne = st.effectCount();
  rows.clear();
  status.clear();

  std::vector<char> inTable(nf, 0), inModel(nf, 0);
  for (int f : cells.factors) inTable[f] = 1;
  for (int e = 0; e < ne; ++e)
    for (int f : g.effectOrder[e]) inModel[f] = 1;
  double otherProduct = 1.0;
  for (int f = 0; f < nf; ++f)
    if (!inTable[f]) otherProduct *= g.nlevls[f];
  if (otherProduct > kMaxOtherCombinations) return false;

  // The other factors that change the average: those that enter some effect.
  std::vector<int> others;
  double visits = 1.0;
  for (int f = 0; f < nf; ++f)
    if (!inTable[f] && inModel[f]) {
      others.push_back(f);
      visits *= g.nlevls[f];
    }
  std::vector<double> value(ne);
  bool allObserved = true;
  for (int e = 0; e < ne; ++e) {
    value[e] = effectValue(st, e, covValues);
    allObserved = allObserved && g.effectNcols[e] == g.effectPossibleCells[e];
  }
  if (!allObserved && visits * static_cast<double>(cells.count) > kMaxVisits) return false;

  const EstimabilityIndex ix = estimabilityIndex(g);
  rows.resize(static_cast<size_t>(cells.count));
  status.assign(static_cast<size_t>(cells.count), CellStatus::Ordinary);
  std::vector<int> lev(std::max(nf, 1), 1);
  const size_t nt = cells.factors.size();

  if (allObserved) {
    // Every cell of every effect has a column, so no combination is left out and the average
    // factorises by effect: the columns of effect e reached from a table cell are those of its
    // combinations of the other factors in e, each with weight 1 / (their number).
    std::vector<std::vector<int>> free(ne);
    std::vector<double> weight(ne, 1.0);
    for (int e = 0; e < ne; ++e) {
      double count = 1.0;
      for (int f : g.effectOrder[e])
        if (!inTable[f]) {
          free[e].push_back(f);
          count *= g.nlevls[f];
        }
      weight[e] = value[e] / count;
    }
    std::vector<std::pair<int, double>> entries;
    for (long c = 0; c < cells.count; ++c) {
      const int* tl = cells.levelsOf(c);
      for (size_t k = 0; k < nt; ++k) lev[cells.factors[k]] = tl[k];
      entries.clear();
      for (int e = 0; e < ne; ++e) {
        for (int f : free[e]) lev[f] = 1;
        for (;;) {
          const int col = columnOf(g, e, lev.data());
          QV_ASSERT(col >= 0, "buildMarginalRows");
          entries.emplace_back(col, weight[e]);
          size_t k = free[e].size();
          while (k > 0 && ++lev[free[e][k - 1]] > g.nlevls[free[e][k - 1]]) lev[free[e][--k]] = 1;
          if (k == 0) break;
        }
      }
      std::sort(entries.begin(), entries.end());
      SparseRow& row = rows[c];
      for (const auto& [col, v] : entries) {
        row.col.push_back(col);
        row.val.push_back(v);
      }
      if (!sparseEstimable(g, ix, row, eps)) status[c] = CellStatus::NotEstimable;
    }
    return true;
  }

  // Some effect has unobserved cells: visit the combinations of the other factors depth first,
  // checking each effect as soon as all its factors have levels, so that a branch that already
  // reaches an unobserved cell is cut.
  const int m = static_cast<int>(others.size());
  std::vector<int> position(nf, -1);
  for (int i = 0; i < m; ++i) position[others[i]] = i;
  std::vector<std::vector<int>> checkAt(m + 1);  // effects complete once depth d is assigned
  for (int e = 0; e < ne; ++e) {
    int depth = 0;
    for (int f : g.effectOrder[e])
      if (!inTable[f]) depth = std::max(depth, position[f] + 1);
    checkAt[depth].push_back(e);
  }
  std::vector<int> colAt(ne, -1);
  std::vector<double> acc(static_cast<size_t>(g.dmncol), 0.0);
  std::vector<char> isTouched(static_cast<size_t>(g.dmncol), 0);
  std::vector<int> touched;
  double kept = 0.0;
  auto effectsPresent = [&](int depth) {
    for (int e : checkAt[depth]) {
      colAt[e] = columnOf(g, e, lev.data());
      if (colAt[e] < 0) return false;
    }
    return true;
  };
  // depth: the number of other factors with levels; their effects have been checked.
  std::function<void(int)> visit = [&](int depth) {
    if (depth == m) {
      kept += 1.0;
      for (int e = 0; e < ne; ++e) {
        if (!isTouched[colAt[e]]) {
          isTouched[colAt[e]] = 1;
          touched.push_back(colAt[e]);
        }
        acc[colAt[e]] += value[e];
      }
      return;
    }
    const int f = others[depth];
    for (int l = 1; l <= g.nlevls[f]; ++l) {
      lev[f] = l;
      if (effectsPresent(depth + 1)) visit(depth + 1);
    }
  };
  for (long c = 0; c < cells.count; ++c) {
    const int* tl = cells.levelsOf(c);
    for (size_t k = 0; k < nt; ++k) lev[cells.factors[k]] = tl[k];
    kept = 0.0;
    touched.clear();
    if (effectsPresent(0)) visit(0);
    SparseRow& row = rows[c];
    std::sort(touched.begin(), touched.end());
    for (int col : touched) {
      if (kept > 0.0 && acc[col] != 0.0) {
        row.col.push_back(col);
        row.val.push_back(acc[col] / kept);
      }
      acc[col] = 0.0;
      isTouched[col] = 0;
    }
    if (kept == 0.0) {
      status[c] = CellStatus::Absent;
      continue;
    }
    if (!sparseEstimable(g, ix, row, eps)) {
      status[c] = CellStatus::NotEstimable;
    } else if (kept < visits) {
      status[c] = CellStatus::Modified;
    }
  }
  return true;
}

SparseRow difference(const SparseRow& a, const SparseRow& b) {
  SparseRow d;
  size_t i = 0, j = 0;
  while (i < a.col.size() || j < b.col.size()) {
    if (j == b.col.size() || (i < a.col.size() && a.col[i] < b.col[j])) {
      d.col.push_back(a.col[i]);
      d.val.push_back(a.val[i++]);
    } else if (i == a.col.size() || b.col[j] < a.col[i]) {
      d.col.push_back(b.col[j]);
      d.val.push_back(-b.val[j++]);
    } else {
      const double v = a.val[i++] - b.val[j];
      if (v != 0.0) {
        d.col.push_back(b.col[j]);
        d.val.push_back(v);
      }
      ++j;
    }
  }
  return d;
}

double dotEstimates(const GroupState& g, const SparseRow& l, int d) {
  double s = 0.0;
  for (size_t i = 0; i < l.col.size(); ++i) s += l.val[i] * g.paramEst(static_cast<size_t>(l.col[i]), d);
  return s;
}

double quadraticForm(const GroupState& g, const SparseRow& l, const SparseRow& m) {
  double s = 0.0;
  for (size_t i = 0; i < l.col.size(); ++i) {
    double t = 0.0;
    for (size_t j = 0; j < m.col.size(); ++j)
      t += g.ginverse(static_cast<size_t>(l.col[i]), static_cast<size_t>(m.col[j])) * m.val[j];
    s += l.val[i] * t;
  }
  return s;
}

bool sparseEstimable(const GroupState& g, const EstimabilityIndex& ix, const SparseRow& l, double eps) {
  double norm = 0.0;
  for (double v : l.val) norm += v * v;
  norm = std::sqrt(norm);
  if (norm == 0.0) return true;
  // The residual of l from the row space vanishes on the non-redundant columns; at a
  // redundant column k it is l_k minus the combination of the basis rows that l selects.
  double sum = 0.0;
  for (int k : ix.redundant) {
    double r = 0.0;
    for (size_t i = 0; i < l.col.size(); ++i) {
      const int j = l.col[i];
      if (j == k) {
        r += l.val[i];
      } else if (ix.basisRow[j] >= 0) {
        r -= l.val[i] * g.estBasis(static_cast<size_t>(ix.basisRow[j]), static_cast<size_t>(k));
      }
    }
    r /= norm;
    sum += r * r;
  }
  return std::sqrt(sum) <= eps;
}

num::Packed sparseHypothesisSSCP(const GroupState& g, const std::vector<SparseRow>& rows, double tol,
                                 int ndepvr) {
  const size_t m = rows.size();
  num::Packed result(static_cast<size_t>(ndepvr));
  if (m == 0) return result;
  num::Packed mm(m);
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j <= i; ++j) mm(i, j) = quadraticForm(g, rows[i], rows[j]);
  std::vector<double> scale(m);
  for (size_t i = 0; i < m; ++i) scale[i] = mm(i, i);
  if (num::LTRCHD(mm, scale, tol) >= static_cast<int>(m)) return result;
  const num::Packed tinv = num::LTRDGI(mm);
  std::vector<std::vector<double>> u(static_cast<size_t>(ndepvr), std::vector<double>(m, 0.0));
  for (int d = 0; d < ndepvr; ++d) {
    std::vector<double> lb(m);
    for (size_t i = 0; i < m; ++i) lb[i] = dotEstimates(g, rows[i], d);
    for (size_t i = 0; i < m; ++i) {
      double s = 0.0;
      for (size_t k = 0; k <= i; ++k) s += tinv(i, k) * lb[k];
      u[d][i] = s;
    }
  }
  for (int d = 0; d < ndepvr; ++d)
    for (int e = 0; e <= d; ++e) {
      double s = 0.0;
      for (size_t i = 0; i < m; ++i) s += u[d][i] * u[e][i];
      result(d, e) = s;
    }
  return result;
}

}  // namespace qv
