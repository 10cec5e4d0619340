#pragma once
// Case-wise diagnostics of the fitted model saved as new variables (SAVE): predicted values,
// residuals in several scalings, standard errors of prediction, Cook's distances and leverages.
// The values are computed group by group from the case work file and placed at the cases'
// positions in the active data; cases not used in the analysis keep the system-missing value.
#include <string>
#include <vector>

namespace qv {

struct Context;
struct ProcedureState;
struct CaseWorkFile;

// One new variable: its name, its label and one value per case of the active data (in file
// order, across split groups).
struct SavedVariable {
  std::string name;
  std::string label;
  std::vector<double> values;
};

// Names and labels the new variables of the command's SAVE request, one per keyword (in the
// order given) and dependent variable. A name given by the user is taken when no variable has
// it; otherwise the keyword's root and the first free number from the dependent's position on
// ("PRE_1", "PRE_2", ...). `taken` holds the names already made by earlier commands of the run.
// (GMVSET)
std::vector<SavedVariable> nameSavedVariables(const Context& ctx, const ProcedureState& st,
                                              const std::vector<std::string>& taken);

// The saved values of the work file's cases [begin, end): for each case, the requested keywords
// in the order given, for each keyword one value per dependent. `out` receives
// (end - begin) x values-per-case numbers, case by case. (gmvcmp)
void computeSavedValues(const ProcedureState& st, const CaseWorkFile& work, long begin, long end,
                        std::vector<double>& out);

// Starts the command's SAVE: names the variables in st.savedVariables, all system-missing.
void beginSave(Context& ctx, ProcedureState& st);
// Computes the current group's values into st.savedVariables at the cases' file positions.
void saveGroupValues(ProcedureState& st, const CaseWorkFile& work);
// After the last group: prints "Variables Created or Modified" and hands the variables to the
// run (ctx.savedVariables); a note says where they go. Nothing is kept when the command failed.
// (gmvsav)
void finishSave(Context& ctx, ProcedureState& st);

}  // namespace qv
