#pragma once
// The coefficient rows of estimated marginal means: for each cell of a table over some of the
// factors, the row L (over the design columns) whose product with the parameter vector is the
// model's prediction for that cell averaged with equal weight over the levels of the other
// factors, covariates held at given values. Rows are sparse: a cell touches only the columns
// of the effects' cells that its average reaches. Also the sparse products with the estimates
// and the generalised inverse, and the estimability test, that the tables built on these rows
// need. Profile plots use the same builder.
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/numeric/matrix.h"

namespace qv {

// A row over the design columns holding only its non-zero entries, columns increasing.
struct SparseRow {
  std::vector<int> col;  // 0-based design columns
  std::vector<double> val;
  bool empty() const { return col.empty(); }
};

// Status of a table cell's row.
enum class CellStatus : int {
  Ordinary = 0,  // every combination of the other factors was averaged
  Modified = 1,  // some combinations were never observed and were left out of the average
  NotEstimable = -1,
  Absent = -2,  // no combination of the other factors is present: the row is empty
};

inline bool isEstimable(CellStatus s) { return s == CellStatus::Ordinary || s == CellStatus::Modified; }

// The cells of a table: every level combination of its factors, the last factor varying
// fastest. levels holds cells() x factors 1-based levels.
struct TableCells {
  std::vector<int> factors;
  std::vector<int> levels;
  long count = 1;
  const int* levelsOf(long cell) const { return levels.data() + cell * static_cast<long>(factors.size()); }
};

// Lays out the cells of a table over `factors` (empty: one cell, the grand mean).
TableCells tableCells(const GroupState& g, const std::vector<int>& factors);

// Weighted means of the covariates over the valid cases (case x regression weight, cases with
// both weights > 0) (GMMCVM). kSysmis for a covariate when no case has positive weight.
std::vector<double> covariateMeans(const ProcedureState& st, const CaseWorkFile& work);

// Marginal-means L builder. For each cell of `cells`, its row is the average with equal weight
// over every level combination u of the factors not in the table of the design row of the
// full combination (cell, u): per effect the column of the effect's cell receives 1, or for an
// effect with covariates the product of `covValues` raised to their powers in the effect.
// A combination u for which some effect's cell has no column (never observed) is left out; the
// row is divided by the number kept. Factors that enter no effect do not change the average.
// Statuses as in CellStatus; estimability is tested against the fit with tolerance `eps`.
// Returns false, with `rows` and `status` empty, when the table has too many cells: the
// product of the other factors' level counts exceeds 1e50, or the combinations that have to be
// visited one by one (designs with unobserved cells) exceed a work limit.
bool buildMarginalRows(const ProcedureState& st, const TableCells& cells,
                       const std::vector<double>& covValues, double eps, std::vector<SparseRow>& rows,
                       std::vector<CellStatus>& status);

// a - b.
SparseRow difference(const SparseRow& a, const SparseRow& b);
// l . b_d, b_d column d of the parameter estimates.
double dotEstimates(const GroupState& g, const SparseRow& l, int d);
// l G m', G the generalised inverse.
double quadraticForm(const GroupState& g, const SparseRow& l, const SparseRow& m);
// Where each design column sits in the fit's estimable-function basis, for the sparse
// estimability test: per column its row of estBasis (-1 for a redundant column), and the
// redundant columns.
struct EstimabilityIndex {
  std::vector<int> basisRow;
  std::vector<int> redundant;
};
EstimabilityIndex estimabilityIndex(const GroupState& g);
// Is l estimable (in the row space of the design)? The same test as QESTMB: the residual of
// l / |l| from that space has norm <= eps. Costs (non-zeros of l) x (redundant columns).
bool sparseEstimable(const GroupState& g, const EstimabilityIndex& ix, const SparseRow& l, double eps);
// Hypothesis SSCP (Lb)'(L G L')^- (Lb) of sparse rows (the L core with tolerance `tol`),
// packed of order ndepvr; zero when no row survives the tolerance.
num::Packed sparseHypothesisSSCP(const GroupState& g, const std::vector<SparseRow>& rows, double tol,
                                 int ndepvr);

}  // namespace qv
