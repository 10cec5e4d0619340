// LMATRIX: ["label"] ( ALL values {";" ALL values} | effect values {effect values} {";" ...} ).
// Each subcommand is one hypothesis L; rows that are entirely zero are removed.
#include <algorithm>

#include "parse/optional_subcommands.h"
#include "parse/subcommand_support.h"

namespace qv {

namespace {

using namespace parse;
using syntax::kSemicolon;

// One row of the effect form: the effects named, each with its values.
struct EffectEntry {
  int effect = 0;
  std::vector<double> values;
};
using EffectRowValues = std::vector<EffectEntry>;

// Values after ALL or after an effect, as long as numbers follow.
bool readValues(ParseContext& pc, std::vector<double>& values) {
  while (atNumber(pc)) {
    double v = 0.0;
    if (!readFraction(pc, v)) return false;
    values.push_back(v);
  }
  return true;
}

bool readAllRows(ParseContext& pc, std::vector<std::vector<double>>& rows) {
  for (;;) {
    pc.tok.advance();  // past ALL
    std::vector<double> row;
    if (!readValues(pc, row)) return false;
    if (row.empty()) return failHere(pc, msg::kNoValuesFoundInLmatrix);
    if (!rows.empty() && row.size() != rows.front().size())
      return failHere(pc, msg::kDifferentNumberOfValuesInLmatrix);
    rows.push_back(std::move(row));
    if (pc.sym().endsSubcommand()) return true;
    if (!pc.sym().isSpecial(kSemicolon)) return failHere(pc, msg::kInvalidSyntaxInLmatrix);
    pc.tok.advance();
    if (pc.sym().code != syntax::kAll) return failHere(pc, msg::kAllWasExpectedInLmatrix);
  }
}

bool readEffectRows(ParseContext& pc, std::vector<EffectRowValues>& rows) {
  const ProcedureState& st = pc.st;
  std::vector<int> counts(st.ptefds.size(), 0);  // values per row of each effect named so far
  EffectRowValues row;
  for (;;) {
    const syntax::Token& t = pc.sym();
    if (t.endsSubcommand() || t.isSpecial(kSemicolon)) {
      if (row.empty()) return failHere(pc, msg::kNoValuesFoundInLmatrix);
      rows.push_back(std::move(row));
      row.clear();
      if (t.endsSubcommand()) return true;
      pc.tok.advance();
      continue;
    }
    if (!isVariableName(t)) return failHere(pc, msg::kInvalidSyntaxInLmatrix);
    const size_t start = pc.tok.position();
    ParsedEffect pe = parseEffect(pc, st.interceptIncluded);
    if (pe.failed) return false;
    const int e = designEffect(st, pe.row);
    if (e < 0) return failAt(pc, start, msg::kEffectInLmatrixNotInDesign);
    if (std::any_of(row.begin(), row.end(), [e](const EffectEntry& x) { return x.effect == e; }))
      return failAt(pc, start, msg::kDuplicateEffectInLmatrix);
    EffectEntry entry{e, {}};
    if (!readValues(pc, entry.values)) return false;
    if (entry.values.empty()) return failHere(pc, msg::kNoValuesFoundInLmatrix);
    // The hypothesis keeps one count per effect, so every row must give an effect as many
    // values as the first row that named it.
    int& count = counts[static_cast<size_t>(e)];
    if (count != 0 && count != static_cast<int>(entry.values.size()))
      return failHere(pc, msg::kDifferentNumberOfValuesInLmatrix);
    count = static_cast<int>(entry.values.size());
    row.push_back(std::move(entry));
  }
}

template <typename Row, typename IsZero>
std::vector<Row> dropZeroRows(ParseContext& pc, std::vector<Row> rows, IsZero isZero) {
  std::vector<Row> kept;
  for (Row& r : rows) {
    if (isZero(r)) {
      pc.ctx.message(msg::kZeroRowInLmatrix, out::Phase::Processing, out::Severity::Warning);
    } else {
      kept.push_back(std::move(r));
    }
  }
  return kept;
}

bool allZero(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
}

}  // namespace

void parseLmatrix(ParseContext& pc) {
  ProcedureState& st = pc.st;
  const syntax::SourcePlace keywordPlace = subcommandPlace(pc);
  LMatrixRequest req;
  if (pc.sym().cls == syntax::kString) {
    if (pc.sym().text.empty()) {
      failHere(pc, msg::kEmptyLabelInLmatrix);
      return;
    }
    req.label = pc.sym().text;
    pc.tok.advance();
  }

  if (pc.sym().code == syntax::kAll) {
    std::vector<std::vector<double>> rows;
    if (!readAllRows(pc, rows)) return;
    rows = dropZeroRows(pc, std::move(rows), allZero);
    if (rows.empty()) {
      pc.ctx.message(msg::kZeroLmatrix, out::Phase::Processing, out::Severity::Error);
      return;
    }
    req.all = true;
    req.lmxrow = static_cast<int>(rows.size());
    req.valuesPerRow = static_cast<int>(rows.front().size());
    for (const auto& r : rows) req.allValues.insert(req.allValues.end(), r.begin(), r.end());
  } else {
    std::vector<EffectRowValues> rows;
    if (!readEffectRows(pc, rows)) return;
    rows = dropZeroRows(pc, std::move(rows), [](const EffectRowValues& r) {
      return std::all_of(r.begin(), r.end(), [](const EffectEntry& x) { return allZero(x.values); });
    });
    if (rows.empty()) {
      pc.ctx.message(msg::kZeroLmatrix, out::Phase::Processing, out::Severity::Error);
      return;
    }
    const size_t nrow = rows.size();
    req.lmxrow = static_cast<int>(nrow);
    req.effectCounts.assign(st.ptefds.size(), 0);
    req.effectValues.assign(st.ptefds.size(), {});
    for (const auto& r : rows)
      for (const EffectEntry& x : r)
        req.effectCounts[static_cast<size_t>(x.effect)] = static_cast<int>(x.values.size());
    for (size_t e = 0; e < st.ptefds.size(); ++e) {
      const size_t count = static_cast<size_t>(req.effectCounts[e]);
      if (count == 0) continue;
      // Column by column, one value per row; a row that does not name the effect has zeros.
      std::vector<double>& out = req.effectValues[e];
      out.assign(count * nrow, 0.0);
      for (size_t i = 0; i < nrow; ++i)
        for (const EffectEntry& x : rows[i])
          if (static_cast<size_t>(x.effect) == e)
            for (size_t c = 0; c < count; ++c) out[c * nrow + i] = x.values[c];
    }
  }

  if (!st.ptkmat.empty() && req.lmxrow != st.kmnrow) {
    failHere(pc, msg::kKmatrixAndLmatrixDifferentNumberOfRows);
    return;
  }
  st.lmatrixList.push_back(std::move(req));
  st.places.lmatrices.push_back(keywordPlace);
}

}  // namespace qv
