#include "tests/mixed_tests.h"

#include <algorithm>
#include <cmath>

#include "data/design.h"
#include "host/numeric/matrix.h"
#include "host/output/render.h"
#include "tests/expected_mean_squares.h"
#include "tests/satterthwaite.h"

namespace qv {

namespace {

double effectSS(const GroupState& g, int e) { return g.hypotheses[e].df > 0 ? g.hypotheses[e].sscp(0, 0) : 0.0; }

// The effects in random-effect order.
std::vector<int> randomEffectsInOrder(const ProcedureState& st) {
  std::vector<int> effects;
  for (int e = 0; e < st.effectCount(); ++e)
    if (static_cast<size_t>(e) < st.randomEffect.size() && st.randomEffect[e] == 1) effects.push_back(e);
  return effects;
}

}  // namespace

MixedTest GMTMIX(const ProcedureState& st, int e) {
  QV_ASSERT(st.randomEffectCount() >= 0 && e >= 0 && e < st.effectCount(), "GMTMIX");
  const GroupState& g = st.group;
  const std::vector<int> random = randomEffectsInOrder(st);
  QV_ASSERT(random.size() == static_cast<size_t>(st.randomEffectCount()), "GMTMIX");
  const size_t nr = random.size();
  const double sse = g.errorSSCP(0, 0);
  const double dfe = std::max(g.sumWeights - g.modldf, 0.0);

  MixedTest t;
  t.dfh = std::max(g.hypotheses[e].df, 0);
  t.ssh = t.dfh > 0 ? effectSS(g, e) : 0.0;
  if (t.dfh > 0) t.test.msh = t.ssh / t.dfh;
  const double* c = g.ertcof.row(static_cast<size_t>(e));

  switch (g.errorTermStatus[e]) {
    case kErrorTermSingle: {
      size_t k = 0;
      while (k < nr && c[k] != 1.0) ++k;
      if (k < nr) {
        t.dfErr = std::max(g.hypotheses[random[k]].df, 0);
        t.ssErr = t.dfErr > 0 ? std::max(effectSS(g, random[k]), 0.0) : 0.0;
      } else {
        QV_ASSERT(c[nr] == 1.0, "GMTMIX");
        t.dfErr = dfe;
        t.ssErr = std::max(sse, 0.0);
      }
      if (t.dfErr > 0) {
        t.msErr = t.ssErr / t.dfErr;
      } else {
        t.status = kMixedNoErrorDf;
        return t;
      }
      break;
    }
    case kErrorTermCombination:
    case kErrorTermDeficient: {
      std::vector<MeanSquareTerm> terms;
      for (size_t k = 0; k < nr; ++k)
        terms.push_back(
            {c[k], effectSS(g, random[k]), static_cast<double>(std::max(g.hypotheses[random[k]].df, 0))});
      terms.push_back({c[nr], sse, dfe});
      const CombinedMeanSquare ms = combineMeanSquares(terms);
      t.msErr = ms.ms;
      if (ms.status != CombinedStatus::Ok) {
        t.status = kMixedNoErrorDf;
        return t;
      }
      t.dfErr = ms.df;
      t.ssErr = ms.ss;
      break;
    }
    default:
      t.status = kMixedNoErrorTerm;
      return t;
  }
  const double msh = t.test.msh;
  t.test = GMTUNV(st.alplev, t.dfh, t.dfErr, t.ssh, t.ssErr);
  if (isSysmis(t.test.msh)) t.test.msh = msh;
  return t;
}

std::pair<std::string, std::vector<std::pair<std::string, double>>> errorTermComposition(
    const ProcedureState& st, const Dictionary& dict, int e) {
  const GroupState& g = st.group;
  const std::vector<int> random = randomEffectsInOrder(st);
  const size_t nr = random.size();
  const double* c = g.ertcof.row(static_cast<size_t>(e));
  double largest = 0.0;
  for (size_t k = 0; k <= nr; ++k) largest = std::max(largest, std::fabs(c[k]));
  std::string text;
  std::vector<std::pair<std::string, double>> values;
  for (size_t k = 0; k <= nr; ++k) {
    if (num::QLREPS(c[k], largest, static_cast<double>(nr + 1))) continue;
    const double a = std::fabs(c[k]);
    if (c[k] < 0)
      text += " - ";
    else if (!text.empty())
      text += " + ";
    if (!num::QLRINT(a, 1.0e4))
      text += out::formatValue(out::Value::num(a, out::Fmt::Coefficient)) + " ";
    else if (std::round(a) != 1.0)
      text += out::formatValue(out::Value::num(std::round(a), out::Fmt::Count)) + " ";
    const std::string term = "MS(" + (k < nr ? effectName(st, dict, random[k]) : std::string("Error")) + ")";
    text += term;
    values.emplace_back(term, c[k]);
  }
  text.erase(0, text.find_first_not_of(' '));
  return {text, values};
}

bool writeMixedEffectRows(out::TableBuilder& tb, int srcDim, int statDim, const ProcedureState& st,
                          const Dictionary& dict) {
  const GroupState& g = st.group;
  const std::string ssTitle = ssTypeTitle(st.sstype);
  bool powerShown = false;
  for (int e = 0; e < st.effectCount(); ++e) {
    const std::string name = effectName(st, dict, e);
    const MixedTest t = GMTMIX(st, e);
    tb.beginGroup(srcDim, name, name);

    tb.category(srcDim, "Hypothesis");
    const int sc = tb.cell(statDim, ssTitle, out::Value::num(t.ssh, out::Fmt::Coefficient));
    if (st.sstype == 4 && g.hypotheses[e].unique != 1)
      tb.annotateCell(sc, tb.footnote("The Type IV testable ..."));
    tb.cell(statDim, "df", out::Value::num(t.dfh, out::Fmt::Count));
    tb.cell(statDim, "Mean Square", out::Value::num(t.test.msh, out::Fmt::Coefficient));
    tb.cell(statDim, "F", out::Value::num(t.test.f, out::Fmt::GeneralStat));
    tb.cell(statDim, "Significance", out::Value::num(t.test.sig, out::Fmt::Significance));
    if (effectSizeCells(tb, statDim, st, t.test)) powerShown = true;

    tb.category(srcDim, "Error");
    tb.cell(statDim, ssTitle, out::Value::num(t.ssErr, out::Fmt::Coefficient));
    // A Satterthwaite df is rarely whole; it is shown with decimals then.
    const bool wholeDf = isSysmis(t.dfErr) || num::QLRINT(t.dfErr, 1.0e4);
    tb.cell(statDim, "df", out::Value::num(t.dfErr, wholeDf ? out::Fmt::Count : out::Fmt::Coefficient));
    const int mc = tb.cell(statDim, "Mean Square", out::Value::num(t.msErr, out::Fmt::Coefficient));
    if (t.status == kMixedNoErrorDf) {
      tb.annotateCell(mc, tb.footnote("No Error Df..."));
    } else if (t.status == kMixedNoErrorTerm) {
      tb.annotateCell(mc, tb.footnote("No Error Term..."));
    } else {
      auto [text, values] = errorTermComposition(st, dict, e);
      tb.annotateCell(mc, tb.footnote(text, std::move(values)));
    }
    tb.endGroup(srcDim);
  }
  return powerShown;
}

}  // namespace qv
