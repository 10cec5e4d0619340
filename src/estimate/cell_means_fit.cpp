#include "estimate/cell_means_fit.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "estimate/estimation.h"
#include "estimate/sstypes.h"
#include "host/numeric/ddouble.h"
#include "host/output/message_numbers.h"

namespace qv {

namespace {

using num::DD;

// Cleaning factor (times DBL_EPSILON, per df and design column) of a hypothesis SSCP, as the
// sweep of the whole design cleans its own.
constexpr double kSSCPCleanFactor = 1.0;

// What the model's effects are, for the cell-means fit.
struct CellLayout {
  int saturating = -1;    // an effect with a column of its own in every design cell; -1 none
  bool complete = false;  // a complete crossed factorial (see cell_means_fit.h)
};

// Does effect e have a different design column in every design cell?
bool ownColumnPerCell(const GroupState& g, int ne, int e) {
  const size_t q = static_cast<size_t>(g.nonEmptyCells());
  std::vector<char> seen(static_cast<size_t>(g.dmncol), 0);
  for (size_t c = 0; c < q; ++c) {
    const int j = g.designCellColumns[c * static_cast<size_t>(ne) + static_cast<size_t>(e)];
    if (j < 0 || j >= g.dmncol || seen[static_cast<size_t>(j)]) return false;
    seen[static_cast<size_t>(j)] = 1;
  }
  return true;
}

// Factor set of effect e as a bit mask (factor f at bit f).
unsigned factorMask(const ProcedureState& st, int e) {
  unsigned mask = 0;
  for (int f : Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()).factors()) mask |= 1u << f;
  return mask;
}

CellLayout layoutOf(const ProcedureState& st) {
  const GroupState& g = st.group;
  const int ne = st.effectCount(), nf = st.nfactr();
  CellLayout lay;
  if (g.nonEmptyCells() == 0 || g.designCellColumns.size() != static_cast<size_t>(g.nonEmptyCells()) * ne)
    return lay;
  for (int e = 0; e < ne && lay.saturating < 0; ++e)
    if (ownColumnPerCell(g, ne, e)) lay.saturating = e;
  if (lay.saturating < 0 || nf > 16) return lay;
  // Complete crossed factorial: every combination observed, no nesting, every subset of the
  // factors exactly once and after its own subsets.
  double combinations = 1.0;
  for (int f = 0; f < nf; ++f) combinations *= g.nlevls[static_cast<size_t>(f)];
  if (combinations != static_cast<double>(g.nonEmptyCells())) return lay;
  if (ne != (1 << nf)) return lay;
  std::vector<char> seen(static_cast<size_t>(ne), 0);
  for (int e = 0; e < ne; ++e) {
    const Effect eff(st.ptefds[static_cast<size_t>(e)], nf);
    if (eff.innermostNesting() > 0) return lay;
    const unsigned mask = factorMask(st, e);
    if (seen[mask]) return lay;
    if (mask != 0)
      for (unsigned sub = (mask - 1) & mask;; sub = (sub - 1) & mask) {
        if (!seen[sub]) return lay;  // a proper subset not yet seen: later, or absent
        if (sub == 0) break;
      }
    seen[mask] = 1;
  }
  lay.complete = true;
  return lay;
}

// The effects of the smaller of the two models whose residuals differ by effect e's sum of
// squares: in Type I the effects before e, in Type II the others that do not contain e, in
// Types III and IV (the saturating effect only) all the others.
std::vector<char> reducedModel(const ProcedureState& st, int e) {
  const int ne = st.effectCount();
  std::vector<char> in(static_cast<size_t>(ne), 0);
  for (int f = 0; f < ne; ++f) {
    if (f == e) continue;
    if (st.sstype == 1)
      in[static_cast<size_t>(f)] = f < e;
    else if (st.sstype == 2)
      in[static_cast<size_t>(f)] = !effectContains(st, f, e);
    else
      in[static_cast<size_t>(f)] = 1;
  }
  return in;
}

// Design columns of the model made of the effects in `in`, unless it holds the saturating one.
long subModelColumns(const ProcedureState& st, const std::vector<char>& in, int saturating) {
  if (in[static_cast<size_t>(saturating)]) return 0;
  long n = 0;
  for (size_t f = 0; f < in.size(); ++f)
    if (in[f]) n += st.group.effectNcols[f];
  return n;
}

bool onlyServedRequests(const ProcedureState& st) {
  if (st.printGef || st.printLMatrix || st.printLackOfFit || st.plotSpreadLevel || st.plotResiduals)
    return false;
  if (st.profilePlotCount() > 0 || st.contrastCount() > 0 || st.lmatrixCount() > 0 || !st.ptkmat.empty() ||
      st.testCount() > 0 || st.posthocCount() > 0 || st.emmeansCount() > 0 || st.saveCount() > 0)
    return false;
  return st.outdpcPath.empty() && st.outdpdPath.empty() && st.effectOutPath.empty();
}

// Per design cell, the weight N_c (case x regression weight), the weighted sums of the
// dependents about their origin and the weighted sums of their cross-products about it
// (packed), all in double-double; the pass's partial result and its total.
struct CellSums {
  size_t nd = 0;
  std::vector<DD> w, s, ss;
  CellSums() = default;
  auto fields() { return std::tie(nd, w, s, ss); }
  auto fields() const { return std::tie(nd, w, s, ss); }
  CellSums(size_t cells, size_t ndep)
      : nd(ndep), w(cells, DD(0.0)), s(cells * ndep, DD(0.0)), ss(cells * num::packedSize(ndep), DD(0.0)) {}
  void merge(const CellSums& o) {
    for (size_t i = 0; i < w.size(); ++i) w[i] += o.w[i];
    for (size_t i = 0; i < s.size(); ++i) s[i] += o.s[i];
    for (size_t i = 0; i < ss.size(); ++i) ss[i] += o.ss[i];
  }
};

CellSums gatherCells(const ProcedureState& st, const CaseWorkFile& work, const std::vector<double>& origin) {
  const GroupState& g = st.group;
  const size_t q = static_cast<size_t>(g.nonEmptyCells());
  const size_t nd = static_cast<size_t>(st.ndepvr()), np = num::packedSize(nd);
  CellSums total(q, nd);
  work.reduce(
      [&](const CaseBlock& cases) {
        CellSums part(q, nd);
        std::vector<DD> dev(nd);
        for (long k = cases.range.begin; k < cases.range.end; ++k) {
          const double wr = cases.weight(k) * cases.regWeight(k);
          if (!(wr > 0.0)) continue;
          const size_t c = static_cast<size_t>(cases.designCell(k));
          const double* y = cases.depOf(k);
          const double* yr = cases.depRemOf(k);
          for (size_t d = 0; d < nd; ++d) dev[d] = num::twoSum(y[d], -origin[d]) + DD(yr ? yr[d] : 0.0);
          part.w[c] += DD(wr);
          DD* sc = part.s.data() + c * nd;
          DD* ssc = part.ss.data() + c * np;
          for (size_t d = 0; d < nd; ++d) {
            const DD wd = DD(wr) * dev[d];
            sc[d] += wd;
            for (size_t e = 0; e <= d; ++e) ssc[num::packedIndex(d, e)] += wd * dev[e];
          }
        }
        return part;
      },
      [&](const CellSums& part) { total.merge(part); });
  return total;
}

// A residual SSCP in double-double (packed, order ndepvr) and the rank of its model.
struct Residual {
  std::vector<DD> sscp;
  int rank = 0;
};

// Everything the hypotheses are worked out of.
struct CellFit {
  const ProcedureState& st;
  const CellSums& cells;
  std::vector<double> origin;
  Residual total, error;  // about zero (no effect); within the cells (a saturating model)
  int saturating = -1;

