// Cross-products and the sweep solution.
//
// Accuracy with offset data: with an intercept in the model the dependent values enter the
// cross-products about a shift c (the first valid case's values), y~ = y - c, and a constant
// column 1 is carried after them. Whenever the intercept column is swept, the constant lies in
// the span of the swept columns, so residual cross-products of y and of y~ agree exactly and the
// y~ block is used as it stands. When the intercept column is not swept (the Type I step of the
// intercept, the Type II model without it, the total about zero), the residual cross-products of
// y are recovered from those of y~ and 1:
//   R(y_d, y_e) = R(y~_d, y~_e) + c_e R(y~_d, 1) + c_d R(1, y~_e) + c_d c_e R(1, 1),
// where no catastrophic cancellation occurs because R(1, 1) is then far from zero. The
// estimates of the shifted problem differ from those of y only in the intercept (b0 = b0~ + c).
#include "estimate/estimation.h"

#include <algorithm>
#include <cmath>

#include "data/design.h"

namespace qv {

namespace {

// Cases accumulated into a block before the block is added to the total; bounds the growth of
// rounding error in long sums.
constexpr long kBlockCases = 4096;

// Cleaning factors of estimable-function rows (relative to dmncol).
constexpr double kBasisCleanFactor = 1.0e4;
constexpr double kNullCleanFactor = 16.0;

}  // namespace

num::Packed SweepState::dependentBlock() const {
  num::Packed r(ndepvr);
  for (int d = 0; d < ndepvr; ++d)
    for (int e = 0; e <= d; ++e) r(d, e) = m(dmncol + d, dmncol + e);
  if (!shift.empty() && !interceptSwept()) {
    const size_t one = static_cast<size_t>(dmncol + ndepvr);
    for (int d = 0; d < ndepvr; ++d)
      for (int e = 0; e <= d; ++e)
        r(d, e) +=
            shift[e] * m(dmncol + d, one) + shift[d] * m(one, dmncol + e) + shift[d] * shift[e] * m(one, one);
  }
  return r;
}

SweepState makeSweepState(const ProcedureState& st) {
  SweepState ss;
  ss.m = st.group.crossProducts;
  ss.dmncol = st.group.dmncol;
  ss.ndepvr = st.ndepvr;
  ss.shift = st.group.depShift;
  ss.eps = st.rdneps;
  ss.scale.assign(ss.m.n, 0.0);
  for (size_t i = 0; i < static_cast<size_t>(ss.dmncol); ++i) ss.scale[i] = ss.m(i, i);
  ss.swept.assign(ss.m.n, 0);
  return ss;
}

namespace {

// Within one design cell every case has the same design columns; the values in them are 1 or a
// covariate product. Effects with the same covariate powers carry the same value ("kind"), so a
// case's cross-products follow from the small vector u = (1, one product per kind of covariate
// term, dependents). The accumulation sums u u' per design cell and spreads the sums over the
// design columns once at the end: the work per case no longer grows with the number of effects.
struct ValueKinds {
  std::vector<int> effectKind;        // per effect: 0 for the constant 1, else 1..nkinds
  std::vector<EffectRow> kindPowers;  // per kind 1..nkinds (index kind-1): covariate powers
  int nkinds = 0;

  explicit ValueKinds(const ProcedureState& st) {
    effectKind.assign(st.neffds, 0);
    for (int e = 0; e < st.neffds; ++e) {
      EffectRow pw(st.ptefds[e].begin() + st.nfactr, st.ptefds[e].end());
      bool any = false;
      for (int& v : pw) {
        if (v < 1) v = 0;
        any = any || v > 0;
      }
      if (!any) continue;
      auto it = std::find(kindPowers.begin(), kindPowers.end(), pw);
      if (it == kindPowers.end()) {
        kindPowers.push_back(pw);
        it = kindPowers.end() - 1;
      }
      effectKind[e] = static_cast<int>(it - kindPowers.begin()) + 1;
    }
    nkinds = static_cast<int>(kindPowers.size());
  }

