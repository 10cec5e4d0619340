// PRINT, CRITERIA, METHOD, MISSING, INTERCEPT, REGWGT and OUTFILE.
#include <cmath>
#include <string>
#include <vector>

#include "parse/subcommand_support.h"
#include "parse/subcommands.h"

namespace qv {

namespace {

using syntax::kLParen;
using syntax::kNumber;
using syntax::kRParen;
using syntax::kStar;
using syntax::matchKeyword;

using parse::failAt;
using parse::failHere;

// A single INCLUDE / EXCLUDE keyword and nothing after it; returns 1 include, 0 exclude,
// -1 after issuing `errorNumber`.
int includeExclude(ParseContext& pc, int errorNumber) {
  static const std::vector<std::string> kTable{"INCLUDE", "EXCLUDE"};
  int k = matchKeyword(pc.sym(), kTable);
  if (k == 0) {
    failHere(pc, errorNumber);
    return -1;
  }
  pc.tok.advance();
  if (!pc.sym().endsSubcommand()) {
    failHere(pc, errorNumber);
    return -1;
  }
  return k == 1 ? 1 : 0;
}

}  // namespace

bool parseIntercept(ParseContext& pc) {
  int v = includeExclude(pc, msg::kInvalidIntercept);
  if (v < 0) return false;
  pc.st.interceptIncluded = v == 1;
  return true;
}

void parseMissing(ParseContext& pc) {
  int v = includeExclude(pc, msg::kInvalidMissing);
  if (v >= 0) pc.st.includeUserMissing = v == 1;
}

bool parseRegwgt(ParseContext& pc) {
  const syntax::Token& t = pc.sym();
  if (t.cls != syntax::kName || !t.isName() || t.code != syntax::kNoCode) {
    failHere(pc, msg::kInvalidRegwgt);
    return false;
  }
  int idx = pc.dict.find(t.text);
  if (idx < 0) {
    failHere(pc, msg::kRegressionWeightNotFound);
    return false;
  }
  if (pc.dict.vars[static_cast<size_t>(idx)].isString()) {
    failHere(pc, msg::kRegressionWeightNotNumeric);
    return false;
  }
  pc.tok.advance();
  if (!pc.sym().endsSubcommand()) {
    failHere(pc, msg::kInvalidRegwgt);
    return false;
  }
  pc.st.regwgtVar = idx;
  return true;
}

bool parseMethod(ParseContext& pc) {
  static const std::vector<std::string> kTable{"SSTYPE"};
  if (matchKeyword(pc.sym(), kTable) == 0) return failHere(pc, msg::kInMethodSstypeNotFound);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) {
    pc.st.sstype = 3;
    return true;
  }
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kInMethodLeftParenthesisNotFound);
  pc.tok.advance();
  if (pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kEmptyParenthesesInMethod);
  const syntax::Token& n = pc.sym();
  if (n.cls != kNumber || n.value != std::floor(n.value) || n.value < 1 || n.value > 4)
    return failHere(pc, msg::kInMethodSstypeIsWrong);
  const int type = static_cast<int>(n.value);
  pc.tok.advance();
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kInMethodRightParenthesisNotFound);
  pc.tok.advance();
  if (!pc.sym().endsSubcommand()) return failHere(pc, msg::kInvalidMethod);
  pc.st.sstype = type;
  return true;
}

bool parseCriteria(ParseContext& pc) {
  static const std::vector<std::string> kTable{"EPS", "ALPHA"};
  while (!pc.sym().endsSubcommand()) {
    int k = matchKeyword(pc.sym(), kTable);
    if (k == 0) return failHere(pc, msg::kUnrecognizedKeywordInCriteria);
    pc.tok.advance();
    if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kSyntaxErrorInCriteria);
    pc.tok.advance();
    if (pc.sym().cls != kNumber) return failHere(pc, msg::kSyntaxErrorInCriteria);
    const size_t numberPos = pc.tok.position();
    const double value = pc.sym().value;
    const std::string text = pc.sym().text;
    pc.tok.advance();
    if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kSyntaxErrorInCriteria);
    if (k == 1) {
      // A tolerance must be a positive finite number; an infinite one would make every
      // design column redundant.
      if (!(value > 0) || !std::isfinite(value)) return failAt(pc, numberPos, msg::kInvalidEpsInCriteria);
      pc.st.rdneps = value;
    } else {
      if (!(value > 0 && value < 1)) return failAt(pc, numberPos, msg::kInvalidAlphaInCriteria);
      pc.st.alplev = value;
      std::string shown = text.substr(0, 16);
      if (size_t dot = shown.find('.'); dot != std::string::npos) shown[dot] = pc.ctx.decimalChar;
      pc.st.alphaText = shown;
    }
    pc.tok.advance();
  }
  return true;
}