  // The residual of the model made of the effects in `in`.
  Residual residualOf(const std::vector<char>& in) const {
    if (in[static_cast<size_t>(saturating)]) return error;
    if (std::find(in.begin(), in.end(), 1) == in.end()) return total;
    return sweepSubModel(in);
  }

  // Sweeps the model of the effects in `in` over its own columns (those of its effects that
  // some cell has), with the dependents about their origin and a constant column after them,
  // as the sweep of the whole design lays out its matrix.
  Residual sweepSubModel(const std::vector<char>& in) const {
    const GroupState& g = st.group;
    const size_t ne = static_cast<size_t>(st.effectCount()), nd = cells.nd, q = cells.w.size();
    std::vector<int> local(static_cast<size_t>(g.dmncol), -1);
    std::vector<std::pair<int, int>> runs;  // per effect swept, its local columns
    int n = 0;
    for (size_t e = 0; e < ne; ++e) {
      if (!in[e]) continue;
      const int first = n;
      const int from = g.effectFirstCol[e] - 1, to = from + g.effectNcols[e];
      std::vector<char> used(static_cast<size_t>(to - from), 0);
      for (size_t c = 0; c < q; ++c) used[static_cast<size_t>(g.designCellColumns[c * ne + e] - from)] = 1;
      for (int j = from; j < to; ++j)
        if (used[static_cast<size_t>(j - from)]) local[static_cast<size_t>(j)] = n++;
      if (n > first) runs.emplace_back(first, n - 1);
    }
    const size_t order = static_cast<size_t>(n) + nd + 1, one = order - 1;
    std::vector<DD> a(num::packedSize(order), DD(0.0));
    std::vector<size_t> cols;
    for (size_t c = 0; c < q; ++c) {
      cols.clear();
      for (size_t e = 0; e < ne; ++e)
        if (in[e])
          cols.push_back(static_cast<size_t>(local[static_cast<size_t>(g.designCellColumns[c * ne + e])]));
      for (size_t x = 0; x < cols.size(); ++x) {
        for (size_t y = 0; y <= x; ++y) a[num::packedIndex(cols[x], cols[y])] += cells.w[c];
        for (size_t d = 0; d < nd; ++d)
          a[num::packedIndex(static_cast<size_t>(n) + d, cols[x])] += cells.s[c * nd + d];
        a[num::packedIndex(one, cols[x])] += cells.w[c];
      }
    }
    for (size_t c = 0; c < q; ++c) {
      for (size_t d = 0; d < nd; ++d) {
        for (size_t e = 0; e <= d; ++e)
          a[num::packedIndex(static_cast<size_t>(n) + d, static_cast<size_t>(n) + e)] +=
              cells.ss[c * num::packedSize(nd) + num::packedIndex(d, e)];
        a[num::packedIndex(one, static_cast<size_t>(n) + d)] += cells.s[c * nd + d];
      }
      a[num::packedIndex(one, one)] += cells.w[c];
    }
    ProcedureState sub;
    sub.depVars = st.depVars;
    sub.rdneps = st.rdneps;
    sub.interceptIncluded = st.interceptIncluded && in[0] && Effect(st.ptefds[0], st.nfactr()).isIntercept();
    sub.group.dmncol = n;
    sub.group.depShift = origin;
    sub.group.crossProducts = num::Packed(order);
    sub.group.crossProductsLo.assign(a.size(), 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
      sub.group.crossProducts.a[i] = a[i].hi;
      sub.group.crossProductsLo[i] = a[i].lo;
    }
    a = {};
    SweepState ss = makeSweepState(sub);
    ss.fullMatrix = n < kSweptRowsColumns;
    Residual r;
    for (const auto& [first, last] : runs) r.rank += GMENRE(ss, first, last, true);
    std::vector<double> lo;
    const num::Packed hi = ss.dependentBlock(lo);
    r.sscp.resize(hi.a.size());
    for (size_t i = 0; i < hi.a.size(); ++i) r.sscp[i] = DD(hi.a[i], lo[i]);
    return r;
  }
};

// Stores effect e's hypothesis (df and SSCP; no L), cleaned as the sweep of the whole design
// cleans its own.
void storeHypothesis(ProcedureState& st, int e, int df, const std::vector<DD>& sscp) {
  HypothesisRecord& h = st.group.hypotheses[static_cast<size_t>(e)];
  h.df = df;
  h.L = num::Mat();
  h.sscp = num::Packed();
  if (df <= 0) return;
  h.sscp = num::Packed(static_cast<size_t>(st.ndepvr()));
  for (size_t i = 0; i < sscp.size(); ++i) h.sscp.a[i] = sscp[i].hi;
  for (size_t i = 0; i < h.sscp.n; ++i)
    if (h.sscp(i, i) < 0.0) h.sscp(i, i) = 0.0;
  num::CLNSCP(h.sscp, kSSCPCleanFactor * df * st.group.dmncol);
}

// Type III (and IV) hypothesis of effect e (not the saturating one) on a complete factorial:
// (M mu)'(M N^-1 M')^-1 (M mu), see cell_means_fit.h.
void cellContrastHypothesis(ProcedureState& st, const CellSums& cells,
                            const std::vector<std::vector<DD>>& mean, int e) {
  const GroupState& g = st.group;
  const size_t nf = static_cast<size_t>(st.nfactr()), nd = cells.nd, q = cells.w.size();
  const std::vector<int> fe = Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()).factors();
  size_t rows = 1, tuples = 1;
  double others = 1.0;  // K: the combinations of the other factors' levels
  for (size_t f = 0; f < nf; ++f) {
    const bool inE = std::find(fe.begin(), fe.end(), static_cast<int>(f)) != fe.end();
    if (inE) {
      rows *= static_cast<size_t>(g.nlevls[f] - 1);
      tuples *= static_cast<size_t>(g.nlevls[f]);
    } else {
      others *= g.nlevls[f];
    }
  }
  if (rows == 0) {
    storeHypothesis(st, e, 0, {});
    return;
  }
  // The unweighted marginal means of e's level combinations and their variance factors.
  std::vector<DD> m(tuples * nd, DD(0.0)), v(tuples, DD(0.0));
  for (size_t c = 0; c < q; ++c) {
    size_t t = 0;
    for (int f : fe)
      t = t * static_cast<size_t>(g.nlevls[static_cast<size_t>(f)]) +
          static_cast<size_t>(g.designCellLevels[c * nf + static_cast<size_t>(f)] - 1);
    for (size_t d = 0; d < nd; ++d) m[t * nd + d] += mean[c][d];
    v[t] += DD(1.0) / cells.w[c];
  }
  const DD k(others), k2 = DD(others) * DD(others);
  for (DD& x : m) x = x / k;
  for (DD& x : v) x = x / k2;
  // Row r of M (each factor of e at a level below its last) takes +-1 at the combinations
  // where each factor is at the row's level or at its last; the sign is (-1)^(factors at the
  // last level), so a combination t adds its variance to every pair of rows that reach it.
  std::vector<DD> mm(num::packedSize(rows), DD(0.0));
  std::vector<std::vector<DD>> u(nd, std::vector<DD>(rows, DD(0.0)));
  const size_t ef = fe.size();
  std::vector<int> level(ef), span(ef);
  std::vector<size_t> reach;
  for (size_t t = 0; t < tuples; ++t) {
    size_t rest = t;
    int lastCount = 0;
    for (size_t i = ef; i-- > 0;) {
      const int nl = g.nlevls[static_cast<size_t>(fe[i])];
      level[i] = static_cast<int>(rest % static_cast<size_t>(nl));
      rest /= static_cast<size_t>(nl);
      if (level[i] == nl - 1) ++lastCount;
    }
    // The rows reaching t: per factor the one level t has, or every level below the last.
    reach.assign(1, 0);
    for (size_t i = 0; i < ef; ++i) {
      const size_t radix = static_cast<size_t>(g.nlevls[static_cast<size_t>(fe[i])] - 1);
      const int nl = g.nlevls[static_cast<size_t>(fe[i])];
      std::vector<size_t> next;
      for (size_t r : reach) {
        if (level[i] < nl - 1) {
          next.push_back(r * radix + static_cast<size_t>(level[i]));
        } else {
          for (size_t l = 0; l < radix; ++l) next.push_back(r * radix + l);
        }
      }
      reach.swap(next);
    }
    const bool negative = lastCount % 2 == 1;
    for (size_t x = 0; x < reach.size(); ++x) {
      for (size_t d = 0; d < nd; ++d) u[d][reach[x]] += negative ? -m[t * nd + d] : m[t * nd + d];
      for (size_t y = 0; y < reach.size(); ++y)
        if (reach[y] <= reach[x]) mm[num::packedIndex(reach[x], reach[y])] += v[t];
    }
  }
  const num::Packed h = choleskyQuadraticForm(mm, rows, u, st.rdneps);
  std::vector<DD> sscp(h.a.size());
  for (size_t i = 0; i < h.a.size(); ++i) sscp[i] = DD(h.a[i]);
  storeHypothesis(st, e, static_cast<int>(rows), sscp);
}

