#pragma once
// Post hoc comparisons of the observed means of a factor's levels: the Multiple Comparisons
// table (pairs of levels, or levels against a control) and the Homogeneous Subsets table, one
// pair of tables per POSTHOC request, factor and dependent variable.
#include <string>
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "host/numeric/phtest.h"

namespace qv {

// How the rows of a test are formed from the critical values.
enum class PairRule {
  None,           // subsets only: no rows
  EqualVariance,  // pooled error: half-width R(1,1) sqrt((1/n_i + 1/n_j) / 2)
  Gabriel,        // pooled error: half-width (sqrt(0.5/n_i) + sqrt(0.5/n_j)) R(1,1)
  UnequalVariance,
  Control,  // many-to-one against a control level
};

// The tests in keyword order: display name, whether they form homogeneous subsets, row rule.
struct PosthocTestInfo {
  PosthocTest code;
  const char* name;
  bool subsets;
  PairRule rule;
};
const PosthocTestInfo& posthocTestInfo(PosthocTest t);

// One row of the Multiple Comparisons table. Levels are 0-based.
struct ComparisonRow {
  int i = 0, j = 0;
  double diff = 0.0, stdError = 0.0;
  double sig = kSysmis;  // shown as it stands (kSysmis: an empty cell) unless !sigShown
  bool sigShown = true;  // false: the Significance cell is left out
  bool significant = false;
  // Half-width below 0: the bounds cannot be computed (empty cells with a footnote).
  double half = 0.0, lower = 0.0, upper = 0.0;
  bool showLower = true, showUpper = true;
};

// The level statistics a test is run on, one entry per level.
struct LevelSummary {
  std::vector<double> means, sds, sizes;
};

// The rows of one test from the critical-value results, by the test's row rule. `result` must be
// usable; its significances are clamped where the rule says so. Empty for the subsets-only tests
// and for Gabriel without a positive critical range.
std::vector<ComparisonRow> comparisonRows(PosthocTest test, const num::PostHocResult& result,
                                          const LevelSummary& levels, double mse, double alplev);

// The post hoc step of one split group: level statistics, error terms, refusals, both tables.
void printPosthoc(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
