// The subcommand dispatcher: variable list, pre-passes, main pass and post-parse checks.
#include "parse/dispatcher.h"

#include "parse/optional_subcommands.h"
#include "parse/subcommands.h"

namespace qv {

const std::vector<std::string>& subcommandTable() {
  static const std::vector<std::string> kTable{
      "RANDOM",  "REGWGT",   "METHOD",  "INTERCEP", "MISSING", "CRITERIA", "PRINT",   "PLOT",  "TEST",
      "LMATRIX", "CONTRAST", "KMATRIX", "POSTHOC",  "EMMEANS", "SAVE",     "OUTFILE", "DESIGN"};
  return kTable;
}

bool subcommandRepeatable(int sub) {
  switch (sub) {
    case kSubRandom:
    case kSubCriteria:
    case kSubPlot:
    case kSubTest:
    case kSubLmatrix:
    case kSubContrast:
    case kSubPosthoc:
    case kSubEmmeans:
      return true;
    default:
      return false;
  }
}

namespace {

int matchSubcommand(const syntax::Token& t) { return syntax::matchKeyword(t, subcommandTable()); }

bool parsedInPrePass(int sub) {
  return sub == kSubRandom || sub == kSubRegwgt || sub == kSubIntercept || sub == kSubContrast ||
         sub == kSubDesign;
}

// Steps from a subcommand keyword past the keyword and an optional "=".
void stepPastKeyword(ParseContext& pc) {
  pc.tok.advance();
  if (pc.sym().isSpecial(syntax::kEquals)) pc.tok.advance();
}

// One pre-pass: walks every subcommand from the current position and, for each non-empty
// occurrence of `sub`, calls `onOccurrence` with the first symbol after the keyword and "="
// current. Empty occurrences give message 3, a repeated non-repeatable one message 4. The
// tokenizer is put back where it was. Returns false when a parse failed.
template <class F>
bool prePass(ParseContext& pc, int sub, F&& onOccurrence) {
  const size_t start = pc.tok.position();
  bool ok = true;
  int occurrences = 0;
  if (pc.sym().isSlash()) pc.tok.advance();
  while (!pc.sym().isEnd()) {
    if (matchSubcommand(pc.sym()) == sub) {
      const size_t keywordPos = pc.tok.position();
      stepPastKeyword(pc);
      if (pc.sym().endsSubcommand()) {
        pc.tok.seek(keywordPos);
        pc.warning(3);
        stepPastKeyword(pc);
      } else {
        if (occurrences > 0 && !subcommandRepeatable(sub)) {
          pc.tok.seek(keywordPos);
          pc.warning(4);
          stepPastKeyword(pc);
        }
        ++occurrences;
        if (!onOccurrence() || pc.ctx.errorFlag) {
          ok = false;
          break;
        }
      }
    }
    pc.tok.skipToEndOfSubcommand();
    if (pc.sym().isSlash()) pc.tok.advance();
  }
  pc.tok.seek(start);
  return ok;
}

// A pre-pass for a subcommand of which only the last non-empty occurrence counts: it is
// parsed by `parse` after the scan. Returns false when the parse failed; `found` tells
// whether there was such an occurrence.
template <class F>
bool lastOccurrence(ParseContext& pc, int sub, bool& found, F&& parse) {
  size_t last = 0;
  found = false;
  if (!prePass(pc, sub, [&] {
        last = pc.tok.position();
        found = true;
        return true;
      }))
    return false;
  if (!found) return true;
  const size_t start = pc.tok.position();
  pc.tok.seek(last);
  bool ok = parse(pc) && !pc.ctx.errorFlag;
  pc.tok.seek(start);
  return ok;
}

bool runPrePasses(ParseContext& pc) {
  // INTERCEPT: every occurrence is parsed, so the last one wins.
  if (!prePass(pc, kSubIntercept, [&] { return parseIntercept(pc); })) return false;
  bool haveDesign = false;
  if (!lastOccurrence(pc, kSubDesign, haveDesign, parseDesign)) return false;
  if (!haveDesign && !buildDefaultDesign(pc)) return false;
  if (!prePass(pc, kSubContrast, [&] {
        parseContrast(pc);
        return true;
      }))
    return false;
  if (!prePass(pc, kSubRandom, [&] { return parseRandom(pc); })) return false;
  bool haveRegwgt = false;
  return lastOccurrence(pc, kSubRegwgt, haveRegwgt, parseRegwgt);
}

void callParser(ParseContext& pc, int sub) {
  switch (sub) {
    case kSubMethod:
      parseMethod(pc);
      break;
    case kSubMissing:
      parseMissing(pc);
      break;
    case kSubCriteria:
      parseCriteria(pc);
      break;
    case kSubPrint:
      parsePrint(pc);
      break;
    case kSubOutfile:
      parseOutfile(pc);
      break;
    case kSubPlot:
      parsePlot(pc);
      break;
    case kSubPosthoc:
      parsePosthoc(pc);
      break;
    case kSubEmmeans:
      parseEmmeans(pc);
      break;
    case kSubSave:
      parseSave(pc);
      break;
    case kSubTest:
      parseTest(pc);
      break;
    case kSubLmatrix:
      parseLmatrix(pc);
      break;
    case kSubKmatrix:
      parseKmatrix(pc);
      break;
    default:
      pc.tok.skipToEndOfSubcommand();
      break;  // parsed by a pre-pass
  }
  // Every parser returns on the end of its subcommand; make sure of it.
  pc.tok.skipToEndOfSubcommand();
}

void runMainPass(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (pc.sym().isSlash()) pc.tok.advance();
  while (!pc.sym().isEnd()) {
    const int sub = matchSubcommand(pc.sym());
    if (sub == 0) {
      pc.error(2);
      pc.tok.skipToEndOfSubcommand();
      break;
    }
    const size_t keywordPos = pc.tok.position();
    bool empty = false;
    if (!parsedInPrePass(sub)) {
      stepPastKeyword(pc);
      if (pc.sym().endsSubcommand()) {
        pc.tok.seek(keywordPos);
        pc.warning(3);
        stepPastKeyword(pc);
        pc.tok.skipToEndOfSubcommand();
        empty = true;
      }
    }
    bool& seen = st.subcommandSeen[static_cast<size_t>(sub - 1)];
    if (empty) {
      // An empty subcommand does not count as seen.
    } else if (seen && !subcommandRepeatable(sub) &&
               (sub == kSubRegwgt || sub == kSubIntercept || sub == kSubDesign)) {
      // The pre-pass has already dealt with every occurrence.
      pc.tok.skipToEndOfSubcommand();
    } else {
      if (seen && !subcommandRepeatable(sub)) {
        // The repeated subcommand is parsed again and replaces the earlier one.
        pc.tok.seek(keywordPos);
        pc.warning(pc.ctx.errorFlag ? 5 : 4);
        stepPastKeyword(pc);
      }
      seen = true;
      callParser(pc, sub);
    }
    if (pc.ctx.errorFlag) break;
    if (pc.sym().isSlash()) pc.tok.advance();
  }
}

}  // namespace

void parseCommand(ParseContext& pc) {
  pc.st.subcommandSeen.fill(false);
  static const std::vector<std::string> kCommand{"QUORVEST"};
  if (syntax::matchKeyword(pc.sym(), kCommand) == 0) {
    pc.ctx.note("Command not QUORVEST ^1 ...", out::Severity::Error,
                {pc.sym().isEnd() ? std::string("an empty line") : pc.sym().text}, out::Phase::Command);
    return;
  }
  pc.tok.advance();
  if (!parseVariableList(pc)) return;
  if (!runPrePasses(pc)) return;
  runMainPass(pc);
  if (!pc.ctx.errorFlag) postParseChecks(pc);
}

}  // namespace qv
