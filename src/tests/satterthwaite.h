#pragma once
// A linear combination of independent mean squares used as an error term, with Satterthwaite's
// approximate degrees of freedom: for MS = sum c_i MS_i, df = MS^2 / sum((c_i MS_i)^2 / df_i).
// Shared by the mixed-model tests and by any test against a synthesised error term.
#include <vector>

#include "host/sysmis.h"

namespace qv {

// One mean square of the combination: coefficient, sum of squares and degrees of freedom.
struct MeanSquareTerm {
  double coefficient = 0.0;
  double ss = 0.0;
  double df = 0.0;
};

enum class CombinedStatus {
  Ok,         // mean square and df computed
  NoErrorDf,  // a term with a non-zero coefficient has no df, every term is zero, or the sum is < 0
};

struct CombinedMeanSquare {
  double ms = kSysmis;  // sum c_i SS_i / df_i; 0 when every term is zero, missing when negative
  double df = kSysmis;  // Satterthwaite's degrees of freedom
  double ss = kSysmis;  // ms * df
  CombinedStatus status = CombinedStatus::NoErrorDf;
};

// Combines the terms. Terms with coefficient 0 are ignored. A term with a non-zero coefficient
// and df <= 0 leaves the combination without degrees of freedom (its mean square is undefined,
// so leaving it out would change the expectation). A negative combined mean square has no df.
CombinedMeanSquare combineMeanSquares(const std::vector<MeanSquareTerm>& terms);

}  // namespace qv
