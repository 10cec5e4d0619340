// The subcommand dispatcher: variable list, pre-passes, main pass and post-parse checks.
#include "parse/dispatcher.h"

#include <algorithm>

#include "parse/subcommand_registry.h"
#include "parse/subcommands.h"

namespace qv {

namespace {

// The row of a subcommand keyword, null when the symbol is no subcommand.
const SubcommandSpec* matchSubcommand(const syntax::Token& t) {
  const int k = syntax::matchKeyword(t, subcommandKeywords());
  return k == 0 ? nullptr : &subcommandSpecs()[static_cast<size_t>(k - 1)];
}

// Steps from a subcommand keyword past the keyword and an optional "=".
void stepPastKeyword(ParseContext& pc) {
  pc.tok.advance();
  if (pc.sym().isSpecial(syntax::kEquals)) pc.tok.advance();
}

// One pre-pass: walks every subcommand from the current position and, for each non-empty
// occurrence of `spec`, calls `onOccurrence` with the first symbol after the keyword and "="
// current. Empty occurrences give message 3, a repeated non-repeatable one message 4. The
// tokenizer is put back where it was. Returns false when a parse failed.
template <class F>
bool prePass(ParseContext& pc, const SubcommandSpec& spec, F&& onOccurrence) {
  const size_t start = pc.tok.position();
  bool ok = true;
  int occurrences = 0;
  if (pc.sym().isSlash()) pc.tok.advance();
  while (!pc.sym().isEnd()) {
    if (matchSubcommand(pc.sym()) == &spec) {
      const size_t keywordPos = pc.tok.position();
      stepPastKeyword(pc);
      if (pc.sym().endsSubcommand()) {
        pc.tok.seek(keywordPos);
        pc.warning(msg::kEmptySubcommand);
        stepPastKeyword(pc);
      } else {
        if (occurrences > 0 && !spec.repeatable) {
          pc.tok.seek(keywordPos);
          pc.warning(msg::kLastRepeatedSubcommandUsed);
          stepPastKeyword(pc);
        }
        ++occurrences;
        if (!onOccurrence() || pc.ctx.failed()) {
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
// parsed after the scan, or its stand-in is built when there is none. Returns false when the
// parse failed.
bool lastOccurrence(ParseContext& pc, const SubcommandSpec& spec) {
  size_t last = 0;
  bool found = false;
  if (!prePass(pc, spec, [&] {
        last = pc.tok.position();
        found = true;
        return true;
      }))
    return false;
  if (!found) return spec.whenAbsent == nullptr || spec.whenAbsent(pc);
  const size_t start = pc.tok.position();
  pc.tok.seek(last);
  bool ok = spec.parse(pc) && !pc.ctx.failed();
  pc.tok.seek(start);
  return ok;
}

// The pre-pass subcommands in their order, each read by its kind of pre-pass.
bool runPrePasses(ParseContext& pc) {
  std::vector<const SubcommandSpec*> order;
  for (const SubcommandSpec& spec : subcommandSpecs())
    if (spec.prePass != PrePass::None) order.push_back(&spec);
  std::sort(order.begin(), order.end(), [](const SubcommandSpec* a, const SubcommandSpec* b) {
    return a->prePassOrder < b->prePassOrder;
  });
  for (const SubcommandSpec* spec : order) {
    const bool ok = spec->prePass == PrePass::LastOccurrence
                        ? lastOccurrence(pc, *spec)
                        : prePass(pc, *spec, [&] { return spec->parse(pc); });
    if (!ok) return false;
  }
  return true;
}

void runMainPass(ParseContext& pc) {
  // Per subcommand (in table order), whether a non-empty occurrence has been read.
  std::vector<char> seenList(subcommandSpecs().size(), 0);
  if (pc.sym().isSlash()) pc.tok.advance();
  while (!pc.sym().isEnd()) {
    const SubcommandSpec* spec = matchSubcommand(pc.sym());
    if (spec == nullptr) {
      pc.error(msg::kUnrecognizedSubcommand);
      pc.tok.skipToEndOfSubcommand();
      break;
    }
    const size_t keywordPos = pc.tok.position();
    bool empty = false;
    if (spec->prePass == PrePass::None) {
      stepPastKeyword(pc);
      if (pc.sym().endsSubcommand()) {
        pc.tok.seek(keywordPos);
        pc.warning(msg::kEmptySubcommand);
        stepPastKeyword(pc);
        pc.tok.skipToEndOfSubcommand();
        empty = true;
      }
    }
    char& seen = seenList[static_cast<size_t>(spec - subcommandSpecs().data())];
    if (empty) {
      // An empty subcommand does not count as seen.
    } else if (seen && !spec->repeatable && spec->prePass != PrePass::None) {
      // The pre-pass has already dealt with every occurrence.
      pc.tok.skipToEndOfSubcommand();
    } else {
      if (seen && !spec->repeatable) {
        // The repeated subcommand is parsed again and replaces the earlier one.
        pc.tok.seek(keywordPos);
        pc.warning(pc.ctx.failed() ? msg::kRepeatedSubcommand : msg::kLastRepeatedSubcommandUsed);
        stepPastKeyword(pc);
      }
      seen = 1;
      // A pre-pass subcommand has been read already.
      if (spec->prePass == PrePass::None) spec->parse(pc);
      // Every parser returns on the end of its subcommand; make sure of it.
      pc.tok.skipToEndOfSubcommand();
    }
    if (pc.ctx.failed()) break;
    if (pc.sym().isSlash()) pc.tok.advance();
  }
}

}  // namespace

bool mayRequestDesignFile(const std::string& commandText) {
  const syntax::Tokenizer tok(commandText);
  const std::vector<syntax::Token>& t = tok.tokens();
  constexpr int kDesignFile = 4;  // DESIGN in outfileKeywords()
  // Every symbol that reads as OUTFILE, wherever it stands, and the rest of its subcommand.
  for (size_t i = 0; i < t.size(); ++i) {
    const SubcommandSpec* spec = matchSubcommand(t[i]);
    if (spec == nullptr || spec->parse != parseOutfile) continue;
    for (size_t j = i + 1; j < t.size() && !t[j].endsSubcommand(); ++j)
      if (syntax::matchKeyword(t[j], outfileKeywords()) == kDesignFile) return true;
  }
  return false;
}

void parseCommand(ParseContext& pc) {
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
  if (!pc.ctx.failed()) postParseChecks(pc);
}

}  // namespace qv