  // u[0] = 1, u[1..nkinds] = covariate products of the case.
  void fill(const double* cov, double* u) const {
    u[0] = 1.0;
    for (int k = 0; k < nkinds; ++k) {
      double v = 1.0;
      const EffectRow& pw = kindPowers[k];
      for (size_t c = 0; c < pw.size(); ++c)
        if (pw[c] > 0) v *= pw[c] == 1 ? cov[c] : std::pow(cov[c], pw[c]);
      u[k + 1] = v;
    }
  }
};

// Largest number of per-cell accumulator entries (two per packed entry) kept in memory before the
// accumulation falls back to updating the full matrix case by case.
constexpr size_t kCellAccumulatorBudget = size_t{1} << 22;

}  // namespace

void GMEINI(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  (void)ctx;
  GroupState& g = st.group;
  const int p = g.dmncol;
  const int nd = st.ndepvr;
  const int ne = st.neffds;
  const bool shifted = st.interceptIncluded && p > 0;
  const size_t order = static_cast<size_t>(p + nd + (shifted ? 1 : 0));
  num::Packed total(order);
  g.depShift.clear();
  if (shifted) {
    for (long k = 0; k < work.size(); ++k)
      if (work.weight(k) * work.regWeight(k) > 0) {
        g.depShift.assign(work.depOf(k), work.depOf(k) + nd);
        break;
      }
    if (g.depShift.empty()) g.depShift.assign(nd, 0.0);
  }
  // Provisional means and sums of squared deviations of the dependents, taken about the first
  // valid case's values so that a large common offset does not cost digits.
  std::vector<double> mean(nd, 0.0), m2(nd, 0.0), origin(nd, 0.0);
  bool haveOrigin = false;
  double wsum = 0.0;

  const ValueKinds kinds(st);
  const size_t m = static_cast<size_t>(1 + kinds.nkinds + nd);  // u = (1, kinds, dependents)
  const size_t msize = num::packedSize(m);
  const size_t ncells = ne > 0 ? g.designCellColumns.size() / static_cast<size_t>(ne) : 0;
  QV_ASSERT(ne > 0 && ncells > 0, "GMEINI");
  // Global positions of the entries of u in design cell c.
  std::vector<size_t> where, kindOf;
  auto positions = [&](size_t c) {
    where.clear();
    kindOf.clear();
    for (int e = 0; e < ne; ++e) {
      where.push_back(static_cast<size_t>(g.designCellColumns[c * ne + e]));
      kindOf.push_back(static_cast<size_t>(kinds.effectKind[e]));
    }
    for (int d = 0; d < nd; ++d) {
      where.push_back(static_cast<size_t>(p + d));
      kindOf.push_back(static_cast<size_t>(1 + kinds.nkinds + d));
    }
    if (shifted) {
      where.push_back(order - 1);
      kindOf.push_back(0);
    }
  };
  auto spread = [&](size_t c, const double* t, num::Packed& into) {
    positions(c);
    for (size_t i = 0; i < where.size(); ++i)
      for (size_t j = 0; j <= i; ++j) into(where[i], where[j]) += t[num::packedIndex(kindOf[i], kindOf[j])];
  };
  // With very many design cells the per-cell sums would not fit: each case then goes through a
  // block of the full matrix instead.
  const bool perCell = ncells * msize * 2 <= kCellAccumulatorBudget;
  const size_t slots = perCell ? ncells : 1;
  // Per design cell: a block of at most kBlockCases cases and the running total of the cell.
  std::vector<double> cellBlock(slots * msize, 0.0), cellTotal(slots * msize, 0.0);
  std::vector<long> cellCount(slots, 0);
  num::Packed block(perCell ? 0 : order);
  long inBlock = 0;
  std::vector<double> u(m);
  for (long k = 0; k < work.size(); ++k) {
    const double wr = work.weight(k) * work.regWeight(k);
    if (!(wr > 0.0)) continue;
    const double* y = work.depOf(k);
    kinds.fill(work.covOf(k), u.data());
    for (int d = 0; d < nd; ++d) u[1 + kinds.nkinds + d] = shifted ? y[d] - g.depShift[d] : y[d];
    const size_t c = perCell ? static_cast<size_t>(g.caseDesignCell[k]) : 0;
    double* a = cellBlock.data() + c * msize;
    if (!perCell) std::fill(a, a + msize, 0.0);
    for (size_t i = 0; i < m; ++i) {
      const double wi = wr * u[i];
      double* rowp = a + i * (i + 1) / 2;
      for (size_t j = 0; j <= i; ++j) rowp[j] += wi * u[j];
    }
    if (!perCell) {
      spread(static_cast<size_t>(g.caseDesignCell[k]), a, block);
      if (++inBlock == kBlockCases) {
        for (size_t i = 0; i < block.a.size(); ++i) total.a[i] += block.a[i];
        std::fill(block.a.begin(), block.a.end(), 0.0);
        inBlock = 0;
      }
    } else if (++cellCount[c] % kBlockCases == 0) {
      double* t = cellTotal.data() + c * msize;
      for (size_t i = 0; i < msize; ++i) {
        t[i] += a[i];
        a[i] = 0.0;
      }
    }
    if (!haveOrigin) {
      origin.assign(y, y + nd);
      haveOrigin = true;
    }
    wsum += wr;
    for (int d = 0; d < nd; ++d) {
      const double yd = y[d] - origin[d];
      const double delta = yd - mean[d];
      mean[d] += delta * wr / wsum;
      m2[d] += wr * delta * (yd - mean[d]);
    }
  }
  if (perCell) {
    for (size_t c = 0; c < ncells; ++c) {
      double* t = cellTotal.data() + c * msize;
      const double* b = cellBlock.data() + c * msize;
      for (size_t i = 0; i < msize; ++i) t[i] += b[i];
      spread(c, t, total);
    }
  } else {
    for (size_t i = 0; i < block.a.size(); ++i) total.a[i] += block.a[i];
  }
  g.crossProducts = std::move(total);
  for (int d = 0; d < nd; ++d) mean[d] += origin[d];
  g.depMeans = mean;
  g.totalSS.assign(nd, 0.0);
  for (int d = 0; d < nd; ++d) g.totalSS[d] = st.interceptIncluded ? m2[d] : m2[d] + wsum * mean[d] * mean[d];
}

int GMENRE(SweepState& ss, int colfst, int collst, bool sweepIn) {
  QV_ASSERT(colfst >= 0 && collst < ss.dmncol, "GMENRE");
  int count = 0;
  for (int k = colfst; k <= collst; ++k) {
    if (sweepIn && !ss.swept[k]) num::LTRSWE(ss.m, static_cast<size_t>(k), ss.scale, ss.swept, ss.eps);
    if (!sweepIn && ss.swept[k]) num::LTRSWE(ss.m, static_cast<size_t>(k), ss.scale, ss.swept, ss.eps);
    if (ss.swept[k]) ++count;
  }
  if (!sweepIn) QV_ASSERT(count == 0, "GMENRE");
  return count;
}

num::Mat effectLRows(const SweepState& ss, int colfst, int collst, std::vector<char>* hypCols) {
  const int p = ss.dmncol;
  int rows = 0;
  for (int i = colfst; i <= collst; ++i) rows += ss.swept[i] ? 1 : 0;
  num::Mat l(static_cast<size_t>(rows), static_cast<size_t>(p));
  size_t r = 0;
  for (int i = colfst; i <= collst; ++i) {
    if (!ss.swept[i]) continue;
    double* row = l.row(r++);
    for (int j = 0; j < p; ++j)
      row[j] = ss.swept[j] ? 0.0 : ss.m(static_cast<size_t>(i), static_cast<size_t>(j));
    row[i] = 1.0;
    if (hypCols) (*hypCols)[i] = 1;
    num::CLNVEC(row, static_cast<size_t>(p), kBasisCleanFactor * p);
  }
  return l;
}

void GMESTA(Context& ctx, ProcedureState& st, const CaseWorkFile& work, SweepState& ss) {
  (void)ctx;
  GroupState& g = st.group;
  const int p = g.dmncol;
  const int nd = st.ndepvr;

  // Total SSCP about zero, from the unswept matrix.
  g.totalSSCP = ss.dependentBlock();

  for (int k = 0; k < p; ++k) num::LTRSWE(ss.m, static_cast<size_t>(k), ss.scale, ss.swept, ss.eps);
  g.nonRedundant.assign(ss.swept.begin(), ss.swept.begin() + p);
  g.modldf = static_cast<int>(std::count(g.nonRedundant.begin(), g.nonRedundant.end(), 1));

  // Parameter estimates of the shifted problem, kept for the residual pass.
  num::Mat bShift(static_cast<size_t>(p), static_cast<size_t>(nd));
  for (int j = 0; j < p; ++j)
    for (int d = 0; d < nd; ++d)
      bShift(j, d) = g.nonRedundant[j] ? ss.m(static_cast<size_t>(p + d), static_cast<size_t>(j)) : 0.0;
  g.paramEst = bShift;
  if (!g.depShift.empty() && g.nonRedundant[0])
    for (int d = 0; d < nd; ++d) g.paramEst(0, d) += g.depShift[d];

  g.ginverse = num::Packed(static_cast<size_t>(p));
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j)
      g.ginverse(i, j) = (g.nonRedundant[i] && g.nonRedundant[j])
                             ? -ss.m(static_cast<size_t>(i), static_cast<size_t>(j))
                             : 0.0;