// Parameter estimates and the generalised inverse's diagonal on a complete factorial.
void cellParameters(ProcedureState& st, const CellSums& cells, const std::vector<std::vector<DD>>& mean) {
  GroupState& g = st.group;
  const size_t nf = static_cast<size_t>(st.nfactr()), nd = cells.nd, q = cells.w.size();
  const size_t ne = static_cast<size_t>(st.effectCount()), p = static_cast<size_t>(g.dmncol);
  // The cell of every level combination (mixed radix, first factor slowest), and per column a
  // cell that has it.
  std::vector<size_t> cellAt(q);
  std::vector<long> columnCell(p, -1);
  auto indexOf = [&](const int* levels) {
    size_t t = 0;
    for (size_t f = 0; f < nf; ++f)
      t = t * static_cast<size_t>(g.nlevls[f]) + static_cast<size_t>(levels[f] - 1);
    return t;
  };
  for (size_t c = 0; c < q; ++c) {
    cellAt[indexOf(g.designCellLevels.data() + c * nf)] = c;
    for (size_t e = 0; e < ne; ++e) {
      const size_t j = static_cast<size_t>(g.designCellColumns[c * ne + e]);
      if (columnCell[j] < 0) columnCell[j] = static_cast<long>(c);
    }
  }
  g.nonRedundant.assign(p, 0);
  g.paramEst = num::Mat(p, nd);
  g.ginverseDiagonal.assign(p, 0.0);
  std::vector<int> levels(nf);
  std::vector<DD> b(nd);
  for (size_t e = 0; e < ne; ++e) {
    const std::vector<int> fe = Effect(st.ptefds[e], st.nfactr()).factors();
    const size_t first = static_cast<size_t>(g.effectFirstCol[e] - 1);
    for (size_t j = first; j < first + static_cast<size_t>(g.effectNcols[e]); ++j) {
      if (columnCell[j] < 0) continue;
      const int* own = g.designCellLevels.data() + static_cast<size_t>(columnCell[j]) * nf;
      bool kept = true;
      for (int f : fe) kept = kept && own[f] < g.nlevls[static_cast<size_t>(f)];
      if (!kept) continue;
      g.nonRedundant[j] = 1;
      std::fill(b.begin(), b.end(), DD(0.0));
      DD gjj(0.0);
      for (unsigned subset = 0; subset < (1u << fe.size()); ++subset) {
        int atLast = 0;
        for (size_t f = 0; f < nf; ++f) levels[f] = g.nlevls[f];
        for (size_t i = 0; i < fe.size(); ++i) {
          if (subset & (1u << i))
            levels[static_cast<size_t>(fe[i])] = own[fe[i]];
          else
            ++atLast;
        }
        const size_t c = cellAt[indexOf(levels.data())];
        for (size_t d = 0; d < nd; ++d) b[d] += atLast % 2 == 1 ? -mean[c][d] : mean[c][d];
        gjj += DD(1.0) / cells.w[c];
      }
      for (size_t d = 0; d < nd; ++d) g.paramEst(j, d) = b[d].hi;
      g.ginverseDiagonal[j] = gjj.hi;
    }
  }
}

}  // namespace

