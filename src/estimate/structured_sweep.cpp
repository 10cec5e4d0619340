// Closed-form sweep of a run of columns with a diagonal cross-product block.
//
// Sweeping a set S of columns of the unswept matrix A gives, whatever the order of the pivots,
//   a(S, S) = -(A_SS)^-1,   a(S, j) = (A_SS)^-1 A_Sj,   a(i, j) = A_ij - A_iS (A_SS)^-1 A_Sj
// for i, j outside S. Let I be the columns swept already and R the columns of the run that are
// accepted, with D = A_RR diagonal. With T = A_II - A_IR D^-1 A_RI, the system A_SS x = (u; v)
// is solved by
//   x_I = T^-1 (u - A_IR D^-1 v),   x_R = D^-1 (v - A_RI x_I),
// which costs |I| x |R| instead of |S|^2. T^-1 is built column by column of the run with
// rank-one updates from the swept block (-(A_II)^-1), and the pivot each column would have
// when offered in turn, d_k - A_kI' T^-1 A_Ik, is a by-product of the same update; it decides
// acceptance exactly as SweepState::accepts does for a column without an offset covariate.
// Everything is carried in double-double, as the pivot-by-pivot sweep is.
#include "estimate/structured_sweep.h"

#include <algorithm>
#include <cmath>

#include "host/assert.h"
#include "host/numeric/ddouble.h"
#include "model/effect.h"

