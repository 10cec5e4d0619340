#pragma once
// The univariate F test shared by every test table, R squared, and the between-subjects table.
#include <string>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

struct UnivariateTest {
  double msh = kSysmis, mse = kSysmis, f = kSysmis, sig = kSysmis;
  double etaSquared = kSysmis, noncentrality = kSysmis, power = kSysmis;
};

// F test with partial eta squared, noncentrality and observed power (GMTUNV).
UnivariateTest GMTUNV(double alplev, double dfh, double dfe, double ssh, double sse);

// R squared and adjusted R squared of dependent d (0-based) (GMTRSQ).
void GMTRSQ(const ProcedureState& st, double n, double dfe, int d, double& rsq, double& adjRsq);

// Title of the sum-of-squares column for a type.
std::string ssTypeTitle(int sstype);

// Text of the alpha footnote: "Computed using alpha = .05".
std::string alphaFootnote(const ProcedureState& st);

// Label shown for a dependent variable: its name, or "name (label)"? The category key is the
// name; the label is the variable label when there is one.
std::string variableLabel(const Dictionary& dict, int var);

// The Tests of Between-Subjects Effects table.
void printBetweenSubjects(Context& ctx, const ProcedureState& st);

// Runs the printed analyses of a split group in their fixed order. `work` holds the group's
// valid cases, for the analyses that pass over them again.
void analysisOutput(Context& ctx, ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
