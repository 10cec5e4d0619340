// Effects read from their rows: which factors and covariates they hold, main effects and
// containment, over a model with factors A, B and covariates X, Y.
#include "model/effect.h"

#include <gtest/gtest.h>

namespace qv::testing {
namespace {

constexpr int kFactors = 2;  // A, B; then covariates X, Y

struct EffectCase {
  const char* name;
  EffectRow row;
  std::vector<int> factors;
  std::vector<int> powers;
  int mainEffectOf;  // factor whose main effect it is, -1 none
};

const EffectCase kCases[] = {
    {"intercept", {-1, -1, -1, -1}, {}, {0, 0}, -1},
    {"A", {0, -1, -1, -1}, {0}, {0, 0}, 0},
    {"B", {-1, 0, -1, -1}, {1}, {0, 0}, 1},
    {"A*B", {0, 0, -1, -1}, {0, 1}, {0, 0}, -1},
    {"B within A", {0, 1, -1, -1}, {0, 1}, {0, 0}, -1},
    {"X*X", {-1, -1, 2, -1}, {}, {2, 0}, -1},
    {"A*Y", {0, -1, -1, 1}, {0}, {0, 1}, -1},
    {"X within A", {0, -1, 1, -1}, {0}, {1, 0}, -1},
    // A lone factor with a nesting code above 0 is not a main effect: a main effect is the
    // factor at the outermost level and nothing else. (One decoder once accepted any code.)
    {"A at depth 1 alone", {1, -1, -1, -1}, {0}, {0, 0}, -1},
    // A power of 0 is as absent as -1.
    {"A with X at power 0", {0, -1, 0, -1}, {0}, {0, 0}, 0},
};

TEST(EffectTest, FactorsPowersAndMainEffects) {
  for (const EffectCase& c : kCases) {
    const Effect e(c.row, kFactors);
    EXPECT_EQ(e.factors(), c.factors) << c.name;
    EXPECT_EQ(e.covariatePowers(), c.powers) << c.name;
    for (int f = 0; f < kFactors; ++f)
      EXPECT_EQ(e.isMainEffectOf(f), f == c.mainEffectOf) << c.name << " f" << f;
    EXPECT_EQ(e.isIntercept(), c.factors.empty() && c.powers == std::vector<int>({0, 0})) << c.name;
  }
}

TEST(EffectTest, MainEffectIsFoundInDesignOrder) {
  const std::vector<EffectRow> design{{-1, -1, -1, -1}, {0, 1, -1, -1}, {-1, 0, -1, -1}, {0, 0, -1, -1}};
  EXPECT_EQ(mainEffectOf(design, kFactors, 0), -1);  // A appears only with B nested in it
  EXPECT_EQ(mainEffectOf(design, kFactors, 1), 2);
}

TEST(EffectTest, Containment) {
  const EffectRow intercept{-1, -1, -1, -1}, a{0, -1, -1, -1}, b{-1, 0, -1, -1}, ab{0, 0, -1, -1},
      bWithinA{0, 1, -1, -1}, x{-1, -1, 1, -1}, ax{0, -1, 1, -1}, abx{0, 0, 1, -1}, ax2{0, -1, 2, -1};
  struct Pair {
    const EffectRow& outer;
    const EffectRow& inner;
    bool contains;
  };
  const Pair pairs[] = {
      {ab, a, true},        {ab, b, true},          {bWithinA, a, true},  // nesting codes are ignored
      {a, ab, false},       {a, a, false},          {ab, bWithinA, false},
      {a, intercept, true}, {x, intercept, false},  // a covariate effect does not contain the intercept
      {ax, x, true},        {abx, ax, true},        {ax, a, false},  // the covariates must match
      {ax2, x, false},      {ax, intercept, false},
  };
  for (const Pair& p : pairs)
    EXPECT_EQ(Effect(p.outer, kFactors).contains(Effect(p.inner, kFactors)), p.contains);
  // With no factors in the model no effect contains another.
  const EffectRow none{-1}, onlyX{1};
  EXPECT_FALSE(Effect(onlyX, 0).contains(Effect(none, 0)));
}

// Names as people read them: factors of the innermost level joined by " * ", covariates as often
// as their power, enclosing levels in parentheses; a covariate nested within factors comes first
// and its name lists all its factors in one pair of parentheses, its labels keep the levels.
TEST(EffectTest, NamesAndLabels) {
  const EffectVocabulary names{{"a", "b"}, {"x", "y"}};
  const auto level = [](int f) { return f == 0 ? std::string("[a=1]") : std::string("[b=2]"); };
  struct NameCase {
    EffectRow row;
    bool covariateWithinFactors;
    const char* name;
    const char* label;
  };
  const NameCase cases[] = {
      {{-1, -1, -1, -1}, false, "Intercept", "Intercept"},  {{0, 0, -1, -1}, false, "a * b", "[a=1] * [b=2]"},
      {{0, 1, -1, -1}, false, "b(a)", "[b=2]([a=1])"},      {{-1, -1, 2, 1}, false, "x * x * y", "x * x * y"},
      {{0, -1, -1, 1}, false, "a * y", "[a=1] * y"},        {{0, -1, 1, -1}, true, "x(a)", "x([a=1])"},
      {{0, 1, 1, -1}, true, "x(a * b)", "x([b=2]([a=1]))"},
  };
  for (const NameCase& c : cases) {
    const Effect e(c.row, kFactors, c.covariateWithinFactors);
    EXPECT_EQ(e.name(names), c.name);
    EXPECT_EQ(e.label(names, level), c.label);
  }
  EXPECT_EQ(Effect(EffectRow{1, 0, -1, -1}, kFactors).cellOrder(), (std::vector<int>{1, 0}));
}

}  // namespace
}  // namespace qv::testing
