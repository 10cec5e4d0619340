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
#include <string>
#include <tuple>
#include <unordered_map>

#include "data/design.h"
#include "estimate/structured_sweep.h"
#include "host/numeric/ddouble.h"
#include "host/numeric/moments.h"

namespace qv {

namespace {

// Cases accumulated into a block before the block is added to the total; bounds the growth of
// rounding error in long sums.
constexpr long kBlockCases = 4096;

// A plain column offered after offset covariate columns is aliased when its pivot is at or below
// this fraction of its raw sum of squares, whatever those columns.
constexpr double kPlainPivotFloor = 1.0e-29;
// A column's within-cell covariate spread at or below this fraction of its raw sum of squares
// counts as none (the column is scaled as a plain one).
constexpr double kCovariateSpreadFloor = 1.0e-28;
// A covariate column whose raw sum of squares exceeds its within-cell spread this many times
// carries a large constant part (SweepState::kColumnOffset).
constexpr double kOffsetRatio = 1.0e2;
// A residual within this many units in the last place of the dependent value is 0.
constexpr int kResidualUlps = 4096;

// Cleaning factors of estimable-function rows (relative to dmncol).
constexpr double kBasisCleanFactor = 1.0e4;
constexpr double kNullCleanFactor = 16.0;

}  // namespace

num::Packed SweepState::dependentBlock(std::vector<double>& lowParts) const {
  num::Packed r(ndepvr);
  lowParts.assign(r.a.size(), 0.0);
  auto at = [&](size_t i, size_t j) {
    const size_t q = num::packedIndex(i, j);
    return num::DD(m.a[q], lo[q]);
  };
  const bool recover = !shift.empty() && !interceptSwept();
  const size_t one = static_cast<size_t>(dmncol + ndepvr);
  for (int d = 0; d < ndepvr; ++d)
    for (int e = 0; e <= d; ++e) {
      const size_t rd = static_cast<size_t>(dmncol + d), re = static_cast<size_t>(dmncol + e);
      num::DD v = at(rd, re);
      if (recover)
        v = v + num::DD(shift[e]) * at(rd, one) + num::DD(shift[d]) * at(one, re) +
            num::twoProd(shift[d], shift[e]) * at(one, one);
      const size_t q = num::packedIndex(static_cast<size_t>(d), static_cast<size_t>(e));
      r.a[q] = v.hi;
      lowParts[q] = v.lo;
    }
  return r;
}

num::Packed SweepState::dependentBlock() const {
  std::vector<double> unused;
  return dependentBlock(unused);
}

void SweepState::restore() {
  std::fill(swept.begin(), swept.end(), 0);
  sweptOutsideFit = 0;
  roundingLevel = 0.0;
  if (fullMatrix) {
    m.a = m0.a;
    lo = lo0;
    return;
  }
  // The dependent rows are the last rows of the packed matrix; then the diagonal.
  const size_t from = num::packedIndex(static_cast<size_t>(dmncol), 0);
  std::copy(m0.a.begin() + static_cast<long>(from), m0.a.end(), m.a.begin() + static_cast<long>(from));
  std::copy(lo0.begin() + static_cast<long>(from), lo0.end(), lo.begin() + static_cast<long>(from));
  for (size_t i = 0; i < static_cast<size_t>(dmncol); ++i) {
    const size_t q = num::packedIndex(i, i);
    m.a[q] = m0.a[q];
    lo[q] = lo0[q];
  }
  for (size_t i = 0; i < current.size(); ++i) current[i] = i >= static_cast<size_t>(dmncol) ? 1 : 0;
}

void SweepState::refreshRow(size_t k) {
  const size_t n = m.n;
  std::vector<size_t> by;
  std::vector<num::DD> coef;
  for (size_t s = 0; s < static_cast<size_t>(dmncol); ++s) {
    if (!swept[s]) continue;
    const size_t q = num::packedIndex(k, s);
    if (m0.a[q] == 0.0 && lo0[q] == 0.0) continue;
    by.push_back(s);
    coef.push_back(num::DD(m0.a[q], lo0[q]));
  }
  for (size_t j = 0; j < n; ++j) {
    if (j == k || current[j]) continue;
    const size_t q = num::packedIndex(k, j);
    num::DD v(m0.a[q], lo0[q]);
    for (size_t t = 0; t < by.size(); ++t) {
      const size_t qs = num::packedIndex(by[t], j);
      if (m.a[qs] != 0.0) v -= coef[t] * num::DD(m.a[qs], lo[qs]);
    }
    m.a[q] = v.hi;
    lo[q] = v.lo;
  }
}

bool SweepState::accepts(int k) const {
  const size_t kk = static_cast<size_t>(k);
  if (swept[kk]) return false;
  const num::DD p(m(kk, kk), lo[num::packedIndex(kk, kk)]);
  if (const int verdict = pivotVerdict(kk, p.hi); verdict >= 0) return verdict == 1;
  // A column without a covariate (the intercept, a factor's indicator) offered after covariate
  // columns that carry a large constant part: its pivot may be small against its own scale
  // only because those columns nearly contain it through that constant. It is aliased when
  // sweeping it would make some swept column a (near) combination of the others, judged
  // against that column's own scale.
  if (kk >= kind.size() || kind[kk] != kColumnPlain) return false;
  bool offsetSwept = false;
  for (size_t j = 0; j < kind.size() && !offsetSwept; ++j) offsetSwept = swept[j] && kind[j] == kColumnOffset;
  if (!offsetSwept || !(p.hi > kPlainPivotFloor * m0(kk, kk))) return false;
  // First among the columns without a covariate alone: their cross-products are sums of
  // weights, free of the covariates' constants, so an exact dependence shows exactly.
  std::vector<size_t> plain;
  for (size_t j = 0; j < kind.size(); ++j)
    if (kind[j] == kColumnPlain && (swept[j] || j == kk)) plain.push_back(j);
  num::Packed pm(plain.size());
  std::vector<double> pl(pm.a.size(), 0.0), pscale(plain.size(), 0.0);
  std::vector<char> pswept(plain.size(), 0);
  size_t kpos = 0;
  for (size_t a = 0; a < plain.size(); ++a) {
    if (plain[a] == kk) kpos = a;
    pscale[a] = scale[plain[a]];
    for (size_t b = 0; b <= a; ++b) {
      const size_t q = num::packedIndex(plain[a], plain[b]);
      pm(a, b) = m0.a[q];
      pl[num::packedIndex(a, b)] = lo0[q];
    }
  }
  for (size_t a = 0; a < plain.size(); ++a) {
    if (a == kpos) continue;
    const num::DD d(pm(a, a), pl[num::packedIndex(a, a)]);
    if (d.hi > eps * pscale[a]) num::sweepExtended(pm, pl, a, true);
  }
  const num::DD pk(pm(kpos, kpos), pl[num::packedIndex(kpos, kpos)]);
  if (!(pk.hi > eps * scale[kk])) return false;
  // Then with the covariate columns: sweeping k must not make a swept covariate column a
  // (near) combination of the others, judged against that column's own scale.
  num::Packed mm = m;
  std::vector<double> ll = lo;
  num::sweepExtended(mm, ll, kk, true);
  for (int j = 0; j < dmncol; ++j) {
    const size_t jj = static_cast<size_t>(j);
    if (!swept[jj] || jj == kk || kind[jj] == kColumnPlain) continue;
    // The swept diagonal is -1 / (residual of column j on the other swept columns).
    const num::DD dj(mm(jj, jj), ll[num::packedIndex(jj, jj)]);
    if (!(dj.hi < 0.0)) return false;
    const num::DD resid = num::DD(-1.0) / dj;
    if (!(resid.hi > eps * scale[jj])) return false;
  }
  return true;
}

void SweepState::recordFit(const std::vector<size_t>& nearlyAliasedColumns) {
  const size_t p = static_cast<size_t>(dmncol);
  fitColumn.assign(swept.begin(), swept.begin() + static_cast<long>(p));
  leftOut.assign(p, 0);
  for (size_t k : nearlyAliasedColumns) leftOut[k] = 1;
  for (size_t k = 0; k < p; ++k)
    if (!std::isfinite(m0(k, k))) leftOut[k] = 1;
  sweptOutsideFit = 0;
}

int SweepState::pivotVerdict(size_t k, double pivot) const {
  if (!(scale[k] > 0.0) || !(pivot > 0.0)) return 0;
  if (const int fit = fitVerdict(k); fit >= 0) return fit;
  return pivot > eps * scale[k] ? 1 : -1;
}

void SweepState::noteSweptIn(size_t k, double pivot) {
  if (!fitColumn.empty() && !fitColumn[k]) ++sweptOutsideFit;
  // 2^-104: the unit roundoff of double-double arithmetic.
  const double unit = std::ldexp(1.0, -104);
  if (pivot > 0.0) roundingLevel = std::max(roundingLevel, unit * m0(k, k) / pivot);
}

bool SweepState::roundingNoise(size_t i, size_t j, double v) const {
  const double di = m0(i, i), dj = m0(j, j);
  if (!(di > 0.0) || !(dj > 0.0)) return false;
  return std::fabs(v) * std::sqrt(di / dj) <= kSweptValueRounding * roundingLevel;
}

int SweepState::fitVerdict(size_t k) const {
  if (fitColumn.empty()) return -1;
  if (leftOut[k]) return 0;
  if (fitColumn[k] && sweptOutsideFit == 0) return 1;
  return -1;
}

bool SweepState::sweep(int k) {
  const size_t kk = static_cast<size_t>(k);
  if (swept[kk]) {
    if (m(kk, kk) == 0.0 && lo[num::packedIndex(kk, kk)] == 0.0) return false;
    if (fullMatrix) {
      num::sweepExtended(m, lo, kk, false);
    } else {
      num::sweepExtendedRows(m, lo, kk, false, current);
      current[kk] = 0;
    }
    swept[kk] = 0;
    if (!fitColumn.empty() && !fitColumn[kk]) --sweptOutsideFit;
    return true;
  }
  if (!accepts(k)) return false;
  noteSweptIn(kk, m(kk, kk));
  if (fullMatrix) {
    num::sweepExtended(m, lo, kk, true);
  } else {
    refreshRow(kk);
    current[kk] = 1;
    num::sweepExtendedRows(m, lo, kk, true, current);
  }
  swept[kk] = 1;
  return true;
}

SweepState makeSweepState(const ProcedureState& st) {
  SweepState ss;
  ss.m = st.group.crossProducts;
  ss.lo = st.group.crossProductsLo;
  if (ss.lo.size() != ss.m.a.size()) ss.lo.assign(ss.m.a.size(), 0.0);
  ss.dmncol = st.group.dmncol;
  ss.ndepvr = st.ndepvr();
  ss.shift = st.group.depShift;
  ss.eps = st.rdneps;
  ss.centred = st.interceptIncluded && ss.dmncol > 0;
  ss.scale.assign(ss.m.n, 0.0);
  const size_t p = static_cast<size_t>(ss.dmncol);
  ss.kind.assign(p, SweepState::kColumnPlain);
  const num::DD n0 = p > 0 ? num::DD(ss.m(0, 0), ss.lo[0]) : num::DD(0.0);
  const std::vector<double>& cellSS = st.group.columnCellSS;
  for (size_t i = 0; i < p; ++i) {
    const num::DD d(ss.m(i, i), ss.lo[num::packedIndex(i, i)]);
    if (i < cellSS.size() && cellSS[i] > kCovariateSpreadFloor * d.hi) {
      // A covariate column: about its mean within its cell, where the constant part of the
      // covariate goes to the cell's own column (or the intercept).
      ss.scale[i] = cellSS[i];
      ss.kind[i] = d.hi > kOffsetRatio * cellSS[i] ? SweepState::kColumnOffset : SweepState::kColumnCovariate;
    } else if (i > 0 && ss.centred && n0.hi > 0.0) {
      const num::DD c(ss.m(i, 0), ss.lo[num::packedIndex(i, 0)]);
      const num::DD centredSS = d - c * c / n0;
      ss.scale[i] = centredSS.hi > 0.0 ? centredSS.hi : 0.0;
    } else {
      ss.scale[i] = d.hi;
    }
  }
  ss.swept.assign(ss.m.n, 0);
  ss.current.assign(ss.m.n, 0);
  for (size_t i = p; i < ss.m.n; ++i) ss.current[i] = 1;
  ss.m0 = ss.m;
  ss.lo0 = ss.lo;
  return ss;
}

namespace {

// Within one design cell every case has the same design columns; the values in them are 1 or a
// covariate product. Effects with the same covariate powers carry the same value ("kind"), so a
// case's cross-products follow from the small vector u = (1, one product per kind of covariate
// term, dependents). The accumulation sums u u' per design cell and spreads the sums over the
// design columns once at the end: the work per case no longer grows with the number of effects.
//
// Digits: the products are not summed as they stand. Each covariate is taken about a shift s
// (its value in the first valid case), d = x - s, and the case vector summed is
// v = (the monomials in d that divide some kind's product, dependents about their first valid
// values); every kind is a fixed combination of those monomials (binomial expansion of
// (d + s)^p), so the sums of u u' follow exactly from the sums of v v' and are formed from
// them in double-double. The sums of v v' are the centred-like moments that carry the
// information; a large constant in a covariate no longer cancels them away.
struct ValueKinds {
  std::vector<int> effectKind;        // per effect: 0 for the constant 1, else 1..nkinds
  std::vector<EffectRow> kindPowers;  // per kind 1..nkinds (index kind-1): covariate powers
  int nkinds = 0;
  std::vector<EffectRow> monoPowers;  // shifted monomials; [0] is the constant
  std::vector<double> covShift;       // per covariate
  // Row k (0 the constant, 1..nkinds the kinds): coefficients of the kind on the monomials.
  std::vector<std::vector<num::DD>> expand;

