#pragma once
// The table of the command's subcommands: one row per subcommand, saying how it is matched,
// whether it may be repeated, whether it is read before the others and which parser reads it.
// The dispatcher (parse/dispatcher.cpp) works from this table alone, so a new subcommand is one
// row here and its parser.
#include <span>
#include <string>
#include <vector>

#include "parse/parse_context.h"

namespace qv {

// When a subcommand is read.
enum class PrePass {
  None,             // in the main pass, in command order
  EveryOccurrence,  // before the main pass, every non-empty occurrence in command order
  LastOccurrence,   // before the main pass, only the last non-empty occurrence
};

struct SubcommandSpec {
  const char* keyword;  // as matched: the first 8 characters, abbreviations to 3 allowed
  bool repeatable;      // may be given more than once; else a repeat warns (message 4) and the last wins
  PrePass prePass;
  // Position among the pre-passes (1 first); 0 for a main-pass subcommand. The model must be
  // known before the requests are read: INTERCEPT, DESIGN, CONTRAST, RANDOM, then REGWGT.
  int prePassOrder;
  // Reads one occurrence, with the first symbol after the keyword and its optional "=" current;
  // returns false when it failed (having issued the message).
  bool (*parse)(ParseContext& pc);
  // For a LastOccurrence subcommand: what stands in when it is absent (null: nothing).
  bool (*whenAbsent)(ParseContext& pc);
};

// Every subcommand, in keyword-matching order.
std::span<const SubcommandSpec> subcommandSpecs();

// The keywords of subcommandSpecs() in the same order, for syntax::matchKeyword (1-based
// result, 0 = no match).
const std::vector<std::string>& subcommandKeywords();

}  // namespace qv
