// The univariate F test with effect size, noncentrality and observed power, and R squared,
// against the reference one-way case (independently computed).
#include "tests/univariate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "model_fixture.h"

using namespace qvtest;

TEST(UnivariateTest, FullRowsOfTheOneWayReference) {
  ModelFixture m(readCsv(referenceDir() + "oneway_unbalanced/data.csv"), "y", {"a"}, {}, {{-1}, {0}});
  ASSERT_TRUE(m.fit(3));
  auto exp = readExpected("oneway_unbalanced");
  auto tab = exp["tables"]["Tests of Between-Subjects Effects"];
  const auto& g = m.st.group;
  const double sse = g.errorSSCP(0, 0), dfe = g.sumWeights - g.modldf;
  struct Row {
    const char* name;
    double dfh, ssh;
  } rows[] = {{"Corrected Model", 3, g.totalSS[0] - sse}, {"Intercept", 1, m.ss(0)}, {"a", 3, m.ss(1)}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    qv::UnivariateTest t = qv::GMTUNV(0.05, r.dfh, dfe, r.ssh, sse);
    auto want = tab[r.name];
    auto near = [](double got, double w) { EXPECT_NEAR(got, w, 1e-9 * std::max(std::fabs(w), 1e-300)); };
    near(t.msh, want["Mean Square"].get<double>());
    near(t.f, want["F"].get<double>());
    near(t.sig, want["Significance"].get<double>());
    near(t.etaSquared, want["Eta Squared"].get<double>());
    near(t.noncentrality, want["Noncentrality Parameter"].get<double>());
    EXPECT_NEAR(t.power, want["Observed Power"].get<double>(), 1e-9);
  }
  double rsq, adj;
  qv::GMTRSQ(m.st, g.sumWeights, dfe, 0, rsq, adj);
  EXPECT_NEAR(rsq, exp["footnotes"]["R Squared"].get<double>(), 1e-12);
  EXPECT_NEAR(adj, exp["footnotes"]["Adjusted R Squared"].get<double>(), 1e-12);
}

TEST(UnivariateTest, DegenerateArguments) {
  // No error sum of squares: no noncentrality and no power; eta squared still defined.
  qv::UnivariateTest t = qv::GMTUNV(0.05, 2, 10, 4.0, 0.0);
  EXPECT_TRUE(qv::isSysmis(t.noncentrality));
  EXPECT_TRUE(qv::isSysmis(t.power));
  EXPECT_DOUBLE_EQ(t.etaSquared, 1.0);
  // Zero error df: the mean square and F are undefined.
  t = qv::GMTUNV(0.05, 2, 0, 4.0, 1.0);
  EXPECT_TRUE(qv::isSysmis(t.mse));
  EXPECT_TRUE(qv::isSysmis(t.f));
  EXPECT_TRUE(qv::isSysmis(t.power));
  // alpha 0 gives power 0 wherever power is defined.
  t = qv::GMTUNV(0.0, 2, 10, 4.0, 1.0);
  EXPECT_EQ(t.power, 0.0);
  // An effect without df: sum of squares 0, F and significance missing.
  t = qv::GMTUNV(0.05, 0, 10, 0.0, 1.0);
  EXPECT_TRUE(qv::isSysmis(t.f));
  EXPECT_TRUE(qv::isSysmis(t.sig));
}

TEST(UnivariateTest, RSquaredWhenTheResidualExceedsTheTotal) {
  qv::ProcedureState st;
  st.depVars.resize(1);
  st.group.totalSS = {10.0};
  st.group.errorSSCP = qv::num::Packed(1);
  st.group.errorSSCP(0, 0) = 12.0;
  double rsq, adj;
  qv::GMTRSQ(st, 20, 15, 0, rsq, adj);
  EXPECT_EQ(rsq, 0.0);
  EXPECT_DOUBLE_EQ(adj, 1.0 - 19.0 / 15.0);
  st.group.totalSS = {0.0};
  qv::GMTRSQ(st, 20, 15, 0, rsq, adj);
  EXPECT_TRUE(qv::isSysmis(rsq));
  EXPECT_TRUE(qv::isSysmis(adj));
}
