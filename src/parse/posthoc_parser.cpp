// POSTHOC: factor-list "(" test-list ")" [VS effect]. Each subcommand is one request.
#include <algorithm>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kLParen;
using syntax::kRParen;

const std::vector<std::string> kPosthocTests = {
    "WALLER", "SNK", "TUKEY", "BTUKEY", "DUNCAN", "SCHEFFE",  "GT2",   "GABRIEL", "FREGW",    "QREGW",
    "GH",     "T2",  "T3",    "C",      "LSD",    "BONFERRO", "SIDAK", "DUNNETT", "DUNNETTL", "DUNNETTR"};

bool takesParenthesis(PosthocTest t) {
  return t == PosthocTest::Waller || t == PosthocTest::Dunnett || t == PosthocTest::DunnettL ||
         t == PosthocTest::DunnettR;
}

// Tests whose keyword must be typed in full: their abbreviations would be ambiguous among them.
bool needsExactMatch(PosthocTest t) {
  return t == PosthocTest::Duncan || t == PosthocTest::Dunnett || t == PosthocTest::DunnettL ||
         t == PosthocTest::DunnettR;
}

bool unequalVariance(PosthocTest t) {
  return t == PosthocTest::GamesHowell || t == PosthocTest::T2 || t == PosthocTest::T3 ||
         t == PosthocTest::DunnettC;
}

// Number of distinct factors used by the effects of the design.
int factorsInDesign(const ProcedureState& st) {
  int n = 0;
  for (int f = 0; f < st.nfactr(); ++f)
    if (std::any_of(st.ptefds.begin(), st.ptefds.end(),
                    [&](const EffectRow& r) { return Effect(r, st.nfactr()).hasFactor(f); }))
      ++n;
  return n;
}

bool designHasCovariate(const ProcedureState& st) {
  return std::any_of(st.ptefds.begin(), st.ptefds.end(),
                     [&](const EffectRow& r) { return Effect(r, st.nfactr()).hasCovariate(); });
}

// "(" integer ")" after WALLER or a Dunnett test, with the "(" current.
bool readTestArgument(ParseContext& pc, PosthocRequest& req, PosthocTest test) {
  pc.tok.advance();
  const syntax::Token& t = pc.sym();
  if (t.endsSubcommand()) return failHere(pc, msg::kNoRightParenthesisAfterTestsInPosthoc);
  const double lowest = test == PosthocTest::Waller ? 2.0 : 1.0;  // k-ratio > 1, control > 0
  if (t.cls != syntax::kNumber || !wholeNumberIn(t.value, lowest, 2147483647.0))
    return failHere(pc, msg::kInvalidParenthesizedSpecificationInPosthoc);
  const int v = static_cast<int>(t.value);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kNoRightParenthesisAfterTestsInPosthoc);
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kInvalidParenthesizedSpecificationInPosthoc);
  pc.tok.advance();
  switch (test) {
    case PosthocTest::Waller:
      req.wallerKRatio = v;
      break;
    case PosthocTest::Dunnett:
      req.controlDunnett = v;
      break;
    case PosthocTest::DunnettL:
      req.controlDunnettL = v;
      break;
    case PosthocTest::DunnettR:
      req.controlDunnettR = v;
      break;
    default:
      break;
  }
  return true;
}

// The test list, with its "(" current.
bool readTestList(ParseContext& pc, PosthocRequest& req) {
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndOfSubcommandInPosthoc);
  const bool severalFactors = factorsInDesign(pc.st) > 1;
  while (!pc.sym().isSpecial(kRParen)) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand()) return failHere(pc, msg::kNoRightParenthesisAfterTestsInPosthoc);
    int code = syntax::matchKeyword(t, kPosthocTests);
    if (code > 0 && needsExactMatch(static_cast<PosthocTest>(code)) &&
        t.kw8 != syntax::keywordForm(kPosthocTests[code - 1]))
      code = 0;
    if (code == 0) return failHere(pc, msg::kUnrecognizedTestInPosthoc);
    const auto test = static_cast<PosthocTest>(code);
    if (unequalVariance(test) && severalFactors) {
      // Issued while parsing, but it concerns the data analysis: the test is only left out.
      pc.ctx.message(msg::kNoUnequalVariancePosthocForMultipleFactors, out::Phase::Processing,
                     out::Severity::Warning, t.text, t.place());
      pc.tok.advance();
      continue;
    }
    pc.tok.advance();
    if (pc.sym().isSpecial(kLParen)) {
      if (!takesParenthesis(test)) return failHere(pc, msg::kInvalidParenthesizedSpecificationInPosthoc);
      if (!readTestArgument(pc, req, test)) return false;
    }
    if (std::find(req.tests.begin(), req.tests.end(), test) == req.tests.end()) req.tests.push_back(test);
  }
  pc.tok.advance();  // past ")"
  return true;
}

