#include "estimate/sstypes.h"

#include <algorithm>
#include <cmath>

#include "estimate/structured_sweep.h"
#include "host/numeric/ddouble.h"
#include "host/numeric/unit_rows.h"

namespace qv {

namespace {

// Type III L rows: swept values at or below this fraction of the largest swept diagonal (capped
// at 1) are read as 0.
constexpr double kSweptCleanFraction = 1.0e-8;
// Distance within which an L coefficient is snapped to 0 or +-1 (twice it for +-1/2).
constexpr double kSnapTolerance = 1.0e-8;
// Largest snapping distance, however large the swept diagonal.
constexpr double kSnapCap = 0.01;
// Cleaning factors (times DBL_EPSILON): a hypothesis row per design column, a hypothesis SSCP
// per df and design column.
constexpr double kRowCleanFactor = 1.0;
constexpr double kSSCPCleanFactor = 1.0;

int firstCol(const ProcedureState& st, int e) { return st.group.effectFirstCol[e] - 1; }
int lastCol(const ProcedureState& st, int e) {
  return st.group.effectFirstCol[e] + st.group.effectNcols[e] - 2;
}

void sweepEffect(const ProcedureState& st, SweepState& ss, int e, bool in, int* count = nullptr) {
  int n = 0;
  if (st.group.effectNcols[e] > 0) n = GMENRE(ss, firstCol(st, e), lastCol(st, e), in);
  if (count) *count = n;
}

void sweepAllOut(SweepState& ss) { ss.restore(); }

// Stores an effect's hypothesis: df, L and SSCP (cleaned).
void storeHypothesis(ProcedureState& st, int e, int df, num::Mat l, num::Packed sscp) {
  GroupState& g = st.group;
  g.hypotheses[e].df = df;
  if (df > 0) {
    // A hypothesis SSCP is positive semi-definite: a diagonal below zero is rounding.
    for (size_t i = 0; i < sscp.n; ++i)
      if (sscp(i, i) < 0.0) sscp(i, i) = 0.0;
    num::CLNSCP(sscp, kSSCPCleanFactor * df * g.dmncol);
    g.hypotheses[e].L = std::move(l);
    g.hypotheses[e].sscp = std::move(sscp);
  } else {
    g.hypotheses[e].L = num::Mat();
    g.hypotheses[e].sscp = num::Packed();
  }
}

double snap(double v, double j) {
  if (std::fabs(v) <= j) return 0.0;
  if (std::fabs(v - 1.0) <= j) return 1.0;
  if (std::fabs(v + 1.0) <= j) return -1.0;
  if (std::fabs(v - 0.5) <= 2 * j) return 0.5;
  if (std::fabs(v + 0.5) <= 2 * j) return -0.5;
  return v;
}

}  // namespace

void resetOutputs(ProcedureState& st) {
  GroupState& g = st.group;
  g.hypotheses.assign(st.effectCount(), HypothesisRecord{});
  g.hypothesisColumns.assign(g.dmncol, 0);
}

bool effectContains(const ProcedureState& st, int f, int e) {
  return Effect(st.ptefds[static_cast<size_t>(f)], st.nfactr())
      .contains(Effect(st.ptefds[static_cast<size_t>(e)], st.nfactr()));
}

std::vector<int> containmentLevels(const ProcedureState& st, int cur, int& maxchy) {
  const int ne = st.effectCount();
  std::vector<int> lev(ne, -1);
  lev[cur] = 0;
  for (int f = 0; f < ne; ++f)
    if (f != cur && effectContains(st, f, cur)) lev[f] = 1;
  // Raise an effect contained in another containing effect at the same level.
  bool changed = true;
  while (changed) {
    changed = false;
    for (int a = 0; a < ne; ++a) {
      if (lev[a] < 1) continue;
      for (int b = 0; b < ne; ++b) {
        if (b == a || lev[b] < 1 || lev[b] != lev[a]) continue;
        if (effectContains(st, a, b)) {
          // a contains b at the same level: b goes up... the containing one must be higher.
          ++lev[a];
          changed = true;
        }
      }
    }
  }
  maxchy = 0;
  for (int v : lev) maxchy = std::max(maxchy, v);
  for (int a = 0; a < ne; ++a) {
    if (lev[a] < 1 || lev[a] >= maxchy) continue;
    bool inTop = false;
    for (int b = 0; b < ne; ++b)
      if (lev[b] == maxchy && effectContains(st, b, a)) inTop = true;
    if (!inTop) lev[a] = maxchy;
  }
  return lev;
}

namespace {

// Sweeps effect e in and stores its hypothesis as the drop in the residual SSCP from r0.
// Returns the residual SSCP afterwards (r0 itself when no column of e could be swept).
// The residual SSCPs are carried with their low parts (double-double), so that the difference
// keeps its digits when the effect explains little of a large residual.
struct ResidualSSCP {
  num::Packed hi;
  std::vector<double> lo;
};

ResidualSSCP residual(const SweepState& ss) {
  ResidualSSCP r;
  r.hi = ss.dependentBlock(r.lo);
  return r;
}

ResidualSSCP sweepInAndTest(ProcedureState& st, SweepState& ss, int e, const ResidualSSCP& r0) {
  int df = 0;
  sweepEffect(st, ss, e, true, &df);
  if (df == 0) {
    storeHypothesis(st, e, 0, {}, {});
    return r0;
  }
  num::Mat l = effectLRows(ss, firstCol(st, e), lastCol(st, e), &st.group.hypothesisColumns);
  ResidualSSCP r1 = residual(ss);
  num::Packed h = r0.hi;
  for (size_t i = 0; i < h.a.size(); ++i)
    h.a[i] = ((num::DD(r0.hi.a[i], r0.lo[i]) - num::DD(r1.hi.a[i], r1.lo[i]))).hi;
  storeHypothesis(st, e, df, std::move(l), std::move(h));
  return r1;
}

}  // namespace

void GMEST1(ProcedureState& st, SweepState& ss) {
  resetOutputs(st);
  ResidualSSCP r = residual(ss);
  for (int e = 0; e < st.effectCount(); ++e) r = sweepInAndTest(st, ss, e, r);
  sweepAllOut(ss);
}

void GMEST2(ProcedureState& st, SweepState& ss) {
  resetOutputs(st);
  for (int e = 0; e < st.effectCount(); ++e) {
    sweepEffect(st, ss, e, false);
    for (int f = 0; f < st.effectCount(); ++f)
      if (f != e && effectContains(st, f, e)) sweepEffect(st, ss, f, false);
    for (int f = 0; f < st.effectCount(); ++f)
      if (f != e && !effectContains(st, f, e)) sweepEffect(st, ss, f, true);
    sweepInAndTest(st, ss, e, residual(ss));
  }
  sweepAllOut(ss);
}

void GMEST3(ProcedureState& st, SweepState& ss) {
  GroupState& g = st.group;
  resetOutputs(st);
  const int p = g.dmncol;
  double jtol = kSnapTolerance;
  // A model of factors alone with far fewer observed design cells than columns is swept in the
  // space of those cells; the matrix then holds only the rows read below.
  CellSpaceSweep cells;
  const bool inCells = cells.prepare(st, ss);
  auto sweepIn = [&](int f, int* count) {
    if (!inCells) return sweepEffect(st, ss, f, true, count);
    const int n = g.effectNcols[f] > 0 ? cells.sweepIn(ss, firstCol(st, f), lastCol(st, f)) : 0;
    if (count) *count = n;
  };
  auto rowsOf = [&](int f, std::vector<char>* hypCols, double cleanBelow) {
    if (inCells) cells.writeRows(ss, firstCol(st, f), lastCol(st, f));
    return effectLRows(ss, firstCol(st, f), lastCol(st, f), hypCols, cleanBelow);
  };
  for (int e = 0; e < st.effectCount(); ++e) {
    std::vector<char> containing(st.effectCount(), 0);
    for (int f = 0; f < st.effectCount(); ++f) containing[f] = f != e && effectContains(st, f, e);
    if (inCells)
      cells.restore(ss);
    else if (e > 0)
      sweepAllOut(ss);
    for (int f = 0; f < st.effectCount(); ++f)
      if (f != e && !containing[f]) sweepIn(f, nullptr);
    int n = 0;
    sweepIn(e, &n);
    if (n == 0) {
      storeHypothesis(st, e, 0, {}, {});
      continue;
    }
    for (int f = 0; f < st.effectCount(); ++f)
      if (containing[f]) sweepIn(f, nullptr);

    // The swept matrix is carried in double-double, so its rounding noise stays far below 1e-8
    // of the unit scale of the factor coefficients even when covariate entries (the inverse
    // of an offset covariate's sums, say) are large: the cleaning scale is the largest
    // diagonal, capped at 1. Swept values at or below 1e-8 of it are read as 0.
    double mx = 0.0;
    if (inCells) {
      mx = cells.diagonalMax(ss, 1.0);
    } else {
      for (int i = 0; i < p; ++i) mx = std::max(mx, std::fabs(ss.m(i, i)));
      mx = std::min(mx, 1.0);
    }
    const double cleanBelow = mx > 0 ? kSweptCleanFraction * mx : -1.0;
    jtol = std::min(jtol, kSnapCap);

    num::Mat le = rowsOf(e, &g.hypothesisColumns, cleanBelow);
    for (double& v : le.a) v = snap(v, jtol);
    num::Mat c;
    for (int f = 0; f < st.effectCount(); ++f) {
      if (!containing[f] || g.effectNcols[f] == 0) continue;
      num::Mat lf = rowsOf(f, nullptr, cleanBelow);
      for (double& v : lf.a) v = snap(v, jtol);
      if (c.cols == 0) c = num::Mat(0, static_cast<size_t>(p));
      c.a.insert(c.a.end(), lf.a.begin(), lf.a.end());
      c.rows += lf.rows;
    }
    if (c.rows > 0 && !num::RESORPUnitRows(le, c, st.rdneps, le)) le = num::RESORP(le, c, st.rdneps);
    std::vector<char> keep(le.rows, 1);
    std::vector<double> rowMax(le.rows, -1.0);
    size_t kept = le.rows;
    for (int f = 0; f < st.effectCount() && kept > 0; ++f) {
      if (f == e || containing[f]) continue;
      for (int v = firstCol(st, f); v <= lastCol(st, f) && kept > 0; ++v) {
        int pr = num::ZRMXRW(le, static_cast<size_t>(v), keep, st.rdneps, rowMax);
        if (pr >= 0) {
          keep[pr] = 0;
          --kept;
        }
      }
    }
    if (kept == 0) {
      storeHypothesis(st, e, 0, {}, {});
      continue;
    }
    num::Mat l(kept, static_cast<size_t>(p));
    size_t r = 0;
    for (size_t i = 0; i < le.rows; ++i) {
      if (!keep[i]) continue;
      std::copy(le.row(i), le.row(i) + p, l.row(r));
      num::CLNVEC(l.row(r), static_cast<size_t>(p), kRowCleanFactor * p);
      ++r;
    }
    num::Packed h = hypothesisSSCP(g, l, st.rdneps, st.ndepvr());
    storeHypothesis(st, e, static_cast<int>(kept), std::move(l), std::move(h));
  }
  sweepAllOut(ss);
}

}  // namespace qv
