#pragma once
// Labels and footnotes that the tables of several analyses share: the dependent variable's
// label, the sum-of-squares column title, the alpha footnote and the design footnote. They
// depend on the command's state only, so any analysis folder may use them without depending on
// another analysis.
#include <string>

#include "driver/state.h"
#include "host/data/dictionary.h"

namespace qv {

// Title of the sum-of-squares column for a type ("Type III Sum of Squares"); an unknown type
// gives the Type III title.
std::string ssTypeTitle(int sstype);

// The alpha level as the command gave it (ALPHA as typed), otherwise in the significance-level
// format (".05").
std::string alphaLevelText(const ProcedureState& st);

// Text of the alpha footnote: "Computed using alpha = .05" (the value as the command gave it).
std::string alphaFootnote(const ProcedureState& st);

// Label shown for a variable: its variable label, or its name when it has none.
std::string variableLabel(const Dictionary& dict, int var);

// The design footnote "Design: Intercept + a + b + a * b".
std::string designFootnote(const ProcedureState& st, const Dictionary& dict);

}  // namespace qv