  g.estBasis = num::Mat(static_cast<size_t>(g.modldf), static_cast<size_t>(p));
  size_t r = 0;
  for (int i = 0; i < p; ++i) {
    if (!g.nonRedundant[i]) continue;
    double* row = g.estBasis.row(r++);
    for (int j = 0; j < p; ++j)
      row[j] =
          g.nonRedundant[j] ? (i == j ? 1.0 : 0.0) : ss.m(static_cast<size_t>(i), static_cast<size_t>(j));
    num::CLNVEC(row, static_cast<size_t>(p), kBasisCleanFactor * p);
  }
  g.nullBasis = GMEOCG(g);

  for (int k = p - 1; k >= 0; --k)
    if (ss.swept[k]) num::LTRSWE(ss.m, static_cast<size_t>(k), ss.scale, ss.swept, ss.eps);

  // Error SSCP from the residuals of a second pass. Within a design cell the fitted value is
  // u . coef, with coef summing the estimates of the columns that carry each kind of value.
  g.errorSSCP = num::Packed(static_cast<size_t>(nd));
  if (g.sumWeights - g.modldf > 0) {
    const ValueKinds kinds(st);
    const int ne = st.neffds;
    const size_t nk = static_cast<size_t>(1 + kinds.nkinds);
    const size_t ncells = ne > 0 ? g.designCellColumns.size() / static_cast<size_t>(ne) : 0;
    std::vector<double> coef(ncells * nk * nd, 0.0);
    for (size_t c = 0; c < ncells; ++c)
      for (int e = 0; e < ne; ++e)
        for (int d = 0; d < nd; ++d)
          coef[(c * nk + kinds.effectKind[e]) * nd + d] += bShift(g.designCellColumns[c * ne + e], d);
    if (ne == 0)
      for (int d = 0; d < nd; ++d) coef[d] = bShift(0, d);
    std::vector<double> e(nd), u(nk);
    for (long k = 0; k < work.size(); ++k) {
      const double wr = work.weight(k) * work.regWeight(k);
      if (!(wr > 0.0)) continue;
      kinds.fill(work.covOf(k), u.data());
      const double* cf = coef.data() + static_cast<size_t>(g.caseDesignCell[k]) * nk * nd;
      const double* y = work.depOf(k);
      for (int d = 0; d < nd; ++d) {
        double fit = 0.0;
        for (size_t q = 0; q < nk; ++q) fit += u[q] * cf[q * nd + d];
        const double yy = g.depShift.empty() ? y[d] : y[d] - g.depShift[d];
        e[d] = num::QLRALMOSTEQUAL(yy, fit, 4096) ? 0.0 : yy - fit;
      }
      for (int d = 0; d < nd; ++d)
        for (int f = 0; f <= d; ++f) g.errorSSCP(d, f) += wr * e[d] * e[f];
    }
  }
}

