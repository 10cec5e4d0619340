#pragma once
// The univariate F test that every test table shares (between-subjects effects, custom
// hypotheses, TEST hypotheses, contrasts of marginal means, lack of fit), and the effect-size
// cells of a test row. It depends on the command's state and the output only, so any analysis
// folder may use it without depending on another analysis.
#include "driver/state.h"
#include "host/output/document.h"

namespace qv {

// One F test: hypothesis and error mean squares, F, its significance, partial eta squared, the
// noncentrality parameter and the observed power at the command's alpha. Statistics the test
// cannot give are system-missing.
struct UnivariateTest {
  double msh = kSysmis, mse = kSysmis, f = kSysmis, sig = kSysmis;
  double etaSquared = kSysmis, noncentrality = kSysmis, power = kSysmis;
};

// F test with partial eta squared, noncentrality and observed power (GMTUNV).
UnivariateTest GMTUNV(double alplev, double dfh, double dfe, double ssh, double sse);

// Adds the Eta Squared, Noncentrality Parameter and Observed Power cells of a test row to the
// current category of `statDim`, as PRINT asks for them; true when the power cells were added
// (the table then carries the alpha footnote on its Observed Power column).
bool effectSizeCells(out::TableBuilder& tb, int statDim, const ProcedureState& st, const UnivariateTest& u);

}  // namespace qv
