#pragma once
// Observed statistics of the levels of the factors that post hoc tests compare: per level the
// summed case weight, the summed accumulation weight (case x regression weight), and per
// dependent variable the weighted mean and sum of squared deviations.
#include <tuple>
#include <vector>

#include "data/case_pass.h"
#include "data/factor_tables.h"
#include "driver/state.h"

namespace qv {

// The level statistics of a set of factors over a range of cases: a partial result that merges
// with the partial result of another range (the pass over the cases is a reduction).
struct LevelStatistics {
  std::vector<int> factors;                          // factor numbers, ascending
  std::vector<std::vector<DescriptiveCell>> levels;  // per entry of `factors`, per level (0-based)
  auto fields() { return std::tie(factors, levels); }
  auto fields() const { return std::tie(factors, levels); }

  // The statistics of factor f; null when f is not one of `factors`.
  const std::vector<DescriptiveCell>* of(int f) const;
  // Adds the statistics of another range of cases of the same group.
  void merge(const LevelStatistics& other);
};

// Empty statistics for the given factors (each level present, with zero weight).
LevelStatistics emptyLevelStatistics(const ProcedureState& st, std::vector<int> factors);

// Accumulates one block of the case work file. Cases whose case or regression weight is not
// positive are passed over.
LevelStatistics accumulateLevelStatistics(const ProcedureState& st, const CaseBlock& cases,
                                          const std::vector<int>& factors);

// The factors named by any POSTHOC request, ascending.
std::vector<int> posthocFactors(const ProcedureState& st);

}  // namespace qv
