#include "parse/subcommand_support.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace qv::parse {

using syntax::Token;

bool isVariableName(const Token& t) { return t.cls == syntax::kName && t.code == syntax::kNoCode; }

namespace {
int positionIn(const std::vector<int>& list, int var) {
  auto it = std::find(list.begin(), list.end(), var);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}
}  // namespace

int factorNumber(const ParseContext& pc, const Token& t) {
  if (!isVariableName(t)) return -1;
  int var = pc.dict.find(t.text);
  return var < 0 ? -1 : positionIn(pc.st.factorVars, var);
}

int covariateNumber(const ParseContext& pc, const Token& t) {
  if (!isVariableName(t)) return -1;
  int var = pc.dict.find(t.text);
  return var < 0 ? -1 : positionIn(pc.st.covVars, var);
}

int designEffect(const ProcedureState& st, const EffectRow& row) {
  for (size_t e = 0; e < st.ptefds.size(); ++e)
    if (st.ptefds[e] == row) return static_cast<int>(e);
  return -1;
}

bool atNumber(const ParseContext& pc) {
  const Token& t = pc.sym();
  if (t.cls == syntax::kNumber) return true;
  return (t.isSpecial(syntax::kPlus) || t.isSpecial(syntax::kMinus)) && pc.tok.peek().cls == syntax::kNumber;
}

double readSignedNumber(ParseContext& pc, std::string* text) {
  double sign = 1.0;
  if (text) text->clear();
  if (pc.sym().isSpecial(syntax::kMinus) || pc.sym().isSpecial(syntax::kPlus)) {
    if (pc.sym().isSpecial(syntax::kMinus)) sign = -1.0;
    if (text) *text = pc.sym().text;
    pc.tok.advance();
  }
  if (text) *text += pc.sym().text;
  double v = sign * pc.sym().value;
  pc.tok.advance();
  return v;
}

bool readFraction(ParseContext& pc, double& value) {
  value = readSignedNumber(pc);
  // "/" makes a fraction only when a number (possibly signed) follows; otherwise it ends the
  // subcommand.
  if (!pc.sym().isSlash()) return true;
  const Token& next = pc.tok.peek();
  bool signedNext = (next.isSpecial(syntax::kMinus) || next.isSpecial(syntax::kPlus)) &&
                    pc.tok.peek(2).cls == syntax::kNumber;
  if (next.cls != syntax::kNumber && !signedNext) return true;
  pc.tok.advance();
  std::string text;
  double d = readSignedNumber(pc, &text);
  if (!(d > 0.0)) return failWith(pc, msg::kNotPositiveDenominatorInFraction, text);
  value /= d;
  return true;
}

bool readNumberList(ParseContext& pc, std::vector<double>& values, bool& distinct) {
  values.clear();
  pc.tok.advance();  // past "("
  for (;;) {
    const Token& t = pc.sym();
    if (t.endsSubcommand()) return failHere(pc, msg::kNoRightParenthesisAfterListOfNumbers);
    if (t.isSpecial(syntax::kRParen)) break;
    if (t.isSpecial(syntax::kComma)) {
      pc.tok.advance();
      continue;
    }
    if (!atNumber(pc)) return failHere(pc, msg::kNonNumericValue);
    values.push_back(readSignedNumber(pc));
  }
  pc.tok.advance();  // past ")"
  distinct = true;
  for (size_t i = 0; i < values.size() && distinct; ++i)
    for (size_t j = i + 1; j < values.size() && distinct; ++j)
      if (realsEqual(values[i], values[j])) distinct = false;
  return true;
}

bool realsEqual(double a, double b) {
  // Values typed differently but meaning the same number ("2" and "2.0000000000000001") are
  // equal; a relative tolerance of a few units in the last place.
  constexpr double kRelTol = 8.0 * DBL_EPSILON;
  return std::fabs(a - b) <= kRelTol * std::max(std::fabs(a), std::fabs(b));
}

syntax::SourcePlace subcommandPlace(const ParseContext& pc) {
  const auto& tokens = pc.tok.tokens();
  if (tokens.empty()) return {};
  size_t i = std::min(pc.tok.position(), tokens.size() - 1);
  while (i > 0 && !tokens[i - 1].isSlash()) --i;
  return tokens[i].place();
}

bool failHere(ParseContext& pc, int number) {
  pc.error(number);
  pc.tok.skipToEndOfSubcommand();
  return false;
}

bool failAt(ParseContext& pc, size_t pos, int number) {
  pc.tok.seek(pos);
  return failHere(pc, number);
}

bool failWith(ParseContext& pc, int number, const std::string& param) {
  pc.ctx.message(number, out::Phase::Command, out::Severity::Error, param);
  pc.tok.skipToEndOfSubcommand();
  return false;
}

}  // namespace qv::parse
