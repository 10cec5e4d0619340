// KMATRIX: values {";" values}, where an item is a value (number ["/" number]) or a repetition
// n "*" value. A later KMATRIX replaces an earlier one.
#include <algorithm>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kSemicolon;
using syntax::kStar;

// Upper bound of a repetition count: K has one column per dependent variable, so a larger
// count can only be a typing error, and it would take memory without limit.
constexpr double kMaxRepetitions = 1.0e6;

// Reads one item with its first symbol (a number or a sign) current and appends its values.
bool readItem(ParseContext& pc, std::vector<double>& row) {
  std::string countText;
  double v = readSignedNumber(pc, &countText);
  bool fraction = false;
  if (pc.sym().isSlash()) {
    const syntax::Token& next = pc.tok.peek();
    if (next.cls == syntax::kNumber || ((next.isSpecial(syntax::kMinus) || next.isSpecial(syntax::kPlus)) &&
                                        pc.tok.peek(2).cls == syntax::kNumber)) {
      pc.tok.advance();
      std::string denomText;
      const double d = readSignedNumber(pc, &denomText);
      if (!(d > 0.0)) return failWith(pc, msg::kNotPositiveDenominatorInFraction, denomText);
      v /= d;
      fraction = true;
    }
  }
  if (!pc.sym().isSpecial(kStar)) {
    row.push_back(v);
    return true;
  }
  // Repetition: v is the count.
  if (fraction) return failHere(pc, msg::kInvalidRowWrongStarInKmatrix);
  if (!wholeNumberIn(v, 1.0, kMaxRepetitions))
    return failWith(pc, msg::kBadNumberOfRepetitionsInKmatrix, countText);
  pc.tok.advance();
  if (pc.sym().isSpecial(kStar)) return failHere(pc, msg::kInvalidRowTwoStarsInKmatrix);
  if (!atNumber(pc)) return failHere(pc, msg::kInvalidRowWrongStarInKmatrix);
  double value = 0.0;
  if (!readFraction(pc, value)) return false;
  if (pc.sym().isSpecial(kStar)) return failHere(pc, msg::kInvalidRowTwoStarsInKmatrix);
  row.insert(row.end(), static_cast<size_t>(v), value);
  return true;
}

}  // namespace

void parseKmatrix(ParseContext& pc) {
  ProcedureState& st = pc.st;
  const syntax::SourcePlace keywordPlace = subcommandPlace(pc);
  std::vector<std::vector<double>> rows;
  std::vector<double> row;
  for (;;) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand() || t.isSpecial(kSemicolon)) {
      if (row.empty()) {
        failHere(pc, msg::kNoValuesInKmatrix);
        return;
      }
      if (!rows.empty() && row.size() != rows.front().size()) {
        failHere(pc, msg::kDifferentNumberOfValuesInKmatrix);
        return;
      }
      rows.push_back(std::move(row));
      row.clear();
      if (t.endsSubcommand()) break;
      pc.tok.advance();
      continue;
    }
    if (t.isSpecial(kStar)) {
      failHere(pc, row.empty() ? msg::kInvalidRowFirstStarInKmatrix : msg::kInvalidRowWrongStarInKmatrix);
      return;
    }
    if (!atNumber(pc)) {
      failHere(pc, msg::kUnrecognizedSymbolInKmatrix);
      return;
    }
    if (!readItem(pc, row)) return;
  }

  const int nrow = static_cast<int>(rows.size());
  for (const LMatrixRequest& l : st.lmatrixList)
    if (l.lmxrow != nrow) {
      failHere(pc, msg::kKmatrixAndLmatrixDifferentNumberOfRows);
      return;
    }
  st.kmnrow = nrow;
  st.kmncol = static_cast<int>(rows.front().size());
  st.places.kmatrix = keywordPlace;
  st.ptkmat.clear();
  for (const auto& r : rows) st.ptkmat.insert(st.ptkmat.end(), r.begin(), r.end());
}

}  // namespace qv
