#pragma once
// Hypotheses and sums of squares of the effects, Types I to IV.
#include <vector>

#include "driver/state.h"
#include "estimate/estimation.h"

namespace qv {

// Does effect f contain effect e? Same covariate entries and the factors of e a proper subset
// of those of f (nesting ignored). Never with no factors in the model.
bool effectContains(const ProcedureState& st, int f, int e);

// Containment levels for the current effect `cur` (GMEDHC): -1 not containing, 0 the effect
// itself, >= 1 containing, refined into levels; `maxchy` receives the largest level.
std::vector<int> containmentLevels(const ProcedureState& st, int cur, int& maxchy);

// Clears every effect's hypothesis (df, L, SSCP, Type IV uniqueness) before a type is formed.
void resetOutputs(ProcedureState& st);

void GMEST1(ProcedureState& st, SweepState& ss);
void GMEST2(ProcedureState& st, SweepState& ss);
void GMEST3(ProcedureState& st, SweepState& ss);
void GMEST4(ProcedureState& st, SweepState& ss);

// Type IV hypothesis of effect `cur` in the current sweep state (used for Type IV and the
// contrast bases). Returns the L rows; `unique` is cleared when some row is not unique. With
// `markColumns` the effect's swept columns are recorded as hypothesis columns (Type IV
// itself; not the contrast bases, which are no hypothesis of the chosen type).
num::Mat typeIVHypothesis(ProcedureState& st, SweepState& ss, int cur, bool& unique, bool markColumns = true);

}  // namespace qv
