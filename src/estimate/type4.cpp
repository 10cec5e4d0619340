// Type IV hypotheses. For each row of the effect's L (one per swept column of the effect), the
// coefficients of the effect itself are kept, those of effects that do not contain it are 0,
// and those of the containing effects are chosen so that the function is estimable and
// spreads each of the effect's coefficients evenly over the cells inside its cell: first as
// the estimability conditions force, then zeros under zero coefficients, then an even
// distribution over the cells of the highest containing level, summed down to lower levels.
#include <algorithm>
#include <cmath>

#include "data/design.h"
#include "estimate/sstypes.h"

namespace qv {

namespace {

// Relative tolerance of the estimability conditions (zero entries, pivots, residuals).
constexpr double kType4Tolerance = 1.0e-8;
// Cleaning and integer-snapping factor (times DBL_EPSILON) per design column.
constexpr double kType4CleanFactor = 16.0;

struct Type4Work {
  const ProcedureState& st;
  int cur;               // the effect under test
  std::vector<int> lev;  // containment level per effect
  int maxchy = 0;
  std::vector<int> colEffect;               // per column its effect
  num::Mat nullVecs;                        // rows: null-space vectors of the design
  std::vector<std::vector<int>> colLevels;  // per column, its level combination (-1 absent)
  int p = 0;

