// EMMEANS: TABLES "(" OVERALL | factor {BY|* factor} ")" [WITH "(" {covariate ["="] value|MEAN} ")"]
//          [COMPARE ["(" factor ")"]] [ADJ "(" NONE|LSD|BONFERRONI|SIDAK ")"].
// Each subcommand is one TABLES request; its keywords may come in any order, each once.
// A subcommand without TABLES asks for the grand mean (OVERALL).
#include <algorithm>
#include <array>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kLParen;
using syntax::kRParen;

const std::vector<std::string> kEmmeansKeywords = {"TABLES", "WITH", "COMPARE", "ADJ"};
const std::vector<std::string> kAdjustments = {"NONE", "LSD", "BONFERRO", "SIDAK"};

// Most table factors: the split variables also take a dimension of the tables.
constexpr int kMaxTableDimensions = 17;

bool isSeparator(const syntax::Token& t) { return t.isSpecial(syntax::kStar) || t.code == syntax::kBy; }

// TABLES "(" ... ")", with the symbol after TABLES current.
bool readTables(ParseContext& pc, EmmeansRequest& req) {
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kLeftParenthesisNotFoundInEmmeans);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
  if (pc.sym().is("OVERALL")) {
    pc.tok.advance();
    if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
    if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kNoRightParenthesisInEmmeans);
    pc.tok.advance();
    return true;
  }
  if (pc.st.nfactr() == 0) return failHere(pc, msg::kEmmeanTablesNotAllowedWithoutFactors);
  bool expectFactor = true;  // at the start and after a separator
  for (;;) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
    if (t.isSpecial(kRParen)) {
      if (expectFactor)
        return failHere(
            pc, req.factors.empty() ? msg::kUnrecognizedFactorInEmmeans : msg::kByInWrongPlaceInEmmeans);
      break;
    }
    if (isSeparator(t)) {
      if (expectFactor) return failHere(pc, msg::kByInWrongPlaceInEmmeans);
      expectFactor = true;
      pc.tok.advance();
      continue;
    }
    if (!expectFactor)
      return failHere(pc, isVariableName(t) ? msg::kByNotFoundInEmmeans : msg::kNoRightParenthesisInEmmeans);
    const int f = factorNumber(pc, t);
    if (f < 0) return failHere(pc, msg::kUnrecognizedFactorInEmmeans);
    if (std::find(req.factors.begin(), req.factors.end(), f) != req.factors.end())
      return failHere(pc, msg::kRepeatedFactorInEmmeans);
    req.factors.push_back(f);
    expectFactor = false;
    pc.tok.advance();
  }
  const int splitVars = pc.ctx.data ? static_cast<int>(pc.ctx.data->splitIndexes().size()) : 0;
  if (static_cast<int>(req.factors.size()) > kMaxTableDimensions - splitVars)
    return failHere(pc, msg::kTooManyEmmeansFactors);
  pc.tok.advance();  // past ")"
  return true;
}

// WITH "(" ... ")", with the symbol after WITH current.
bool readWith(ParseContext& pc, EmmeansRequest& req) {
  if (pc.st.ncovar() == 0) return failHere(pc, msg::kEmmeanWithNotAllowedWithoutCovariates);
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kLeftParenthesisNotFoundInEmmeans);
  pc.tok.advance();
  std::vector<bool> named(static_cast<size_t>(pc.st.ncovar()), false);
  for (;;) {
    if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
    if (pc.sym().isSpecial(kRParen)) break;
    const int c = covariateNumber(pc, pc.sym());
    if (c < 0) return failHere(pc, msg::kEmmeanWithUnrecognizedSymbol);
    pc.tok.advance();
    if (pc.sym().isSpecial(syntax::kEquals)) pc.tok.advance();
    if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
    std::optional<double> value;
    if (atNumber(pc)) {
      value = readSignedNumber(pc);
    } else if (pc.sym().is("MEAN")) {
      pc.tok.advance();
    } else {
      return failHere(pc, msg::kEmmeanWithInvalidSpecification);
    }
    auto& slot = req.covariateValues[static_cast<size_t>(c)];
    if (named[static_cast<size_t>(c)] && slot != value)
      return failHere(pc, msg::kEmmeanWithContradictCovariateSpecification);
    named[static_cast<size_t>(c)] = true;
    slot = value;
  }
  pc.tok.advance();  // past ")"
  return true;
}

