// The variable list, DESIGN, the default design and RANDOM.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "host/syntax/varlist.h"
#include "parse/subcommand_support.h"
#include "parse/subcommands.h"

namespace qv {

namespace {

// The default design of f factors has 2^f rows; beyond this many effect-row cells the design
// could not be laid out or fitted in any reasonable memory, so it is refused up front rather
// than left to fail in the allocator.
constexpr std::uint64_t kMaxDefaultDesignCells = std::uint64_t{1} << 26;

// Removes repeated variables, keeping the first occurrence of each in command order.
// Returns true when something was removed.
bool removeDuplicates(std::vector<int>& list) {
  std::vector<int> kept;
  kept.reserve(list.size());
  for (int v : list)
    if (std::find(kept.begin(), kept.end(), v) == kept.end()) kept.push_back(v);
  bool removed = kept.size() != list.size();
  list = std::move(kept);
  return removed;
}

bool overlaps(const std::vector<int>& a, const std::vector<int>& b) {
  for (int v : a)
    if (std::find(b.begin(), b.end(), v) != b.end()) return true;
  return false;
}

using parse::failHere;

}  // namespace

bool parseVariableList(ParseContext& pc) {
  using namespace syntax;
  ProcedureState& st = pc.st;
  std::vector<int> deps, factors, covs;
  auto read = [&](std::vector<int>& out, bool numericOnly, const char* role) {
    if (readVariableList(pc.ctx, pc.tok, pc.dict, out, VarListOptions{numericOnly, role})) return true;
    pc.tok.skipToEndOfSubcommand();
    return false;
  };
  if (!read(deps, true, "dependent variables")) return false;
  bool haveBy = false, haveWith = false;
  for (;;) {
    const Token& t = pc.sym();
    if (t.cls == kName && t.code == kBy && !haveBy) {
      haveBy = true;
      pc.tok.advance();
      if (!read(factors, false, "factors")) return false;
    } else if (t.cls == kName && t.code == kWith && !haveWith) {
      haveWith = true;
      pc.tok.advance();
      if (!read(covs, true, "covariates")) return false;
    } else {
      break;
    }
  }
  if (!pc.sym().endsSubcommand()) return failHere(pc, msg::kIncorrectlyPlacedKeyword);

  if (removeDuplicates(deps)) pc.warning(msg::kNotUniqueDependentVariables);
  if (removeDuplicates(factors)) pc.warning(msg::kNotUniqueFactors);
  if (removeDuplicates(covs)) pc.warning(msg::kNotUniqueCovariates);
  if (overlaps(deps, factors)) return failHere(pc, msg::kSameDependentAndFactor);
  if (overlaps(deps, covs)) return failHere(pc, msg::kSameDependentAndCovariate);
  if (overlaps(factors, covs)) return failHere(pc, msg::kSameFactorAndCovariate);

  st.depVars = std::move(deps);
  st.factorVars = std::move(factors);
  st.covVars = std::move(covs);
  st.factorWidth.clear();
  for (int f : st.factorVars) {
    const Variable& v = pc.dict.vars[static_cast<size_t>(f)];
    st.factorWidth.push_back(v.isString() ? std::max(1, (v.width + 7) / 8) : 1);
  }
  st.nameWidth = 8;
  for (const auto* list : {&st.depVars, &st.factorVars, &st.covVars})
    for (int v : *list)
      st.nameWidth =
          std::max(st.nameWidth, static_cast<int>(pc.dict.vars[static_cast<size_t>(v)].name.size()));
  return true;
}

bool parseDesign(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (pc.sym().is("INTERCEPT")) {
    st.interceptIncluded = true;
    pc.tok.advance();
  }
  // First pass: the syntax of every effect, before anything is recorded.
  const size_t start = pc.tok.position();
  while (!pc.sym().endsSubcommand())
    if (parseEffect(pc, st.interceptIncluded).failed) return false;

  pc.tok.seek(start);
  std::vector<EffectRow> rows;
  std::vector<int> cwf;
  if (st.interceptIncluded) {
    rows.emplace_back(static_cast<size_t>(st.nfactr() + st.ncovar()), -1);
    cwf.push_back(0);
  }
  while (!pc.sym().endsSubcommand()) {
    ParsedEffect e = parseEffect(pc, st.interceptIncluded);
    QV_ASSERT(!e.failed, "parseDesign");
    if (std::find(rows.begin(), rows.end(), e.row) != rows.end()) {
      pc.warning(msg::kDuplicateEffectInDesign);
      continue;
    }
    rows.push_back(std::move(e.row));
    cwf.push_back(e.covariateWithin ? 1 : 0);
  }
  st.ptefds = std::move(rows);
  st.ptecwf = std::move(cwf);
  return true;
}

bool buildDefaultDesign(ParseContext& pc) {
  ProcedureState& st = pc.st;
  const int nf = st.nfactr(), nc = st.ncovar();
  const std::uint64_t width = static_cast<std::uint64_t>(nf + nc);
  // (2^nf + nc) rows of (nf + nc) entries must be countable in a 64-bit signed integer ...
  if (width > 0) {
    const std::uint64_t q = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / width;
    const bool fits = q > static_cast<std::uint64_t>(nc) &&
                      static_cast<int>(std::bit_width(q - static_cast<std::uint64_t>(nc))) - 1 >= nf;
    // ... and must fit in memory.
    if (!fits || ((std::uint64_t{1} << nf) + static_cast<std::uint64_t>(nc)) * width > kMaxDefaultDesignCells)
      return failHere(pc, msg::kTooManyDesignColumns);
  }
  const EffectRow none(width, -1);
  std::vector<EffectRow> rows;
  rows.reserve((std::size_t{1} << nf) + static_cast<std::size_t>(nc));
  if (st.interceptIncluded) rows.push_back(none);
  for (int c = 0; c < nc; ++c) {
    rows.push_back(none);
    rows.back()[static_cast<size_t>(nf + c)] = 1;
  }
  // Every non-empty combination of factors by increasing size, each size in lexicographic
  // order of factor positions: A, B, C, A*B, A*C, B*C, A*B*C.
  std::vector<int> comb;
  for (int k = 1; k <= nf; ++k) {
    comb.resize(static_cast<size_t>(k));
    for (int i = 0; i < k; ++i) comb[static_cast<size_t>(i)] = i;
    for (;;) {
      rows.push_back(none);
      for (int f : comb) rows.back()[static_cast<size_t>(f)] = 0;
      int i = k - 1;
      while (i >= 0 && comb[static_cast<size_t>(i)] == nf - k + i) --i;
      if (i < 0) break;
      ++comb[static_cast<size_t>(i)];
      for (int j = i + 1; j < k; ++j) comb[static_cast<size_t>(j)] = comb[static_cast<size_t>(j - 1)] + 1;
    }
  }
  st.ptefds = std::move(rows);
  st.ptecwf.assign(st.ptefds.size(), 0);
  return true;
}

bool parseRandom(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (st.ndepvr() != 1) return failHere(pc, msg::kRandomNotAllowedForMultivariateModel);
  if (st.effectCount() <= 0) return failHere(pc, msg::kRandomAndNoEffectsInDesign);
  if (st.randomEffect.empty()) st.randomEffect.assign(static_cast<size_t>(st.effectCount()), 0);
  while (!pc.sym().endsSubcommand()) {
    const size_t itemPos = pc.tok.position();
    ParsedEffect e = parseEffect(pc, st.interceptIncluded);
    if (e.failed) return false;
    const Effect named(e.row, st.nfactr());
    const std::vector<int> factors = named.factors();
    const int problem = named.hasCovariate() ? msg::kCovariateInRandom
                        : factors.size() > 1 ? msg::kNotFactorInRandom
                        : factors.empty()    ? msg::kInterceptInRandom
                                             : 0;
    if (problem != 0) {
      pc.tok.seek(itemPos);
      return failHere(pc, problem);
    }
    const int factor = factors.front();
    // Every effect of the design that contains the factor and no covariate is random.
    for (int k = 0; k < st.effectCount(); ++k) {
      const Effect effect(st.ptefds[static_cast<size_t>(k)], st.nfactr());
      if (effect.hasFactor(factor) && !effect.hasCovariate()) st.randomEffect[static_cast<size_t>(k)] = 1;
    }
  }
  return true;
}

}  // namespace qv
