#pragma once
// The parsers of the variable list and of the subcommands owned by the front end. Each
// subcommand parser starts on the first symbol after the keyword and its optional "=" and
// returns with the end of its subcommand ("/" or the end of the command) current; on a
// command error it issues the message, skips to the end of the subcommand and reports failure
// (through its result or the host error flag).
#include "parse/parse_context.h"

namespace qv {

// Dependent list [BY factors] [WITH covariates], up to the first "/" or the end.
bool parseVariableList(ParseContext& pc);

// The last non-empty DESIGN subcommand.
bool parseDesign(ParseContext& pc);
// The design used when DESIGN is absent or empty: intercept, covariates, then every
// combination of factors by increasing size.
bool buildDefaultDesign(ParseContext& pc);
// One RANDOM subcommand.
bool parseRandom(ParseContext& pc);

bool parseIntercept(ParseContext& pc);
bool parseRegwgt(ParseContext& pc);
bool parseMethod(ParseContext& pc);
void parseMissing(ParseContext& pc);
bool parseCriteria(ParseContext& pc);
bool parsePrint(ParseContext& pc);
bool parseOutfile(ParseContext& pc);
// The keywords of OUTFILE, in the order of their numbers: COVB, CORB, EFFECT, DESIGN.
const std::vector<std::string>& outfileKeywords();

// Checks and derived settings once the whole command has been read.
void postParseChecks(ParseContext& pc);

}  // namespace qv
