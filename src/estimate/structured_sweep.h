#pragma once
// Sweeping a run of design columns that have no cross-products with one another (the indicator
// columns of one factor or of one interaction: each case falls in at most one of them) in closed
// form, instead of pivot by pivot.
#include <vector>

#include "estimate/estimation.h"
#include "host/numeric/ddouble.h"

namespace qv {

// Sweeps columns first..last (0-based, inclusive) in, with the same outcome as offering each of
// them in turn to SweepState::sweep: the same columns are accepted and the kept rows hold the
// same values up to rounding. Applies when the state keeps only its swept rows (fullMatrix
// false), none of the columns is swept yet, their unswept cross-products with one another are
// all zero, no swept or offered column is a covariate with a large constant part (whose
// acceptance is not the plain pivot test), and there are not many more swept columns than
// accepted ones (the closed form costs (swept columns) x (columns of the run) per column of the
// matrix). Returns the number of columns of the run that are swept afterwards, or -1 with the
// state untouched when it does not apply. `pivots`, when given, receives per column of the
// run the pivot it had when it was offered.
int sweepIndicatorRun(SweepState& ss, int first, int last, std::vector<double>* pivots);

// The sweeps of a model of factors alone, worked in the space of its observed design cells.
// Every design column is then the indicator of a set of design cells (each cell in exactly one
// column of each effect), and with Z the cells x columns incidence and N the diagonal of the
// cells' weights the cross-products are A = Z'NZ. Sweeping a set S of columns leaves
//   the pivot of column j:   a(j, j) = Z_j' R Z_j,  R = N - N Z_S (A_SS)^-1 Z_S' N,
//   a swept row i:           a(i, j) = ((A_SS)^-1 Z_S' N Z_j)_i,
// so a column is offered at the cost of (its cells)^2, a pivot is swept in at (cells)^2 by
// the rank-one update of R, and a swept row costs (cells) x (effects), whatever the number of
// columns. Acceptance follows SweepState::pivotVerdict column by column as the pivot-by-pivot
// sweep does (a model without covariates has no offset column), with the same book-keeping
// (swept flags, sweptOutsideFit, the rounding level); everything is carried in double-double.
// The state's matrix itself is not swept: only the rows asked for are written into it.
class CellSpaceSweep {
 public:
  // Prepares the cell-space form; false when it does not apply or would not pay: the state
  // keeps the whole matrix, an effect carries a covariate, or the design cells are not far
  // fewer than the design columns.
  bool prepare(const ProcedureState& st, const SweepState& ss);
  // Back to the unswept state (SweepState::restore and R = N).
  void restore(SweepState& ss);
  // Offers columns first..last (0-based, inclusive) in turn, as GMENRE does; returns the number
  // of them swept afterwards.
  int sweepIn(SweepState& ss, int first, int last);
  // min(cap, largest absolute diagonal a(j, j) over the design columns) in the current state.
  double diagonalMax(const SweepState& ss, double cap);
  // Writes the rows of the swept columns among first..last into ss.m (high and low parts) over
  // the design columns, as the sweep would leave them.
  void writeRows(SweepState& ss, int first, int last);

 private:
  // Z_j' R Z_j: the pivot column j would have if swept in now (the sum of R over its cells).
  num::DD pivotOf(size_t j) const;
  size_t q_ = 0;                   // observed design cells
  std::vector<num::DD> weight_;    // N, per cell
  std::vector<size_t> cellStart_;  // per design column, its cells: cells_[cellStart_[j] ..
  std::vector<size_t> cells_;      //   cellStart_[j + 1])
  std::vector<num::DD> r_;         // R, q x q by rows
  std::vector<size_t> order_;      // the swept columns, in the order swept in
  std::vector<num::DD> inverse_;   // (A_SS)^-1 in that order, s x s; empty when out of date
  std::vector<num::DD> u_;         // scratch: R Z_k
  void invert(const SweepState& ss);
};

}  // namespace qv

namespace qv {

// The hypothesis SSCP (Lb)'(LGL')^-1(Lb) of hypothesisSSCP for an L whose every row, on the
// non-redundant columns, is 1 at a column of its own and 0 elsewhere, those columns E having no
// cross-products with one another (one factor's indicators). Then L G L' = G_EE, and with F the
// other non-redundant columns and D = A_EE (A the cross-products), G_EE = D^-1 + V P V' with
// V = D^-1 A_EF and P = (A_FF - A_FE D^-1 A_EF)^-1: the Cholesky factor with tolerance and the
// forward substitution run as rank-|F| updates in (rows of L) x |F|^2 instead of (rows of L)^3,
// with the same zero pivots. Returns false, leaving `result` alone, when L or the design lacks
// that structure or F is wider than E (the caller then forms L G L' densely).
bool hypothesisSSCPUnitRows(const GroupState& g, const num::Mat& l, double tol, int ndepvr,
                            num::Packed& result);

}  // namespace qv
