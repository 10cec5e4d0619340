#pragma once
// Model estimation of one split group: weighted cross-products, the sweep solution, the
// estimability test and the hypothesis core shared by every test of the procedure.
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"
#include "host/numeric/ddouble.h"
#include "host/numeric/matrix.h"

namespace qv {

// The sweep state of the cross-product matrix: the matrix, its scale, the swept columns and
// the singularity tolerance. The matrix is carried in double-double: `m` holds the high parts
// (what a reader of m(i, j) gets is the correctly rounded value) and `lo` the low parts, so
// sweep it only through sweep(), GMENRE or restore() (never LTRSWE on m directly).
//
// Scale: a column carrying a covariate is judged against the weighted sum of squares of its
// covariate value about its mean within the column's cell (GroupState::columnCellSS), when that
// is not zero. Otherwise, with an intercept in the model, a column's scale is its weighted sum
// of squares about its weighted mean (the pivot it would have with only the intercept swept);
// without one, and for the intercept column itself, its raw sum of squares. A column k is
// accepted as a pivot when its current pivot exceeds eps * scale[k]. A column without a
// covariate (the intercept, a factor indicator) offered after covariate columns with a large
// constant part is also accepted when sweeping it would leave every swept column passing
// against its own scale (so such a covariate does not make the intercept or a factor level
// look aliased).
struct SweepState {
  num::Packed m;
  std::vector<double> scale;
  std::vector<char> swept;
  int dmncol = 0;
  int ndepvr = 0;
  std::vector<double> shift;  // dependent shifts; empty when none
  double eps = 1e-8;
  std::vector<double> lo;  // low parts of m (double-double)
  bool centred = false;    // scales taken about the mean (the model has an intercept)
  num::Packed m0;          // the unswept matrix (high and low parts), for restore()
  std::vector<double> lo0;
  // Per design column: no covariate, a covariate, or a covariate whose constant part dwarfs
  // its spread (raw sum of squares above 100 times its scale).
  static constexpr char kColumnPlain = 0, kColumnCovariate = 1, kColumnOffset = 2;
  std::vector<char> kind;
  // With fullMatrix false the cross-products between two unswept design columns (off the
  // diagonal) are not kept up to date: a column's row is worked out again from the unswept
  // matrix when the column is swept in (refreshRow). Every reader of the state looks only at
  // rows of swept columns, dependent rows and the diagonal, so the results are those of the full
  // sweep, while a sweep costs (current rows) x order instead of order^2 and restore() copies
  // only the dependent rows and the diagonal. `current` marks the rows kept up to date.
  bool fullMatrix = true;
  std::vector<char> current;
  // The fit's rank, for the hypothesis sweeps after it. A hypothesis sweeps the same columns in
  // another order, where a column the fit kept may have a pivot far below eps of its scale (a
  // high power swept after all the others) without being aliased: any set of columns the fit
  // kept is independent, so while every swept column is one the fit kept (sweptOutsideFit 0),
  // a kept column is accepted whenever its pivot is positive. A column the fit refused as only
  // nearly aliased, or whose cross-products are out of the range of the arithmetic (a covariate
  // near 1e300), is left out of every hypothesis (the fitted model leaves it out); one it found
  // exactly aliased is judged as before, and once such a column is swept (a reordering of
  // exactly aliased columns) every column is judged as before. Empty before the fit.
  std::vector<char> fitColumn;  // per design column: kept by the fit
  std::vector<char> leftOut;    // per design column: left out of the hypotheses (below)
  int sweptOutsideFit = 0;      // columns swept now that the fit did not keep
  // Rounding level of the swept values: the double-double unit 2^-104 times the largest growth
  // m0(k, k) / pivot(k) of a column k swept in since restore(). A column swept in with a tiny
  // pivot (the intercept after a covariate with a large constant part) leaves noise of that
  // relative size in the swept values; see roundingNoise().
  double roundingLevel = 0.0;