// COMPARE ["(" factor ")"], with the symbol after COMPARE current. `compareFactor` receives the
// factor number, or -1 when none is named.
bool readCompare(ParseContext& pc, int& compareFactor) {
  compareFactor = -1;
  if (!pc.sym().isSpecial(kLParen)) return true;
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
  compareFactor = factorNumber(pc, pc.sym());
  if (compareFactor < 0) return failHere(pc, msg::kNoFactorForCompareInEmmeans);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kNoRightParenthesisInEmmeans);
  pc.tok.advance();
  return true;
}

// ADJ "(" method ")", with the symbol after ADJ current.
bool readAdjustment(ParseContext& pc, EmmeansAdjustment& adj) {
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kLeftParenthesisNotFoundInEmmeans);
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
  switch (syntax::matchKeyword(pc.sym(), kAdjustments)) {
    case 1:
    case 2:
      adj = EmmeansAdjustment::Lsd;
      break;
    case 3:
      adj = EmmeansAdjustment::Bonferroni;
      break;
    case 4:
      adj = EmmeansAdjustment::Sidak;
      break;
    default:
      return failHere(pc, msg::kEmmeanAdjUnrecognizedSymbol);
  }
  pc.tok.advance();
  if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPrematureEndInEmmeans);
  if (!pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kNoRightParenthesisInEmmeans);
  pc.tok.advance();
  return true;
}

}  // namespace

void parseEmmeans(ParseContext& pc) {
  ProcedureState& st = pc.st;
  const syntax::SourcePlace keywordPlace = subcommandPlace(pc);
  syntax::SourcePlace adjPlace;
  EmmeansRequest req;
  req.covariateValues.assign(static_cast<size_t>(st.ncovar()), std::nullopt);
  std::array<bool, 4> seen{};
  bool compare = false;
  int compareFactor = -1;
  bool adjGiven = false;

  while (!pc.sym().endsSubcommand()) {
    const int kw = syntax::matchKeyword(pc.sym(), kEmmeansKeywords);
    if (kw == 0 || seen[kw - 1]) {
      failHere(pc, msg::kUnrecognizedSymbolInEmmeans);
      return;
    }
    seen[kw - 1] = true;
    if (kw == 4) adjPlace = pc.sym().place();
    pc.tok.advance();
    bool ok = true;
    switch (kw) {
      case 1:
        ok = readTables(pc, req);
        break;
      case 2:
        ok = readWith(pc, req);
        break;
      case 3:
        compare = true;
        ok = readCompare(pc, compareFactor);
        break;
      case 4:
        adjGiven = true;
        ok = readAdjustment(pc, req.adjustment);
        break;
    }
    if (!ok) return;
  }

  // Checks that need the whole request (the keywords may come in any order).
  if (compare) {
    if (req.factors.empty()) {
      failHere(pc, msg::kInvalidCompareInEmmeans);
      return;
    }
    if (compareFactor >= 0) {
      auto it = std::find(req.factors.begin(), req.factors.end(), compareFactor);
      if (it == req.factors.end()) {
        failHere(pc, msg::kEmmeanCompareNotTablesFactor);
        return;
      }
      req.compare = static_cast<int>(it - req.factors.begin());
    } else if (req.factors.size() == 1) {
      req.compare = 0;
    } else {
      failHere(pc, msg::kEmmeanCompareCannotBeOmitted);
      return;
    }
  } else if (adjGiven) {
    pc.ctx.message(msg::kEmmeanAdjIgnoredWithoutCompare, out::Phase::Processing, out::Severity::Warning, "",
                   adjPlace);
    req.adjustment = EmmeansAdjustment::Lsd;
  }

  if (std::find(st.emmeansList.begin(), st.emmeansList.end(), req) != st.emmeansList.end()) {
    pc.warning(msg::kRedundantEmmeans);
    return;
  }
  st.emmeansList.push_back(std::move(req));
  st.places.emmeans.push_back(keywordPlace);
}

}  // namespace qv
