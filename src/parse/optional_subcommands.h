#pragma once
// Parsers of the optional subcommands. Each is called with the first symbol after the keyword
// and its optional "=" current, and returns with the end of its subcommand current. Command
// errors are issued through the ParseContext and set the host error flag.
#include <array>

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

// Kinds of parsed requests, each read by its own analysis.
enum class RequestKind : int {
  Contrast,
  Posthoc,
  Emmeans,
  ProfilePlot,
  SpreadLevelPlot,
  ResidualPlot,
  Save,
  Lmatrix,
  Kmatrix,
  Test,
  Outfile,
};
inline constexpr int kRequestKindCount = 11;

// Per request kind (indexed by RequestKind), whether an analysis consumes it.
using RequestConsumption = std::array<bool, kRequestKindCount>;

// The analyses that exist in this build (see unconsumed_requests.cpp: set a kind to true when
// its analysis arrives).
RequestConsumption consumedRequests();

// After a successful parse: one note per kind of request that was parsed but that no analysis
// consumes yet, so that no output is not mistaken for a result.
void noteUnconsumedRequests(ParseContext& pc);
void noteUnconsumedRequests(ParseContext& pc, const RequestConsumption& consumed);

}  // namespace qv
