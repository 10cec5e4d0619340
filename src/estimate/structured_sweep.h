#pragma once
// Sweeping a run of design columns that have no cross-products with one another (the indicator
// columns of one factor or of one interaction: each case falls in at most one of them) in closed
// form, instead of pivot by pivot.
#include <vector>

#include "estimate/estimation.h"

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
