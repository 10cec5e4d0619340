#pragma once
// The parsers of the variable list and of the subcommands owned by the front end. Each
// subcommand parser starts on the first symbol after the keyword and its optional "=" and
// returns with the end of its subcommand ("/" or the end of the command) current; on a
// command error it issues the message, skips to the end of the subcommand and reports failure
// (through its result or the host error flag).
#include "parse/parse_context.h"

namespace qv {

// Subcommand numbers: positions in the subcommand table (1-based, as in subcommandSeen + 1).
enum Subcommand : int {
  kSubRandom = 1,
  kSubRegwgt,
  kSubMethod,
  kSubIntercept,
  kSubMissing,
  kSubCriteria,
  kSubPrint,
  kSubPlot,
  kSubTest,
  kSubLmatrix,
  kSubContrast,
  kSubKmatrix,
  kSubPosthoc,
  kSubEmmeans,
  kSubSave,
  kSubOutfile,
  kSubDesign,
};

// The 8-character subcommand keywords in table order.
const std::vector<std::string>& subcommandTable();
bool subcommandRepeatable(int sub);

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
void parseMethod(ParseContext& pc);
void parseMissing(ParseContext& pc);
void parseCriteria(ParseContext& pc);
void parsePrint(ParseContext& pc);
void parseOutfile(ParseContext& pc);

// Checks and derived settings once the whole command has been read.
void postParseChecks(ParseContext& pc);

}  // namespace qv