  // Residual SSCP of the actual dependent values (packed, order ndepvr) in the current state.
  num::Packed dependentBlock() const;
  // The same, high and low parts (lo packed like the result).
  num::Packed dependentBlock(std::vector<double>& lowParts) const;
  bool interceptSwept() const { return dmncol > 0 && swept[0]; }
  // Offers column k: swept in when not swept and its pivot passes the test above; swept out
  // when swept. Returns true when the matrix changed.
  bool sweep(int k);
  // Would column k be accepted as a pivot now? (false when swept already)
  bool accepts(int k) const;
  // Back to the unswept matrix, exactly (without fullMatrix: its current rows and diagonal).
  void restore();
  // Works out row k (an unswept column) of the current state from the unswept matrix and the
  // swept rows: a(k, j) = A(k, j) - sum over swept s of A(k, s) a(s, j).
  void refreshRow(size_t k);
  // Records the fit's decisions (call with the fit's columns swept): fitColumn from the swept
  // columns, leftOut from the list of nearly aliased columns and the columns out of range.
  void recordFit(const std::vector<size_t>& nearlyAliasedColumns);
  // The fit's verdict on offering column k now: 1 accept, 0 refuse, -1 judge by the pivot test.
  int fitVerdict(size_t k) const;
  // Is column k left out of the hypotheses (see leftOut)?
  bool outsideFitModel(size_t k) const { return k < leftOut.size() && leftOut[k]; }
  // Is v = m(i, j) (i swept, j not) rounding noise of an exact zero? Its size in the units of
  // the two columns, |v| sqrt(m0(i, i) / m0(j, j)), is then within kSweptValueRounding of the
  // rounding level.
  bool roundingNoise(size_t i, size_t j, double v) const;
  // Verdict on column k offered with the given pivot: 1 accept, 0 refuse (no scale, no positive
  // pivot, or the fit's verdict), -1 below eps of its scale (accepts() then tries the rule for
  // columns offered after offset covariates).
  int pivotVerdict(size_t k, double pivot) const;
  // Book-keeping of column k about to be swept in with the given pivot: sweptOutsideFit and the
  // rounding level.
  void noteSweptIn(size_t k, double pivot);
};
SweepState makeSweepState(const ProcedureState& st);

// Safety factor over the rounding level of the swept values (SweepState::roundingLevel) below
// which a swept value is read as an exact zero: the noise of several sweeps adds up.
constexpr double kSweptValueRounding = 1.0e4;

// Pivot ratio (pivot / scale) above which a column refused at the tolerance is taken as not
// exactly aliased, only nearly: below it the ratio is rounding noise of an exact dependence.
constexpr double kExactAliasRatio = 1.0e-12;

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
// The same, reading every swept value v with |v| <= cleanBelow as 0.
num::Mat effectLRows(const SweepState& ss, int colfst, int collst, std::vector<char>* hypCols,
                     double cleanBelow);

// Null-space basis of the design (GMEOCG): one vector per redundant column.
num::Mat GMEOCG(const GroupState& g);

// Is the vector L (dmncol entries) estimable (QESTMB)?
bool QESTMB(const GroupState& g, const double* l, double eps);

// Hypothesis SSCP (Lb)'(LGL')^-1(Lb) of an L matrix (the L core), packed, order ndepvr.
num::Packed hypothesisSSCP(const GroupState& g, const num::Mat& l, double tol, int ndepvr);

// u_d' M^-1 u_e for the dependents d, e (packed, order lb.size()), through the Cholesky factor of
// M with tolerance (as LTRCHD): a row whose pivot is at or below tol times its diagonal is left
// out, as a zero row. M is packed of order m in double-double and is overwritten; lb holds u_d,
// m entries per dependent. The core of hypothesisSSCP, with M = L G L' and u_d = L b_d.
num::Packed choleskyQuadraticForm(std::vector<num::DD>& mm, size_t m,
                                  const std::vector<std::vector<num::DD>>& lb, double tol);

// Whole estimation of a group: accumulation, solution and the sums of squares of the chosen
// type (and the contrast bases when contrasts are requested).
void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work);
// How the sweep state is kept: `full` carries the whole matrix through every sweep (the
// reference), `swept` only the rows of swept columns, the dependents and the diagonal
// (SweepState::fullMatrix false), `automatic` chooses by the number of design columns.
// `cells` fits from the design cells' means (estimate/cell_means_fit.h; the design must be one
// that fit serves), `automatic` takes it for designs of kCellMeansColumns columns or more.
enum class FitPath { automatic, full, swept, cells };
void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work, FitPath path);
// Design columns from which the automatic choice keeps only the swept rows.
constexpr int kSweptRowsColumns = 64;
// Design columns from which the automatic choice fits a design the cell-means fit serves from its
// cells: beyond them the dense matrices of order dmncol cost more than the cells' work.
constexpr int kCellMeansColumns = 2048;

}  // namespace qv
