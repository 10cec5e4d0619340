#pragma once
// What every subcommand parser works with: the host context (messages, error flag), the
// tokenizer positioned on the command, the dictionary and the procedure state being filled.
#include "driver/state.h"
#include "host/context.h"
#include "host/data/dictionary.h"
#include "host/output/message_numbers.h"
#include "host/syntax/tokenizer.h"

namespace qv {

struct ParseContext {
  Context& ctx;
  syntax::Tokenizer& tok;
  const Dictionary& dict;
  ProcedureState& st;

  const syntax::Token& sym() const { return tok.current(); }
  // Issues a command-phase message with the current symbol as parameter.
  void error(int number) {
    ctx.message(number, out::Phase::Command, out::Severity::Error, tok.current().text);
  }
  void warning(int number) {
    ctx.message(number, out::Phase::Command, out::Severity::Warning, tok.current().text);
  }
};

// Result of the effect parser.
struct ParsedEffect {
  EffectRow row;                 // nfactr codes then ncovar powers
  bool covariateWithin = false;  // X(A): a covariate nested within factors
  bool failed = false;
};

// Reads one effect term starting at the current symbol and stops at the first symbol that
// cannot continue it (left current). INTERCEPT is accepted only when `interceptAllowed`.
// On a command error it issues the message, skips to the end of the subcommand and sets failed.
ParsedEffect parseEffect(ParseContext& pc, bool interceptAllowed);

}  // namespace qv
