#pragma once
// Random effects: the expected mean square of every effect as a combination of the variance
// components of the random effects and the error variance (plus quadratic forms in fixed
// effects), the error term of every effect synthesised from the mean squares, and the Expected
// Mean Squares table.
#include <vector>

#include "driver/state.h"
#include "host/context.h"
#include "host/numeric/matrix.h"

namespace qv {

// How the error term of an effect was found (GroupState::errorTermStatus).
enum ErrorTermStatus {
  kErrorTermCombination = 0,  // an exact linear combination of mean squares
  kErrorTermSingle = 1,       // one mean square (a random effect's or the residual's)
  kErrorTermDeficient = 2,    // the mean squares are linearly dependent; one combination is kept
  kErrorTermNone = 3,         // no combination of mean squares has the required expectation
};

// Tolerance of the expected-mean-square and error-term computations.
constexpr double kRandomEffectsEps = 1.0e-8;

// Position of each effect among the random effects (model order), -1 for a fixed effect.
std::vector<int> randomPositions(const ProcedureState& st);

// Expected mean square of effect e (GMXEMS) from its hypothesis L and the generalised inverse:
// the coefficient of random effect k is trace((LGL')^-1 L_k L_k') / m, L_k the columns of k and
// m the effect's df; the error coefficient is 1. `coef` receives neffrn + 1 values (all 0 when
// the effect has no df); `quadratic` (neffds flags) marks the fixed effects with a non-zero
// part of L.
void GMXEMS(const ProcedureState& st, int e, double* coef, std::vector<char>& quadratic);

// The error term of one effect (GMXFET).
struct ErrorTerm {
  std::vector<double> coef;  // neffrn + 1: per random effect in model order, then the residual
  int status = kErrorTermNone;
};

// Solves for the combination of mean squares whose expectation equals the expectation of
// effect e without e's own component. `ems` holds the expected-mean-square rows of all effects
// (neffds x (neffrn + 1)), `position` the effect's place among the random effects (-1 fixed);
// an effect without df has no error term.
ErrorTerm GMXFET(const num::Mat& ems, const std::vector<int>& position, int e, bool hasDf);

// Expected mean squares and error terms of every effect of the group (GMXMDL). Requires one
// dependent variable and at least one random effect.
void GMXMDL(ProcedureState& st);

// The Expected Mean Squares table.
void printExpectedMeanSquares(Context& ctx, const ProcedureState& st);

}  // namespace qv
