#pragma once
// Cells, effects and design columns: the over-parameterised indicator coding of the model
// (one column per non-empty cell of every effect), the design row of a case, effect names
// and parameter labels.
#include <string>
#include <utility>
#include <vector>

#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Factors of an effect in cell order: by increasing nesting code, then command order.
std::vector<int> effectFactorOrder(const EffectRow& row, int nfactr);

// Cell number (1-based) of a level combination in an effect (gmdrcl). `levels` holds one
// 1-based level per factor (all factors). 1 for an effect without factors.
long cellOfLevels(const std::vector<int>& order, const std::vector<int>& nlevls, const int* levels);

// Level combination of a cell (gmdcmb): per factor its level, -1 for factors not in the effect.
std::vector<int> levelsOfCell(const std::vector<int>& order, const std::vector<int>& nlevls, int nfactr,
                              long cell);

// Lays out the design columns of the current group (gmdemp). Issues message 151 when the
// number of possible cells overflows. Returns false on error.
bool layoutDesign(Context& ctx, ProcedureState& st);

// The non-zero entries of the design row of a case (GMDDMR), in increasing column order:
// (0-based column, value). `cell` is the case's design cell, `cov` its covariate values.
void designRow(const ProcedureState& st, int cell, const double* cov,
               std::vector<std::pair<int, double>>& out);

// Effect e of the design as a typed effect (with its covariate-within-factors flag).
Effect designEffect(const ProcedureState& st, int e);
// The names of the command's factors and covariates, which effect names are written with.
EffectVocabulary effectVocabulary(const ProcedureState& st, const Dictionary& dict);
// Effect name ("Intercept", "a", "a * b", "b(a)", "X(a)", "a * X"): Effect::name of effect e.
std::string effectName(const ProcedureState& st, const Dictionary& dict, int e);

// Parameter label of design column `col` (0-based): "Intercept", "[a=1] * [b=2]", "[b=2]([a=1])",
// "X([a=1])".
std::string paramLabel(const ProcedureState& st, const Dictionary& dict, int col);

// Builds st.group.paramLabels for every design column.
void buildParamLabels(const ProcedureState& st, const Dictionary& dict, std::vector<std::string>& labels);

// Effect that design column `col` (0-based) belongs to.
int effectOfColumn(const ProcedureState& st, int col);

bool effectHasFactors(const EffectRow& row, int nfactr);
bool effectHasCovariates(const EffectRow& row, int nfactr);

}  // namespace qv