bool cellMeansFitServes(const ProcedureState& st) {
  const GroupState& g = st.group;
  if (st.nfactr() == 0 || st.ndepvr() == 0 || !st.interceptIncluded || st.randomEffectCount() > 0)
    return false;
  if (st.effectCount() == 0 || !Effect(st.ptefds[0], st.nfactr()).isIntercept()) return false;
  for (int e = 0; e < st.effectCount(); ++e)
    if (Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()).hasCovariate() ||
        (static_cast<size_t>(e) < st.ptecwf.size() && st.ptecwf[static_cast<size_t>(e)]))
      return false;
  if (!onlyServedRequests(st) || g.effectNcols.size() != static_cast<size_t>(st.effectCount())) return false;
  const CellLayout lay = layoutOf(st);
  if (lay.saturating < 0) return false;
  const bool byContrasts = st.sstype >= 3;
  if ((byContrasts || st.printParameters || st.printHomogeneity) && !lay.complete) return false;
  for (int e = 0; e < st.effectCount(); ++e) {
    if (byContrasts && e != lay.saturating) {
      long rows = 1;
      for (int f : Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()).factors())
        rows *= g.nlevls[static_cast<size_t>(f)] - 1;
      if (rows > kCellMeansHypothesisRows) return false;
      continue;
    }
    std::vector<char> in = reducedModel(st, e);
    if (subModelColumns(st, in, lay.saturating) > kCellMeansSubModelColumns) return false;
    in[static_cast<size_t>(e)] = 1;
    if (subModelColumns(st, in, lay.saturating) > kCellMeansSubModelColumns) return false;
  }
  return true;
}