  explicit ValueKinds(const ProcedureState& st) {
    effectKind.assign(st.effectCount(), 0);
    for (int e = 0; e < st.effectCount(); ++e) {
      EffectRow pw(st.ptefds[e].begin() + st.nfactr(), st.ptefds[e].end());
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
    const size_t nc = static_cast<size_t>(st.ncovar());
    monoPowers.push_back(EffectRow(nc, 0));
    for (const EffectRow& pw : kindPowers) {
      // Every alpha <= pw, componentwise.
      EffectRow a(nc, 0);
      for (;;) {
        if (std::find(monoPowers.begin(), monoPowers.end(), a) == monoPowers.end()) monoPowers.push_back(a);
        size_t c = 0;
        while (c < nc && a[c] == pw[c]) a[c++] = 0;
        if (c == nc) break;
        ++a[c];
      }
    }
    covShift.assign(nc, 0.0);
    setShifts(covShift.data());
    for (const EffectRow& al : monoPowers) {
      int degree = 0, cov = -1;
      for (size_t c = 0; c < al.size(); ++c)
        if (al[c] > 0) {
          degree += al[c];
          cov = static_cast<int>(c);
        }
      linearCov.push_back(degree <= 1 ? cov : -2);
      linear = linear && degree <= 1;
    }
  }
  // Per monomial: -1 the constant, c >= 0 the deviation of covariate c alone, -2 a power or
  // product; `linear` when there is no -2 (the monomials are then formed without a product).
  std::vector<int> linearCov;
  bool linear = true;

  size_t nmono() const { return monoPowers.size(); }

  void setShifts(const double* s) {
    covShift.assign(s, s + covShift.size());
    expand.assign(static_cast<size_t>(1 + nkinds), std::vector<num::DD>(nmono(), num::DD(0.0)));
    expand[0][0] = num::DD(1.0);
    for (int k = 0; k < nkinds; ++k) {
      const EffectRow& pw = kindPowers[k];
      for (size_t a = 0; a < nmono(); ++a) {
        const EffectRow& al = monoPowers[a];
        bool divides = true;
        for (size_t c = 0; c < pw.size() && divides; ++c) divides = al[c] <= pw[c];
        if (!divides) continue;
        num::DD coef(1.0);
        for (size_t c = 0; c < pw.size(); ++c) {
          double binom = 1.0;
          for (int t = 0; t < al[c]; ++t) binom = binom * (pw[c] - t) / (t + 1);
          coef = coef * num::DD(binom);
          for (int t = al[c]; t < pw[c]; ++t) coef = coef * num::DD(covShift[c]);
        }
        expand[static_cast<size_t>(k + 1)][a] = coef;
      }
    }
  }

  // w[a] = monomial a of the case's covariates about their shifts; `rem` (may be null) holds
  // the remainders of decimal input, so that each deviation is that of the exact value.
  void fillShifted(const double* cov, const double* rem, double* w) const {
    if (linear) {
      for (size_t a = 0; a < linearCov.size(); ++a) {
        const int c = linearCov[a];
        w[a] = c < 0 ? 1.0 : (cov[c] - covShift[static_cast<size_t>(c)]) + (rem ? rem[c] : 0.0);
      }
      return;
    }
    dev.resize(covShift.size());
    for (size_t c = 0; c < covShift.size(); ++c) dev[c] = (cov[c] - covShift[c]) + (rem ? rem[c] : 0.0);
    for (size_t a = 0; a < nmono(); ++a) {
      double v = 1.0;
      const EffectRow& al = monoPowers[a];
      for (size_t c = 0; c < al.size(); ++c)
        for (int t = 0; t < al[c]; ++t) v *= dev[c];
      w[a] = v;
    }
  }
  mutable std::vector<double> dev;

  // Has some monomial a degree of 2 or more (a power or product of covariates)?
  bool hasProducts() const {
    for (const EffectRow& al : monoPowers) {
      int degree = 0;
      for (int t : al) degree += t;
      if (degree >= 2) return true;
    }
    return false;
  }

  // fillShifted in double-double: each deviation from its shift and each monomial correct to
  // about 32 digits (high powers of a covariate lose no digits in their forming).
  void fillShiftedExtended(const double* cov, const double* rem, num::DD* w) const {
    devx.resize(covShift.size());
    for (size_t c = 0; c < covShift.size(); ++c)
      devx[c] = num::twoSum(cov[c], -covShift[c]) + num::DD(rem ? rem[c] : 0.0);
    for (size_t a = 0; a < nmono(); ++a) {
      num::DD v(1.0);
      const EffectRow& al = monoPowers[a];
      for (size_t c = 0; c < al.size(); ++c)
        for (int t = 0; t < al[c]; ++t) v = v * devx[c];
      w[a] = v;
    }
  }
  mutable std::vector<num::DD> devx;
};

// Adds w v v' (packed lower triangle) to the double-double sums (hi, lo), every product and
// sum in double-double.
void addOuterExtended(const std::vector<num::DD>& v, double w, double* hi, double* lo) {
  for (size_t i = 0; i < v.size(); ++i) {
    const num::DD wi = num::DD(w) * v[i];
    const size_t row = i * (i + 1) / 2;
    for (size_t j = 0; j <= i; ++j) {
      const num::DD t = num::DD(hi[row + j], lo[row + j]) + wi * v[j];
      hi[row + j] = t.hi;
      lo[row + j] = t.lo;
    }
  }
}

// One case into the double-double sums (hi, lo) of its cell: v = (monomials of the covariates
// about their shifts, dependents about depOrigin), all in double-double; `fresh` clears the
// sums first (the accumulation without per-cell sums).
void addCaseExtended(const ValueKinds& kinds, const CaseBlock& cases, long k, double w,
                     const std::vector<double>& depOrigin, std::vector<num::DD>& v, double* hi, double* lo,
                     bool fresh) {
  const size_t nmono = kinds.nmono();
  kinds.fillShiftedExtended(cases.covOf(k), cases.covRemOf(k), v.data());
  const double* y = cases.depOf(k);
  const double* yr = cases.depRemOf(k);
  for (size_t d = 0; d < depOrigin.size(); ++d)
    v[nmono + d] = num::twoSum(y[d], -depOrigin[d]) + num::DD(yr ? yr[d] : 0.0);
  if (fresh) {
    std::fill(hi, hi + num::packedSize(v.size()), 0.0);
    std::fill(lo, lo + num::packedSize(v.size()), 0.0);
  }
  addOuterExtended(v, w, hi, lo);
}

// The partial result of the accumulation over one block of cases: per design cell the block
// touches (in order of first touch), the double-double sums of v v' (packed, vsize entries), and
// the weight, provisional means and sums of squared deviations of the dependents.
struct CellSums {
  size_t vsize = 0;
  std::vector<int> cells;
  std::vector<double> hi, lo;
  double wsum = 0.0;
  std::vector<double> mean, m2;
  std::unordered_map<size_t, size_t> sparseSlot;  // cell -> slot, with many design cells
  std::vector<int> denseSlot;                     // cell + 1 -> slot + 1, with few
  CellSums() = default;
  CellSums(size_t vsize, int nd) : vsize(vsize), mean(static_cast<size_t>(nd), 0.0), m2(mean) {}
  // What the merge reads, as it travels between processes (the slot tables stay behind).
  auto fields() { return std::tie(vsize, cells, hi, lo, wsum, mean, m2); }
  auto fields() const { return std::tie(vsize, cells, hi, lo, wsum, mean, m2); }
  // The slot of design cell c of ncells, made on its first touch.
  size_t slotOf(size_t c, size_t ncells) {
    constexpr size_t kDenseCells = size_t{1} << 16;
    if (ncells <= kDenseCells) {
      if (denseSlot.empty()) denseSlot.assign(ncells, 0);
      if (denseSlot[c] == 0) {
        denseSlot[c] = static_cast<int>(cells.size()) + 1;
        touch(c);
      }
      return static_cast<size_t>(denseSlot[c] - 1);
    }
    auto [it, isNew] = sparseSlot.try_emplace(c, cells.size());
    if (isNew) touch(c);
    return it->second;
  }
  void touch(size_t c) {
    cells.push_back(static_cast<int>(c));
    hi.resize(hi.size() + vsize, 0.0);
    lo.resize(lo.size() + vsize, 0.0);
  }
  // Adds plain sums a (vsize entries) to the slot's double-double sums and clears a.
  void addPlain(size_t slot, double* a) {
    double* th = hi.data() + slot * vsize;
    double* tl = lo.data() + slot * vsize;
    for (size_t i = 0; i < vsize; ++i) {
      const num::DD t = num::DD(th[i], tl[i]) + num::DD(a[i]);
      th[i] = t.hi;
      tl[i] = t.lo;
      a[i] = 0.0;
    }
  }
};

// a += w v v' (packed lower triangle, order n), each entry as a[q] += (w v[i]) v[j].
template <size_t N>
void addOuterFixed(double* a, const double* v, double w) {
  for (size_t i = 0; i < N; ++i) {
    const double wi = w * v[i];
    for (size_t j = 0; j <= i; ++j) a[i * (i + 1) / 2 + j] += wi * v[j];
  }
}
void addOuter(double* a, const double* v, size_t n, double w) {
  // The usual orders unrolled (one covariate or none, one or two dependents).
  switch (n) {
    case 2:
      return addOuterFixed<2>(a, v, w);
    case 3:
      return addOuterFixed<3>(a, v, w);
    case 4:
      return addOuterFixed<4>(a, v, w);
    default:
      for (size_t i = 0; i < n; ++i) {
        const double wi = w * v[i];
        double* rowp = a + i * (i + 1) / 2;
        for (size_t j = 0; j <= i; ++j) rowp[j] += wi * v[j];
      }
  }
}

// Largest number of per-cell accumulator entries (three per packed entry: the block and the
// double-double total) kept in memory before the accumulation falls back to updating the full
// matrix case by case.
constexpr size_t kCellAccumulatorBudget = size_t{3} << 21;

}  // namespace

void GMEINI(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  (void)ctx;
  GroupState& g = st.group;
  const int p = g.dmncol;
  const int nd = st.ndepvr();
  const int ne = st.effectCount();
  const bool shifted = st.interceptIncluded && p > 0;
  const size_t order = static_cast<size_t>(p + nd + (shifted ? 1 : 0));
  num::Packed total(order);
  std::vector<double> totalLo(total.a.size(), 0.0);
  g.depShift.clear();
  ValueKinds kinds(st);
  // Shifts: the first valid case's values.
  std::vector<double> depOrigin(nd, 0.0);
  work.scan([&](const CaseBlock& cases) {
    for (long k = cases.range.begin; k < cases.range.end; ++k)
      if (cases.weight(k) > 0.0 && cases.regWeight(k) > 0.0) {
        depOrigin.assign(cases.depOf(k), cases.depOf(k) + nd);
        kinds.setShifts(cases.covOf(k));
        return true;
      }
    return false;
  });
  if (shifted) g.depShift = depOrigin;
  // The provisional means and sums of squared deviations of the dependents are taken about the
  // same first valid case's values, so that a large common offset does not cost digits.

  const size_t nmono = kinds.nmono();
  const size_t mu = static_cast<size_t>(1 + kinds.nkinds + nd);  // u = (1, kinds, dependents)
  const size_t mv = nmono + static_cast<size_t>(nd);             // v = (monomials, dependents)
  const size_t vsize = num::packedSize(mv);
  const size_t usize = num::packedSize(mu);
  const size_t ncells = ne > 0 ? g.designCellColumns.size() / static_cast<size_t>(ne) : 0;
  QV_ASSERT(ne > 0 && ncells > 0, "GMEINI");
  // u = E v: row 0 the constant, rows 1..nkinds the kinds, then each dependent (about its
  // shift when shifted, else raw: v carries it about its first valid value).
  std::vector<std::vector<num::DD>> e(mu, std::vector<num::DD>(mv, num::DD(0.0)));
  for (size_t k = 0; k <= static_cast<size_t>(kinds.nkinds); ++k)
    for (size_t a = 0; a < nmono; ++a) e[k][a] = kinds.expand[k][a];
  for (int d = 0; d < nd; ++d) {
    e[1 + kinds.nkinds + d][nmono + d] = num::DD(1.0);
    if (!shifted) e[1 + kinds.nkinds + d][0] = num::DD(depOrigin[d]);
  }
  // Sums of u u' (packed, double-double) from sums of v v' (high parts, optional low parts).
  std::vector<num::DD> ev(mu * mv), uu(usize);
  auto toKinds = [&](const double* vh, const double* vl) {
    for (size_t i = 0; i < mu; ++i)
      for (size_t b = 0; b < mv; ++b) {
        num::DD s(0.0);
        for (size_t a = 0; a < mv; ++a) {
          if (e[i][a].hi == 0.0) continue;
          const size_t q = num::packedIndex(a, b);
          if (vh[q] == 0.0 && (!vl || vl[q] == 0.0)) continue;
          s += e[i][a] * num::DD(vh[q], vl ? vl[q] : 0.0);
        }
        ev[i * mv + b] = s;
      }
    for (size_t i = 0; i < mu; ++i)
      for (size_t j = 0; j <= i; ++j) {
        num::DD s(0.0);
        for (size_t b = 0; b < mv; ++b)
          if (e[j][b].hi != 0.0 && ev[i * mv + b].hi != 0.0) s += ev[i * mv + b] * e[j][b];
        uu[num::packedIndex(i, j)] = s;
      }
  };
  // Global positions of the entries of u in design cell c.
  std::vector<size_t> where, kindOf;
  auto positions = [&](size_t c) {
    where.clear();
    kindOf.clear();
    for (int ef = 0; ef < ne; ++ef) {
      where.push_back(static_cast<size_t>(g.designCellColumns[c * ne + ef]));
      kindOf.push_back(static_cast<size_t>(kinds.effectKind[ef]));
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
  // Per column: weight, sum and sum of squares of its covariate value within its cell.
  const size_t ncol = static_cast<size_t>(p);
  std::vector<num::DD> colW(ncol), colS1(ncol), colS2(ncol), cellW(ncells);
  auto spread = [&](size_t c) {
    cellW[c] += uu[0];
    for (int ef = 0; ef < ne; ++ef) {
      const size_t k = static_cast<size_t>(kinds.effectKind[ef]);
      if (k == 0) continue;
      const size_t j = static_cast<size_t>(g.designCellColumns[c * ne + ef]);
      colW[j] += uu[0];
      colS1[j] += uu[num::packedIndex(k, 0)];
      colS2[j] += uu[num::packedIndex(k, k)];
    }
    positions(c);
    for (size_t i = 0; i < where.size(); ++i)
      for (size_t j = 0; j <= i; ++j) {
        const size_t q = num::packedIndex(where[i], where[j]);
        const num::DD v = num::DD(total.a[q], totalLo[q]) + uu[num::packedIndex(kindOf[i], kindOf[j])];
        total.a[q] = v.hi;
        totalLo[q] = v.lo;
      }
  };
  // With very many design cells the per-cell sums of all cases would not fit: each block's sums
  // then go into the full matrix as they come instead.
  const bool perCell = ncells * vsize * 3 <= kCellAccumulatorBudget;
  // With powers or products of covariates the cross-products are summed in double-double from
  // monomials formed in double-double: a polynomial of high degree needs the digits.
  const bool extended = kinds.hasProducts();
  // The pass: per block, the sums of v v' of each design cell it touches and the provisional
  // means of the dependents; the blocks' cell sums are added per cell in block order.
  auto map = [&](const CaseBlock& cases) {
    const CaseRange range = cases.range;
    CellSums part(vsize, nd);
    ValueKinds kv = kinds;  // scratch of its own on each thread
    std::vector<double> v(mv);
    std::vector<num::DD> vx(extended ? mv : 0);
    std::vector<double> block;  // per touched cell, its sums of at most kBlockCases cases
    std::vector<long> count;
    double wsum1 = 0.0, mean1 = 0.0, m21 = 0.0;
    for (long k = range.begin; k < range.end; ++k) {
      const double wr = cases.weight(k) * cases.regWeight(k);
      if (!(wr > 0.0)) continue;
      const double* y = cases.depOf(k);
      const double* yr = cases.depRemOf(k);
      const size_t slot = part.slotOf(static_cast<size_t>(cases.designCell(k)), ncells);
      if (slot * vsize == block.size()) {
        block.resize(block.size() + vsize, 0.0);
        count.push_back(0);
      }
      if (extended) {
        addCaseExtended(kv, cases, k, wr, depOrigin, vx, part.hi.data() + slot * vsize,
                        part.lo.data() + slot * vsize, false);
      } else {
        double* a = block.data() + slot * vsize;
        kv.fillShifted(cases.covOf(k), cases.covRemOf(k), v.data());
        for (int d = 0; d < nd; ++d) v[nmono + d] = (y[d] - depOrigin[d]) + (yr ? yr[d] : 0.0);
        addOuter(a, v.data(), mv, wr);
        if (++count[slot] % kBlockCases == 0) part.addPlain(slot, a);
      }
      if (nd == 1) {
        // One dependent: the running sums stay in registers instead of the block's memory.
        wsum1 += wr;
        const double yd = (y[0] - depOrigin[0]) + (yr ? yr[0] : 0.0);
        const double delta = yd - mean1;
        mean1 += delta * wr / wsum1;
        m21 += wr * delta * (yd - mean1);
        continue;
      }
      part.wsum += wr;
      for (int d = 0; d < nd; ++d) {
        const double yd = (y[d] - depOrigin[d]) + (yr ? yr[d] : 0.0);
        const double delta = yd - part.mean[d];
        part.mean[d] += delta * wr / part.wsum;
        part.m2[d] += wr * delta * (yd - part.mean[d]);
      }
    }
    if (nd == 1) {
      part.wsum = wsum1;
      part.mean[0] = mean1;
      part.m2[0] = m21;
    }
    if (!extended)
      for (size_t slot = 0; slot < part.cells.size(); ++slot)
        part.addPlain(slot, block.data() + slot * vsize);
    return part;
  };
  // Per design cell, the double-double sums of v v' of all its cases (with perCell).
  std::vector<double> cellHi(perCell ? ncells * vsize : 0, 0.0), cellLo(cellHi.size(), 0.0);
  std::vector<char> cellSeen(perCell ? ncells : 0, 0);
  double wsum = 0.0;
  std::vector<double> mean(nd, 0.0), m2(nd, 0.0);
  auto merge = [&](CellSums part) {
    num::mergeMoments(wsum, part.wsum, part.mean.data(), part.m2.data(), mean.data(), m2.data(), mean.size());
    wsum += part.wsum;
    for (size_t slot = 0; slot < part.cells.size(); ++slot) {
      const size_t c = static_cast<size_t>(part.cells[slot]);
      const double* ph = part.hi.data() + slot * vsize;
      const double* pl = part.lo.data() + slot * vsize;
      if (!perCell) {
        toKinds(ph, pl);
        spread(c);
        continue;
      }
      double* th = cellHi.data() + c * vsize;
      double* tl = cellLo.data() + c * vsize;
      if (!cellSeen[c]) {
        std::copy(ph, ph + vsize, th);
        std::copy(pl, pl + vsize, tl);
        cellSeen[c] = 1;
        continue;
      }
      for (size_t i = 0; i < vsize; ++i) {
        const num::DD t = num::DD(th[i], tl[i]) + num::DD(ph[i], pl[i]);
        th[i] = t.hi;
        tl[i] = t.lo;
      }
    }
  };
  work.reduce(map, merge);
  if (perCell) {
    for (size_t c = 0; c < ncells; ++c) {
      if (!cellSeen[c]) continue;
      toKinds(cellHi.data() + c * vsize, cellLo.data() + c * vsize);
      spread(c);
    }
  }
  g.columnCellSS.assign(ncol, 0.0);
  for (size_t j = 0; j < ncol; ++j)
    if (colW[j].hi > 0.0) {
      const num::DD ss = colS2[j] - colS1[j] * colS1[j] / colW[j];
      g.columnCellSS[j] = ss.hi > 0.0 ? ss.hi : 0.0;
    }
  g.designCellWeight.assign(ncells, 0.0);
  g.designCellWeightLo.assign(ncells, 0.0);
  for (size_t c = 0; c < ncells; ++c) {
    g.designCellWeight[c] = cellW[c].hi;
    g.designCellWeightLo[c] = cellW[c].lo;
  }
  g.crossProducts = std::move(total);
  g.crossProductsLo = std::move(totalLo);
  for (int d = 0; d < nd; ++d) mean[d] += depOrigin[d];
  g.depMeans = mean;
  g.totalSS.assign(nd, 0.0);
  for (int d = 0; d < nd; ++d) g.totalSS[d] = st.interceptIncluded ? m2[d] : m2[d] + wsum * mean[d] * mean[d];
}

int GMENRE(SweepState& ss, int colfst, int collst, bool sweepIn) {
  QV_ASSERT(colfst >= 0 && collst < ss.dmncol, "GMENRE");
  if (sweepIn) {
    const int swept = sweepIndicatorRun(ss, colfst, collst, nullptr);
    if (swept >= 0) return swept;
  }
  int count = 0;
  for (int k = colfst; k <= collst; ++k) {
    if (sweepIn != static_cast<bool>(ss.swept[k])) ss.sweep(k);
    if (ss.swept[k]) ++count;
  }
  if (!sweepIn) QV_ASSERT(count == 0, "GMENRE");
  return count;
}

num::Mat effectLRows(const SweepState& ss, int colfst, int collst, std::vector<char>* hypCols) {
  return effectLRows(ss, colfst, collst, hypCols, -1.0);
}

num::Mat effectLRows(const SweepState& ss, int colfst, int collst, std::vector<char>* hypCols,
                     double cleanBelow) {
  const int p = ss.dmncol;
  int rows = 0;
  for (int i = colfst; i <= collst; ++i) rows += ss.swept[i] ? 1 : 0;
  num::Mat l(static_cast<size_t>(rows), static_cast<size_t>(p));
  size_t r = 0;
  for (int i = colfst; i <= collst; ++i) {
    if (!ss.swept[i]) continue;
    double* row = l.row(r++);
    for (int j = 0; j < p; ++j) {
      const bool zero = ss.swept[j] || ss.outsideFitModel(static_cast<size_t>(j));
      const double v = zero ? 0.0 : ss.m(static_cast<size_t>(i), static_cast<size_t>(j));
      const bool noise = ss.roundingNoise(static_cast<size_t>(i), static_cast<size_t>(j), v);
      row[j] = std::fabs(v) <= cleanBelow || noise ? 0.0 : v;
    }
    row[i] = 1.0;
    if (hypCols) (*hypCols)[i] = 1;
    num::CLNVEC(row, static_cast<size_t>(p), kBasisCleanFactor * p);
  }
  return l;
}

void GMESTA(Context& ctx, ProcedureState& st, const CaseWorkFile& work, SweepState& ss) {
  GroupState& g = st.group;
  const int p = g.dmncol;
  const int nd = st.ndepvr();
  auto hl = [&](size_t i, size_t j) {
    const size_t q = num::packedIndex(i, j);
    return num::DD(ss.m.a[q], ss.lo[q]);
  };

  // Total SSCP about zero, from the unswept matrix.
  g.totalSSCP = ss.dependentBlock();

  std::vector<size_t> nearlyAliased;
  // Last column of the effect that starts at each column (the runs a closed-form sweep may take).
  std::vector<int> runEnd(static_cast<size_t>(p), -1);
  for (size_t e = 0; e < g.effectNcols.size() && e < g.effectFirstCol.size(); ++e)
    if (g.effectNcols[e] > 1 && g.effectFirstCol[e] >= 1 && g.effectFirstCol[e] - 1 < p)
      runEnd[g.effectFirstCol[e] - 1] = std::min(p - 1, g.effectFirstCol[e] + g.effectNcols[e] - 2);
  for (int k = 0; k < p; ++k) {
    const size_t kk = static_cast<size_t>(k);
    std::vector<double> pivots;
    if (runEnd[kk] > k && sweepIndicatorRun(ss, k, runEnd[kk], &pivots) >= 0) {
      for (int c = k; c <= runEnd[kk]; ++c) {
        const size_t cc = static_cast<size_t>(c);
        if (!ss.swept[cc] && ss.scale[cc] > 0.0 && pivots[cc - kk] > kExactAliasRatio * ss.scale[cc])
          nearlyAliased.push_back(cc);
      }
      k = runEnd[kk];
      continue;
    }
    const double pivot = ss.m(kk, kk);
    if (ss.sweep(k)) continue;
    // Refused: silent when the column is aliased exactly (its pivot is rounding noise), a
    // warning naming the parameter when it is only nearly a combination of the earlier ones.
    if (ss.scale[kk] > 0.0 && pivot > kExactAliasRatio * ss.scale[kk]) nearlyAliased.push_back(kk);
  }
  if (!nearlyAliased.empty()) {
    std::vector<std::string> labels = g.paramLabels;
    if (labels.size() != static_cast<size_t>(p) && ctx.data)
      buildParamLabels(st, ctx.data->dictionary(), labels);
    for (size_t kk : nearlyAliased)
      ctx.note("Near-aliased parameter ^1 ...", out::Severity::Warning,
               {kk < labels.size() ? labels[kk] : "in column " + std::to_string(kk + 1)});
  }
  ss.recordFit(nearlyAliased);
  g.nonRedundant.assign(ss.swept.begin(), ss.swept.begin() + p);
  g.modldf = static_cast<int>(std::count(g.nonRedundant.begin(), g.nonRedundant.end(), 1));

  // Parameter estimates of the shifted problem (double-double), kept for the residual pass.
  std::vector<num::DD> bShift(static_cast<size_t>(p) * nd, num::DD(0.0));
  for (int j = 0; j < p; ++j)
    for (int d = 0; d < nd; ++d)
      if (g.nonRedundant[j]) bShift[j * nd + d] = hl(static_cast<size_t>(p + d), static_cast<size_t>(j));
  g.paramEst = num::Mat(static_cast<size_t>(p), static_cast<size_t>(nd));
  g.paramEstLo.assign(g.paramEst.a.size(), 0.0);
  for (int j = 0; j < p; ++j)
    for (int d = 0; d < nd; ++d) {
      num::DD b = bShift[j * nd + d];
      if (j == 0 && !g.depShift.empty() && g.nonRedundant[0]) b += num::DD(g.depShift[d]);
      g.paramEst(j, d) = b.hi;
      g.paramEstLo[j * nd + d] = b.lo;
    }

  g.ginverse = num::Packed(static_cast<size_t>(p));
  g.ginverseLo.assign(g.ginverse.a.size(), 0.0);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j)
      if (g.nonRedundant[i] && g.nonRedundant[j]) {
        const num::DD v = hl(static_cast<size_t>(i), static_cast<size_t>(j));
        g.ginverse(i, j) = -v.hi;
        g.ginverseLo[num::packedIndex(i, j)] = -v.lo;
      }

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

  ss.restore();

  // Error SSCP from the residuals of a second pass. Within a design cell the fitted value is
  // u . coef, with coef summing the estimates of the columns that carry each kind of value;
  // it is evaluated on the shifted monomials (coefficients carried over in double-double), so
  // a covariate's large constant part does not cancel in the fitted values.
  g.errorSSCP = num::Packed(static_cast<size_t>(nd));
  if (g.sumWeights - g.modldf > 0) {
    ValueKinds kinds(st);
    work.scan([&](const CaseBlock& cases) {
      for (long k = cases.range.begin; k < cases.range.end; ++k)
        if (cases.weight(k) > 0.0 && cases.regWeight(k) > 0.0) {
          kinds.setShifts(cases.covOf(k));
          return true;
        }
      return false;
    });
    const int ne = st.effectCount();
    const size_t nk = static_cast<size_t>(1 + kinds.nkinds);
    const size_t nm = kinds.nmono();
    const size_t ncells = ne > 0 ? g.designCellColumns.size() / static_cast<size_t>(ne) : 0;
    std::vector<num::DD> coefK(ncells * nk * nd, num::DD(0.0));
    for (size_t c = 0; c < ncells; ++c)
      for (int e = 0; e < ne; ++e)
        for (int d = 0; d < nd; ++d)
          coefK[(c * nk + kinds.effectKind[e]) * nd + d] += bShift[g.designCellColumns[c * ne + e] * nd + d];
    std::vector<double> coef(ncells * nm * nd, 0.0);
    for (size_t c = 0; c < ncells; ++c)
      for (size_t a = 0; a < nm; ++a)
        for (int d = 0; d < nd; ++d) {
          num::DD s(0.0);
          for (size_t q = 0; q < nk; ++q)
            if (kinds.expand[q][a].hi != 0.0) s += kinds.expand[q][a] * coefK[(c * nk + q) * nd + d];
          coef[(c * nm + a) * nd + d] = s.hi;
        }
    // The pass: per block, the sums of e e' (packed, order nd) over its cases; the blocks' sums
    // are added in block order.
    // NM, ND: the numbers of monomials and dependents when fixed at compile time (the usual
    // small designs, unrolled), else 0 and taken from nm and nd.
    auto residuals = [&]<size_t NM, int ND>(const CaseBlock& cases) {
      const size_t nmono = NM > 0 ? NM : nm;
      const int ndep = ND > 0 ? ND : nd;
      const CaseRange range = cases.range;
      std::vector<double> sums(num::packedSize(static_cast<size_t>(ndep)), 0.0);
      std::vector<double> e(ndep), w(nmono);
      const ValueKinds kv = kinds;  // scratch of its own on each thread
      const double* shift = g.depShift.empty() ? nullptr : g.depShift.data();
      for (long k = range.begin; k < range.end; ++k) {
        const double wr = cases.weight(k) * cases.regWeight(k);
        if (!(wr > 0.0)) continue;
        kv.fillShifted(cases.covOf(k), cases.covRemOf(k), w.data());
        const double* cf = coef.data() + static_cast<size_t>(cases.designCell(k)) * nmono * ndep;
        const double* y = cases.depOf(k);
        const double* yr = cases.depRemOf(k);
        for (int d = 0; d < ndep; ++d) {
          double fit = 0.0;
          for (size_t q = 0; q < nmono; ++q) fit += w[q] * cf[q * ndep + d];
          const double yy = (shift ? y[d] - shift[d] : y[d]) + (yr ? yr[d] : 0.0);
          e[d] = num::QLRALMOSTEQUAL(yy, fit, kResidualUlps) ? 0.0 : yy - fit;
        }
        for (int d = 0; d < ndep; ++d)
          for (int f = 0; f <= d; ++f) sums[num::packedIndex(d, f)] += wr * e[d] * e[f];
      }
      return sums;
    };
    auto map = [&](const CaseBlock& cases) {
      if (nd == 1 && nm == 1) return residuals.template operator()<1, 1>(cases);
      if (nd == 1 && nm == 2) return residuals.template operator()<2, 1>(cases);
      return residuals.template operator()<0, 0>(cases);
    };
    work.reduce(map, [&](const std::vector<double>& sums) {
      for (size_t i = 0; i < sums.size(); ++i) g.errorSSCP.a[i] += sums[i];
    });
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
  if (num::Packed structured; hypothesisSSCPUnitRows(g, l, tol, ndepvr, structured)) return structured;
  // Formed in double-double from the high and low parts of G and b: L G L' of an offset or
  // collinear design cancels heavily (a hypothesis at the data's centre, far from the origin).
  const size_t m = l.rows;
  const size_t p = l.cols;
  const bool gLo = g.ginverseLo.size() == g.ginverse.a.size();
  const bool bLo = g.paramEstLo.size() == g.paramEst.a.size();
  auto gAt = [&](size_t i, size_t j) {
    const size_t q = num::packedIndex(i, j);
    return num::DD(g.ginverse.a[q], gLo ? g.ginverseLo[q] : 0.0);
  };
  // G and b are zero outside the non-redundant columns S: M = L G L' and L b are summed over S
  // only, and over the non-zero entries of each row of L there.
  std::vector<size_t> cols;
  const bool known = g.nonRedundant.size() == p;
  for (size_t k = 0; k < p; ++k)
    if (!known || g.nonRedundant[k]) cols.push_back(k);
  const size_t s = cols.size();
  std::vector<std::vector<std::pair<size_t, double>>> nz(m);  // (position in S, value)
  for (size_t i = 0; i < m; ++i)
    for (size_t t = 0; t < s; ++t)
      if (l(i, cols[t]) != 0.0) nz[i].emplace_back(t, l(i, cols[t]));
  // M = L G L'
  std::vector<num::DD> lg(m * s, num::DD(0.0));
  for (size_t i = 0; i < m; ++i)
    for (const auto& [tk, lik] : nz[i])
      for (size_t tj = 0; tj < s; ++tj) {
        const num::DD gjk = gAt(cols[tj], cols[tk]);
        if (gjk.hi != 0.0) lg[i * s + tj] += gjk * num::DD(lik);
      }
  std::vector<num::DD> mm(num::packedSize(m), num::DD(0.0));
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j <= i; ++j) {
      num::DD sum(0.0);
      for (const auto& [tk, ljk] : nz[j]) sum += lg[i * s + tk] * num::DD(ljk);
      mm[num::packedIndex(i, j)] = sum;
    }
  // L b per dependent.
  std::vector<std::vector<num::DD>> lb(static_cast<size_t>(ndepvr), std::vector<num::DD>(m, num::DD(0.0)));
  for (int d = 0; d < ndepvr; ++d) {
    const size_t dd = static_cast<size_t>(d);
    for (size_t i = 0; i < m; ++i)
      for (const auto& [tk, lik] : nz[i]) {
        const size_t k = cols[tk];
        lb[dd][i] += num::DD(lik) * num::DD(g.paramEst(k, dd), bLo ? g.paramEstLo[k * ndepvr + dd] : 0.0);
      }
  }
  return choleskyQuadraticForm(mm, m, lb, tol);
}

num::Packed choleskyQuadraticForm(std::vector<num::DD>& mm, size_t m,
                                  const std::vector<std::vector<num::DD>>& lb, double tol) {
  const size_t nd = lb.size();
  num::Packed result(nd);
  // Cholesky with tolerance (as LTRCHD), in double-double.
  std::vector<double> scale(m);
  for (size_t i = 0; i < m; ++i) scale[i] = mm[num::packedIndex(i, i)].hi;
  std::vector<char> zero(m, 0);
  int zeros = 0;
  for (size_t j = 0; j < m; ++j) {
    for (size_t k = 0; k < j; ++k) {
      if (zero[k]) {
        mm[num::packedIndex(j, k)] = num::DD(0.0);
        continue;
      }
      num::DD s = mm[num::packedIndex(j, k)];
      for (size_t i = 0; i < k; ++i) s -= mm[num::packedIndex(j, i)] * mm[num::packedIndex(k, i)];
      mm[num::packedIndex(j, k)] = s / mm[num::packedIndex(k, k)];
    }
    num::DD pivot = mm[num::packedIndex(j, j)];
    for (size_t i = 0; i < j; ++i) pivot -= mm[num::packedIndex(j, i)] * mm[num::packedIndex(j, i)];
    if (!(scale[j] > 0.0) || !(pivot.hi > tol * scale[j])) {
      zero[j] = 1;
      ++zeros;
      for (size_t k = 0; k <= j; ++k) mm[num::packedIndex(j, k)] = num::DD(0.0);
      continue;
    }
    mm[num::packedIndex(j, j)] = num::sqrt(pivot);
  }
  if (zeros >= static_cast<int>(m)) return result;
  // u_d = T^-1 (L b_d) by forward substitution on the accepted pivots.
  std::vector<std::vector<num::DD>> u(nd, std::vector<num::DD>(m, num::DD(0.0)));
  for (size_t d = 0; d < nd; ++d)
    for (size_t i = 0; i < m; ++i) {
      if (zero[i]) continue;
      num::DD s = lb[d][i];
      for (size_t k = 0; k < i; ++k)
        if (!zero[k]) s -= mm[num::packedIndex(i, k)] * u[d][k];
      u[d][i] = s / mm[num::packedIndex(i, i)];
    }
  for (size_t d = 0; d < nd; ++d)
    for (size_t e = 0; e <= d; ++e) {
      num::DD s(0.0);
      for (size_t i = 0; i < m; ++i) s += u[d][i] * u[e][i];
      result(d, e) = s.hi;
    }
  return result;
}

}  // namespace qv
