// The post hoc critical-value engine: argument checks, then one routine per family of tests.
// Equal-variance pairs are studentized with the pooled error mean square; unequal-variance pairs
// with their own standard error and Welch degrees of freedom; homogeneous subsets come from the
// ordered means with the harmonic mean of the level sizes.
#include "host/numeric/phtest.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <numeric>

#include "host/numeric/comparison_distributions.h"
#include "host/numeric/distributions.h"
#include "host/numeric/k_ratio_t.h"

namespace qv::num {

// Evaluations keyed by the function and its arguments.
struct PostHocCache::Impl {
  std::map<std::vector<double>, double> values;
  // The interpolated normal-theory range tails, per number of means.
  std::map<double, std::unique_ptr<RangeTails>> rangeTails;
};

PostHocCache::PostHocCache() : impl_(std::make_unique<Impl>()) {}
PostHocCache::~PostHocCache() = default;

namespace {

constexpr double kSqrt2 = std::numbers::sqrt2;

// The distribution evaluations of one call, through the cache when there is one.
enum class Eval : int {
  RangeQuantile,
  RangeUpper,
  ModulusQuantile,
  ModulusUpper,
  TUpperQuantile,
  FQuantile,
  WallerT
};

class Evaluator {
 public:
  explicit Evaluator(PostHocCache* cache) : cache_(cache) {}

  // q with P(Q(k, df) > q) = a.
  // The search starts from the quantile cached for the nearest df with the same a and k, when
  // there is one (the unequal-variance tests ask for one df per pair).
  double rangeCritical(double a, double k, double df) {
    return cached({double(Eval::RangeQuantile), a, k, df}, [&] {
      const double guess = nearestCached({double(Eval::RangeQuantile), a, k, df});
      return studentizedRangeQuantileNear(1.0 - a, df, guess, tails(k));
    });
  }
  double rangeUpper(double q, double k, double df) {
    return cached({double(Eval::RangeUpper), q, k, df}, [&] { return studentizedRangeUpperTail(q, df, tails(k)); });
  }
  // The range tails of k means, kept in the cache (or for this call when there is none).
  RangeTails& tails(double k) {
    auto& all = cache_ != nullptr ? cache_->impl().rangeTails : ownTails_;
    std::unique_ptr<RangeTails>& t = all[k];
    if (!t) t = std::make_unique<RangeTails>(k);
    return *t;
  }
  double modulusCritical(double a, double m, double df) {
    return cached({double(Eval::ModulusQuantile), a, m, df},
                  [&] { return maxModulusQuantile(1.0 - a, m, df); });
  }
  double modulusUpper(double c, double m, double df) {
    return cached({double(Eval::ModulusUpper), c, m, df}, [&] { return maxModulusUpperTail(c, m, df); });
  }
  // The same critical values for every df in `dfs` at once (the unequal-variance tests ask for
  // one df per pair); each agrees with rangeCritical / modulusCritical to about 1e-11 relative.
  std::vector<double> rangeCriticals(double a, double k, const std::vector<double>& dfs) {
    return criticalsAcrossDf(
        Eval::RangeQuantile, a, k, dfs, [&](double df) { return rangeCritical(a, k, df); },
        [&](double q, double df) { return studentizedRangeUpperTail(q, df, tails(k)); },
        [&](double df, double guess) { return studentizedRangeQuantileNear(1.0 - a, df, guess, tails(k)); });
  }
  std::vector<double> modulusCriticals(double a, double m, const std::vector<double>& dfs) {
    return criticalsAcrossDf(
        Eval::ModulusQuantile, a, m, dfs, [&](double df) { return modulusCritical(a, m, df); },
        [&](double c, double df) { return maxModulusUpperTail(c, m, df); },
        [&](double df, double) { return maxModulusQuantile(1.0 - a, m, df); });
  }
  // t with P(T(df) > t) = a, for a <= 1/2.
  double tCritical(double a, double df) {
    return cached({double(Eval::TUpperQuantile), a, df}, [&] { return -IDFT(a, df); });
  }
  // F with P(F(df1, df2) > F) = a.
  double fCritical(double a, double df1, double df2) {
    return cached({double(Eval::FQuantile), a, df1, df2}, [&] { return IDFF(1.0 - a, df1, df2); });
  }
  // Waller-Duncan critical t t_B(k-ratio, F, q, f).
  double wallerT(double kRatio, double fRatio, double q, double f) {
    return cached({double(Eval::WallerT), kRatio, fRatio, q, f},
                  [&] { return wallerDuncanT(kRatio, fRatio, q, f); });
  }
  // Two-sided t significance P(|T(df)| > |t|).
  static double tTwoSided(double t, double df) { return DSIGT(t, df); }