namespace qv {

namespace {

using num::DD;

DD unswept(const SweepState& ss, size_t i, size_t j) {
  const size_t q = num::packedIndex(i, j);
  return DD(ss.m0.a[q], ss.lo0[q]);
}

void put(SweepState& ss, size_t i, size_t j, DD v) {
  const size_t q = num::packedIndex(i, j);
  ss.m.a[q] = v.hi;
  ss.lo[q] = v.lo;
}

// Whether the unswept cross-products among columns first..last are all zero.
bool diagonalBlock(const SweepState& ss, size_t first, size_t last) {
  for (size_t i = first; i <= last; ++i) {
    const size_t base = num::packedIndex(i, first);
    for (size_t j = first; j < i; ++j)
      if (ss.m0.a[base + (j - first)] != 0.0 || ss.lo0[base + (j - first)] != 0.0) return false;
  }
  return true;
}

}  // namespace

int sweepIndicatorRun(SweepState& ss, int first, int last, std::vector<double>* pivots) {
  if (ss.fullMatrix || first < 0 || last >= ss.dmncol || last <= first) return -1;
  const size_t n = ss.m.n;
  const size_t p = static_cast<size_t>(ss.dmncol);
  const size_t f = static_cast<size_t>(first), l = static_cast<size_t>(last);
  if (ss.m0.a.size() != ss.m.a.size() || ss.lo0.size() != ss.m.a.size() || ss.lo.size() != ss.m.a.size() ||
      ss.current.size() != n)
    return -1;
  std::vector<size_t> in;  // I: the columns swept already
  for (size_t j = 0; j < p; ++j) {
    const bool offered = j >= f && j <= l;
    if (offered && ss.swept[j]) return -1;
    if ((offered || ss.swept[j]) && j < ss.kind.size() && ss.kind[j] == SweepState::kColumnOffset) return -1;
    if (ss.swept[j]) in.push_back(j);
  }
  const size_t m = in.size(), r = l - f + 1;
  if (m > 2 * r || !diagonalBlock(ss, f, l)) return -1;

  // Acceptance, column by column, with T^-1 kept up to date.
  std::vector<DD> tinv(m * m);
  for (size_t a = 0; a < m; ++a)
    for (size_t b = 0; b < m; ++b) {
      const size_t q = num::packedIndex(in[a], in[b]);
      tinv[a * m + b] = -DD(ss.m.a[q], ss.lo[q]);
    }
  std::vector<size_t> acc;  // R: the accepted columns of the run
  // Acceptance updates these as sweep() does; put back when the closed form is declined.
  const int outsideBefore = ss.sweptOutsideFit;
  const double roundingBefore = ss.roundingLevel;
  std::vector<DD> ak(m), w(m);
  if (pivots) pivots->assign(r, 0.0);
  for (size_t k = f; k <= l; ++k) {
    for (size_t a = 0; a < m; ++a) ak[a] = unswept(ss, in[a], k);
    DD piv = unswept(ss, k, k);
    for (size_t a = 0; a < m; ++a) {
      DD s(0.0);
      for (size_t b = 0; b < m; ++b)
        if (ak[b].hi != 0.0) s += tinv[a * m + b] * ak[b];
      w[a] = s;
      if (ak[a].hi != 0.0) piv -= ak[a] * s;
    }
    if (pivots) (*pivots)[k - f] = piv.hi;
    // No offset covariate is involved, so a pivot below eps of the scale is refused.
    if (ss.pivotVerdict(k, piv.hi) != 1) continue;
    ss.noteSweptIn(k, piv.hi);
    for (size_t a = 0; a < m; ++a) {
      if (w[a].hi == 0.0) continue;
      const DD wa = w[a] / piv;
      for (size_t b = 0; b < m; ++b)
        if (w[b].hi != 0.0) tinv[a * m + b] += wa * w[b];
    }
    acc.push_back(k);
  }
  if (acc.empty()) return 0;
  // The closed form costs about (columns) x |I| x (|I| + |R|), the pivots one by one
  // (columns) x |R| x (|I| + |R|): with few columns accepted against many swept, pivot.
  if (m > 2 * acc.size()) {
    ss.sweptOutsideFit = outsideBefore;
    ss.roundingLevel = roundingBefore;
    return -1;
  }

  // The closed form. Positions in S: I first, then R.
  const size_t rr = acc.size(), s = m + rr;
  std::vector<long> pos(n, -1);
  for (size_t a = 0; a < m; ++a) pos[in[a]] = static_cast<long>(a);
  for (size_t t = 0; t < rr; ++t) pos[acc[t]] = static_cast<long>(m + t);
  std::vector<DD> cir(m * rr), d(rr);  // A_IR (by columns of R) and D
  for (size_t t = 0; t < rr; ++t) {
    d[t] = unswept(ss, acc[t], acc[t]);
    for (size_t a = 0; a < m; ++a) cir[t * m + a] = unswept(ss, in[a], acc[t]);
  }
  // Solves A_SS x = rhs (rhs and x of length s, I then R).
  std::vector<DD> g(m);
  auto solve = [&](const std::vector<DD>& rhs, std::vector<DD>& x) {
    for (size_t a = 0; a < m; ++a) g[a] = rhs[a];
    for (size_t t = 0; t < rr; ++t) {
      if (rhs[m + t].hi == 0.0) continue;
      const DD vt = rhs[m + t] / d[t];
      for (size_t a = 0; a < m; ++a)
        if (cir[t * m + a].hi != 0.0) g[a] -= cir[t * m + a] * vt;
    }
    for (size_t a = 0; a < m; ++a) {
      DD v(0.0);
      for (size_t b = 0; b < m; ++b)
        if (g[b].hi != 0.0) v += tinv[a * m + b] * g[b];
      x[a] = v;
    }
    for (size_t t = 0; t < rr; ++t) {
      DD v = rhs[m + t];
      for (size_t a = 0; a < m; ++a)
        if (cir[t * m + a].hi != 0.0 && x[a].hi != 0.0) v -= cir[t * m + a] * x[a];
      x[m + t] = v.hi == 0.0 ? DD(0.0) : v / d[t];
    }
  };
  // The rows kept current outside S (the dependents and the shift column): A_iS.
  std::vector<std::vector<DD>> restS;
  for (size_t i = p; i < n; ++i) {
    std::vector<DD> row(s);
    for (size_t t = 0; t < s; ++t) row[t] = unswept(ss, i, t < m ? in[t] : acc[t - m]);
    restS.push_back(std::move(row));
  }
  std::vector<DD> rhs(s), x(s);
  for (size_t j = 0; j < n; ++j) {
    const bool inS = pos[j] >= 0;
    if (inS) {
      std::fill(rhs.begin(), rhs.end(), DD(0.0));
      rhs[static_cast<size_t>(pos[j])] = DD(1.0);
    } else {
      for (size_t t = 0; t < s; ++t) rhs[t] = unswept(ss, t < m ? in[t] : acc[t - m], j);
    }
    solve(rhs, x);
    for (size_t t = 0; t < s; ++t) {
      const size_t col = t < m ? in[t] : acc[t - m];
      put(ss, col, j, inS ? -x[t] : x[t]);
    }
    if (inS) continue;
    // Residual cross-products: the diagonal of an unswept design column, and the kept rows
    // outside S (each entry once: below or on the diagonal among those rows).
    if (j < p) {
      DD v = unswept(ss, j, j);
      for (size_t t = 0; t < s; ++t)
        if (rhs[t].hi != 0.0 && x[t].hi != 0.0) v -= rhs[t] * x[t];
      put(ss, j, j, v);
    }
    for (size_t i = p; i < n; ++i) {
      if (j >= p && j > i) continue;
      const std::vector<DD>& row = restS[i - p];
      DD v = unswept(ss, i, j);
      for (size_t t = 0; t < s; ++t)
        if (row[t].hi != 0.0 && x[t].hi != 0.0) v -= row[t] * x[t];
      put(ss, i, j, v);
    }
  }
  for (size_t k : acc) {
    ss.swept[k] = 1;
    ss.current[k] = 1;
  }
  return static_cast<int>(rr);
}

bool CellSpaceSweep::prepare(const ProcedureState& st, const SweepState& ss) {
  const GroupState& g = st.group;
  const size_t ne = static_cast<size_t>(st.effectCount());
  const size_t p = static_cast<size_t>(ss.dmncol);
  const size_t q = g.designCellWeight.size();
  if (ss.fullMatrix || ne == 0 || p == 0 || q == 0) return false;
  // The closed form pays when the cells are far fewer than the columns: offering, sweeping and
  // reading a row then cost a fraction of what they cost on the columns.
  if (2 * q > p) return false;
  if (g.designCellWeightLo.size() != q || g.designCellColumns.size() != q * ne) return false;
  if (ss.m0.a.size() != ss.m.a.size() || ss.lo0.size() != ss.m.a.size() || ss.lo.size() != ss.m.a.size())
    return false;
  for (const EffectRow& row : st.ptefds)
    if (Effect(row, st.nfactr()).hasCovariate()) return false;
  cellStart_.assign(p + 1, 0);
  for (size_t c = 0; c < q; ++c)
    for (size_t e = 0; e < ne; ++e) {
      const int j = g.designCellColumns[c * ne + e];
      if (j < 0 || static_cast<size_t>(j) >= p) return false;
      ++cellStart_[static_cast<size_t>(j) + 1];
    }
  for (size_t j = 0; j < p; ++j) cellStart_[j + 1] += cellStart_[j];
  cells_.assign(cellStart_[p], 0);
  std::vector<size_t> next(cellStart_.begin(), cellStart_.end() - 1);
  for (size_t c = 0; c < q; ++c)
    for (size_t e = 0; e < ne; ++e) cells_[next[static_cast<size_t>(g.designCellColumns[c * ne + e])]++] = c;
  q_ = q;
  weight_.resize(q);
  for (size_t c = 0; c < q; ++c) weight_[c] = DD(g.designCellWeight[c], g.designCellWeightLo[c]);
  u_.assign(q, DD(0.0));
  r_.clear();
  order_.clear();
  inverse_.clear();
  return true;
}

DD CellSpaceSweep::pivotOf(size_t j) const {
  const size_t* cb = cells_.data() + cellStart_[j];
  const size_t nj = cellStart_[j + 1] - cellStart_[j];
  DD piv(0.0);
  for (size_t x = 0; x < nj; ++x) {
    const DD* row = r_.data() + cb[x] * q_;
    for (size_t y = 0; y < nj; ++y) piv += row[cb[y]];
  }
  return piv;
}

void CellSpaceSweep::restore(SweepState& ss) {
  ss.restore();
  r_.assign(q_ * q_, DD(0.0));
  for (size_t c = 0; c < q_; ++c) r_[c * q_ + c] = weight_[c];
  order_.clear();
  inverse_.clear();
}

int CellSpaceSweep::sweepIn(SweepState& ss, int first, int last) {
  QV_ASSERT(first >= 0 && last < ss.dmncol && r_.size() == q_ * q_, "CellSpaceSweep::sweepIn");
  int count = 0;
  for (size_t k = static_cast<size_t>(first); k <= static_cast<size_t>(last); ++k) {
    if (ss.swept[k]) {
      ++count;
      continue;
    }
    const DD piv = pivotOf(k);
    if (ss.pivotVerdict(k, piv.hi) != 1) continue;
    ss.noteSweptIn(k, piv.hi);
    // u = R Z_k (R is symmetric: the sum of the rows of k's cells), then R -= u u' / pivot.
    const size_t* cb = cells_.data() + cellStart_[k];
    const size_t nk = cellStart_[k + 1] - cellStart_[k];
    std::fill(u_.begin(), u_.end(), DD(0.0));
    for (size_t x = 0; x < nk; ++x) {
      const DD* row = r_.data() + cb[x] * q_;
      for (size_t c = 0; c < q_; ++c) u_[c] += row[c];
    }
    for (size_t c = 0; c < q_; ++c) {
      if (u_[c].hi == 0.0) continue;
      const DD f = u_[c] / piv;
      for (size_t d = 0; d <= c; ++d) {
        if (u_[d].hi == 0.0) continue;
        const DD v = r_[c * q_ + d] - f * u_[d];
        r_[c * q_ + d] = v;
        r_[d * q_ + c] = v;
      }
    }
    ss.swept[k] = 1;
    order_.push_back(k);
    inverse_.clear();
    ++count;
  }
  return count;
}

void CellSpaceSweep::invert(const SweepState& ss) {
  const size_t s = order_.size();
  num::Packed a(s);
  std::vector<double> lo(a.a.size(), 0.0);
  for (size_t x = 0; x < s; ++x)
    for (size_t y = 0; y <= x; ++y) {
      const DD v = unswept(ss, order_[x], order_[y]);
      a(x, y) = v.hi;
      lo[num::packedIndex(x, y)] = v.lo;
    }
  // Every column of S was accepted with a positive pivot in this order: A_SS is positive
  // definite and sweeping all of it leaves -(A_SS)^-1.
  for (size_t t = 0; t < s; ++t) num::sweepExtended(a, lo, t, true);
  inverse_.assign(s * s, DD(0.0));
  for (size_t x = 0; x < s; ++x)
    for (size_t y = 0; y < s; ++y) {
      const size_t k = num::packedIndex(x, y);
      inverse_[x * s + y] = -DD(a.a[k], lo[k]);
    }
}

double CellSpaceSweep::diagonalMax(const SweepState& ss, double cap) {
  double mx = 0.0;
  const size_t s = order_.size();
  if (s > 0 && inverse_.empty()) invert(ss);
  // A swept column's diagonal is -(A_SS)^-1 there, an unswept one's its pivot Z_j' R Z_j.
  for (size_t x = 0; x < s && mx < cap; ++x) mx = std::max(mx, std::fabs(inverse_[x * s + x].hi));
  const size_t p = static_cast<size_t>(ss.dmncol);
  for (size_t j = 0; j < p && mx < cap; ++j) {
    if (ss.swept[j]) continue;
    mx = std::max(mx, std::fabs(pivotOf(j).hi));
  }
  return std::min(mx, cap);
}

void CellSpaceSweep::writeRows(SweepState& ss, int first, int last) {
  const size_t s = order_.size();
  if (s == 0) return;
  if (inverse_.empty()) invert(ss);
  const size_t p = static_cast<size_t>(ss.dmncol);
  std::vector<long> pos(p, -1);
  for (size_t x = 0; x < s; ++x) pos[order_[x]] = static_cast<long>(x);
  std::vector<DD> h(q_);
  for (size_t i = static_cast<size_t>(first); i <= static_cast<size_t>(last); ++i) {
    if (pos[i] < 0) continue;
    const DD* inv = inverse_.data() + static_cast<size_t>(pos[i]) * s;
    // h = ((A_SS)^-1 Z_S' N)_i, a row over the cells; then a(i, j) = h Z_j.
    std::fill(h.begin(), h.end(), DD(0.0));
    for (size_t b = 0; b < s; ++b) {
      if (inv[b].hi == 0.0) continue;
      for (size_t x = cellStart_[order_[b]]; x < cellStart_[order_[b] + 1]; ++x) h[cells_[x]] += inv[b];
    }
    for (size_t c = 0; c < q_; ++c)
      if (h[c].hi != 0.0) h[c] = h[c] * weight_[c];
    for (size_t j = 0; j < p; ++j) {
      DD v(0.0);
      if (pos[j] >= 0) {
        v = -inv[static_cast<size_t>(pos[j])];
      } else {
        for (size_t x = cellStart_[j]; x < cellStart_[j + 1]; ++x) v += h[cells_[x]];
      }
      put(ss, i, j, v);
    }
  }
}

}  // namespace qv