  // Does the cell of column `inner` lie inside the cell of column `outer` (agree on every
  // factor of outer's effect)? (QFLSBC)
  bool inside(int inner, int outer) const {
    const Effect effect(st.ptefds[static_cast<size_t>(colEffect[outer])], st.nfactr());
    for (int f = 0; f < st.nfactr(); ++f)
      if (effect.hasFactor(f) && colLevels[inner][f] != colLevels[outer][f]) return false;
    return true;
  }
};

struct RowState {
  std::vector<double> x;
  std::vector<char> fixed;
};

// Estimability pass (GME4KP): the free coefficients must make the row orthogonal to every
// null-space vector. Fixes every free coefficient the conditions determine uniquely.
bool solveConditions(const Type4Work& w, RowState& rs) {
  const size_t nv = w.nullVecs.rows;
  if (nv == 0) return true;
  for (int iter = 0; iter < w.p + 1; ++iter) {
    std::vector<int> freeCols;
    for (int j = 0; j < w.p; ++j)
      if (!rs.fixed[j]) freeCols.push_back(j);
    const size_t nf = freeCols.size();
    num::Mat ab(nv, nf + 1);
    for (size_t r = 0; r < nv; ++r) {
      const double* v = w.nullVecs.row(r);
      double rhs = 0.0;
      for (int j = 0; j < w.p; ++j)
        if (rs.fixed[j]) rhs -= v[j] * rs.x[j];
      for (size_t k = 0; k < nf; ++k) ab(r, k) = v[freeCols[k]];
      ab(r, nf) = rhs;
    }
    std::vector<int> pivotCol;
    num::GASJRD(ab, kType4Tolerance, pivotCol);
    const double resTol = std::max<double>(static_cast<double>(nf), 1.0) * kType4Tolerance;
    bool determined = false;
    for (size_t r = 0; r < nv; ++r) {
      int pc = r < pivotCol.size() ? pivotCol[r] : -1;
      if (pc < 0) {
        if (std::fabs(ab(r, nf)) > resTol) return false;
        continue;
      }
      const double piv = ab(r, static_cast<size_t>(pc));
      bool unique = true;
      for (size_t k = 0; k < nf && unique; ++k)
        if (static_cast<int>(k) != pc && std::fabs(ab(r, k) / piv) > kType4Tolerance) unique = false;
      if (!unique) continue;
      double val = ab(r, nf) / piv;
      if (num::QLREPS(val, 1.0, kType4CleanFactor * w.p)) val = 0.0;
      int col = freeCols[static_cast<size_t>(pc)];
      rs.x[col] = val;
      rs.fixed[col] = 1;
      determined = true;
    }
    if (!determined) return true;
  }
  return true;
}

// One Type IV function from one L row (GME4SF). Returns false when the row cannot be made
// estimable. `unique` is cleared when the function is not unique (QE4UNQ).
bool buildFunction(const Type4Work& w, double* row, bool& unique) {
  const ProcedureState& st = w.st;
  const GroupState& g = st.group;
  RowState rs{std::vector<double>(row, row + w.p), std::vector<char>(w.p, 0)};
  const int e = w.cur;
  const int ecol0 = g.effectFirstCol[e] - 1, ecol1 = ecol0 + g.effectNcols[e];
  for (int j = 0; j < w.p; ++j) {
    int f = w.colEffect[j];
    if (f == e) {
      double v = rs.x[j];
      if (num::QLREPS(v, 1.0, kType4CleanFactor * w.p))
        v = 0.0;
      else if (num::QLRINT(v, kType4CleanFactor * w.p))
        v = std::nearbyint(v);
      rs.x[j] = v;
      rs.fixed[j] = 1;
    } else if (w.lev[f] < 1) {
      rs.x[j] = 0.0;
      rs.fixed[j] = 1;
    } else {
      rs.x[j] = 0.0;
    }
  }
  if (!solveConditions(w, rs)) return false;

  // Zero cells (GME4CC): free containing cells inside an E cell whose coefficient is 0.
  for (int ec = ecol0; ec < ecol1; ++ec) {
    if (rs.x[ec] != 0.0) continue;
    bool any = false;
    for (int level = 1; level <= w.maxchy; ++level)
      for (int j = 0; j < w.p; ++j)
        if (!rs.fixed[j] && w.lev[w.colEffect[j]] == level && w.inside(j, ec)) {
          rs.x[j] = 0.0;
          rs.fixed[j] = 1;
          any = true;
        }
    if (any && !solveConditions(w, rs)) return false;
  }

  // Distribution (GME4CD) over the cells of the top containing level. Each top-level effect
  // spreads the whole coefficient over its own cells inside the E cell: its columns there sum
  // to the E column, so an estimable function gives them the E coefficient in total, and
  // sharing one count across several top-level effects would leave the later cells of each
  // to be forced unevenly by the estimability conditions.
  for (int ec = ecol0; ec < ecol1; ++ec) {
    const double c = rs.x[ec];
    if (c == 0.0) continue;
    for (int top = 0; top < st.effectCount(); ++top) {
      if (w.lev[top] != w.maxchy) continue;
      const int t0 = g.effectFirstCol[top] - 1, t1 = t0 + g.effectNcols[top];
      for (;;) {
        std::vector<int> cells;
        for (int j = t0; j < t1; ++j)
          if (w.inside(j, ec) && (!rs.fixed[j] || rs.x[j] != 0.0)) cells.push_back(j);
        if (cells.empty()) break;
        const double share = c / static_cast<double>(cells.size());
        RowState before = rs;
        int failed = -1;
        for (int j : cells) {
          if (rs.fixed[j]) continue;
          rs.x[j] = share;
          rs.fixed[j] = 1;
          if (!solveConditions(w, rs)) {
            failed = j;
            break;
          }
        }
        if (failed < 0) break;
        rs = before;
        rs.x[failed] = 0.0;
        rs.fixed[failed] = 1;
        solveConditions(w, rs);
      }
    }
  }
  // Lower levels receive the sums of the top-level cells inside their cells.
  for (int level = w.maxchy - 1; level >= 1; --level) {
    for (int j = 0; j < w.p; ++j) {
      if (rs.fixed[j] || w.lev[w.colEffect[j]] != level) continue;
      int top = -1;
      for (int f = 0; f < st.effectCount(); ++f)
        if (w.lev[f] == w.maxchy && effectContains(st, f, w.colEffect[j])) top = f;
      double sum = 0.0;
      if (top >= 0) {
        int t0 = g.effectFirstCol[top] - 1, t1 = t0 + g.effectNcols[top];
        for (int k = t0; k < t1; ++k)
          if (w.inside(k, j)) sum += rs.x[k];
      }
      rs.x[j] = sum;
      rs.fixed[j] = 1;
    }
  }
  num::CLNVEC(rs.x.data(), static_cast<size_t>(w.p), kType4CleanFactor * w.p);

  // Uniqueness: a non-zero E coefficient over a containing cell with coefficient 0.
  for (int ec = ecol0; ec < ecol1; ++ec) {
    if (rs.x[ec] == 0.0) continue;
    for (int j = 0; j < w.p; ++j)
      if (w.lev[w.colEffect[j]] >= 1 && w.inside(j, ec) && rs.x[j] == 0.0) unique = false;
  }
  std::copy(rs.x.begin(), rs.x.end(), row);
  return true;
}

}  // namespace

num::Mat typeIVHypothesis(ProcedureState& st, SweepState& ss, int cur, bool& unique, bool markColumns) {
  GroupState& g = st.group;
  const int p = g.dmncol;
  Type4Work w{st, cur, {}, 0, {}, {}, {}, p};
  w.lev = containmentLevels(st, cur, w.maxchy);

  ss.restore();
  auto sweepEff = [&](int e) {
    if (g.effectNcols[e] == 0) return 0;
    return GMENRE(ss, g.effectFirstCol[e] - 1, g.effectFirstCol[e] + g.effectNcols[e] - 2, true);
  };
  for (int f = 0; f < st.effectCount(); ++f)
    if (w.lev[f] < 0) sweepEff(f);
  int n = sweepEff(cur);
  if (n == 0) return num::Mat();
  bool anyContaining = false;
  for (int f = 0; f < st.effectCount(); ++f)
    if (w.lev[f] >= 1) {
      sweepEff(f);
      anyContaining = true;
    }
  num::Mat l = effectLRows(ss, g.effectFirstCol[cur] - 1, g.effectFirstCol[cur] + g.effectNcols[cur] - 2,
                           markColumns ? &g.hypothesisColumns : nullptr);
  if (!anyContaining) return l;

  // Null-space basis of the design in the current sweep state.
  num::Mat all = effectLRows(ss, 0, p - 1, nullptr);
  std::vector<int> sweptCols;
  for (int i = 0; i < p; ++i)
    if (ss.swept[i]) sweptCols.push_back(i);
  w.nullVecs = num::Mat(static_cast<size_t>(p) - sweptCols.size(), static_cast<size_t>(p));
  size_t v = 0;
  for (int k = 0; k < p; ++k) {
    if (ss.swept[k]) continue;
    double* row = w.nullVecs.row(v++);
    row[k] = -1.0;
    for (size_t r = 0; r < sweptCols.size(); ++r) row[sweptCols[r]] = all(r, static_cast<size_t>(k));
    num::CLNVEC(row, static_cast<size_t>(p), kType4CleanFactor * p);
  }
  QV_ASSERT(w.nullVecs.rows > 0 || sweptCols.size() == static_cast<size_t>(p), "GMEST4");

  w.colEffect.assign(p, -1);
  w.colLevels.assign(p, {});
  for (int e = 0; e < st.effectCount(); ++e)
    for (int c = 0; c < g.effectNcols[e]; ++c) {
      int col = g.effectFirstCol[e] - 1 + c;
      w.colEffect[col] = e;
      w.colLevels[col] = levelsOfCell(g.effectOrder[e], g.nlevls, st.nfactr(), g.colCell[col]);
    }
  num::Mat kept(0, static_cast<size_t>(p));
  for (size_t r = 0; r < l.rows; ++r) {
    if (!buildFunction(w, l.row(r), unique)) continue;
    kept.a.insert(kept.a.end(), l.row(r), l.row(r) + p);
    ++kept.rows;
  }
  return kept;
}

void GMEST4(ProcedureState& st, SweepState& ss) {
  GroupState& g = st.group;
  resetOutputs(st);
  for (int e = 0; e < st.effectCount(); ++e) {
    bool unique = true;
    num::Mat l = typeIVHypothesis(st, ss, e, unique);
    g.hypotheses[e].unique = unique ? 1 : 0;
    if (l.rows == 0) continue;
    num::Packed h = hypothesisSSCP(g, l, kType4Tolerance, st.ndepvr());
    num::CLNSCP(h, static_cast<double>(l.rows) * g.dmncol);
    g.hypotheses[e].df = static_cast<int>(l.rows);
    g.hypotheses[e].sscp = std::move(h);
    g.hypotheses[e].L = std::move(l);
  }
  ss.restore();
}

}  // namespace qv
