#pragma once
// The variable-list reader (PRVRLT): reads variable names, with "a TO d" ranges in dictionary
// order, from the current symbol of a command.
#include <string>
#include <vector>

#include "host/context.h"
#include "host/data/dictionary.h"
#include "host/syntax/tokenizer.h"

namespace qv::syntax {

struct VarListOptions {
  // When set, string variables are refused with a message naming `role`.
  bool numericOnly = false;
  // What the list holds, for messages: "dependent variables", "factors", "covariates".
  std::string role = "variables";
};

// Reads variable names starting at the current symbol and stops, leaving it current, at BY,
// WITH, "/", the end of the command or any symbol that is not a variable name. Appends the
// dictionary indexes to `out` in the order given (ranges expanded; duplicates kept).
// Returns false after a command error when the list is empty, a name is unknown (the message
// suggests the nearest names), a range is malformed or a variable has the wrong type.
bool readVariableList(Context& ctx, Tokenizer& tok, const Dictionary& dict, std::vector<int>& out,
                      const VarListOptions& opt = {});

// How a symbol is shown in a message: its text in quotes, or "the end of the command".
std::string describeSymbol(const Token& t);

}  // namespace qv::syntax
