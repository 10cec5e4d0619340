#pragma once
// Model estimation of one split group: weighted cross-products, the sweep solution, the
// estimability test and the hypothesis core shared by every test of the procedure.
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "host/numeric/matrix.h"

namespace qv {

// The sweep state of the cross-product matrix: the matrix, its scale (the unswept diagonal),
// the swept columns and the singularity tolerance.
struct SweepState {
  num::Packed m;
  std::vector<double> scale;
  std::vector<char> swept;
  int dmncol = 0;
  int ndepvr = 0;
  std::vector<double> shift;  // dependent shifts; empty when none
  double eps = 1e-8;

  // Residual SSCP of the actual dependent values (packed, order ndepvr) in the current state.
  num::Packed dependentBlock() const;
  bool interceptSwept() const { return dmncol > 0 && swept[0]; }
};

SweepState makeSweepState(const ProcedureState& st);

// Accumulates the cross-product matrix, the dependent means and total sums of squares (GMEINI).
void GMEINI(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

// Sweep solution (GMESTA): redundant columns, parameter estimates, generalised inverse,
// estimable-function basis, error SSCP from a second pass. Leaves `ss` unswept.
void GMESTA(Context& ctx, ProcedureState& st, const CaseWorkFile& work, SweepState& ss);

// Sweeps columns colfst..collst (0-based, inclusive) in or out (GMENRE); returns the number of
// columns of the range that are swept afterwards.
int GMENRE(SweepState& ss, int colfst, int collst, bool sweepIn);

// Effect L rows: one row per swept column i of the range, taken from the current swept matrix:
// 1 at i, 0 at every swept column, the swept values at unswept columns; cleaned.
// Marks the columns in `hypCols` when given.
num::Mat effectLRows(const SweepState& ss, int colfst, int collst, std::vector<char>* hypCols);

// Null-space basis of the design (GMEOCG): one vector per redundant column.
num::Mat GMEOCG(const GroupState& g);

// Is the vector L (dmncol entries) estimable (QESTMB)?
bool QESTMB(const GroupState& g, const double* l, double eps);

// Hypothesis SSCP (Lb)'(LGL')^-1(Lb) of an L matrix (the L core), packed, order ndepvr.
num::Packed hypothesisSSCP(const GroupState& g, const num::Mat& l, double tol, int ndepvr);

// Whole estimation of a group: accumulation, solution and the sums of squares of the chosen
// type (and the contrast bases when contrasts are requested).
void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
