#pragma once
// The OUTFILE matrix data files: the parameter estimates with their covariance or correlation
// matrix (COVB or CORB), the design matrix (DESIGN) and the tests of the between-subjects
// effects (EFFECT). Each is a CSV file with a JSON dictionary beside it (variable labels, value
// labels of the row-type and source columns, the file label). The files are checked and opened
// under temporary names before any case is read, filled group by group, and renamed into place
// only when the command succeeds: a failed command leaves no file and an older one unchanged.
#include <memory>
#include <string>
#include <vector>

namespace qv {

struct Context;
struct ProcedureState;
struct CaseWorkFile;

class MatrixFiles {
 public:
  MatrixFiles();
  ~MatrixFiles();  // removes whatever was not renamed into place
  MatrixFiles(const MatrixFiles&) = delete;
  MatrixFiles& operator=(const MatrixFiles&) = delete;

  // True when the command asks for any matrix file.
  static bool requested(const ProcedureState& st);

  // Checks and opens the requested files (temporary names beside the targets). A target that
  // cannot be written, or that names an input, another output or another matrix file (links
  // resolved), is an error that also sets ctx.outputFileFailed; a fixed variable name taken by
  // a split variable gives message 92. False on error.
  bool open(Context& ctx, const ProcedureState& st);

  // True when the DESIGN file needs the valid cases' positions in the active data.
  bool needsCasePositions() const;

  // The rows of the group just fitted: parameter rows, the valid cases' design rows (kept in a
  // scratch file for the final pass) and the effect rows. `splitKeys` are the group's split
  // values in key form. False on error (message issued).
  bool addGroup(Context& ctx, const ProcedureState& st, const CaseWorkFile& work,
                const std::vector<std::string>& splitKeys);

  // After the last group, when the command succeeded: writes the DESIGN rows in a final pass
  // over the active data, writes every file and its dictionary, renames them into place and
  // announces them under "Files Saved". When the command failed, a note says which files were
  // not written.
  void finish(Context& ctx, const ProcedureState& st);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv
