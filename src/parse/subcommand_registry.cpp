#include "parse/subcommand_registry.h"

#include <array>

#include "parse/optional_subcommands.h"
#include "parse/subcommands.h"

namespace qv {

namespace {

// Wraps a parser that reports failure only through the host error flag.
template <void (*Parse)(ParseContext&)>
bool flagged(ParseContext& pc) {
  Parse(pc);
  return !pc.ctx.failed();
}

// CONTRAST: a failed contrast is dropped with its message; the pre-pass goes on.
bool contrastOccurrence(ParseContext& pc) {
  parseContrast(pc);
  return true;
}

using P = PrePass;

const std::array<SubcommandSpec, 17> kSubcommands{{
    // keyword, repeatable, pre-pass, pre-pass order, parser, stand-in when absent
    {"RANDOM", true, P::EveryOccurrence, 4, parseRandom, nullptr},
    {"REGWGT", false, P::LastOccurrence, 5, parseRegwgt, nullptr},
    {"METHOD", false, P::None, 0, parseMethod, nullptr},
    {"INTERCEP", false, P::EveryOccurrence, 1, parseIntercept, nullptr},
    {"MISSING", false, P::None, 0, flagged<parseMissing>, nullptr},
    {"CRITERIA", true, P::None, 0, parseCriteria, nullptr},
    {"PRINT", false, P::None, 0, parsePrint, nullptr},
    {"PLOT", true, P::None, 0, flagged<parsePlot>, nullptr},
    {"TEST", true, P::None, 0, flagged<parseTest>, nullptr},
    {"LMATRIX", true, P::None, 0, flagged<parseLmatrix>, nullptr},
    {"CONTRAST", true, P::EveryOccurrence, 3, contrastOccurrence, nullptr},
    {"KMATRIX", false, P::None, 0, flagged<parseKmatrix>, nullptr},
    {"POSTHOC", true, P::None, 0, flagged<parsePosthoc>, nullptr},
    {"EMMEANS", true, P::None, 0, flagged<parseEmmeans>, nullptr},
    {"SAVE", false, P::None, 0, flagged<parseSave>, nullptr},
    {"OUTFILE", false, P::None, 0, parseOutfile, nullptr},
    {"DESIGN", false, P::LastOccurrence, 2, parseDesign, buildDefaultDesign},
}};

}  // namespace

std::span<const SubcommandSpec> subcommandSpecs() { return kSubcommands; }

const std::vector<std::string>& subcommandKeywords() {
  static const std::vector<std::string> kKeywords = [] {
    std::vector<std::string> k;
    for (const SubcommandSpec& s : kSubcommands) k.emplace_back(s.keyword);
    return k;
  }();
  return kKeywords;
}

}  // namespace qv
