#pragma once
// Case-wise diagnostics of the fitted model saved as new variables (SAVE): predicted values,
// residuals in several scalings, standard errors of prediction, Cook's distances and leverages.
// The values are computed group by group from the case work file and kept in a scratch file
// (never in memory) with the cases' positions in the active data; cases not used in the
// analysis have the system-missing value.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "save/scratch_file.h"

namespace qv {

struct Context;
struct ProcedureState;
struct CaseWorkFile;
struct CaseBlock;

// The values of one command's new variables: per case used in the analysis, its 0-based
// position in the active data and one value per variable, in a scratch file in case order
// (positions increase across split groups). Written once, then read once front to back.
class SavedValueStore {
 public:
  explicit SavedValueStore(size_t width) : width_(width), next_(width) {}
  bool open(std::string& why) { return file_.open(why); }
  bool isOpen() const { return file_.isOpen(); }
  void append(int64_t position, const double* values);
  // Ends writing; `cases` is the number of cases in the active data. False with `why` set when a
  // write failed.
  bool finish(long cases, std::string& why);
  long cases() const { return cases_; }
  size_t width() const { return width_; }
  // Reading in case order: the values of the case at `position` (system-missing when it was not
  // used). Positions must not decrease from call to call. False when the file cannot be read.
  bool valuesAt(int64_t position, double* out);

 private:
  size_t width_;
  ScratchFile file_;
  long cases_ = 0;
  bool reading_ = false, haveNext_ = false;
  int64_t nextPosition_ = -1;
  std::vector<double> next_;
};

// One new variable: its name, its label, and where its values are.
struct SavedVariable {
  std::string name;
  std::string label;
  std::shared_ptr<SavedValueStore> store;  // the command's values
  size_t column = 0;                       // this variable's place in the store's records
};

// Names and labels the new variables of the command's SAVE request, one per keyword (in the
// order given) and dependent variable. A name given by the user is taken when no variable has
// it; otherwise the keyword's root and the first free number from the dependent's position on
// ("PRE_1", "PRE_2", ...). `taken` holds the names already made by earlier commands of the run.
// (GMVSET)
std::vector<SavedVariable> nameSavedVariables(const Context& ctx, const ProcedureState& st,
                                              const std::vector<std::string>& taken);

// The saved values of one block of the work file: for each case, the requested keywords in the
// order given, for each keyword one value per dependent. `out` receives (cases in the block) x
// values-per-case numbers, case by case. (gmvcmp)
void computeSavedValues(const ProcedureState& st, const CaseBlock& cases, std::vector<double>& out);

// Starts the command's SAVE: names the variables in st.savedVariables, all system-missing.
// Only the process that writes files (ctx.writesFiles) keeps their values in a scratch file.
void beginSave(Context& ctx, ProcedureState& st);
// Computes the current group's values into st.savedVariables at the cases' file positions.
void saveGroupValues(ProcedureState& st, const CaseWorkFile& work);
// After the last group: prints "Variables Created or Modified" and hands the variables to the
// run (ctx.savedVariables); a note says where they go. Nothing is kept when the command failed.
// (gmvsav)
void finishSave(Context& ctx, ProcedureState& st);

}  // namespace qv
