#pragma once
// The lack-of-fit test (PRINT=LOF): the residual split into pure error, the variation among
// cases with the same values on every factor and covariate of the design, and lack of fit.
#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Pure error (GMTPES): the cases grouped by their factor levels and covariate values (those of
// factors and covariates the design does not use set to 0); only cases with positive case and
// regression weights count.
struct PureError {
  long groups = 0;
  double df = 0.0;   // sum over groups of (group case weight - 1)
  num::Packed sscp;  // order ndepvr: sum of the groups' weighted SSCP about their means
};
PureError GMTPES(const ProcedureState& st, const CaseWorkFile& work);

// The "Lack of Fit Tests" table of the group.
void printLackOfFit(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
