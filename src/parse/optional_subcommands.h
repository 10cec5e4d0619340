#pragma once
// Parsers of the optional subcommands. Each is called with the first symbol after the keyword
// and its optional "=" current, and returns with the end of its subcommand current. Command
// errors are issued through the ParseContext and set the host error flag.
#include "parse/parse_context.h"

namespace qv {

// CONTRAST is parsed in a pre-pass, once per occurrence.
void parseContrast(ParseContext& pc);
void parsePlot(ParseContext& pc);
void parsePosthoc(ParseContext& pc);
void parseEmmeans(ParseContext& pc);
void parseSave(ParseContext& pc);
void parseTest(ParseContext& pc);
void parseLmatrix(ParseContext& pc);
void parseKmatrix(ParseContext& pc);

}  // namespace qv
