#include "posthoc/level_statistics.h"

#include <algorithm>

namespace qv {

const std::vector<DescriptiveCell>* LevelStatistics::of(int f) const {
  auto it = std::lower_bound(factors.begin(), factors.end(), f);
  if (it == factors.end() || *it != f) return nullptr;
  return &levels[static_cast<size_t>(it - factors.begin())];
}

void LevelStatistics::merge(const LevelStatistics& other) {
  QV_ASSERT(other.factors == factors, "level statistics merge");
  for (size_t i = 0; i < levels.size(); ++i) {
    QV_ASSERT(other.levels[i].size() == levels[i].size(), "level statistics merge");
    for (size_t l = 0; l < levels[i].size(); ++l) levels[i][l].merge(other.levels[i][l]);
  }
}

LevelStatistics emptyLevelStatistics(const ProcedureState& st, std::vector<int> factors) {
  std::sort(factors.begin(), factors.end());
  factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
  LevelStatistics s;
  DescriptiveCell zero;
  zero.mean.assign(static_cast<size_t>(st.ndepvr()), 0.0);
  zero.m2.assign(static_cast<size_t>(st.ndepvr()), 0.0);
  for (int f : factors) {
    QV_ASSERT(f >= 0 && f < st.nfactr(), "ptrtm .gt. 0");
    s.levels.emplace_back(static_cast<size_t>(st.group.nlevls[static_cast<size_t>(f)]), zero);
  }
  s.factors = std::move(factors);
  return s;
}

LevelStatistics accumulateLevelStatistics(const ProcedureState& st, const CaseBlock& cases,
                                          const std::vector<int>& factors) {
  LevelStatistics s = emptyLevelStatistics(st, factors);
  const GroupState& g = st.group;
  const size_t nf = static_cast<size_t>(st.nfactr());
  QV_ASSERT(nf == g.nlevls.size(), "level statistics pass");
  for (long k = cases.range.begin; k < cases.range.end; ++k) {
    const double w = cases.weight(k), r = cases.regWeight(k);
    if (!(w > 0.0) || !(r > 0.0)) continue;
    const int* lev = g.cellLevels(cases.designCell(k));
    for (size_t i = 0; i < s.factors.size(); ++i) {
      const int l = lev[s.factors[i]];
      QV_ASSERT(l >= 1 && static_cast<size_t>(l) <= s.levels[i].size(), "ptcell .gt. 0");
      s.levels[i][static_cast<size_t>(l - 1)].add(cases.depOf(k), w, w * r);
    }
  }
  return s;
}

std::vector<int> posthocFactors(const ProcedureState& st) {
  std::vector<int> f;
  for (const PosthocRequest& r : st.ptmpho) f.insert(f.end(), r.factors.begin(), r.factors.end());
  std::sort(f.begin(), f.end());
  f.erase(std::unique(f.begin(), f.end()), f.end());
  return f;
}

}  // namespace qv
