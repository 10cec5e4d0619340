#include "hypotheses/estimable_functions.h"

#include <cmath>

#include "data/design.h"
#include "host/numeric/matrix.h"
#include "host/output/labels.h"
#include "host/output/messages.h"
#include "hypotheses/custom_hypotheses.h"
#include "report/shared_labels.h"

namespace qv {

namespace {

// Relative distance from an integer within which a coefficient counts as that integer: the
// coefficients come out of sweeps and carry rounding in their last bits.
constexpr double kIntegerFactor = 64.0;

std::string zeroDfText() { return catalogueText("Zero degrees of freedom ..."); }

}  // namespace

out::Value lValue(double x) {
  if (num::QLRINT(x, kIntegerFactor)) return out::Value::num(std::nearbyint(x) + 0.0, out::Fmt::Integer);
  return out::Value::num(x, out::Fmt::Coefficient);
}

const std::vector<std::string>& parameterLabels(const Context& ctx, const ProcedureState& st,
                                                std::vector<std::string>& local) {
  if (!st.group.paramLabels.empty()) return st.group.paramLabels;
  buildParamLabels(st, ctx.data->dictionary(), local);
  return local;
}

std::string sstypeFootnote(int sstype) {
  QV_ASSERT(sstype >= 1 && sstype <= 4, "gmalda");
  static const char* const kRoman[] = {"I", "II", "III", "IV"};
  return expandTemplate(catalogueText("This is the L transpose based on ^1 ..."), {kRoman[sstype - 1]});
}

std::vector<int> effectLColumns(const ProcedureState& st, int e) {
  const GroupState& g = st.group;
  const size_t rows = g.hypotheses[e].L.rows;
  const int first = g.effectFirstCol[e] - 1;
  const int last = first + g.effectNcols[e];
  auto columnsWhere = [&](const std::vector<char>& set) {
    std::vector<int> cols;
    for (int j = first; j < last; ++j)
      if (j < static_cast<int>(set.size()) && set[j]) cols.push_back(j);
    return cols;
  };
  std::vector<int> cols = columnsWhere(g.nonRedundant);
  if (cols.size() == rows) return cols;
  // The hypothesis was built in another sweep order than the full model (an effect placed
  // after one that aliases it): name the rows by the columns that carried them.
  std::vector<int> hyp = columnsWhere(g.hypothesisColumns);
  if (hyp.size() == rows) return hyp;
  // Rows dropped while the hypothesis was made testable: keep the first columns that carried one.
  if (hyp.size() > rows) {
    hyp.resize(rows);
    return hyp;
  }
  cols.clear();
  for (int j = first; j < last && cols.size() < rows; ++j) cols.push_back(j);
  return cols;
}

void printGeneralEstimableFunction(Context& ctx, const ProcedureState& st) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  // Printed separately per split group, the table is titled by the group under a heading.
  SeparateSplitHeading heading(ctx, "General Estimable Function");
  out::TableBuilder tb(10, "General Estimable Function", "General Estimable Function");
  if (g.modldf < 1 || g.estBasis.rows == 0) {
    tb.annotateTable(tb.footnote(zeroDfText()));
  } else {
    std::vector<std::string> local;
    const std::vector<std::string>& labels = parameterLabels(ctx, st, local);
    const int conDim = tb.dimension("Contrast", out::Axis::Column);
    const int parDim = tb.dimension("Parameter", out::Axis::Row);
    tb.annotateTable(tb.footnote(designFootnote(st, dict)));
    if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
    for (int i = 0; i < g.dmncol; ++i) {
      tb.category(parDim, labels[i]);
      size_t k = 0;
      for (int j = 0; j < g.dmncol; ++j) {
        if (!g.nonRedundant[j]) continue;
        tb.cell(conDim, out::lColumnLabel(j + 1), lValue(g.estBasis(k++, static_cast<size_t>(i))));
      }
    }
  }
  ctx.emitTableTitledBySplitGroup(tb);
}

void printEffectLMatrix(Context& ctx, const ProcedureState& st, int e, const std::string& title,
                        const std::string& extraFootnote) {
  const GroupState& g = st.group;
  std::vector<std::string> local;
  const std::vector<std::string>& labels = parameterLabels(ctx, st, local);
  out::TableBuilder tb(11, title, "Contrast Coefficients");
  const num::Mat& l = g.hypotheses[e].L;
  if (!extraFootnote.empty()) tb.annotateTable(tb.footnote(extraFootnote));
  if (g.hypotheses[e].df < 1 || l.rows == 0) {
    tb.annotateTable(tb.footnote(zeroDfText()));
  } else {
    const int conDim = tb.dimension("Contrast", out::Axis::Column);
    const int parDim = tb.dimension("Parameter", out::Axis::Row);
    tb.annotateTable(tb.footnote(sstypeFootnote(st.sstype)));
    if (st.sstype == 4 && g.hypotheses[e].unique != 1)
      tb.annotateTable(tb.footnote(catalogueText("Estimable not unique ...")));
    const std::vector<int> cols = effectLColumns(st, e);
    for (int i = 0; i < g.dmncol; ++i) {
      tb.category(parDim, labels[i]);
      for (size_t k = 0; k < cols.size(); ++k)
        tb.cell(conDim, out::lColumnLabel(cols[k] + 1), lValue(l(k, static_cast<size_t>(i))));
    }
  }
  ctx.emitTableTitledBySplitGroup(tb);
}

void printEffectLMatrices(Context& ctx, const ProcedureState& st) {
  const Dictionary& dict = ctx.data->dictionary();
  ctx.beginHeading(catalogueText("Contrast Coefficients ..."));
  for (int e = 0; e < st.effectCount(); ++e) {
    // Printed separately per split group, each table is titled by the group under a heading
    // naming its effect.
    const std::string name = effectName(st, dict, e);
    SeparateSplitHeading heading(ctx, name);
    printEffectLMatrix(ctx, st, e, name, "");
  }
  ctx.endHeading();
}

}  // namespace qv