  bool failed() const { return failed_; }

  // The cached value whose key differs from `key` in the last entry only, with that entry
  // nearest; 0 when there is none.
  double nearestCached(const std::vector<double>& key) const {
    if (cache_ == nullptr) return 0.0;
    const auto& values = cache_->impl().values;
    auto samePrefix = [&](const std::vector<double>& other) {
      return other.size() == key.size() && std::equal(key.begin(), key.end() - 1, other.begin());
    };
    double best = 0.0, distance = HUGE_VAL;
    const auto above = values.lower_bound(key);
    if (above != values.end() && samePrefix(above->first) && !isSysmis(above->second)) {
      distance = std::fabs(above->first.back() - key.back());
      best = above->second;
    }
    if (above != values.begin()) {
      const auto below = std::prev(above);
      if (samePrefix(below->first) && !isSysmis(below->second) &&
          std::fabs(below->first.back() - key.back()) < distance) {
        best = below->second;
      }
    }
    return best;
  }

 private:
  template <class F>
  double cached(std::vector<double> key, F&& compute) {
    double value;
    if (cache_ != nullptr) {
      auto& values = cache_->impl().values;
      const auto found = values.find(key);
      if (found != values.end()) {
        value = found->second;
      } else {
        value = compute();
        values.emplace(std::move(key), value);
      }
    } else {
      value = compute();
    }
    if (isSysmis(value)) failed_ = true;
    return value;
  }

  // Quantiles with upper tail a of a family in df, for many df. With few distinct df each is
  // solved directly. Otherwise the quantile q and the slope d log P(X > q) / dq at the root are
  // solved at Chebyshev nodes in 1/df spanning the df asked for and interpolated; at each df one
  // Newton step on the exact tail, with the interpolated slope, polishes the interpolated
  // quantile. The step is accepted only when it is below 1e-7 relative: the error left is then
  // the step times the relative error of the slope (below 1e-3) plus a second-order term, about
  // 1e-10 relative at most. Otherwise the quantile is solved directly, searched from there.
  template <class Direct, class Upper, class Near>
  std::vector<double> criticalsAcrossDf(Eval family, double a, double shape, const std::vector<double>& dfs,
                                        Direct&& direct, Upper&& upper, Near&& near) {
    constexpr size_t kNodes = 16;
    std::vector<double> distinct = dfs;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<double> out(dfs.size(), kSysmis);
    auto finish = [&](const std::vector<double>& values) {
      for (size_t i = 0; i < dfs.size(); ++i) {
        const size_t at =
            size_t(std::lower_bound(distinct.begin(), distinct.end(), dfs[i]) - distinct.begin());
        out[i] = values[at];
        if (isSysmis(out[i])) failed_ = true;
      }
      return out;
    };
    std::vector<double> values(distinct.size(), kSysmis);
    if (distinct.size() <= 2 * kNodes || !std::isfinite(distinct.back())) {
      for (size_t i = 0; i < distinct.size(); ++i) values[i] = direct(distinct[i]);
      return finish(values);
    }
    // Nodes in x = 1/df on [1/dfMax, 1/dfMin].
    const double x0 = 1.0 / distinct.back(), x1 = 1.0 / distinct.front();
    std::vector<double> nodeX(kNodes), nodeQ(kNodes), nodeSlope(kNodes);
    for (size_t j = 0; j < kNodes; ++j) {
      const double theta = std::numbers::pi * (double(j) + 0.5) / double(kNodes);
      nodeX[j] = 0.5 * (x0 + x1) + 0.5 * (x1 - x0) * std::cos(theta);
      const double df = 1.0 / nodeX[j];
      nodeQ[j] = direct(df);
      if (isSysmis(nodeQ[j])) {
        for (size_t i = 0; i < distinct.size(); ++i) values[i] = direct(distinct[i]);
        return finish(values);
      }
      const double h = 1e-4 * nodeQ[j];
      const double up = upper(nodeQ[j] + h, df), down = upper(nodeQ[j] - h, df);
      nodeSlope[j] = (up > 0.0 && down > 0.0 && !isSysmis(up) && !isSysmis(down))
                         ? (std::log(up) - std::log(down)) / (2.0 * h)
                         : kSysmis;
    }
    const bool slopes =
        std::none_of(nodeSlope.begin(), nodeSlope.end(), [](double v) { return isSysmis(v) || !(v < 0.0); });
    const std::vector<double> qCoef = chebyshevCoefficients(nodeQ);
    const std::vector<double> slopeCoef = slopes ? chebyshevCoefficients(nodeSlope) : std::vector<double>{};
    for (size_t i = 0; i < distinct.size(); ++i) {
      const double df = distinct[i];
      std::vector<double> key{double(family), a, shape, df};
      if (cache_ != nullptr) {
        const auto found = cache_->impl().values.find(key);
        if (found != cache_->impl().values.end()) {
          values[i] = found->second;
          continue;
        }
      }
      const double t = (2.0 / df - x0 - x1) / (x1 - x0);
      const double guess = chebyshevValue(qCoef, t);
      double value = kSysmis;
      if (slopes && guess > 0.0) {
        const double tail = upper(guess, df);
        if (!isSysmis(tail) && tail > 0.0) {
          const double step = std::log(tail / a) / chebyshevValue(slopeCoef, t);
          if (std::fabs(step) <= 1e-7 * guess) value = guess - step;
        }
      }
      if (isSysmis(value)) value = near(df, guess > 0.0 ? guess : 0.0);
      if (cache_ != nullptr) cache_->impl().values.emplace(std::move(key), value);
      values[i] = value;
    }
    return finish(values);
  }

