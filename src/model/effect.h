#pragma once
// Effects of the design as a type that answers the questions the analyses ask, over the effect
// rows the parser writes.
//
// An effect row (EffectRow) holds, per factor, a nesting code and then, per covariate, a power:
//   factor code   -1 absent; 0 a factor at the outermost level; k > 0 a factor nested k deep.
//                 The largest code marks the effect's own (innermost) factors: A*B is (0, 0),
//                 B within A is (A 0, B 1), C within B within A is (0, 1, 2).
//   covariate     its power in the effect; below 1 absent (X*X is power 2).
// The intercept is the row of all -1.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// One effect row: nfactr nesting codes, then ncovar powers (see above).
using EffectRow = std::vector<int>;

// The variable names an effect is written with: per factor and per covariate its name.
struct EffectVocabulary {
  std::vector<std::string> factors, covariates;
};

// A read-only view of one effect row; the row must outlive the view. `covariateWithinFactors`
// marks a covariate nested within factors (x(a), written covariates first).
class Effect {
 public:
  Effect(const EffectRow& row, int factorCount, bool covariateWithinFactors = false)
      : row_(&row), nf_(factorCount), cwf_(covariateWithinFactors) {}

  int factorCount() const { return nf_; }
  int covariateCount() const { return static_cast<int>(row_->size()) - nf_; }

  // Nesting code of factor f (0-based), -1 when absent.
  int nesting(int f) const { return (*row_)[static_cast<std::size_t>(f)]; }
  bool hasFactor(int f) const { return nesting(f) >= 0; }
  // Power of covariate c (0-based), 0 when absent.
  int power(int c) const {
    const int p = (*row_)[static_cast<std::size_t>(nf_ + c)];
    return p >= 1 ? p : 0;
  }
  bool hasCovariate() const;
  bool isIntercept() const;

  // The factors in the effect, in factor order.
  std::vector<int> factors() const;
  // Per covariate its power, 0 when absent.
  std::vector<int> covariatePowers() const;

  // True when the effect is factor f alone at the outermost level: code 0 for f, every other
  // factor absent, no covariate.
  bool isMainEffectOf(int f) const;

  // True when this effect contains `other`: both have the same covariate powers and the
  // factors of `other` are a proper subset of this effect's factors (nesting codes are
  // ignored). So the intercept is contained in every effect with a factor and no covariate.
  bool contains(const Effect& other) const;

  // The largest nesting code of the effect's factors (those of its innermost level); -1 when
  // it has no factor.
  int innermostNesting() const;
  // The factors in cell order: by increasing nesting code, then factor order.
  std::vector<int> cellOrder() const;

  // The display name: "Intercept", "a", "a * b", "b(a)", "a * x", "x(a * b)". A covariate
  // nested within factors names all its factors, whatever their depths, in one pair of
  // parentheses in factor order.
  std::string name(const EffectVocabulary& names) const;
  // A label laid out as the name but keeping the nesting depths, each factor written by
  // `factorText(f)`: the parameter labels "[a=1] * [b=2]", "[b=2]([a=1])", "x([b=3]([a=2]))".
  std::string label(const EffectVocabulary& names, const std::function<std::string(int)>& factorText) const;

  const EffectRow& row() const { return *row_; }

 private:
  // The factors at nesting code `code`, each written by factorText, joined with " * ".
  std::string factorsAt(int code, const std::function<std::string(int)>& factorText) const;
  // Appends each covariate as many times as its power, joined with " * ".
  void appendCovariates(const EffectVocabulary& names, std::string& s) const;

  const EffectRow* row_;
  int nf_;
  bool cwf_;  // a covariate nested within factors
};

// Effect number of the main effect of factor f among `rows` (design order), -1 when the design
// has none.
int mainEffectOf(const std::vector<EffectRow>& rows, int factorCount, int f);

}  // namespace qv