num::Mat GMEOCG(const GroupState& g) {
  const int p = g.dmncol;
  QV_ASSERT(g.modldf >= 0 && g.modldf <= p, "GMEOCG");
  num::Mat nb(static_cast<size_t>(p - g.modldf), static_cast<size_t>(p));
  size_t v = 0;
  for (int k = 0; k < p; ++k) {
    if (g.nonRedundant[k]) continue;
    double* row = nb.row(v++);
    row[k] = -1.0;
    size_t r = 0;
    for (int i = 0; i < p; ++i) {
      if (!g.nonRedundant[i]) continue;
      row[i] = g.estBasis(r++, static_cast<size_t>(k));
    }
    num::CLNVEC(row, static_cast<size_t>(p), kNullCleanFactor * p);
  }
  return nb;
}

bool QESTMB(const GroupState& g, const double* l, double eps) {
  const int p = g.dmncol;
  double norm = 0.0;
  for (int i = 0; i < p; ++i) norm += l[i] * l[i];
  norm = std::sqrt(norm);
  if (norm == 0.0) return true;
  std::vector<double> ls;
  for (int i = 0; i < p; ++i)
    if (g.nonRedundant[i]) ls.push_back(l[i] / norm);
  QV_ASSERT(static_cast<int>(ls.size()) == g.modldf, "QESTMB");
  double sum = 0.0;
  for (int i = 0; i < p; ++i) {
    double d = l[i] / norm;
    for (size_t r = 0; r < ls.size(); ++r) d -= ls[r] * g.estBasis(r, static_cast<size_t>(i));
    sum += d * d;
  }
  return std::sqrt(sum) <= eps;
}

