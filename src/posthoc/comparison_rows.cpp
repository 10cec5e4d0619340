// The rows of the Multiple Comparisons table, one rule per kind of test.
#include <algorithm>
#include <array>
#include <cmath>

#include "posthoc/posthoc.h"

namespace qv {

namespace {

constexpr std::array<PosthocTestInfo, kPosthocTestCount> kTests = {{
    {PosthocTest::Waller, "Waller-Duncan", true, PairRule::None},
    {PosthocTest::Snk, "Student-Newman-Keuls", true, PairRule::None},
    {PosthocTest::Tukey, "Tukey HSD", true, PairRule::EqualVariance},
    {PosthocTest::BTukey, "Tukey B", true, PairRule::None},
    {PosthocTest::Duncan, "Duncan", true, PairRule::None},
    {PosthocTest::Scheffe, "Scheffe", true, PairRule::EqualVariance},
    {PosthocTest::Gt2, "Hochberg", true, PairRule::EqualVariance},
    {PosthocTest::Gabriel, "Gabriel", true, PairRule::Gabriel},
    {PosthocTest::Fregw, "Ryan-Einot-Gabriel-Welsch F", true, PairRule::None},
    {PosthocTest::Qregw, "Ryan-Einot-Gabriel-Welsch Range", true, PairRule::None},
    {PosthocTest::GamesHowell, "Games-Howell", false, PairRule::UnequalVariance},
    {PosthocTest::T2, "Tamhane", false, PairRule::UnequalVariance},
    {PosthocTest::T3, "Dunnett T3", false, PairRule::UnequalVariance},
    {PosthocTest::DunnettC, "Dunnett C", false, PairRule::UnequalVariance},
    {PosthocTest::Lsd, "LSD", false, PairRule::EqualVariance},
    {PosthocTest::Bonferroni, "Bonferroni", false, PairRule::EqualVariance},
    {PosthocTest::Sidak, "Sidak", false, PairRule::EqualVariance},
    {PosthocTest::Dunnett, "Dunnett t (2-sided)", false, PairRule::Control},
    {PosthocTest::DunnettL, "Dunnett t (<control)", false, PairRule::Control},
    {PosthocTest::DunnettR, "Dunnett t (>control)", false, PairRule::Control},
}};

double clampUnit(double p) { return std::clamp(p, 0.0, 1.0); }

// The decision indicator of the unequal-variance tests; false when the test gave none.
bool differs(const num::PostHocResult& r, int i, int j) {
  const size_t k = r.significance.k;
  return r.differs.size() == k * k && r.pairDiffers(static_cast<size_t>(i), static_cast<size_t>(j));
}

// A significance of the pooled-error tests: rounding may carry it just outside [0, 1]; the value
// marked not available (system-missing) stays so, and the row's decision then rests on its
// interval.
void poolSignificance(ComparisonRow& row, double p, double alplev) {
  if (isSysmis(p) || std::isnan(p)) {
    row.sig = kSysmis;
    row.significant = row.half >= 0.0 && (row.lower > 0.0 || row.upper < 0.0);
    return;
  }
  row.sig = clampUnit(p);
  row.significant = alplev >= row.sig;
}

}  // namespace

const PosthocTestInfo& posthocTestInfo(PosthocTest t) {
  const int c = static_cast<int>(t);
  QV_ASSERT(c >= 1 && c <= kPosthocTestCount, "posthoc test code");
  return kTests[static_cast<size_t>(c - 1)];
}

std::vector<ComparisonRow> comparisonRows(PosthocTest test, const num::PostHocResult& result,
                                          const LevelSummary& levels, double mse, double alplev) {
  const PairRule rule = posthocTestInfo(test).rule;
  const std::vector<double>& m = levels.means;
  const std::vector<double>& n = levels.sizes;
  const std::vector<double>& s = levels.sds;
  const int k = static_cast<int>(m.size());
  QV_ASSERT(n.size() == m.size() && s.size() == m.size(), "posthoc level vectors");
  const double root = std::sqrt(std::max(mse, 0.0));
  std::vector<ComparisonRow> rows;
  if (rule == PairRule::None) return rows;
  const double range = result.criticalRange;
  const bool rangeKnown = !isSysmis(range) && std::isfinite(range) && range >= 0.0;
  if (rule == PairRule::Gabriel && !(rangeKnown && range > 0.0)) return rows;

  if (rule == PairRule::Control) {
    const int ctl = static_cast<int>(result.control);
    QV_ASSERT(ctl >= 0 && ctl < k && result.controlHalfWidth.size() == m.size() &&
                  result.controlSignificance.size() == m.size(),
              "posthoc control results");
    for (int i = 0; i < k; ++i) {
      if (i == ctl) continue;
      ComparisonRow row;
      row.i = i;
      row.j = ctl;
      row.diff = m[i] - m[ctl];
      row.stdError = root * std::sqrt(1.0 / n[ctl] + 1.0 / n[i]);
      const double h = result.controlHalfWidth[i];
      row.lower = row.diff - h;
      row.upper = row.diff + h;
      // A bound is shown only where the test gives one: both for the two-sided test, the upper
      // bound for "less than the control", the lower bound for "greater than the control".
      const bool positive = !isSysmis(h) && h > 0.0;
      row.half = positive ? 1.0 : 0.0;
      row.showLower = positive && test != PosthocTest::DunnettL;
      row.showUpper = positive && test != PosthocTest::DunnettR;
      const double p = result.controlSignificance[i];
      if (isSysmis(p) || std::isnan(p)) {
        row.sig = kSysmis;
        row.significant = false;
      } else {
        row.sig = clampUnit(p);
        row.significant = alplev >= row.sig;
      }
      rows.push_back(row);
    }
    return rows;
  }

  QV_ASSERT(result.significance.k == m.size(), "posthoc pair results");
  const double crit = rangeKnown ? range * 0.7071067811865476 : -1.0;  // R(1,1) / sqrt(2)
  for (int i = 0; i < k; ++i) {
    for (int j = 0; j < k; ++j) {
      if (i == j) continue;
      ComparisonRow row;
      row.i = i;
      row.j = j;
      row.diff = m[i] - m[j];
      const double p = result.significance(static_cast<size_t>(i), static_cast<size_t>(j));
      if (rule == PairRule::EqualVariance || rule == PairRule::Gabriel) {
        const double u = std::sqrt(1.0 / n[i] + 1.0 / n[j]);
        row.stdError = root * u;
        row.half = rule == PairRule::Gabriel ? (std::sqrt(0.5 / n[i]) + std::sqrt(0.5 / n[j])) * range
                   : rangeKnown              ? crit * u
                                             : -1.0;
      } else {
        QV_ASSERT(result.halfWidth.k == m.size(), "posthoc pair results");
        row.stdError = std::sqrt(s[i] * s[i] / n[i] + s[j] * s[j] / n[j]);
        const double h = result.halfWidth(static_cast<size_t>(i), static_cast<size_t>(j));
        row.half = isSysmis(h) || std::isnan(h) ? -1.0 : h;
      }
      row.lower = row.diff - row.half;
      row.upper = row.diff + row.half;
      if (rule != PairRule::UnequalVariance) {
        poolSignificance(row, p, alplev);
      } else if (test == PosthocTest::DunnettC) {
        // Dunnett's C gives a decision, not a probability.
        row.significant = differs(result, i, j);
        row.sigShown = !(p < 0.0);
        row.sig = row.sigShown ? p : kSysmis;
      } else if (p >= 0.0) {
        row.sig = p;
        row.significant = alplev >= p;
      } else {
        row.sig = kSysmis;
        row.significant = differs(result, i, j);
      }
      rows.push_back(row);
    }
  }
  return rows;
}

}  // namespace qv
