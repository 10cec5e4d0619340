#pragma once
// The General Estimable Function (PRINT=GEF) and the hypothesis L matrix of every design effect
// (PRINT=TEST(LMATRIX)), both shown transposed: one row per parameter, one column per function.
#include <string>
#include <vector>

#include "driver/state.h"
#include "host/context.h"

namespace qv {

// The design columns (0-based) that name the rows of effect e's hypothesis L matrix, one per
// row: the effect's non-redundant columns, in column order.
std::vector<int> effectLColumns(const ProcedureState& st, int e);

// The General Estimable Function table, or the zero-degrees-of-freedom table when the model
// has no estimable function.
void printGeneralEstimableFunction(Context& ctx, const ProcedureState& st);

// Under the heading "Contrast Coefficients", one table per effect with its transposed
// hypothesis L matrix, or the zero-degrees-of-freedom footnote.
void printEffectLMatrices(Context& ctx, const ProcedureState& st);

}  // namespace qv
