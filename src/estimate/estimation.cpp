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
        r(d, e) += shift[e] * m(dmncol + d, one) + shift[d] * m(one, dmncol + e) + shift[d] * shift[e] * m(one, one);
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

void GMEINI(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  (void)ctx;
  GroupState& g = st.group;
  const int p = g.dmncol;
  const int nd = st.ndepvr;
  const bool shifted = st.interceptIncluded && p > 0;
  const size_t order = static_cast<size_t>(p + nd + (shifted ? 1 : 0));
  num::Packed total(order), block(order);
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

  std::vector<std::pair<int, double>> row;
  std::vector<size_t> idx;
  std::vector<double> val;
  long inBlock = 0;
  auto flush = [&] {
    for (size_t i = 0; i < block.a.size(); ++i) total.a[i] += block.a[i];
    std::fill(block.a.begin(), block.a.end(), 0.0);
    inBlock = 0;
  };
  for (long k = 0; k < work.size(); ++k) {
    const double wr = work.weight(k) * work.regWeight(k);
    if (!(wr > 0.0)) continue;
    designRow(st, k, work.covOf(k), row);
    idx.clear();
    val.clear();
    for (auto& [c, v] : row) {
      if (v == 0.0) continue;
      idx.push_back(static_cast<size_t>(c));
      val.push_back(v);
    }
    const double* y = work.depOf(k);
    for (int d = 0; d < nd; ++d) {
      idx.push_back(static_cast<size_t>(p + d));
      val.push_back(shifted ? y[d] - g.depShift[d] : y[d]);
    }
    if (shifted) {
      idx.push_back(order - 1);
      val.push_back(1.0);
    }
    double* a = block.a.data();
    for (size_t i = 0; i < idx.size(); ++i) {
      const double wi = wr * val[i];
      double* rowp = a + idx[i] * (idx[i] + 1) / 2;
      for (size_t j = 0; j <= i; ++j) rowp[idx[j]] += wi * val[j];
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
    if (++inBlock == kBlockCases) flush();
  }
  flush();
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
    for (int j = 0; j < p; ++j) row[j] = ss.swept[j] ? 0.0 : ss.m(static_cast<size_t>(i), static_cast<size_t>(j));
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
      g.ginverse(i, j) = (g.nonRedundant[i] && g.nonRedundant[j]) ? -ss.m(static_cast<size_t>(i), static_cast<size_t>(j)) : 0.0;

  g.estBasis = num::Mat(static_cast<size_t>(g.modldf), static_cast<size_t>(p));
  size_t r = 0;
  for (int i = 0; i < p; ++i) {
    if (!g.nonRedundant[i]) continue;
    double* row = g.estBasis.row(r++);
    for (int j = 0; j < p; ++j)
      row[j] = g.nonRedundant[j] ? (i == j ? 1.0 : 0.0) : ss.m(static_cast<size_t>(i), static_cast<size_t>(j));
    num::CLNVEC(row, static_cast<size_t>(p), kBasisCleanFactor * p);
  }
  g.nullBasis = GMEOCG(g);

  for (int k = p - 1; k >= 0; --k)
    if (ss.swept[k]) num::LTRSWE(ss.m, static_cast<size_t>(k), ss.scale, ss.swept, ss.eps);

  // Error SSCP from the residuals of a second pass.
  g.errorSSCP = num::Packed(static_cast<size_t>(nd));
  if (g.sumWeights - g.modldf > 0) {
    std::vector<std::pair<int, double>> row;
    std::vector<double> e(nd);
    for (long k = 0; k < work.size(); ++k) {
      const double wr = work.weight(k) * work.regWeight(k);
      if (!(wr > 0.0)) continue;
      designRow(st, k, work.covOf(k), row);
      const double* y = work.depOf(k);
      for (int d = 0; d < nd; ++d) {
        double fit = 0.0;
        for (auto& [c, v] : row) fit += v * bShift(c, d);
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
