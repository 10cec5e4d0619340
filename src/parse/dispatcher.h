#pragma once
// The command front end (Parse): turns a QUORVEST command into the procedure state.
#include "parse/parse_context.h"

namespace qv {

// Parses the whole command: the variable list, the pre-passes (INTERCEPT and DESIGN, CONTRAST,
// RANDOM, REGWGT), every subcommand in command order, then the post-parse checks. The
// tokenizer must be on the command keyword. Failure is reported only through messages; a
// command error sets the error flag (pc.ctx.failed()) and ends the parse.
void parseCommand(ParseContext& pc);

}  // namespace qv