namespace qv {

bool hypothesisSSCPUnitRows(const GroupState& g, const num::Mat& l, double tol, int ndepvr,
                            num::Packed& result) {
  const size_t p = l.cols, rows = l.rows;
  const size_t order = g.crossProducts.n;
  if (rows < 2 || g.nonRedundant.size() != p || order < p || ndepvr < 1) return false;
  const bool aLo = g.crossProductsLo.size() == g.crossProducts.a.size();
  const bool bLo = g.paramEstLo.size() == g.paramEst.a.size();
  auto a = [&](size_t i, size_t j) {
    const size_t q = num::packedIndex(i, j);
    return DD(g.crossProducts.a[q], aLo ? g.crossProductsLo[q] : 0.0);
  };
  // Each row's own column on the non-redundant columns.
  std::vector<size_t> own(rows);
  std::vector<char> inE(p, 0);
  for (size_t i = 0; i < rows; ++i) {
    const double* row = l.row(i);
    long at = -1;
    for (size_t j = 0; j < p; ++j) {
      if (!g.nonRedundant[j] || row[j] == 0.0) continue;
      if (at >= 0 || row[j] != 1.0) return false;
      at = static_cast<long>(j);
    }
    if (at < 0 || inE[static_cast<size_t>(at)]) return false;
    own[i] = static_cast<size_t>(at);
    inE[own[i]] = 1;
  }
  std::vector<size_t> fcols;
  for (size_t j = 0; j < p; ++j)
    if (g.nonRedundant[j] && !inE[j]) fcols.push_back(j);
  const size_t r = fcols.size();
  if (r > rows) return false;
  for (size_t i = 0; i < rows; ++i)
    for (size_t k = 0; k < i; ++k)
      if (a(own[i], own[k]).hi != 0.0) return false;
  std::vector<DD> dinv(p);
  for (size_t i = 0; i < rows; ++i) {
    const DD d = a(own[i], own[i]);
    if (!(d.hi > 0.0)) return false;
    dinv[own[i]] = DD(1.0) / d;
  }
  // W = A_FF - A_FE D^-1 A_EF, then P = W^-1 by sweeping every pivot of W.
  std::vector<DD> afe(r * p);  // A_Fj for j in E, by row of F
  for (size_t s = 0; s < r; ++s)
    for (size_t j = 0; j < p; ++j)
      if (inE[j]) afe[s * p + j] = a(fcols[s], j);
  num::Packed w(r);
  std::vector<double> wlo(w.a.size(), 0.0);
  for (size_t s = 0; s < r; ++s)
    for (size_t t = 0; t <= s; ++t) {
      DD v = a(fcols[s], fcols[t]);
      for (size_t j = 0; j < p; ++j)
        if (inE[j] && afe[s * p + j].hi != 0.0 && afe[t * p + j].hi != 0.0)
          v -= afe[s * p + j] * dinv[j] * afe[t * p + j];
      w(s, t) = v.hi;
      wlo[num::packedIndex(s, t)] = v.lo;
    }
  for (size_t s = 0; s < r; ++s) {
    if (!(w(s, s) > 0.0)) return false;
    num::sweepExtended(w, wlo, s, true);
  }
  // The swept matrix is -W^-1: Q starts as P = W^-1.
  std::vector<DD> q(r * r);
  for (size_t s = 0; s < r; ++s)
    for (size_t t = 0; t < r; ++t) {
      const size_t k = num::packedIndex(s, t);
      q[s * r + t] = -DD(w.a[k], wlo[k]);
    }
  const std::vector<DD> p0 = q;
  const size_t nd = static_cast<size_t>(ndepvr);
  std::vector<DD> y(nd * r, DD(0.0)), sscp(num::packedSize(nd), DD(0.0)), v(r), qv(r), e(nd);
  for (size_t i = 0; i < rows; ++i) {
    const size_t j = own[i];
    for (size_t s = 0; s < r; ++s) v[s] = afe[s * p + j] * dinv[j];
    DD scale = dinv[j], piv = dinv[j];
    for (size_t s = 0; s < r; ++s) {
      DD sq(0.0), sp(0.0);
      for (size_t t = 0; t < r; ++t)
        if (v[t].hi != 0.0) {
          sq += q[s * r + t] * v[t];
          sp += p0[s * r + t] * v[t];
        }
      qv[s] = sq;
      if (v[s].hi != 0.0) {
        piv += v[s] * sq;
        scale += v[s] * sp;
      }
    }
    if (!(scale.hi > 0.0) || !(piv.hi > tol * scale.hi)) continue;  // a zero pivot
    for (size_t d = 0; d < nd; ++d) {
      DD x(g.paramEst(j, d), bLo ? g.paramEstLo[j * nd + d] : 0.0);
      for (size_t s = 0; s < r; ++s)
        if (v[s].hi != 0.0) x -= v[s] * y[d * r + s];
      e[d] = x;
    }
    for (size_t d = 0; d < nd; ++d) {
      const DD f = e[d] / piv;
      for (size_t s = 0; s < r; ++s)
        if (qv[s].hi != 0.0) y[d * r + s] += qv[s] * f;
      for (size_t d2 = 0; d2 <= d; ++d2) sscp[num::packedIndex(d, d2)] += f * e[d2];
    }
    for (size_t s = 0; s < r; ++s) {
      if (qv[s].hi == 0.0) continue;
      const DD f = qv[s] / piv;
      for (size_t t = 0; t < r; ++t)
        if (qv[t].hi != 0.0) q[s * r + t] -= f * qv[t];
    }
  }
  result = num::Packed(nd);
  for (size_t k = 0; k < sscp.size(); ++k) result.a[k] = sscp[k].hi;
  return true;
}

}  // namespace qv
