// CONTRAST: "(" factor ")" ["="] [type [argument]]. Parsed in a pre-pass, once per occurrence;
// each accepted occurrence appends one contrast.
#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kLParen;
using syntax::kRParen;

const std::vector<std::string> kContrastTypes = {"DEVIATIO", "DIFFEREN", "SIMPLE",   "HELMERT",
                                                 "POLYNOMI", "REPEATED", "INDICATO", "SPECIAL"};

// Optional "(" refcat ")" of DEVIATION and SIMPLE.
bool readReferenceCategory(ParseContext& pc, ContrastRequest& c) {
  if (!pc.sym().isSpecial(kLParen)) return true;
  pc.tok.advance();
  const syntax::Token& t = pc.sym();
  if (t.cls != syntax::kNumber || !wholeNumberIn(t.value, 1.0, 2147483647.0))
    return failHere(pc, msg::kInvalidReferenceCategory);
  c.refcat = static_cast<int>(t.value);
  pc.tok.advance();
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kNoRightParenthesisAfterRefcat);
  pc.tok.advance();
  return true;
}

}  // namespace

void parseContrast(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (!pc.sym().isSpecial(kLParen)) {
    failHere(pc, msg::kLeftParenthesisNotFoundInContrast);
    return;
  }
  pc.tok.advance();
  const syntax::SourcePlace factorPlace = pc.sym().place();
  const int factor = factorNumber(pc, pc.sym());
  if (factor < 0) {
    failHere(pc, msg::kFactorNameExpectedInContrast);
    return;
  }
  const int mainEffect = mainEffectOf(st.ptefds, st.nfactr(), factor);
  if (mainEffect < 0) {
    // Only this contrast is dropped; the command goes on.
    pc.warning(msg::kContrastFactorNotMainEffect);
    pc.tok.skipToEndOfSubcommand();
    return;
  }
  pc.tok.advance();
  if (!pc.sym().isSpecial(kRParen)) {
    failHere(pc, msg::kRightParenthesisExpectedInContrast);
    return;
  }
  pc.tok.advance();
  if (pc.sym().isSpecial(syntax::kEquals)) pc.tok.advance();

  ContrastRequest c;
  c.factor = factor;
  c.mainEffect = mainEffect;
  if (!pc.sym().endsSubcommand()) {
    const int type = syntax::matchKeyword(pc.sym(), kContrastTypes);
    if (type == 0) {
      failHere(pc, msg::kUnknownContrast);
      return;
    }
    c.ctrtyp = static_cast<ContrastType>(type);
    pc.tok.advance();
    std::vector<double> values;
    bool distinct = true;
    switch (c.ctrtyp) {
      case ContrastType::Deviation:
      case ContrastType::Simple:
        if (!readReferenceCategory(pc, c)) return;
        break;
      case ContrastType::Difference:
      case ContrastType::Helmert:
      case ContrastType::Repeated:
        break;
      case ContrastType::Polynomial:
        if (pc.sym().isSpecial(kLParen)) {
          if (!readNumberList(pc, values, distinct)) return;
          if (values.empty()) {
            failHere(pc, msg::kNoValuesForPolynomial);
            return;
          }
          if (!distinct) {
            failHere(pc, msg::kNonUniqueValuesForPolynomial);
            return;
          }
          c.values = std::move(values);
        }
        break;
      case ContrastType::Indicator:
        failHere(pc, msg::kIndicatorNotValid);
        return;
      case ContrastType::Special:
        // The number of values is checked by the analysis, once the levels are known. An
        // empty list defines no contrast at all and is refused here.
        if (!pc.sym().isSpecial(kLParen)) {
          failHere(pc, msg::kNoValuesForSpecial);
          return;
        }
        if (!readNumberList(pc, values, distinct)) return;
        if (values.empty()) {
          failHere(pc, msg::kNoValuesForSpecial);
          return;
        }
        c.values = std::move(values);
        break;
    }
  }
  if (!pc.sym().endsSubcommand()) {
    failHere(pc, msg::kUnknownContrast);
    return;
  }
  st.contrastSpecs.push_back(std::move(c));
  st.places.contrasts.push_back(factorPlace);
}

}  // namespace qv
