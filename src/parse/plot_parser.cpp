// PLOT: a list of SPREADLEVEL, RESIDUALS, PROFILE "(" term ... ")" and
// WITH "(" {covariate ["="] number|MEAN} ")".
#include <algorithm>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kLParen;
using syntax::kRParen;

const std::vector<std::string> kPlotKeywords = {"SPREADLE", "RESIDUAL", "PROFILE", "WITH"};

// A profile term has a horizontal-axis factor, a separate-lines factor and a separate-plots
// factor at most.
constexpr size_t kMaxProfileFactors = 3;

bool isSeparator(const syntax::Token& t) { return t.isSpecial(syntax::kStar) || t.code == syntax::kBy; }

// One term: factor {BY|* factor}, with its first symbol current.
bool readProfileTerm(ParseContext& pc, ProfilePlotRequest& term) {
  for (;;) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand() || t.isSpecial(kLParen))
      return failHere(pc, msg::kUnbalancedParenthesesInPlotProfile);
    const int f = factorNumber(pc, t);
    if (f < 0) return failHere(pc, msg::kUnrecognizedSymbolInPlotProfile);
    if (std::find(term.factors.begin(), term.factors.end(), f) != term.factors.end())
      return failHere(pc, msg::kRepeatedFactorInPlotProfile);
    if (term.factors.size() == kMaxProfileFactors) return failHere(pc, msg::kSyntaxErrorInPlot);
    term.factors.push_back(f);
    pc.tok.advance();
    if (!isSeparator(pc.sym())) return true;
    pc.tok.advance();
  }
}

// PROFILE "(" term ... ")", with the symbol after PROFILE current.
bool readProfile(ParseContext& pc) {
  ProcedureState& st = pc.st;
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kSyntaxErrorInPlot);
  pc.tok.advance();
  if (pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kEmptyParenthesesInPlotProfile);
  while (!pc.sym().isSpecial(kRParen)) {
    ProfilePlotRequest term;
    if (!readProfileTerm(pc, term)) return false;
    st.profileList.push_back(std::move(term));
  }
  pc.tok.advance();  // past ")"
  return true;
}

// WITH "(" ... ")", with the symbol after WITH current. `values` receives, per covariate named,
// its value (kSysmis for MEAN).
bool readPlotWith(ParseContext& pc, std::vector<double>& values, std::vector<bool>& named) {
  if (pc.st.ncovar() == 0) return failHere(pc, msg::kPlotWithNotAllowedWithoutCovariates);
  if (!pc.sym().isSpecial(kLParen)) return failHere(pc, msg::kSyntaxErrorInPlot);
  pc.tok.advance();
  if (pc.sym().isSpecial(kRParen)) return failHere(pc, msg::kEmptyParenthesesInPlotWith);
  while (!pc.sym().isSpecial(kRParen)) {
    if (pc.sym().endsSubcommand()) return failHere(pc, msg::kPlotWithInvalidSpecification);
    const int c = covariateNumber(pc, pc.sym());
    if (c < 0) return failHere(pc, msg::kPlotWithUnrecognizedSymbol);
    pc.tok.advance();
    if (pc.sym().isSpecial(syntax::kEquals)) pc.tok.advance();
    double v = kSysmis;
    if (atNumber(pc)) {
      v = readSignedNumber(pc);
    } else if (pc.sym().is("MEAN")) {
      pc.tok.advance();
    } else {
      return failHere(pc, msg::kPlotWithInvalidSpecification);
    }
    values[static_cast<size_t>(c)] = v;
    named[static_cast<size_t>(c)] = true;
  }
  pc.tok.advance();  // past ")"
  return true;
}

}  // namespace

void parsePlot(ParseContext& pc) {
  ProcedureState& st = pc.st;
  std::vector<double> withValues(static_cast<size_t>(st.ncovar()), kSysmis);
  std::vector<bool> named(static_cast<size_t>(st.ncovar()), false);
  bool withGiven = false;

  while (!pc.sym().endsSubcommand()) {
    if (pc.sym().isSpecial(kRParen)) {
      failHere(pc, msg::kUnbalancedParenthesesInPlotProfile);
      return;
    }
    const int kw = syntax::matchKeyword(pc.sym(), kPlotKeywords);
    bool ok = true;
    switch (kw) {
      case 1:
        if (st.nfactr() > 0) {
          st.plotSpreadLevel = true;
        } else {
          pc.warning(msg::kSpreadlevelPlotAndNoFactors);
        }
        pc.tok.advance();
        break;
      case 2:
        st.plotResiduals = true;
        pc.tok.advance();
        break;
      case 3:
        pc.tok.advance();
        ok = readProfile(pc);
        break;
      case 4:
        withGiven = true;
        pc.tok.advance();
        ok = readPlotWith(pc, withValues, named);
        break;
      default:
        failHere(pc, msg::kSyntaxErrorInPlot);
        return;
    }
    if (!ok) return;
  }

  if (!withGiven) return;
  if (st.profilePlotCount() == 0) {
    // The covariate values serve only the profile plots.
    pc.ctx.message(msg::kPlotWithIgnoredWhenNoProfile, out::Phase::Processing, out::Severity::Warning);
    return;
  }
  if (st.plotCovValues.empty()) st.plotCovValues.assign(static_cast<size_t>(st.ncovar()), kSysmis);
  for (size_t c = 0; c < named.size(); ++c)
    if (named[c]) st.plotCovValues[c] = withValues[c];
}

}  // namespace qv
