#include "model/effect.h"

#include <algorithm>

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
  for (int c = 0; c < covariateCount(); ++c)
    if (power(c) != other.power(c)) return false;
  bool larger = false;
  for (int f = 0; f < nf_; ++f) {
    if (other.hasFactor(f) && !hasFactor(f)) return false;
    if (hasFactor(f) && !other.hasFactor(f)) larger = true;
  }
  return larger;
}

int Effect::innermostNesting() const {
  int m = -1;
  for (int f = 0; f < nf_; ++f) m = std::max(m, nesting(f));
  return m;
}

std::vector<int> Effect::cellOrder() const {
  std::vector<int> order = factors();
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return nesting(a) < nesting(b); });
  return order;
}

std::string Effect::factorsAt(int code, const std::function<std::string(int)>& factorText) const {
  std::string s;
  for (int f = 0; f < nf_; ++f)
    if (nesting(f) == code) {
      if (!s.empty()) s += " * ";
      s += factorText(f);
    }
  return s;
}

void Effect::appendCovariates(const EffectVocabulary& names, std::string& s) const {
  for (int c = 0; c < covariateCount(); ++c)
    for (int p = 0; p < power(c); ++p) {
      if (!s.empty()) s += " * ";
      s += names.covariates[static_cast<std::size_t>(c)];
    }
}

std::string Effect::label(const EffectVocabulary& names,
                          const std::function<std::string(int)>& factorText) const {
  const bool hasF = !factors().empty();
  if (!hasF && !hasCovariate()) return "Intercept";
  const int m = innermostNesting();
  std::string s;
  int opened = 0;
  if (cwf_) {
    // Covariates first, then every level of factors from the innermost out.
    appendCovariates(names, s);
    for (int code = m; code >= 0; --code, ++opened) s += "(" + factorsAt(code, factorText);
  } else {
    // The innermost factors, the covariates, then the enclosing levels from the inside out.
    if (hasF) s = factorsAt(m, factorText);
    appendCovariates(names, s);
    for (int code = m - 1; code >= 0; --code, ++opened) s += "(" + factorsAt(code, factorText);
  }
  s.append(static_cast<std::size_t>(opened), ')');
  return s;
}

std::string Effect::name(const EffectVocabulary& names) const {
  const auto factorName = [&](int f) { return names.factors[static_cast<std::size_t>(f)]; };
  if (cwf_ && !factors().empty()) {
    std::string s;
    appendCovariates(names, s);
    std::string inner;
    for (int f : factors()) inner += (inner.empty() ? "" : " * ") + factorName(f);
    return s + "(" + inner + ")";
  }
  return label(names, factorName);
}

int mainEffectOf(const std::vector<EffectRow>& rows, int factorCount, int f) {
  for (std::size_t e = 0; e < rows.size(); ++e)
    if (Effect(rows[e], factorCount).isMainEffectOf(f)) return static_cast<int>(e);
  return -1;
}

}  // namespace qv
