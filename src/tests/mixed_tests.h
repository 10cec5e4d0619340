#pragma once
// Tests of the effects of a model with random effects: each effect against its synthesised
// error term (one mean square, or a combination with Satterthwaite's df).
#include <string>
#include <utility>
#include <vector>

#include "driver/state.h"
#include "host/context.h"
#include "tests/univariate.h"

namespace qv {

enum MixedTestStatus {
  kMixedTestDone = 0,
  kMixedNoErrorDf = 1,    // the error term has no df, or its mean square is negative
  kMixedNoErrorTerm = 2,  // no error term could be formed
};

struct MixedTest {
  double dfh = 0.0, ssh = 0.0;
  double dfErr = kSysmis, ssErr = kSysmis, msErr = kSysmis;
  UnivariateTest test;  // F and its companions; msh is also set when no test is made
  int status = kMixedTestDone;
};

// Hypothesis and error quantities of effect e (0-based) against its error term (GMTMIX).
// Needs the error terms of GMXMDL.
MixedTest GMTMIX(const ProcedureState& st, int e);

// The text of the footnote that names the mean squares of effect e's error term, as
// "MS(b)" or "0.500 MS(a) + 0.500 MS(Error)", and each coefficient under its "MS(...)" name.
std::pair<std::string, std::vector<std::pair<std::string, double>>> errorTermComposition(
    const ProcedureState& st, const Dictionary& dict, int e);

// Writes the "Hypothesis" and "Error" rows of every effect into the between-subjects table
// (Source and Statistics dimensions given). Returns true when observed power was shown.
bool writeMixedEffectRows(out::TableBuilder& tb, int srcDim, int statDim, const ProcedureState& st,
                          const Dictionary& dict);

}  // namespace qv
