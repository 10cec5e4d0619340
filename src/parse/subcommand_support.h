#pragma once
// Small readers and look-ups shared by the optional-subcommand parsers: names against the
// variable lists and the design, signed numbers, fractions and parenthesised number lists.
#include <cmath>
#include <string>
#include <vector>

#include "parse/parse_context.h"

namespace qv::parse {

// A symbol that can be a variable name (not a keyword such as BY, WITH, ALL or TO, not a
// special character, number or string).
bool isVariableName(const syntax::Token& t);

// Factor or covariate number of a name symbol, -1 when it is not in that list.
int factorNumber(const ParseContext& pc, const syntax::Token& t);
int covariateNumber(const ParseContext& pc, const syntax::Token& t);

// Effect number of a row in the design, -1 when the design has no such effect.
int designEffect(const ProcedureState& st, const EffectRow& row);

// True when x is a whole number within [low, high]; false for NaN and infinities. Checks the
// range before any conversion, so the caller may then cast x to an integer type.
inline bool wholeNumberIn(double x, double low, double high) {
  return x >= low && x <= high && std::trunc(x) == x;
}

// True when the current symbol starts a number: a number, or a sign followed by a number.
bool atNumber(const ParseContext& pc);
// Reads a number with an optional leading sign; the current symbol must satisfy atNumber().
// `text` receives the number as typed, sign included.
double readSignedNumber(ParseContext& pc, std::string* text = nullptr);

// Reads a coefficient: a signed number, optionally followed by "/" and a positive number.
// A zero or negative denominator issues message 127 (command error) and returns false.
bool readFraction(ParseContext& pc, double& value);

// Number-list reader: "(" number ... ")" with the "(" current. Commas may separate the values.
// Issues 17 (a symbol that is not a number) or 18 (the subcommand ends before ")") as command
// errors, skips to the end of the subcommand and returns false. On success the symbol after ")"
// is current; `distinct` tells whether no two values are equal.
bool readNumberList(ParseContext& pc, std::vector<double>& values, bool& distinct);

// Two reals equal up to the real-comparison tolerance.
bool realsEqual(double a, double b);

// Where the keyword of the subcommand being read stands: the symbol after the nearest "/"
// before the current one (call it before a "/" of the subcommand's own has been read).
syntax::SourcePlace subcommandPlace(const ParseContext& pc);

// Issues a command error with the current symbol as parameter, skips to the end of the
// subcommand and returns false.
bool failHere(ParseContext& pc, int number);
// The same, after making the symbol at `pos` current so that it is the parameter.
bool failAt(ParseContext& pc, size_t pos, int number);
// The same, with `param` as the parameter (a signed number spans two symbols).
bool failWith(ParseContext& pc, int number, const std::string& param);

}  // namespace qv::parse
