#pragma once
// The post hoc critical-value engine (PHTEST): for one multiple-comparison test on the observed
// means of one factor's levels it gives the critical range, the half-widths of the intervals,
// the significances, the decision indicators and, for the range and subset tests, the
// homogeneous subsets. The post hoc tables read these results and nothing else.
//
// Levels are numbered 0 … k−1 here (level i is the factor's (i+1)-th level in sorted order).
// Nothing here prints or raises the host error flag: a test that cannot be computed comes back
// with a status other than Ok/Approximate/NonMonotonic and the caller decides what to show.
#include <cstddef>
#include <memory>
#include <vector>

#include "host/sysmis.h"

namespace qv::num {

// The twenty tests, numbered by their position in the POSTHOC keyword list.
enum class PostHocTest : int {
  WallerDuncan = 1,      // WALLER: Bayesian k-ratio t; subsets only
  Snk = 2,               // SNK: Student-Newman-Keuls; subsets only
  TukeyHsd = 3,          // TUKEY: Tukey HSD (Tukey-Kramer for unequal sizes); pairs and subsets
  TukeyB = 4,            // BTUKEY: Tukey's wholly significant difference; subsets only
  Duncan = 5,            // DUNCAN: Duncan's multiple range; subsets only
  Scheffe = 6,           // SCHEFFE; pairs and subsets
  Hochberg = 7,          // GT2: Hochberg's GT2 (studentized maximum modulus); pairs and subsets
  Gabriel = 8,           // GABRIEL; pairs (own interval rule) and subsets
  RegwF = 9,             // FREGW: Ryan-Einot-Gabriel-Welsch step-down F; subsets only
  RegwQ = 10,            // QREGW: Ryan-Einot-Gabriel-Welsch step-down range; subsets only
  GamesHowell = 11,      // GH; unequal variances
  TamhaneT2 = 12,        // T2; unequal variances
  DunnettT3 = 13,        // T3; unequal variances
  DunnettC = 14,         // C; unequal variances, decision only (no significance)
  Lsd = 15,              // LSD: unadjusted t
  Bonferroni = 16,       // BONFERRO
  Sidak = 17,            // SIDAK
  DunnettTwoSided = 18,  // DUNNETT: many-to-one, two-sided
  DunnettLess = 19,      // DUNNETTL: many-to-one, treatment < control
  DunnettGreater = 20,   // DUNNETTR: many-to-one, treatment > control
};

inline constexpr int kPostHocTestCount = 20;

// True for the ten tests that form homogeneous subsets (codes 1 … 10).
inline bool postHocFormsSubsets(PostHocTest t) { return static_cast<int>(t) <= 10; }
// True for the tests with rows in the pairwise table: codes 3, 6, 7, 8, 11 … 20.
inline bool postHocHasPairs(PostHocTest t) {
  const int c = static_cast<int>(t);
  return c == 3 || c == 6 || c == 7 || c == 8 || c >= 11;
}
// True for the many-to-one tests (codes 18 … 20).
inline bool postHocIsDunnettControl(PostHocTest t) { return static_cast<int>(t) >= 18; }

// What one test is run on. Vectors have one entry per level, k = means.size() >= 2, all of the
// same length.
struct PostHocInput {
  PostHocTest test = PostHocTest::TukeyHsd;
  std::vector<double> means;  // observed level means m
  std::vector<double> sds;    // level standard deviations s (>= 0; used by codes 11 … 14)
  std::vector<double> sizes;  // weighted level counts n (> 0)
  double errorDf = 0;         // error degrees of freedom (>= 1; the caller passes an integer)
  double mse = 0;             // error mean square (>= 0)
  double alpha = 0.05;        // familywise level, 0 < alpha < 1
  // Many-to-one tests only: the control category as requested, 1-based; 0 or a value above k
  // means the last level. Ignored by the other tests.
  int controlCategory = 0;
  double kRatio = 100;      // Waller-Duncan Type 1/Type 2 error seriousness ratio (> 1)
  double fRatio = kSysmis;  // the factor's F ratio (Waller-Duncan); kSysmis when not available
};

// Outcome of one call (errpht).
enum class PostHocStatus : int {
  Ok = 0,
  Approximate = 5,       // results given; some critical value came from an approximation
  AlphaUnsupported = 6,  // subsets cannot be computed with this alpha: no results at all
  NonMonotonic = 7,      // REGW range: step-down critical ranges not monotonic; subsets not shown
  Failed = 8,            // bad input or a failed evaluation: no results at all
};

// A k × k table of reals, (i, j) 0-based.
struct PostHocMatrix {
  size_t k = 0;
  std::vector<double> a;
  PostHocMatrix() = default;
  PostHocMatrix(size_t order, double fill) : k(order), a(order * order, fill) {}
  double& operator()(size_t i, size_t j) { return a[i * k + j]; }
  double operator()(size_t i, size_t j) const { return a[i * k + j]; }
};

// One homogeneous subset: the levels it holds (0-based, in the order of the order vector) and
// its significance (the probability of the range or F of its means under the test's rule;
// kSysmis for the tests that show none: Waller-Duncan and Tukey B).
struct PostHocSubset {
  std::vector<size_t> levels;
  double significance = kSysmis;
};

struct PostHocResult {
  PostHocStatus status = PostHocStatus::Failed;
  // R(1,1), the critical range of the equal-variance and Gabriel rules, sqrt(MSE) included:
  // the half-width of pair (i, j) is criticalRange · sqrt((1/n_i + 1/n_j) / 2) for codes 3, 6,
  // 7, 15, 16, 17 and (sqrt(0.5/n_i) + sqrt(0.5/n_j)) · criticalRange for Gabriel. For the
  // stepwise subset tests it is the range of the first (widest) step. kSysmis when not defined.
  double criticalRange = kSysmis;
  // R(i, j), i != j: interval half-width of pair (i, j) for codes 11 … 14 (negative = none).
  PostHocMatrix halfWidth;
  // R(i, 1): half-width of level i against the control for codes 18 … 20 (row i, any i != control;
  // not positive = no bound). Empty for the other tests.
  std::vector<double> controlHalfWidth;
  // P(i, j), i != j: significance of pair (i, j); negative = not available. For codes 18 … 20
  // row i holds level i against the control in controlSignificance instead.
  PostHocMatrix significance;
  std::vector<double> controlSignificance;
  // Q(i, j) for codes 11 … 14: true when the pair differs at alpha.
  std::vector<char> differs;  // k × k, (i, j) at i * k + j
  size_t control = 0;         // the control level used by codes 18 … 20 (0-based)
  // Levels by ascending mean (ties keep level order): the row order of the subsets table.
  std::vector<size_t> order;
  // Homogeneous subsets (codes 1 … 10), numbered from the one holding the lowest means. Empty
  // when none was formed.
  std::vector<PostHocSubset> subsets;
  double harmonicMeanSize = kSysmis;  // harmonic mean of the level sizes (codes 1 … 8)

