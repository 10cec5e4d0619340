// The effect parser: reads one effect term (factor, covariate, interaction, nested term or the
// intercept) into an effect row. A state machine over four states:
//   S1 start of the effect, S2 after a complete element, S3 after "*" or BY,
//   S4 after WITHIN or "(".
#include <algorithm>

#include "parse/parse_context.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

enum class SymKind { Factor, Covariate, Op, Nest, End, Close, Other };

struct Classified {
  SymKind kind = SymKind::Other;
  int index = -1;          // factor or covariate number (0-based)
  bool pending29 = false;  // "Unrecognized symbol in effect" is due for this symbol
};

int positionIn(const std::vector<int>& list, int var) {
  auto it = std::find(list.begin(), list.end(), var);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

Classified classify(const ParseContext& pc) {
  using namespace syntax;
  const Token& t = pc.sym();
  Classified c;
  if (t.isEnd() || t.isSlash() || t.cls == kNumber || t.isSpecial(kPlus) || t.isSpecial(kMinus)) {
    c.kind = SymKind::End;
  } else if (t.isSpecial(kStar) || t.code == kBy) {
    c.kind = SymKind::Op;
  } else if (t.isSpecial(kLParen) || t.is("WITHIN")) {
    c.kind = SymKind::Nest;
  } else if (t.isSpecial(kRParen)) {
    c.kind = SymKind::Close;
  } else if (t.cls == kInvalid || (t.cls == kName && (!t.isName() || t.code != kNoCode))) {
    // Not a valid variable name: a stray character, another special character or a
    // reserved keyword (WITH, ALL, TO).
    c.pending29 = true;
  } else if (t.cls == kName) {
    int var = pc.dict.find(t.text);
    if (var >= 0) {
      if ((c.index = positionIn(pc.st.factorVars, var)) >= 0) {
        c.kind = SymKind::Factor;
      } else if ((c.index = positionIn(pc.st.covVars, var)) >= 0) {
        c.kind = SymKind::Covariate;
      } else {
        c.pending29 = true;
      }
    }
  }
  return c;
}

}  // namespace

ParsedEffect parseEffect(ParseContext& pc, bool interceptAllowed) {
  const int nf = pc.st.nfactr();
  const int nc = pc.st.ncovar();
  ParsedEffect e;
  e.row.assign(static_cast<size_t>(nf + nc), -1);

  auto fail = [&](int number) {
    parse::failHere(pc, number);
    e.failed = true;
    return e;
  };

  if (pc.sym().cls == syntax::kName && pc.sym().is("INTERCEPT")) {
    if (!interceptAllowed) return fail(msg::kInterceptNotAllowed);
    pc.tok.advance();
    return e;
  }

  int state = 1;
  int openParens = 0;
  bool nested = false;  // a WITHIN or "(" has been read
  auto anyFactor = [&] {
    for (int i = 0; i < nf; ++i)
      if (e.row[i] >= 0) return true;
    return false;
  };
  auto syntaxError = [&](const Classified& c) {
    return fail(c.pending29 ? msg::kUnrecognizedSymbolInEffect : msg::kSyntaxErrorInEffect);
  };

  for (;;) {
    Classified c = classify(pc);
    switch (c.kind) {
      case SymKind::Factor:
        if (state == 2) {
          if (openParens != 0) return fail(msg::kUnbalancedParenthesesInEffect);
          return e;
        }
        if (state == 3 || state == 4) {
          if (e.row[c.index] >= 0) return fail(msg::kRepeatedFactorInEffect);
        }
        e.row[c.index] = 0;
        state = 2;
        break;
      case SymKind::Covariate:
        if (state == 2) {
          if (openParens != 0) return fail(msg::kUnbalancedParenthesesInEffect);
          return e;
        }
        if (state == 4) return syntaxError(c);
        if (state == 3 && nested) return fail(msg::kCovariateAfterWithinInEffect);
        {
          int& p = e.row[nf + c.index];
          p = p < 1 ? 1 : p + 1;
        }
        state = 2;
        break;
      case SymKind::Op:
        if (state != 2) return syntaxError(c);
        state = 3;
        break;
      case SymKind::Nest:
        if (state != 2) return syntaxError(c);
        if (!nested && !anyFactor()) e.covariateWithin = true;
        nested = true;
        for (int i = 0; i < nf; ++i)
          if (e.row[i] != -1) ++e.row[i];
        if (pc.sym().isSpecial(syntax::kLParen)) ++openParens;
        state = 4;
        break;
      case SymKind::End:
        if (state != 2) return syntaxError(c);
        if (openParens != 0) return fail(msg::kUnbalancedParenthesesInEffect);
        return e;
      case SymKind::Close: {
        if (state != 2) return syntaxError(c);
        int closes = 0;
        while (pc.sym().isSpecial(syntax::kRParen)) {
          ++closes;
          pc.tok.advance();
        }
        if (closes != openParens) return fail(msg::kUnbalancedParenthesesInEffect);
        return e;
      }
      case SymKind::Other:
        if (state != 2) return syntaxError(c);
        if (openParens != 0) return fail(msg::kUnbalancedParenthesesInEffect);
        return e;
    }
    pc.tok.advance();
  }
}

}  // namespace qv
