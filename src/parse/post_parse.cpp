// Checks and derived settings once the whole command has been read.
#include "host/output/messages.h"
#include "parse/subcommands.h"

namespace qv {

namespace {

// Descriptive statistics are laid out with one dimension per factor (and per split variable
// when the groups share one table); beyond this the table cannot be shown.
constexpr int kMaxDescriptiveFactors = 18;

void processingError(ParseContext& pc, int number, syntax::SourcePlace at = {}) {
  pc.ctx.message(number, out::Phase::Processing, out::Severity::Error, "", at);
}

// Where a variable is named in the variable list at the head of the command (before the first
// "/"); unknown when it is only covered by a TO range.
syntax::SourcePlace placeInVariableList(const ParseContext& pc, int var) {
  for (const syntax::Token& t : pc.tok.tokens()) {
    if (t.isSlash() || t.isEnd()) break;
    if (t.cls == syntax::kName && pc.dict.find(t.text) == var) return t.place();
  }
  return {};
}

// The missing-value handling notes of the command.
void emitMissingValueNotes(ParseContext& pc) {
  out::TableBuilder tb(0, "Notes", "Notes");
  const int d = tb.dimension("Contents", out::Axis::Row);
  tb.beginGroup(d, "Missing Value Handling", "Missing Value Handling");
  tb.category(d, "Definition of Missing");
  tb.cellHere(
      out::Value::str(catalogueText(pc.st.includeUserMissing ? "MISSING=INCLUDE..." : "MISSING=EXCLUDE...")));
  tb.category(d, "Cases Used");
  tb.cellHere(out::Value::str(catalogueText("CASES USED...")));
  tb.endGroup(d);
  pc.ctx.emit(tb.finish());
}

bool hasUserMissing(const Dictionary& dict, int var) {
  return var >= 0 && static_cast<size_t>(var) < dict.vars.size() &&
         !dict.vars[static_cast<size_t>(var)].missing.empty();
}

}  // namespace

void postParseChecks(ParseContext& pc) {
  ProcedureState& st = pc.st;
  const Dictionary& dict = pc.dict;
  emitMissingValueNotes(pc);

  st.factorValueWidth = 0;
  for (int w : st.factorWidth) st.factorValueWidth += w;
  st.caseRecordLength = st.factorValueWidth + st.ncovar() + st.ndepvr() + 2;

  // With no user-missing values defined the two treatments select the same cases, and the case
  // pass takes the cheaper one. The weights are looked at too: their user-missing values must
  // keep excluding cases.
  if (!st.includeUserMissing) {
    bool any = hasUserMissing(dict, st.regwgtVar);
    if (pc.ctx.data) any = any || hasUserMissing(dict, pc.ctx.data->weightIndex());
    for (const auto* list : {&st.depVars, &st.factorVars, &st.covVars})
      for (int v : *list) any = any || hasUserMissing(dict, v);
    if (!any) st.includeUserMissing = true;
  }

  if (st.printDescriptives) {
    int dims = st.nfactr();
    if (pc.ctx.data && !pc.ctx.data->splitSeparate())
      dims += static_cast<int>(pc.ctx.data->splitIndexes().size());
    if (dims > kMaxDescriptiveFactors) {
      st.printDescriptives = false;
      pc.ctx.message(msg::kNoDescriptiveTooManyFactors, out::Phase::Processing, out::Severity::Warning);
    }
  }

  if (!st.ptkmat.empty()) {
    if (st.lmatrixCount() == 0) {
      // The default L matrix has one row.
      if (st.kmnrow != 1)
        return processingError(pc, msg::kKmatrixAndDefaultLMatrixDifferentNumberOfRows, st.places.kmatrix);
      if (!st.interceptIncluded) return processingError(pc, msg::kKmatrixAndNoLMatrix, st.places.kmatrix);
    }
    if (st.kmncol != st.ndepvr())
      return processingError(pc, msg::kKmatrixAndDefaultMMatrixDifferentNumberOfColumns, st.places.kmatrix);
  }

  if (st.nfactr() == 0 && st.ncovar() == 0 && !st.interceptIncluded)
    return processingError(pc, msg::kNoFactorsNoCovariatesNoIntercept);

  st.factorUsed.assign(static_cast<size_t>(st.nfactr()), false);
  st.covariateUsed.assign(static_cast<size_t>(st.ncovar()), false);
  for (const EffectRow& row : st.ptefds) {
    const Effect effect(row, st.nfactr());
    for (int f : effect.factors()) st.factorUsed[static_cast<size_t>(f)] = true;
    for (int c = 0; c < st.ncovar(); ++c)
      if (effect.power(c) > 0) st.covariateUsed[static_cast<size_t>(c)] = true;
  }
  std::vector<std::string> unused;
  syntax::SourcePlace firstUnused;
  auto noteUnused = [&](int var) {
    unused.push_back(dict.vars[static_cast<size_t>(var)].name);
    if (!firstUnused.known()) firstUnused = placeInVariableList(pc, var);
  };
  bool usesFactors = false, usesCovariates = false;
  for (int f = 0; f < st.nfactr(); ++f) {
    if (st.factorUsed[static_cast<size_t>(f)]) {
      usesFactors = true;
    } else {
      noteUnused(st.factorVars[static_cast<size_t>(f)]);
    }
  }
  for (int c = 0; c < st.ncovar(); ++c) {
    if (st.covariateUsed[static_cast<size_t>(c)]) {
      usesCovariates = true;
    } else {
      noteUnused(st.covVars[static_cast<size_t>(c)]);
    }
  }
  st.designContent = usesFactors ? (usesCovariates ? 1 : 2) : (usesCovariates ? 3 : 4);
  if (!unused.empty()) {
    // The repeat-list template is expanded here, so the text reads right whatever the
    // catalogue does with the key.
    out::Message m;
    m.severity = out::Severity::Warning;
    m.phase = out::Phase::Processing;
    m.key = "Design does not use [%1:, ^1:]1";
    m.text = "Design does not use ";
    for (size_t i = 0; i < unused.size(); ++i) m.text += (i > 0 ? ", " : "") + unused[i];
    // At the first variable left out, where the list names it.
    m.line = firstUnused.line;
    m.column = firstUnused.column;
    pc.ctx.emit(std::move(m));
  }

  // The EMMEANS and POSTHOC request lists are put in order by their own parsers; the OUTFILE
  // files are opened by the matrix-file writer from the paths kept in the state.

  if (st.regwgtVar >= 0)
    st.weightingFootnote = expandTemplate(catalogueText("Weighted Least Squares by ^1..."),
                                          {dict.vars[static_cast<size_t>(st.regwgtVar)].name});
}

}  // namespace qv
