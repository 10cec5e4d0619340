// PRINT, CRITERIA, METHOD, MISSING, INTERCEPT, REGWGT and OUTFILE.
#include <cmath>
#include <string>
#include <vector>

#include "parse/subcommands.h"

namespace qv {

namespace {

using syntax::kLParen;
using syntax::kNumber;
using syntax::kRParen;
using syntax::kStar;
using syntax::matchKeyword;

// Issues a command error on the current symbol and skips to the end of the subcommand.
void failHere(ParseContext& pc, int number) {
  pc.error(number);
  pc.tok.skipToEndOfSubcommand();
}

// Issues a command error with the symbol at `pos` as parameter, then skips to the end.
void failAt(ParseContext& pc, size_t pos, int number) {
  pc.tok.seek(pos);
  failHere(pc, number);
}

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
  int v = includeExclude(pc, 40);
  if (v < 0) return false;
  pc.st.interceptIncluded = v == 1;
  return true;
}

void parseMissing(ParseContext& pc) {
  int v = includeExclude(pc, 41);
  if (v >= 0) pc.st.includeUserMissing = v == 1;
}

bool parseRegwgt(ParseContext& pc) {
  const syntax::Token& t = pc.sym();
  if (t.cls != syntax::kName || !t.isName() || t.code != syntax::kNoCode) {
    failHere(pc, 39);
    return false;
  }
  int idx = pc.dict.find(t.text);
  if (idx < 0) {
    failHere(pc, 38);
    return false;
  }
  if (pc.dict.vars[static_cast<size_t>(idx)].isString()) {
    failHere(pc, 33);
    return false;
  }
  pc.tok.advance();
  if (!pc.sym().endsSubcommand()) {
    failHere(pc, 39);
    return false;
  }
  pc.st.regwgtVar = idx;
  return true;
}

void parseMethod(ParseContext& pc) {
  static const std::vector<std::string> kTable{"SSTYPE"};
  if (matchKeyword(pc.sym(), kTable) == 0) return failHere(pc, 72);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) {
    pc.st.sstype = 3;
    return;
  }
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, 73);
  pc.tok.advance();
  if (pc.sym().isSpecial(kRParen)) return failHere(pc, 155);
  const syntax::Token& n = pc.sym();
  if (n.cls != kNumber || n.value != std::floor(n.value) || n.value < 1 || n.value > 4)
    return failHere(pc, 75);
  const int type = static_cast<int>(n.value);
  pc.tok.advance();
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, 74);
  pc.tok.advance();
  if (!pc.sym().endsSubcommand()) return failHere(pc, 71);
  pc.st.sstype = type;
}

void parseCriteria(ParseContext& pc) {
  static const std::vector<std::string> kTable{"EPS", "ALPHA"};
  while (!pc.sym().endsSubcommand()) {
    int k = matchKeyword(pc.sym(), kTable);
    if (k == 0) return failHere(pc, 43);
    pc.tok.advance();
    if (!pc.sym().isSpecial(kLParen)) return failHere(pc, 44);
    pc.tok.advance();
    if (pc.sym().cls != kNumber) return failHere(pc, 44);
    const size_t numberPos = pc.tok.position();
    const double value = pc.sym().value;
    const std::string text = pc.sym().text;
    pc.tok.advance();
    if (!pc.sym().isSpecial(kRParen)) return failHere(pc, 44);
    if (k == 1) {
      // A tolerance must be a positive finite number; an infinite one would make every
      // design column redundant.
      if (!(value > 0) || !std::isfinite(value)) return failAt(pc, numberPos, 45);
      pc.st.rdneps = value;
    } else {
      if (!(value > 0 && value < 1)) return failAt(pc, numberPos, 81);
      pc.st.alplev = value;
      std::string shown = text.substr(0, 16);
      if (size_t dot = shown.find('.'); dot != std::string::npos) shown[dot] = pc.ctx.decimalChar;
      pc.st.alphaText = shown;
    }
    pc.tok.advance();
  }
}

void parsePrint(ParseContext& pc) {
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
        if (st.nfactr > 0) {
          st.printHomogeneity = true;
        } else {
          pc.warning(34);
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
            if (matchKeyword(pc.sym(), kTestTable) == 0) return failHere(pc, 83);
            st.printLMatrix = true;
            pc.tok.advance();
          }
        }
        break;
      default:
        return failHere(pc, 82);
    }
    pc.tok.advance();
  }
}

void parseOutfile(ParseContext& pc) {
  static const std::vector<std::string> kTable{"COVB", "CORB", "EFFECT", "DESIGN"};
  ProcedureState& st = pc.st;
  // A repeated OUTFILE replaces the earlier one whole.
  st.outdpcPath.clear();
  st.outdpdPath.clear();
  st.effectOutPath.clear();
  st.matrixFileKind = 0;
  while (!pc.sym().endsSubcommand()) {
    const syntax::Token& kw = pc.sym();
    if (kw.cls != syntax::kName || !kw.isName()) return failHere(pc, 85);
    const int k = matchKeyword(kw, kTable);
    if (k == 0) return failHere(pc, 85);
    std::string& slot = k <= 2 ? st.outdpcPath : k == 3 ? st.effectOutPath : st.outdpdPath;
    if (!slot.empty()) return failHere(pc, 84);
    pc.tok.advance();
    if (!pc.sym().isSpecial(kLParen)) return failHere(pc, 86);
    pc.tok.advance();
    const syntax::Token& ref = pc.sym();
    // An empty quoted name names no file either.
    if (ref.isSpecial(kStar)) return failHere(pc, 90);
    const bool named = (ref.cls == syntax::kString && !ref.text.empty()) || ref.cls == kNumber ||
                       (ref.cls == syntax::kName && ref.isName());
    if (!named) return failHere(pc, 88);
    const std::string path = ref.text;
    pc.tok.advance();
    if (!pc.sym().isSpecial(kRParen)) return failHere(pc, 87);
    slot = path;
    if (k <= 2) st.matrixFileKind = k;
    pc.tok.advance();
  }
}

}  // namespace qv