bool parsePrint(ParseContext& pc) {
  static const std::vector<std::string> kTable{"DESCRIPT", "HOMOGENE", "PARAMETE", "ETASQ", "EFSIZE",
                                               "GEF",      "OPOWER",   "LOF",      "TEST"};
  static const std::vector<std::string> kTestTable{"LMATRIX", "ESTIMABL"};
  ProcedureState& st = pc.st;
  st.printDescriptives = st.printEtaSquared = st.printGef = st.printHomogeneity = st.printLackOfFit =
      st.printObservedPower = st.printParameters = st.printLMatrix = false;
  while (!pc.sym().endsSubcommand()) {
    switch (matchKeyword(pc.sym(), kTable)) {
      case 1:
        st.printDescriptives = true;
        break;
      case 2:
        if (st.nfactr() > 0) {
          st.printHomogeneity = true;
        } else {
          pc.warning(msg::kHomogeneityIgnoredBecauseNoFactors);
        }
        break;
      case 3:
        st.printParameters = true;
        break;
      case 4:
      case 5:
        st.printEtaSquared = true;
        break;
      case 6:
        st.printGef = true;
        break;
      case 7:
        st.printObservedPower = true;
        break;
      case 8:
        st.printLackOfFit = true;
        break;
      case 9:
        if (pc.tok.peek().isSpecial(kLParen)) {
          pc.tok.advance();
          pc.tok.advance();
          while (!pc.sym().isSpecial(kRParen)) {
            if (matchKeyword(pc.sym(), kTestTable) == 0)
              return failHere(pc, msg::kInvalidSpecificationForTestInPrint);
            st.printLMatrix = true;
            pc.tok.advance();
          }
        }
        break;
      default:
        return failHere(pc, msg::kSyntaxErrorInPrint);
    }
    pc.tok.advance();
  }
  return true;
}

const std::vector<std::string>& outfileKeywords() {
  static const std::vector<std::string> kTable{"COVB", "CORB", "EFFECT", "DESIGN"};
  return kTable;
}

bool parseOutfile(ParseContext& pc) {
  const std::vector<std::string>& kTable = outfileKeywords();
  ProcedureState& st = pc.st;
  // A repeated OUTFILE replaces the earlier one whole.
  st.outdpcPath.clear();
  st.outdpdPath.clear();
  st.effectOutPath.clear();
  st.matrixFileKind = 0;
  while (!pc.sym().endsSubcommand()) {
    const syntax::Token& kw = pc.sym();
    if (kw.cls != syntax::kName || !kw.isName()) return failHere(pc, msg::kOutfileKeywordNotFound);
    const int k = matchKeyword(kw, kTable);
    if (k == 0) return failHere(pc, msg::kOutfileKeywordNotFound);
    std::string& slot = k <= 2 ? st.outdpcPath : k == 3 ? st.effectOutPath : st.outdpdPath;
    if (!slot.empty()) return failHere(pc, msg::kOutfileTooManyFiles);
    pc.tok.advance();
    if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kOutfileLeftParenthesisNotFound);
    pc.tok.advance();
    const syntax::Token& ref = pc.sym();
    // An empty quoted name names no file either.
    if (ref.isSpecial(kStar)) return failHere(pc, msg::kOutfileAsterisk);
    const bool named = (ref.cls == syntax::kString && !ref.text.empty()) || ref.cls == kNumber ||
                       (ref.cls == syntax::kName && ref.isName());
    if (!named) return failHere(pc, msg::kOutfileFileReferenceNotFound);
    const std::string path = ref.text;
    pc.tok.advance();
    if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kOutfileRightParenthesisNotFound);
    slot = path;
    if (k <= 2) st.matrixFileKind = k;
    pc.tok.advance();
  }
  return true;
}

}  // namespace qv