bool fitCellMeans(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  GroupState& g = st.group;
  const CellLayout lay = layoutOf(st);
  QV_ASSERT(lay.saturating >= 0, "fitCellMeans");
  const size_t nd = static_cast<size_t>(st.ndepvr()), np = num::packedSize(nd);
  // The dependents' origin: the first valid case's values, as the sweep of the whole design.
  std::vector<double> origin(nd, 0.0);
  work.scan([&](const CaseBlock& cases) {
    for (long k = cases.range.begin; k < cases.range.end; ++k)
      if (cases.weight(k) > 0.0 && cases.regWeight(k) > 0.0) {
        origin.assign(cases.depOf(k), cases.depOf(k) + nd);
        return true;
      }
    return false;
  });
  const CellSums cells = gatherCells(st, work, origin);
  const size_t q = cells.w.size();

  CellFit fit{st, cells, origin, {}, {}, lay.saturating};
  DD wsum(0.0);
  std::vector<DD> s(nd, DD(0.0)), ss(np, DD(0.0));
  fit.error.sscp.assign(np, DD(0.0));
  int observed = 0;
  for (size_t c = 0; c < q; ++c) {
    if (!(cells.w[c].hi > 0.0)) continue;
    ++observed;
    wsum += cells.w[c];
    for (size_t d = 0; d < nd; ++d) s[d] += cells.s[c * nd + d];
    for (size_t i = 0; i < np; ++i) ss[i] += cells.ss[c * np + i];
    for (size_t d = 0; d < nd; ++d)
      for (size_t e = 0; e <= d; ++e)
        fit.error.sscp[num::packedIndex(d, e)] += cells.ss[c * np + num::packedIndex(d, e)] -
                                                  cells.s[c * nd + d] * cells.s[c * nd + e] / cells.w[c];
  }
  if (lay.complete && observed < static_cast<int>(q) &&
      (st.sstype >= 3 || st.printParameters || st.printHomogeneity)) {
    ctx.message(msg::kTooManyDesignColumns, out::Phase::Processing, out::Severity::Error);
    return false;
  }
  fit.error.rank = observed;
  fit.total.sscp.assign(np, DD(0.0));
  for (size_t d = 0; d < nd; ++d)
    for (size_t e = 0; e <= d; ++e)
      fit.total.sscp[num::packedIndex(d, e)] = ss[num::packedIndex(d, e)] + DD(origin[d]) * s[e] +
                                               DD(origin[e]) * s[d] +
                                               num::twoProd(origin[d], origin[e]) * wsum;

  g.depShift = origin;
  g.modldf = observed;
  g.depMeans.assign(nd, 0.0);
  g.totalSS.assign(nd, 0.0);
  g.totalSSCP = num::Packed(nd);
  g.errorSSCP = num::Packed(nd);
  for (size_t d = 0; d < nd; ++d) {
    if (wsum.hi > 0.0) g.depMeans[d] = (DD(origin[d]) + s[d] / wsum).hi;
    g.totalSS[d] = wsum.hi > 0.0 ? (ss[num::packedIndex(d, d)] - s[d] * s[d] / wsum).hi : 0.0;
  }
  for (size_t i = 0; i < np; ++i) {
    g.totalSSCP.a[i] = fit.total.sscp[i].hi;
    if (g.sumWeights - g.modldf > 0) g.errorSSCP.a[i] = fit.error.sscp[i].hi;
  }
  // The cells' weighted means, in the dependents' own units.
  std::vector<std::vector<DD>> mean(q, std::vector<DD>(nd, DD(0.0)));
  for (size_t c = 0; c < q; ++c)
    if (cells.w[c].hi > 0.0)
      for (size_t d = 0; d < nd; ++d) mean[c][d] = DD(origin[d]) + cells.s[c * nd + d] / cells.w[c];
  if (lay.complete) cellParameters(st, cells, mean);

  resetOutputs(st);
  for (int e = 0; e < st.effectCount(); ++e) {
    if (st.sstype >= 3 && e != lay.saturating) {
      cellContrastHypothesis(st, cells, mean, e);
      continue;
    }
    std::vector<char> in = reducedModel(st, e);
    const Residual r0 = fit.residualOf(in);
    in[static_cast<size_t>(e)] = 1;
    const Residual r1 = fit.residualOf(in);
    std::vector<DD> h(np);
    for (size_t i = 0; i < np; ++i) h[i] = r0.sscp[i] - r1.sscp[i];
    storeHypothesis(st, e, r1.rank - r0.rank, h);
  }
  return true;
}

}  // namespace qv
