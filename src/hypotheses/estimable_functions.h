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

// One effect's transposed hypothesis L matrix (or the zero-degrees-of-freedom footnote) as a
// table with the given title; `extraFootnote`, when not empty, comes first on the table.
void printEffectLMatrix(Context& ctx, const ProcedureState& st, int e, const std::string& title,
                        const std::string& extraFootnote);

// A coefficient of an estimable function as shown: integers (within rounding) without
// decimals, others in the coefficient format.
out::Value lValue(double x);

// The parameter labels of the design columns: the group's, or built into `local`.
const std::vector<std::string>& parameterLabels(const Context& ctx, const ProcedureState& st,
                                                std::vector<std::string>& local);

// "This is the L transpose based on Type ^1 ..." for the sum-of-squares type.
std::string sstypeFootnote(int sstype);

// Under the heading "Contrast Coefficients", one table per effect with its transposed
// hypothesis L matrix, or the zero-degrees-of-freedom footnote.
void printEffectLMatrices(Context& ctx, const ProcedureState& st);

}  // namespace qv