// The error term after VS, with the symbol after VS current.
bool readErrorTerm(ParseContext& pc, PosthocRequest& req) {
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kEndOfSubcommandAfterVs);
  ParsedEffect pe = parseEffect(pc, pc.st.interceptIncluded);
  if (pe.failed) return false;
  const int e = designEffect(pc.st, pe.row);
  const bool intercept = std::all_of(pe.row.begin(), pe.row.end(), [](int v) { return v == -1; });
  if (e < 0 || intercept) return failHere(pc, msg::kInvalidErrorTermEffectInPosthoc);
  if (std::find(req.mainEffects.begin(), req.mainEffects.end(), e) != req.mainEffects.end())
    return failHere(pc, msg::kPosthocErrorEffectSameAsTestEffect);
  req.errorEffect = e;
  return true;
}

}  // namespace

void parsePosthoc(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (designHasCovariate(st)) {
    pc.warning(msg::kPosthocAndCovariates);
    pc.tok.skipToEndOfSubcommand();
    return;
  }

  PosthocRequest req;
  // Factor list, up to "(", VS or the end of the subcommand.
  while (!pc.sym().endsSubcommand() && !pc.sym().isSpecial(kLParen) && !pc.sym().is("VS")) {
    const syntax::Token& t = pc.sym();
    if (!isVariableName(t)) {
      failHere(pc, msg::kPosthocNotFactorFound);
      return;
    }
    const int f = factorNumber(pc, t);
    const int e = f < 0 ? -1 : mainEffectOf(st.ptefds, st.nfactr(), f);
    const bool random = e >= 0 && static_cast<size_t>(e) < st.randomEffect.size() && st.randomEffect[e] == 1;
    if (e < 0 || random) {
      pc.warning(msg::kPosthocNotAValidFactor);
    } else if (std::find(req.factors.begin(), req.factors.end(), f) != req.factors.end()) {
      pc.warning(msg::kDuplicateFactorInPosthoc);
    } else {
      req.factors.push_back(f);
      req.mainEffects.push_back(e);
    }
    pc.tok.advance();
  }
  if (req.factors.empty()) {
    failHere(pc, msg::kPosthocNoValidFactors);
    return;
  }

  bool testsSeen = false, vsSeen = false;
  while (!pc.sym().endsSubcommand()) {
    if (pc.sym().isSpecial(kLParen)) {
      if (testsSeen) {
        failHere(pc, msg::kRepeatedListOfTestsInPosthoc);
        return;
      }
      testsSeen = true;
      if (!readTestList(pc, req)) return;
    } else if (pc.sym().is("VS")) {
      if (!testsSeen) {
        failHere(pc, msg::kVsBeforeListOfTestsInPosthoc);
        return;
      }
      if (vsSeen) {
        failHere(pc, msg::kRepeatedVsInPosthoc);
        return;
      }
      vsSeen = true;
      pc.tok.advance();
      if (!readErrorTerm(pc, req)) return;
    } else {
      failHere(pc, msg::kSyntaxErrorInPosthoc);
      return;
    }
  }
  if (!testsSeen) {
    failHere(pc, msg::kSyntaxErrorInPosthoc);
    return;
  }
  // A request whose every test was left out has nothing to compute.
  if (req.tests.empty()) return;
  st.ptmpho.push_back(std::move(req));
}

}  // namespace qv
