#include "host/syntax/varlist.h"

namespace qv::syntax {

namespace {

// A symbol that can name a variable: a plain name, not a special character and not one of the
// reserved keywords (BY, WITH, ALL, TO).
bool isVariableName(const Token& t) { return t.cls == kName && t.isName() && t.code == kNoCode; }

bool commandError(Context& ctx, const std::string& text, const std::vector<std::string>& args) {
  ctx.note(text, out::Severity::Error, args, out::Phase::Command);
  return false;
}

// Looks a name up; on failure issues the unknown-variable message with the nearest names.
int lookUp(Context& ctx, const Dictionary& dict, const Token& t) {
  int idx = dict.find(t.text);
  if (idx >= 0) return idx;
  std::string hint;
  std::vector<std::string> near = dict.nearest(t.text);
  if (!near.empty()) {
    hint = " Did you mean ";
    for (size_t i = 0; i < near.size(); ++i) {
      if (i > 0) hint += i + 1 == near.size() ? " or " : ", ";
      hint += near[i];
    }
    hint += "?";
  }
  commandError(ctx, "Variable ^1 not in data ^2 ...", {t.text, hint});
  return -1;
}

}  // namespace

std::string describeSymbol(const Token& t) {
  if (t.isEnd()) return "the end of the command";
  if (t.cls == kString) return "the string '" + t.text + "'";
  return "\"" + t.text + "\"";
}

bool readVariableList(Context& ctx, Tokenizer& tok, const Dictionary& dict, std::vector<int>& out,
                      const VarListOptions& opt) {
  const size_t before = out.size();
  while (isVariableName(tok.current())) {
    const Token first = tok.current();
    int from = lookUp(ctx, dict, first);
    if (from < 0) return false;
    tok.advance();
    int to = from;
    if (tok.current().code == kTo && tok.current().cls == kName) {
      tok.advance();
      const Token& last = tok.current();
      if (!isVariableName(last))
        return commandError(ctx, "No name after TO ^1 ^2 ...", {first.text, describeSymbol(last)});
      to = lookUp(ctx, dict, last);
      if (to < 0) return false;
      if (to < from) return commandError(ctx, "Range ^1 TO ^2 backwards ...", {first.text, last.text});
      tok.advance();
    }
    for (int v = from; v <= to; ++v) {
      const Variable& var = dict.vars[static_cast<size_t>(v)];
      if (opt.numericOnly && var.isString())
        return commandError(ctx, "String variable ^1 as ^2 ...", {var.name, opt.role});
      out.push_back(v);
    }
  }
  if (out.size() == before) {
    const Token& t = tok.current();
    if (t.cls == kName && t.code == kTo) return commandError(ctx, "TO not between names ...", {});
    return commandError(ctx, "Variable list expected ^1 ^2 ...", {opt.role, describeSymbol(t)});
  }
  return true;
}

}  // namespace qv::syntax
