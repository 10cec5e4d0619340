#include "model/effect.h"

namespace qv {

bool Effect::hasCovariate() const {
  for (int c = 0; c < covariateCount(); ++c)
    if (power(c) > 0) return true;
  return false;
}

bool Effect::isIntercept() const { return factors().empty() && !hasCovariate(); }

std::vector<int> Effect::factors() const {
  std::vector<int> out;
  for (int f = 0; f < nf_; ++f)
    if (hasFactor(f)) out.push_back(f);
  return out;
}

std::vector<int> Effect::covariatePowers() const {
  std::vector<int> out(static_cast<std::size_t>(covariateCount()));
  for (int c = 0; c < covariateCount(); ++c) out[static_cast<std::size_t>(c)] = power(c);
  return out;
}

bool Effect::isMainEffectOf(int f) const {
  if (nesting(f) != 0 || hasCovariate()) return false;
  for (int i = 0; i < nf_; ++i)
    if (i != f && hasFactor(i)) return false;
  return true;
}

bool Effect::contains(const Effect& other) const {
  if (nf_ != other.nf_ || covariateCount() != other.covariateCount()) return false;
  if (covariatePowers() != other.covariatePowers()) return false;
  bool larger = false;
  for (int f = 0; f < nf_; ++f) {
    if (other.hasFactor(f) && !hasFactor(f)) return false;
    if (hasFactor(f) && !other.hasFactor(f)) larger = true;
  }
  return larger;
}

int mainEffectOf(const std::vector<EffectRow>& rows, int factorCount, int f) {
  for (std::size_t e = 0; e < rows.size(); ++e)
    if (Effect(rows[e], factorCount).isMainEffectOf(f)) return static_cast<int>(e);
  return -1;
}

}  // namespace qv