num::Packed hypothesisSSCP(const GroupState& g, const num::Mat& l, double tol, int ndepvr) {
  const size_t m = l.rows;
  const size_t p = l.cols;
  num::Packed result(static_cast<size_t>(ndepvr));
  // M = L G L'
  num::Mat lg(m, p);
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j < p; ++j) {
      double s = 0.0;
      for (size_t k = 0; k < p; ++k) s += l(i, k) * g.ginverse(j, k);
      lg(i, j) = s;
    }
  num::Packed mm(m);
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j <= i; ++j) {
      double s = 0.0;
      for (size_t k = 0; k < p; ++k) s += lg(i, k) * l(j, k);
      mm(i, j) = s;
    }
  std::vector<double> scale(m);
  for (size_t i = 0; i < m; ++i) scale[i] = mm(i, i);
  int zeros = num::LTRCHD(mm, scale, tol);
  if (zeros >= static_cast<int>(m)) return result;
  num::Packed tinv = num::LTRDGI(mm);
  std::vector<std::vector<double>> u(static_cast<size_t>(ndepvr), std::vector<double>(m, 0.0));
  for (int d = 0; d < ndepvr; ++d) {
    std::vector<double> lb(m, 0.0);
    for (size_t i = 0; i < m; ++i)
      for (size_t k = 0; k < p; ++k) lb[i] += l(i, k) * g.paramEst(k, static_cast<size_t>(d));
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
