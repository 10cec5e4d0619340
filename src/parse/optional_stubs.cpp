// Provisional parsers: the subcommand is skipped with a warning saying it is not supported yet.
#include "parse/optional_subcommands.h"

namespace qv {

namespace {
void notYet(ParseContext& pc, const char* name) {
  pc.ctx.note(std::string("The ") + name + " subcommand is not supported yet and was ignored.",
              out::Severity::Warning, {}, out::Phase::Command);
  pc.tok.skipToEndOfSubcommand();
}
}  // namespace

void parseContrast(ParseContext& pc) { notYet(pc, "CONTRAST"); }
void parsePlot(ParseContext& pc) { notYet(pc, "PLOT"); }
void parsePosthoc(ParseContext& pc) { notYet(pc, "POSTHOC"); }
void parseEmmeans(ParseContext& pc) { notYet(pc, "EMMEANS"); }
void parseSave(ParseContext& pc) { notYet(pc, "SAVE"); }
void parseTest(ParseContext& pc) { notYet(pc, "TEST"); }
void parseLmatrix(ParseContext& pc) { notYet(pc, "LMATRIX"); }
void parseKmatrix(ParseContext& pc) { notYet(pc, "KMATRIX"); }

}  // namespace qv
