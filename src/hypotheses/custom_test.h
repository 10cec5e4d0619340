#pragma once
// TEST hypotheses: one design effect against an error term of the user's choosing, either a
// linear combination of effect mean squares or a given error mean square with its df.
#include <optional>
#include <string>

#include "driver/state.h"
#include "host/context.h"

namespace qv {

// Results of one TEST (GMTELC). Statistics the test cannot give are system-missing.
struct CustomTestResult {
  double dfh = kSysmis, dfe = kSysmis, ssh = kSysmis, sse = kSysmis, msh = kSysmis, mse = kSysmis;
  double f = kSysmis, sig = kSysmis, etaSquared = kSysmis, noncentrality = kSysmis, power = kSysmis;
  // 0 good, 1 the combined error mean square is negative, 2 no error degrees of freedom.
  int status = 0;
};

// Effect `t.ieffh` against the error term of `t`. Error mean squares MS_e = SS_e / df_e of the
// terms with df > 0 are combined with their coefficients; without DF the error df are
// Satterthwaite's MSe^2 / sum (c MS)^2 / df. A given value is an error mean square on the
// given df (its sum of squares is value x df).
CustomTestResult GMTELC(const ProcedureState& st, const TestRequest& t);

// The error term as the user wrote it: "2 a * b - c", or "0" when every coefficient is 0.
std::string errorTermDescription(const ProcedureState& st, const Dictionary& dict, const TestRequest& t);

// The entries of TEST i (0-based) in the Custom Hypothesis Tests Index.
struct TestIndexItems {
  std::string hypothesisTerm, errorTerm;
  std::optional<double> errorDf;
};
TestIndexItems testIndexItems(const ProcedureState& st, const Dictionary& dict, int i);

// Every TEST of the group, each under its heading, numbered first among custom hypotheses.
void runTestHypotheses(Context& ctx, const ProcedureState& st, bool several);

}  // namespace qv
