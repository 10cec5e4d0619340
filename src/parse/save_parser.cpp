// SAVE: a list of keywords, each optionally followed by "(" new variable names ")". The last
// SAVE subcommand wins.
#include <algorithm>
#include <cctype>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kLParen;
using syntax::kRParen;

const std::vector<std::string> kSaveKeywords = {"PRED",   "WPRED",  "RESID",  "WRESID", "DRESID",
                                                "ZRESID", "SRESID", "SEPRED", "COOK",   "LEVER"};

// Longest variable name the dictionary holds.
constexpr size_t kMaxNameLength = 64;

// Words that can never name a variable.
bool reservedWord(const std::string& name) {
  static const char* const kReserved[] = {"ALL", "AND", "BY",  "EQ", "GE", "GT",  "LE",
                                          "LT",  "NE",  "NOT", "OR", "TO", "WITH"};
  std::string u = name;
  for (auto& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return std::any_of(std::begin(kReserved), std::end(kReserved), [&](const char* r) { return u == r; });
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// "(" names ")" with the "(" current. A name must be new to the dictionary and to this SAVE.
bool readNames(ParseContext& pc, std::vector<std::string>& names, const std::vector<std::string>& taken) {
  pc.tok.advance();
  while (!pc.sym().isSpecial(kRParen)) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand()) return failHere(pc, msg::kSyntaxErrorInSave);
    if (t.isSpecial(syntax::kComma)) {
      pc.tok.advance();
      continue;
    }
    if (!isVariableName(t) || t.text.size() > kMaxNameLength || reservedWord(t.text))
      return failHere(pc, msg::kInvalidNameInSave);
    auto clash = [&](const std::string& n) { return sameName(n, t.text); };
    if (pc.dict.find(t.text) >= 0 || std::any_of(taken.begin(), taken.end(), clash) ||
        std::any_of(names.begin(), names.end(), clash))
      return failHere(pc, msg::kExistingNameInSave);
    names.push_back(t.text);
    pc.tok.advance();
  }
  // One name per dependent variable at most; fewer leave the rest to be generated.
  if (names.empty() || static_cast<int>(names.size()) > pc.st.ndepvr())
    return failHere(pc, msg::kSyntaxErrorInSave);
  pc.tok.advance();  // past ")"
  return true;
}

}  // namespace

void parseSave(ParseContext& pc) {
  ProcedureState& st = pc.st;
  st.saveKeywords.fill(0);
  for (auto& n : st.saveNames) n.clear();

  std::vector<std::string> taken;  // names given so far in this SAVE
  while (!pc.sym().endsSubcommand()) {
    const int code = syntax::matchKeyword(pc.sym(), kSaveKeywords);
    if (code == 0) {
      failHere(pc, msg::kUnrecognizedKeywordInSave);
      return;
    }
    // A keyword given twice would make the same variables twice.
    const auto used = st.saveKeywords.begin() + st.saveCount();
    if (std::find(st.saveKeywords.begin(), used, code) != used) {
      failHere(pc, msg::kSyntaxErrorInSave);
      return;
    }
    const auto kw = static_cast<SaveKeyword>(code);
    const bool needsWeight = kw == SaveKeyword::WPred || kw == SaveKeyword::WResid;
    const bool dropped = needsWeight && st.regwgtVar < 0;
    if (dropped) pc.warning(msg::kThisSaveKeywordRequiresRegressionWeight);
    pc.tok.advance();
    std::vector<std::string> names;
    if (pc.sym().isSpecial(kLParen)) {
      if (!readNames(pc, names, taken)) return;
    }
    if (dropped) continue;
    taken.insert(taken.end(), names.begin(), names.end());
    const auto next = static_cast<size_t>(st.saveCount());
    st.saveNames[next] = std::move(names);
    st.saveKeywords[next] = code;
  }
}

}  // namespace qv
