#include "report/univariate_test.h"

#include <cmath>

#include "host/assert.h"
#include "host/numeric/distributions.h"

namespace qv {

UnivariateTest GMTUNV(double alplev, double dfh, double dfe, double ssh, double sse) {
  QV_ASSERT(alplev >= 0.0 && alplev <= 1.0, "GMTUNV");
  UnivariateTest t;
  // Sums of squares that overflowed (data of the order of 1e154 and beyond) support no test.
  if (!std::isfinite(ssh) || !std::isfinite(sse)) return t;
  num::FTEST(dfh, dfe, ssh, sse, t.msh, t.mse, t.f, t.sig);
  if (ssh + sse > 0) t.etaSquared = ssh / (ssh + sse);
  if (!(sse > 0)) return t;
  t.noncentrality = ssh * dfe / sse;
  if (dfh > 0 && dfe > 0) {
    if (alplev > 0) {
      double fcrit = num::IDFF(1.0 - alplev, dfh, dfe);
      if (isSysmis(fcrit)) return t;
      // Power = 1 - P(F' <= Fcrit), taken directly as the upper tail.
      t.power = num::NCFUpperTail(fcrit, dfh, dfe, t.noncentrality);
    } else {
      t.power = 0.0;
    }
  }
  return t;
}

bool effectSizeCells(out::TableBuilder& tb, int statDim, const ProcedureState& st, const UnivariateTest& u) {
  if (st.printEtaSquared)
    tb.cell(statDim, "Eta Squared", out::Value::num(u.etaSquared, out::Fmt::Correlation));
  if (!st.printObservedPower) return false;
  tb.cell(statDim, "Noncentrality Parameter", out::Value::num(u.noncentrality, out::Fmt::GeneralStat));
  tb.cell(statDim, "Observed Power", out::Value::num(u.power, out::Fmt::Significance));
  return true;
}

}  // namespace qv
