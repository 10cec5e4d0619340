// TEST: effect VS ( number DF "(" df ")" | term {term} [DF "(" df ")"] ), where a term is an
// effect preceded by an optional sign or coefficient number ["/" number] "*".
#include <algorithm>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;

// DF "(" df ")", with DF current.
bool readDf(ParseContext& pc, std::optional<double>& df) {
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kEndOfSubcommandWhereLeftParenthesisExpectedInTest);
  if (!pc.sym().isSpecial(syntax::kLParen))
    return failHere(pc, msg::kWrongSymbolWhereLeftParenthesisExpectedInTest);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kEndOfSubcommandWhereDfExpectedInTest);
  if (!atNumber(pc)) return failHere(pc, msg::kWrongSymbolWhereDfExpectedInTest);
  std::string dfText;
  const double v = readSignedNumber(pc, &dfText);
  if (!(v > 0.0)) return failWith(pc, msg::kNotPositiveDfInTest, dfText);
  if (pc.sym().endsSubcommand())
    return failHere(pc, msg::kEndOfSubcommandWhereRightParenthesisExpectedInTest);
  if (!pc.sym().isSpecial(syntax::kRParen))
    return failHere(pc, msg::kWrongSymbolWhereRightParenthesisExpectedInTest);
  pc.tok.advance();
  df = v;
  return true;
}

// A design effect read with the effect parser; -1 after an error (already issued).
int readDesignEffect(ParseContext& pc) {
  const size_t start = pc.tok.position();
  ParsedEffect pe = parseEffect(pc, pc.st.interceptIncluded);
  if (pe.failed) return -1;
  const int e = designEffect(pc.st, pe.row);
  if (e < 0) failAt(pc, start, msg::kEffectInTestNotInDesign);
  return e;
}

// Coefficient of a term: a number, optionally "/" number, then "*". The number is current.
bool readCoefficient(ParseContext& pc, double& c) {
  c = pc.sym().value;
  pc.tok.advance();
  if (pc.sym().isSlash()) {
    // Within TEST a "/" after a coefficient always makes a fraction.
    pc.tok.advance();
    if (pc.sym().isEnd()) return failHere(pc, msg::kEndOfSubcommandAfterSlashInTest);
    if (!atNumber(pc)) return failHere(pc, msg::kWrongSymbolAfterSlashInTest);
    std::string denomText;
    const double d = readSignedNumber(pc, &denomText);
    if (!(d > 0.0)) return failWith(pc, msg::kNotPositiveDenominatorInTest, denomText);
    c /= d;
  }
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kEndOfSubcommandWhereStarExpectedInTest);
  if (!pc.sym().isSpecial(syntax::kStar)) return failHere(pc, msg::kWrongSymbolWhereStarExpectedInTest);
  pc.tok.advance();
  return true;
}

// The linear combination of effects, with its first term current.
bool readTerms(ParseContext& pc, TestRequest& req) {
  while (!pc.sym().endsSubcommand() && !pc.sym().is("DF")) {
    double coef = 1.0;
    if (pc.sym().isSpecial(syntax::kPlus) || pc.sym().isSpecial(syntax::kMinus)) {
      if (pc.sym().isSpecial(syntax::kMinus)) coef = -1.0;
      pc.tok.advance();
    }
    if (pc.sym().cls == syntax::kNumber) {
      double c = 0.0;
      if (!readCoefficient(pc, c)) return false;
      coef *= c;
    }
    if (!isVariableName(pc.sym())) return failHere(pc, msg::kInvalidSyntaxInTest);
    const int e = readDesignEffect(pc);
    if (e < 0) return false;
    auto it =
        std::find_if(req.terms.begin(), req.terms.end(), [e](const TestTerm& t) { return t.effect == e; });
    if (it != req.terms.end()) {
      it->coefficient += coef;
    } else {
      req.terms.push_back(TestTerm{coef, e});
    }
  }
  if (pc.sym().is("DF")) {
    if (!readDf(pc, req.errorDf)) return false;
    if (!pc.sym().endsSubcommand()) return failHere(pc, msg::kInvalidSyntaxInTest);
  }
  return true;
}

}  // namespace

void parseTest(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (st.ndepvr() > 1) {
    failHere(pc, msg::kTestAndNotUnivariateModel);
    return;
  }
  TestRequest req;
  req.ieffh = readDesignEffect(pc);
  if (req.ieffh < 0) return;

  if (pc.sym().endsSubcommand()) {
    failHere(pc, msg::kEndOfSubcommandWhereVsExpectedInTest);
    return;
  }
  if (!pc.sym().is("VS")) {
    failHere(pc, msg::kWrongSymbolWhereVsExpectedInTest);
    return;
  }
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) {
    failHere(pc, msg::kEndOfSubcommandAfterVs);
    return;
  }
  if (pc.sym().is("DF")) {
    failHere(pc, msg::kDfFollowsVsInTest);
    return;
  }

  if (pc.sym().cls == syntax::kNumber && pc.tok.peek().is("DF")) {
    // The error term given as a value with its degrees of freedom.
    req.kind = TestErrorKind::Value;
    req.givenValue = pc.sym().value;
    pc.tok.advance();
    if (!readDf(pc, req.errorDf)) return;
    if (!pc.sym().endsSubcommand()) {
      failHere(pc, msg::kInvalidSyntaxInTest);
      return;
    }
  } else {
    req.kind = TestErrorKind::Effects;
    if (!readTerms(pc, req)) return;
  }
  st.testList.push_back(std::move(req));
}

}  // namespace qv
