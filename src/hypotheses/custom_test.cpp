#include "hypotheses/custom_test.h"

#include <fmt/format.h>

#include <cmath>

#include "data/design.h"
#include "host/output/messages.h"
#include "host/output/number_format.h"
#include "hypotheses/custom_hypotheses.h"
#include "hypotheses/estimable_functions.h"
#include "report/shared_labels.h"
#include "report/univariate_test.h"

namespace qv {

namespace {

out::Value dfValue(double df) {
  if (isSysmis(df)) return out::Value::missing(out::Fmt::Count);
  return out::Value::num(df, df == std::nearbyint(df) ? out::Fmt::Count : out::Fmt::Coefficient);
}

}  // namespace

CustomTestResult GMTELC(const ProcedureState& st, const TestRequest& t) {
  const GroupState& g = st.group;
  QV_ASSERT(t.ieffh >= 0 && t.ieffh < st.effectCount(), "GMTELC");
  CustomTestResult r;
  r.dfh = std::max(g.hypotheses[t.ieffh].df, 0);
  r.ssh = r.dfh > 0 ? g.hypotheses[t.ieffh].sscp(0, 0) : 0.0;
  if (t.kind == TestErrorKind::Value) {
    // The value is the error mean square; its sum of squares is value x df.
    QV_ASSERT(t.errorDf && *t.errorDf > 0, "GMTELC");
    r.dfe = *t.errorDf;
    r.sse = t.givenValue * r.dfe;
  } else {
    long double mse = 0.0L, d = 0.0L;
    for (const TestTerm& term : t.terms) {
      QV_ASSERT(term.effect >= 0 && term.effect < st.effectCount(), "GMTELC");
      const int df = g.hypotheses[term.effect].df;
      if (df <= 0) continue;
      const long double ms = static_cast<long double>(g.hypotheses[term.effect].sscp(0, 0)) / df;
      const long double part = term.coefficient * ms;
      mse += part;
      d += part * part / df;
    }
    if (t.errorDf) {
      QV_ASSERT(*t.errorDf >= 0, "GMTELC");
      r.dfe = *t.errorDf;
      if (mse < 0) {
        r.status = 1;
      } else {
        r.mse = static_cast<double>(mse);
      }
    } else if (!(d > 0)) {
      r.status = 2;
    } else if (mse >= 0) {
      r.mse = static_cast<double>(mse);
      r.dfe = static_cast<double>(mse * mse / d);
    } else {
      r.status = 1;
    }
    if (!isSysmis(r.dfe) && !isSysmis(r.mse)) r.sse = r.dfe * r.mse;
  }
  if (r.status == 0 && !isSysmis(r.sse)) {
    const UnivariateTest u = GMTUNV(st.alplev, r.dfh, r.dfe, r.ssh, r.sse);
    r.msh = u.msh;
    r.mse = u.mse;
    r.f = u.f;
    r.sig = u.sig;
    r.etaSquared = u.etaSquared;
    r.noncentrality = u.noncentrality;
    r.power = u.power;
  }
  return r;
}

std::string errorTermDescription(const ProcedureState& st, const Dictionary& dict, const TestRequest& t) {
  std::string s;
  bool first = true;
  for (const TestTerm& term : t.terms) {
    const double c = term.coefficient;
    if (c == 0.0) continue;
    if (c < 0)
      s += " - ";
    else if (!first)
      s += " + ";
    if (std::fabs(c) != 1.0) s += out::formatLabelNumber(std::fabs(c)) + " ";
    s += effectName(st, dict, term.effect);
    first = false;
  }
  return first ? "0" : s;
}

TestIndexItems testIndexItems(const ProcedureState& st, const Dictionary& dict, int i) {
  const TestRequest& t = st.testList[static_cast<size_t>(i)];
  TestIndexItems items;
  items.hypothesisTerm = effectName(st, dict, t.ieffh);
  items.errorTerm = t.kind == TestErrorKind::Value ? out::formatLabelNumber(t.givenValue)
                                                   : errorTermDescription(st, dict, t);
  items.errorDf = t.errorDf;
  return items;
}

void runTestHypotheses(Context& ctx, const ProcedureState& st, bool several) {
  QV_ASSERT(st.ndepvr() == 1 && st.testCount() > 0, "runTestHypotheses");
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const std::string userSpecified = "User specified.";
  for (int i = 0; i < st.testCount(); ++i) {
    CustomTestHeading heading(ctx, several, i + 1);
    const TestRequest& t = st.testList[static_cast<size_t>(i)];
    const CustomTestResult r = GMTELC(st, t);
    const std::string name = effectName(st, dict, t.ieffh);

    if (st.printLMatrix) {
      SeparateSplitHeading lHeading(ctx, catalogueText("Contrast Coefficients ..."));
      printEffectLMatrix(
          ctx, st, t.ieffh, catalogueText("Contrast Coefficients ..."),
          expandComposite(catalogueText("The estimable function for [:^1:]1 ..."), {}, {{name}}));
    }

    out::TableBuilder tb(14, "Test Results", "Univariate Test Results");
    const int depDim = tb.dimension("Dependent Variable", out::Axis::Layer);
    const int srcDim = tb.dimension("Source", out::Axis::Row);
    const int statDim = tb.dimension("Statistics", out::Axis::Column);
    if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
    const int var = st.depVars[0];
    tb.category(depDim, dict.vars[var].name, variableLabel(dict, var));

    tb.category(srcDim, "Contrast");
    const int ssCell = tb.cell(statDim, "Sum of Squares", out::Value::num(r.ssh, out::Fmt::Coefficient));
    if (st.sstype == 4 && g.hypotheses[t.ieffh].unique != 1)
      tb.annotateCell(ssCell, tb.footnote(catalogueText("The Type IV testable ...")));
    tb.cell(statDim, "df", out::Value::num(r.dfh, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(r.msh, out::Fmt::Coefficient));
    tb.cell(statDim, "F", out::Value::num(r.f, out::Fmt::GeneralStat));
    tb.cell(statDim, "Significance", out::Value::num(r.sig, out::Fmt::Significance));
    if (st.printEtaSquared)
      tb.cell(statDim, "Eta Squared", out::Value::num(r.etaSquared, out::Fmt::Correlation));
    if (st.printObservedPower) {
      tb.cell(statDim, "Noncentrality Parameter", out::Value::num(r.noncentrality, out::Fmt::GeneralStat));
      tb.cell(statDim, "Observed Power", out::Value::num(r.power, out::Fmt::Significance));
    }

    tb.category(srcDim, "Error");
    if (t.kind == TestErrorKind::Effects)
      tb.annotateCategory(srcDim, tb.footnote(errorTermDescription(st, dict, t)));
    const int sseCell = tb.cell(statDim, "Sum of Squares", out::Value::num(r.sse, out::Fmt::Coefficient));
    if (t.kind == TestErrorKind::Value)
      tb.annotateCell(sseCell, tb.footnote(userSpecified));
    else if (r.status == 1)
      tb.annotateCell(sseCell, tb.footnote(catalogueText("This sum of squares is missing ...")));
    const int dfCell = tb.cell(statDim, "df", dfValue(r.dfe));
    if (t.errorDf)
      tb.annotateCell(dfCell, tb.footnote(userSpecified));
    else if (r.status == 2)
      tb.annotateCell(dfCell, tb.footnote(catalogueText("No Error Df...")));
    tb.cell(statDim, "Mean Square", out::Value::num(r.mse, out::Fmt::Coefficient));
    if (st.printObservedPower) {
      tb.category(statDim, "Observed Power");
      tb.annotateCategory(statDim, tb.footnote(alphaFootnote(st)));
    }
    ctx.emitTable(tb);
  }
}

}  // namespace qv