  bool usable() const {
    return status == PostHocStatus::Ok || status == PostHocStatus::Approximate ||
           status == PostHocStatus::NonMonotonic;
  }
  bool pairDiffers(size_t i, size_t j) const { return differs[i * significance.k + j] != 0; }
};

// Cache of distribution evaluations (quantiles and probabilities) reused across calls: one per
// post hoc step, handed to every call. Results depend only on their arguments, so sharing one
// cache across factors, dependent variables and tests is safe. Not thread-safe.
class PostHocCache {
 public:
  PostHocCache();
  ~PostHocCache();
  PostHocCache(const PostHocCache&) = delete;
  PostHocCache& operator=(const PostHocCache&) = delete;
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// Runs one test (PHTEST). Bad input (k < 2, sizes not all > 0, errorDf < 1, mse < 0, alpha
// outside (0, 1), mismatched vector lengths, kRatio <= 1 for Waller-Duncan) gives status Failed
// and nothing else. `cache` may be null. Waller-Duncan declares two levels different when their
// means differ by more than t_B(kRatio, fRatio, k − 1, errorDf) · sqrt(2 MSE / n_h) (see
// k_ratio_t.h); with fRatio kSysmis or negative it returns Ok with no subsets.
PostHocResult phtest(const PostHocInput& input, PostHocCache* cache = nullptr);

}  // namespace qv::num
