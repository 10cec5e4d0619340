#pragma once
// The fit of a model of factors alone from its design cells' means.
//
// When the design holds an effect with a column of its own in every observed design cell (the
// factor of a one-way design, the highest interaction of a full factorial), the model spans
// every cell's indicator: its fitted values are the cells' weighted means mu_c, its rank is the
// number of cells, and the residual sum of squares of any model made of some of its effects is
// the within-cell sum of squares plus the weighted residual sum of squares of the cell means on
// those effects' columns. So every number the tests of the effects and the parameter estimates
// need follows from the cells' weights N_c, sums and within-cell cross-products, gathered in one
// pass, without the matrices of order dmncol (dmncol: the number of design columns) that the
// sweep of the whole design keeps.
//
// Types I and II: an effect's sum of squares is the drop in the residual SSCP between two
// models made of some of the effects; a model that holds the saturating effect leaves the
// within-cell SSCP, any other is swept over its own columns (its cross-products are sums of the
// cells' weights and sums).
// Types III and IV, on a complete crossed factorial (every combination of the factors' levels
// observed, the effects every subset of the factors): the hypothesis of effect e is that the
// e-interaction contrasts of the unweighted cell means are 0, M mu = 0 with
// M = (x) over e's factors of [I | -1] (each level against the last) (x) over the other factors
// of 1'/L_f. Its sum of squares is (M mu)'(M N^-1 M')^-1 (M mu), of order df_e; for the
// saturating effect, whose df is nearly the number of cells, it is the residual of the model of
// the other effects instead (the null space of M is what they span).
// Parameter estimates, on the same complete factorial with each effect after its own subsets:
// the columns kept are those at no factor's last level, and the estimate of column (S, l) is
// sum over T within S of (-1)^|S \ T| mu(l on T, the last level elsewhere), with the diagonal of
// the generalised inverse the sum of 1 / N over the same cells.
#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Does the cell-means fit serve this command on the current group (design laid out)? It needs
// factors alone, an intercept, no random effect, an effect with a column of its own in every
// design cell and no request beyond descriptives, homogeneity, parameters, effect sizes and
// observed power. Types III and IV, parameter estimates and Levene's test also need the complete
// crossed factorial above. The models swept and the hypotheses of Types III and IV must stay
// small (kCellMeansSubModelColumns, kCellMeansHypothesisRows).
bool cellMeansFitServes(const ProcedureState& st);

// Columns beyond which a sub-model is not swept (its matrix would grow as their square).
constexpr int kCellMeansSubModelColumns = 4096;
// Degrees of freedom beyond which a Type III or IV hypothesis of an effect other than the
// saturating one is not formed (its matrix M N^-1 M' would grow as their square).
constexpr int kCellMeansHypothesisRows = 2048;

// Fits the group's model from its cells (the design must be one cellMeansFitServes accepts):
// fills the fit's estimates, error and total SSCPs and every effect's hypothesis df and SSCP
// in the chosen type. The matrices of order dmncol stay empty (crossProducts, ginverse,
// estBasis, nullBasis, the hypotheses' L and the low parts); ginverseDiagonal holds the
// generalised inverse's diagonal. Returns false with message 151 when a cell of a complete
// factorial has no weight (the closed forms above then do not hold).
bool fitCellMeans(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
