#pragma once
// The command front end (Parse): turns a QUORVEST command into the procedure state.
#include "parse/parse_context.h"

namespace qv {

// Parses the whole command: the variable list, the pre-passes (INTERCEPT and DESIGN, CONTRAST,
// RANDOM, REGWGT), every subcommand in command order, then the post-parse checks. The
// tokenizer must be on the command keyword. Failure is reported only through messages; a
// command error sets the error flag (pc.ctx.failed()) and ends the parse.
void parseCommand(ParseContext& pc);

// Whether the command may ask for the DESIGN matrix file (OUTFILE=DESIGN(...)), which holds a
// row for every case: read from its symbols alone, before any data are open. True for every
// spelling the parse accepts (abbreviated keywords included), and perhaps for a command the
// parse would refuse; false only when the command cannot ask for the file.
bool mayRequestDesignFile(const std::string& commandText);

}  // namespace qv