  // Coefficients c_0 … c_{n−1} of the interpolant Σ c_r T_r(t) through values at the Chebyshev
  // points t_j = cos(π (j + 1/2) / n).
  static std::vector<double> chebyshevCoefficients(const std::vector<double>& values) {
    const size_t n = values.size();
    std::vector<double> c(n, 0.0);
    for (size_t r = 0; r < n; ++r) {
      double sum = 0.0;
      for (size_t j = 0; j < n; ++j)
        sum += values[j] * std::cos(std::numbers::pi * double(r) * (double(j) + 0.5) / double(n));
      c[r] = (r == 0 ? 1.0 : 2.0) * sum / double(n);
    }
    return c;
  }
  // Clenshaw's recurrence for Σ c_r T_r(t).
  static double chebyshevValue(const std::vector<double>& c, double t) {
    double b1 = 0.0, b2 = 0.0;
    for (size_t r = c.size(); r-- > 1;) {
      const double b0 = 2.0 * t * b1 - b2 + c[r];
      b2 = b1;
      b1 = b0;
    }
    return t * b1 - b2 + c[0];
  }

  PostHocCache* cache_;
  std::map<double, std::unique_ptr<RangeTails>> ownTails_;  // without a cache
  bool failed_ = false;
};

// 1 − (1 − p)^e, formed without cancellation: −expm1(e log1p(−p)).
double oneMinusPower(double p, double e) {
  if (p >= 1.0) return 1.0;
  return -std::expm1(e * std::log1p(-p));
}

struct Setup {
  const PostHocInput& in;
  size_t k;
  double df;
  double root;   // sqrt(MSE)
  double pairs;  // k(k−1)/2
  double alpha;
};

bool validInput(const PostHocInput& in) {
  const size_t k = in.means.size();
  if (k < 2 || in.sizes.size() != k || in.sds.size() != k) return false;
  const int code = static_cast<int>(in.test);
  if (code < 1 || code > kPostHocTestCount) return false;
  for (size_t i = 0; i < k; ++i) {
    if (!std::isfinite(in.means[i]) || !std::isfinite(in.sizes[i]) || !(in.sizes[i] > 0.0)) return false;
    if (!std::isfinite(in.sds[i]) || in.sds[i] < 0.0) return false;
  }
  if (!std::isfinite(in.errorDf) || in.errorDf < 1.0) return false;
  if (!std::isfinite(in.mse) || in.mse < 0.0) return false;
  if (!(in.alpha > 0.0 && in.alpha < 1.0)) return false;
  if (in.test == PostHocTest::WallerDuncan && !(std::isfinite(in.kRatio) && in.kRatio > 1.0)) return false;
  return true;
}

// --- Equal-variance pairs (codes 3, 6, 7, 8, 15, 16, 17) -----------------------------------

// Fills criticalRange and P(i, j) for the single-step equal-variance tests and Gabriel.
bool equalVariancePairs(const Setup& s, Evaluator& ev, PostHocResult& r) {
  const PostHocInput& in = s.in;
  const double k = static_cast<double>(s.k);
  const double df = s.df;
  const double a = s.alpha;
  // Critical value c of the statistic |diff| / (root sqrt(1/n_i + 1/n_j)), and the
  // significance of one pair from that statistic t.
  double c = kSysmis;
  switch (in.test) {
    case PostHocTest::TukeyHsd:
      c = ev.rangeCritical(a, k, df) / kSqrt2;
      break;
    case PostHocTest::Scheffe: {
      const double f = ev.fCritical(a, k - 1.0, df);
      c = isSysmis(f) ? kSysmis : std::sqrt((k - 1.0) * f);
      break;
    }
    case PostHocTest::Hochberg:
    case PostHocTest::Gabriel:
      c = ev.modulusCritical(a, s.pairs, df);
      break;
    case PostHocTest::Lsd:
      c = ev.tCritical(0.5 * a, df);
      break;
    case PostHocTest::Bonferroni:
      c = ev.tCritical(0.5 * a / s.pairs, df);
      break;
    case PostHocTest::Sidak:
      c = ev.tCritical(0.5 * oneMinusPower(a, 1.0 / s.pairs), df);
      break;
    default:
      return false;
  }
  if (isSysmis(c)) return false;
  // Gabriel's range is on the scale of its own interval rule (sqrt(0.5/n_i) + sqrt(0.5/n_j)).
  r.criticalRange = (in.test == PostHocTest::Gabriel ? c : kSqrt2 * c) * s.root;

  for (size_t i = 0; i < s.k; ++i) {
    for (size_t j = i + 1; j < s.k; ++j) {
      const double diff = std::fabs(in.means[i] - in.means[j]);
      const double u = std::sqrt(1.0 / in.sizes[i] + 1.0 / in.sizes[j]);
      const double t = s.root > 0.0 ? diff / (s.root * u) : (diff > 0.0 ? HUGE_VAL : 0.0);
      double p = kSysmis;
      switch (in.test) {
        case PostHocTest::TukeyHsd:
          p = std::isinf(t) ? 0.0 : studentizedRangeUpperTail(kSqrt2 * t, df, ev.tails(k));
          break;
        case PostHocTest::Scheffe:
          p = std::isinf(t) ? 0.0 : FUpperTail(t * t / (k - 1.0), k - 1.0, df);
          break;
        case PostHocTest::Hochberg:
          p = std::isinf(t) ? 0.0 : maxModulusUpperTail(t, s.pairs, df);
          break;
        case PostHocTest::Gabriel: {
          const double g =
              s.root > 0.0 ? diff / (s.root * (std::sqrt(0.5 / in.sizes[i]) + std::sqrt(0.5 / in.sizes[j])))
                           : (diff > 0.0 ? HUGE_VAL : 0.0);
          p = std::isinf(g) ? 0.0 : maxModulusUpperTail(g, s.pairs, df);
          break;
        }
        case PostHocTest::Lsd:
          p = std::isinf(t) ? 0.0 : Evaluator::tTwoSided(t, df);
          break;
        case PostHocTest::Bonferroni:
          p = std::isinf(t) ? 0.0 : Evaluator::tTwoSided(t, df);
          if (!isSysmis(p)) p = std::min(1.0, s.pairs * p);
          break;
        case PostHocTest::Sidak:
          p = std::isinf(t) ? 0.0 : Evaluator::tTwoSided(t, df);
          if (!isSysmis(p)) p = oneMinusPower(p, s.pairs);
          break;
        default:
          break;
      }
      if (isSysmis(p)) p = -1.0;  // not available
      r.significance(i, j) = r.significance(j, i) = p;
    }
  }
  return true;
}

// --- Unequal-variance pairs (codes 11 … 14) -----------------------------------------------

bool unequalVariancePairs(const Setup& s, Evaluator& ev, PostHocResult& r) {
  const PostHocInput& in = s.in;
  const double k = static_cast<double>(s.k);
  const double a = s.alpha;
  // Welch-Satterthwaite df of pair (i, j).
  auto welchDf = [&](size_t i, size_t j) {
    const double vi = in.sds[i] * in.sds[i] / in.sizes[i];
    const double vj = in.sds[j] * in.sds[j] / in.sizes[j];
    return (vi + vj) * (vi + vj) / (vi * vi / (in.sizes[i] - 1.0) + vj * vj / (in.sizes[j] - 1.0));
  };
  // The range and maximum-modulus critical values of every pair's df, solved together.
  std::map<double, double> critical;
  if (in.test == PostHocTest::GamesHowell || in.test == PostHocTest::DunnettT3) {
    std::vector<double> dfs;
    for (size_t i = 0; i < s.k; ++i)
      for (size_t j = i + 1; j < s.k; ++j) {
        const double df = welchDf(i, j);
        if (std::isfinite(df) && df > 0.0) dfs.push_back(df);
      }
    const std::vector<double> values = in.test == PostHocTest::GamesHowell
                                           ? ev.rangeCriticals(a, k, dfs)
                                           : ev.modulusCriticals(a, s.pairs, dfs);
    for (size_t i = 0; i < dfs.size(); ++i) critical.emplace(dfs[i], values[i]);
  }
  for (size_t i = 0; i < s.k; ++i) {
    for (size_t j = i + 1; j < s.k; ++j) {
      const double vi = in.sds[i] * in.sds[i] / in.sizes[i];
      const double vj = in.sds[j] * in.sds[j] / in.sizes[j];
      const double diff = std::fabs(in.means[i] - in.means[j]);
      const double se = std::sqrt(vi + vj);
      double half = -1.0;
      double p = -1.0;
      bool differs = false;
      if (!(se > 0.0)) {
        // No variation in either level: the difference is exact.
        half = 0.0;
        differs = diff > 0.0;
        if (in.test != PostHocTest::DunnettC) p = differs ? 0.0 : 1.0;
      } else if (in.test == PostHocTest::DunnettC) {
        // Dunnett's C: studentized range critical values on each level's own df, combined
        // with the weights of the two variance terms.
        const double qi = ev.rangeCritical(a, k, in.sizes[i] - 1.0);
        const double qj = ev.rangeCritical(a, k, in.sizes[j] - 1.0);
        if (isSysmis(qi) || isSysmis(qj)) return false;
        half = (qi * vi + qj * vj) / (kSqrt2 * se);
        differs = diff > half;
      } else {
        const double df = welchDf(i, j);
        if (!std::isfinite(df) || !(df > 0.0)) return false;
        const double t = diff / se;
        double c = kSysmis;
        switch (in.test) {
          case PostHocTest::GamesHowell:
            c = critical.at(df) / kSqrt2;
            p = studentizedRangeUpperTail(kSqrt2 * t, df, ev.tails(k));
            break;
          case PostHocTest::TamhaneT2:
            c = ev.tCritical(0.5 * oneMinusPower(a, 1.0 / s.pairs), df);
            p = Evaluator::tTwoSided(t, df);
            if (!isSysmis(p)) p = oneMinusPower(p, s.pairs);
            break;
          case PostHocTest::DunnettT3:
            c = critical.at(df);
            p = maxModulusUpperTail(t, s.pairs, df);
            break;
          default:
            return false;
        }
        if (isSysmis(c)) return false;
        if (isSysmis(p)) p = -1.0;
        half = c * se;
        differs = diff > half;
      }
      r.halfWidth(i, j) = r.halfWidth(j, i) = half;
      r.significance(i, j) = r.significance(j, i) = p;
      r.differs[i * s.k + j] = r.differs[j * s.k + i] = differs ? 1 : 0;
    }
  }
  return true;
}

// --- Many-to-one (codes 18 … 20) ----------------------------------------------------------

bool controlPairs(const Setup& s, PostHocResult& r) {
  const PostHocInput& in = s.in;
  const int category = in.controlCategory;
  r.control =
      (category <= 0 || static_cast<size_t>(category) > s.k) ? s.k - 1 : static_cast<size_t>(category) - 1;
  const size_t c = r.control;
  std::vector<double> treatmentSizes;
  for (size_t i = 0; i < s.k; ++i)
    if (i != c) treatmentSizes.push_back(in.sizes[i]);
  const std::vector<double> lambdas = dunnettLambdas(treatmentSizes, in.sizes[c]);
  const bool twoSided = in.test == PostHocTest::DunnettTwoSided;
  const double crit = twoSided ? dunnettTwoSidedQuantile(1.0 - s.alpha, lambdas, s.df)
                               : dunnettOneSidedQuantile(1.0 - s.alpha, lambdas, s.df);
  if (isSysmis(crit)) return false;
  r.criticalRange = kSqrt2 * crit * s.root;
  r.controlHalfWidth.assign(s.k, 0.0);
  r.controlSignificance.assign(s.k, -1.0);
  for (size_t i = 0; i < s.k; ++i) {
    if (i == c) continue;
    const double u = std::sqrt(1.0 / in.sizes[i] + 1.0 / in.sizes[c]);
    const double diff = in.means[i] - in.means[c];
    r.controlHalfWidth[i] = crit * s.root * u;
    double p;
    if (!(s.root > 0.0)) {
      const bool against =
          twoSided ? diff != 0.0 : (in.test == PostHocTest::DunnettLess ? diff < 0.0 : diff > 0.0);
      p = against ? 0.0 : 1.0;
    } else {
      const double t = diff / (s.root * u);
      // Treatment below control: large −t is evidence; above control: large t.
      if (twoSided)
        p = dunnettTwoSidedUpperTail(std::fabs(t), lambdas, s.df);
      else
        p = dunnettOneSidedUpperTail(in.test == PostHocTest::DunnettLess ? -t : t, lambdas, s.df);
      if (isSysmis(p)) p = -1.0;
    }
    r.controlSignificance[i] = p;
  }
  return true;
}

// --- Homogeneous subsets (codes 1 … 10) ---------------------------------------------------

// The rule of one subset test on a stretch of p ordered means: its critical value (on the
// range statistic (max − min) / sqrt(MSE / n_h), or on the F statistic for REGW F), whether it
// is a step-down test, and the significance of a subset from its statistic.
struct StretchRule {
  std::vector<double> critical;  // indexed by p = 2 … k
  bool stepDown = false;
};

bool subsetRule(const Setup& s, Evaluator& ev, StretchRule& rule, PostHocStatus& status) {
  const PostHocTest test = s.in.test;
  const double k = static_cast<double>(s.k);
  const double a = s.alpha;
  rule.critical.assign(s.k + 1, kSysmis);
  rule.stepDown = test == PostHocTest::Snk || test == PostHocTest::TukeyB || test == PostHocTest::Duncan ||
                  test == PostHocTest::RegwF || test == PostHocTest::RegwQ;
  // Ryan's levels: alpha_p = 1 − (1 − alpha)^(p/k) below p = k − 1, alpha from there on.
  auto ryan = [&](double p) { return p < k - 1.0 ? oneMinusPower(a, p / k) : a; };
  for (size_t pi = 2; pi <= s.k; ++pi) {
    const double p = static_cast<double>(pi);
    double c = kSysmis;
    switch (test) {
      case PostHocTest::Snk:
        c = ev.rangeCritical(a, p, s.df);
        break;
      case PostHocTest::TukeyHsd:
        c = ev.rangeCritical(a, k, s.df);
        break;
      case PostHocTest::TukeyB: {
        const double qp = ev.rangeCritical(a, p, s.df);
        const double qk = ev.rangeCritical(a, k, s.df);
        if (!isSysmis(qp) && !isSysmis(qk)) c = 0.5 * (qp + qk);
        break;
      }
      case PostHocTest::Duncan:
        c = ev.rangeCritical(oneMinusPower(a, p - 1.0), p, s.df);
        break;
      case PostHocTest::Scheffe: {
        const double f = ev.fCritical(a, k - 1.0, s.df);
        if (!isSysmis(f)) c = std::sqrt(2.0 * (k - 1.0) * f);
        break;
      }
      case PostHocTest::Hochberg:
      case PostHocTest::Gabriel: {
        const double m = ev.modulusCritical(a, s.pairs, s.df);
        if (!isSysmis(m)) c = kSqrt2 * m;
        break;
      }
      case PostHocTest::RegwF:
        c = ev.fCritical(ryan(p), p - 1.0, s.df);
        break;
      case PostHocTest::WallerDuncan: {
        // One least significant difference for every stretch: t_B sqrt(2 MSE / n_h).
        const double t = ev.wallerT(s.in.kRatio, s.in.fRatio, k - 1.0, s.df);
        if (!isSysmis(t)) c = kSqrt2 * t;
        break;
      }
      case PostHocTest::RegwQ:
        c = ev.rangeCritical(ryan(p), p, s.df);
        break;
      default:
        return false;
    }
    if (isSysmis(c)) return false;
    rule.critical[pi] = c;
  }
  // The step-down range test needs critical ranges that grow with p.
  if (test == PostHocTest::RegwQ) {
    for (size_t pi = 3; pi <= s.k; ++pi)
      if (rule.critical[pi] < rule.critical[pi - 1]) status = PostHocStatus::NonMonotonic;
  }
  return true;
}

// Statistic of the stretch of ordered positions lo … hi.
double stretchStatistic(const Setup& s, const std::vector<size_t>& order, size_t lo, size_t hi, double nh) {
  const PostHocInput& in = s.in;
  if (in.test == PostHocTest::RegwF) {
    // Between-level mean square of the stretch over MSE, with the levels' own sizes.
    double weight = 0.0, sum = 0.0;
    for (size_t r = lo; r <= hi; ++r) {
      weight += in.sizes[order[r]];
      sum += in.sizes[order[r]] * in.means[order[r]];
    }
    const double mean = sum / weight;
    double ss = 0.0;
    for (size_t r = lo; r <= hi; ++r) ss += in.sizes[order[r]] * std::pow(in.means[order[r]] - mean, 2);
    const double ms = ss / static_cast<double>(hi - lo);
    return s.in.mse > 0.0 ? ms / s.in.mse : (ms > 0.0 ? HUGE_VAL : 0.0);
  }
  const double range = in.means[order[hi]] - in.means[order[lo]];
  return s.in.mse > 0.0 ? range / std::sqrt(s.in.mse / nh) : (range > 0.0 ? HUGE_VAL : 0.0);
}

// Significance of a subset of p levels with statistic x, on the scale that is compared with
// alpha; kSysmis for the tests that show none.
double subsetSignificance(const Setup& s, Evaluator& ev, double x, double p) {
  const double k = static_cast<double>(s.k);
  if (p < 2.0) return 1.0;
  if (std::isinf(x)) return 0.0;
  double raw = kSysmis;
  switch (s.in.test) {
    case PostHocTest::Snk:
      raw = ev.rangeUpper(x, p, s.df);
      break;
    case PostHocTest::TukeyHsd:
      raw = ev.rangeUpper(x, k, s.df);
      break;
    case PostHocTest::Duncan:
      // Compared with the protection level 1 − (1 − alpha)^(p−1).
      raw = ev.rangeUpper(x, p, s.df);
      if (!isSysmis(raw)) raw = oneMinusPower(raw, 1.0 / (p - 1.0));
      break;
    case PostHocTest::RegwQ:
    case PostHocTest::RegwF:
      raw = s.in.test == PostHocTest::RegwQ ? ev.rangeUpper(x, p, s.df) : FUpperTail(x, p - 1.0, s.df);
      if (!isSysmis(raw) && p < k - 1.0) raw = oneMinusPower(raw, k / p);
      break;
    case PostHocTest::Scheffe:
      raw = FUpperTail(x * x / (2.0 * (k - 1.0)), k - 1.0, s.df);
      break;
    case PostHocTest::Hochberg:
    case PostHocTest::Gabriel:
      raw = ev.modulusUpper(x / kSqrt2, s.pairs, s.df);
      break;
    default:
      return kSysmis;
  }
  return raw;
}

bool formSubsets(const Setup& s, Evaluator& ev, PostHocResult& r) {
  const size_t k = s.k;
  StretchRule rule;
  if (!subsetRule(s, ev, rule, r.status)) return false;
  // Subset-only range tests report the widest step's critical range (sqrt(MSE) included).
  if (isSysmis(r.criticalRange) && s.in.test != PostHocTest::RegwF)
    r.criticalRange = rule.critical[k] * s.root;
  // differs[lo][hi]: the stretch lo … hi of ordered means is declared heterogeneous. A step-down
  // test declares it only when both stretches one longer that contain it were declared.
  std::vector<std::vector<char>> declared(k, std::vector<char>(k, 0));
  std::vector<std::vector<double>> stat(k, std::vector<double>(k, 0.0));
  for (size_t p = k; p >= 2; --p) {
    for (size_t lo = 0; lo + p <= k; ++lo) {
      const size_t hi = lo + p - 1;
      stat[lo][hi] = stretchStatistic(s, r.order, lo, hi, r.harmonicMeanSize);
      bool d = stat[lo][hi] > rule.critical[p];
      if (d && rule.stepDown && p < k) {
        if (lo > 0 && !declared[lo - 1][hi]) d = false;
        if (hi + 1 < k && !declared[lo][hi + 1]) d = false;
      }
      declared[lo][hi] = d ? 1 : 0;
    }
  }
  // Subsets: the maximal stretches not declared heterogeneous, from the lowest means up.
  size_t lastHi = 0;
  bool any = false;
  for (size_t lo = 0; lo < k; ++lo) {
    size_t hi = lo;
    while (hi + 1 < k && !declared[lo][hi + 1]) ++hi;
    if (any && hi <= lastHi) continue;  // inside the previous subset
    PostHocSubset subset;
    for (size_t q = lo; q <= hi; ++q) subset.levels.push_back(r.order[q]);
    const double p = static_cast<double>(hi - lo + 1);
    subset.significance = hi > lo ? subsetSignificance(s, ev, stat[lo][hi], p) : 1.0;
    if (s.in.test == PostHocTest::TukeyB || s.in.test == PostHocTest::WallerDuncan)
      subset.significance = kSysmis;
    r.subsets.push_back(std::move(subset));
    lastHi = hi;
    any = true;
  }
  return true;
}

}  // namespace

PostHocResult phtest(const PostHocInput& input, PostHocCache* cache) {
  PostHocResult r;
  r.status = PostHocStatus::Failed;
  if (!validInput(input)) return r;

  const size_t k = input.means.size();
  const Setup s{input, k, input.errorDf, std::sqrt(input.mse), 0.5 * double(k) * double(k - 1), input.alpha};
  r.status = PostHocStatus::Ok;
  r.halfWidth = PostHocMatrix(k, -1.0);
  r.significance = PostHocMatrix(k, -1.0);
  r.differs.assign(k * k, 0);
  r.order.resize(k);
  std::iota(r.order.begin(), r.order.end(), size_t{0});
  std::stable_sort(r.order.begin(), r.order.end(),
                   [&](size_t a, size_t b) { return input.means[a] < input.means[b]; });
  double inverseSum = 0.0;
  for (double n : input.sizes) inverseSum += 1.0 / n;
  r.harmonicMeanSize = static_cast<double>(k) / inverseSum;

  Evaluator ev(cache);
  bool ok = true;
  switch (input.test) {
    case PostHocTest::TukeyHsd:
    case PostHocTest::Scheffe:
    case PostHocTest::Hochberg:
    case PostHocTest::Gabriel:
    case PostHocTest::Lsd:
    case PostHocTest::Bonferroni:
    case PostHocTest::Sidak:
      ok = equalVariancePairs(s, ev, r);
      break;
    case PostHocTest::GamesHowell:
    case PostHocTest::TamhaneT2:
    case PostHocTest::DunnettT3:
    case PostHocTest::DunnettC:
      ok = unequalVariancePairs(s, ev, r);
      break;
    case PostHocTest::DunnettTwoSided:
    case PostHocTest::DunnettLess:
    case PostHocTest::DunnettGreater:
      ok = controlPairs(s, r);
      break;
    default:
      break;
  }
  if (ok && postHocFormsSubsets(input.test)) {
    // Waller-Duncan needs the factor's F ratio: without one (its main effect has no degrees of
    // freedom) the test forms no subsets.
    const bool noF =
        input.test == PostHocTest::WallerDuncan && (isSysmis(input.fRatio) || !(input.fRatio >= 0.0));
    if (!noF) ok = formSubsets(s, ev, r);
  }
  if (!ok || ev.failed()) {
    PostHocResult failed;
    failed.status = PostHocStatus::Failed;
    return failed;
  }
  return r;
}

}  // namespace qv::num
