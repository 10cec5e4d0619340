// Levene's F tests and their table.
#include "host/numeric/distributions.h"
#include "host/output/messages.h"
#include "tests/levene.h"
#include "tests/univariate.h"

namespace qv {

LeveneResult GMTLEV(const ProcedureState& st, const CaseWorkFile& work) {
  LeveneSums sums = leveneSums(st, work);
  LeveneResult r;
  r.status = sums.status;
  r.f.assign(st.ndepvr(), kSysmis);
  r.sig.assign(st.ndepvr(), kSysmis);
  if (sums.status != 0) return r;
  r.df1 = sums.df1;
  r.df2 = sums.df2;
  for (int d = 0; d < st.ndepvr(); ++d) {
    double msh, mse;
    num::FTEST(sums.df1, sums.df2, sums.ssb[d], sums.ssw[d], msh, mse, r.f[d], r.sig[d]);
  }
  return r;
}

void printLevene(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  const Dictionary& dict = ctx.data->dictionary();
  const LeveneResult r = GMTLEV(st, work);
  const std::string title = catalogueText("Levene Test ...");
  if (r.status == 3) {
    // Under split files the warning names the split group.
    ctx.splitGroupNote("Lev Not less than 2 nonempty...", "Lev Not less 2 nonempty [%1 = %2:, ^1 = ^2:]1",
                       out::Severity::Warning);
    if (!ctx.splitCaption.empty() && ctx.data->splitSeparate()) {
      out::TableBuilder tb(5, title, "Levene Test");
      tb.annotateTable(tb.footnote(catalogueText("Test Not less than 2 nonempty some split...")));
      ctx.emitTable(tb);
    }
    return;
  }
  if (r.status != 0) return;

  out::TableBuilder tb(5, title, "Levene Test");
  tb.annotateTable(tb.footnote(designFootnote(st, dict)));
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  tb.annotateTable(tb.footnote(catalogueText("Levene tests the null ...")));
  const int depDim = tb.dimension("Dependent Variable", st.ndepvr() < 2 ? out::Axis::Layer : out::Axis::Row);
  const int statDim = tb.dimension("Statistics", out::Axis::Column);
  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));
    tb.cell(statDim, "F", out::Value::num(r.f[d], out::Fmt::GeneralStat));
    tb.cell(statDim, "df1", out::Value::num(r.df1, out::Fmt::Count));
    tb.cell(statDim, "df2", out::Value::num(r.df2, out::Fmt::Count));
    tb.cell(statDim, "Significance", out::Value::num(r.sig[d], out::Fmt::Significance));
  }
  ctx.emitTable(tb);
}

}  // namespace qv
