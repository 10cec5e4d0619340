// Parameter estimates: the reference values with effect size and power, redundant parameters,
// zero error degrees of freedom, exactly determined parameters. The other reference cases run
// through whole commands in group_output_test.cpp.
#include <gtest/gtest.h>

#include "host/output/messages.h"
#include "hypotheses/parameter_estimates.h"
#include "independent_t.h"
#include "table_fixture.h"

using namespace qvtest;

TEST(ParameterEstimates, RowRules) {
  // No error degrees of freedom: the estimate alone.
  qv::ParameterRow none = qv::parameterStatistics(2.5, 0.25, qv::kSysmis, 0.0, qv::kSysmis, false, true);
  EXPECT_EQ(none.b, 2.5);
  for (double v : {none.stdError, none.t, none.lower, none.upper, none.etaSquared, none.noncentrality})
    EXPECT_TRUE(qv::isSysmis(v));

  // An exactly determined parameter: standard error 0, both bounds at the estimate, eta
  // squared 1, no t.
  qv::ParameterRow exact = qv::parameterStatistics(-1.5, 0.0, 4.0, 10.0, 2.228, false, true);
  EXPECT_EQ(exact.stdError, 0.0);
  EXPECT_EQ(exact.lower, -1.5);
  EXPECT_EQ(exact.upper, -1.5);
  EXPECT_EQ(exact.etaSquared, 1.0);
  EXPECT_TRUE(qv::isSysmis(exact.t));
  EXPECT_TRUE(qv::isSysmis(exact.noncentrality));

  // Without a usable critical t there are no bounds; eta squared only on request.
  qv::ParameterRow nb = qv::parameterStatistics(-3.0, 0.25, 4.0, 10.0, qv::kSysmis, false, false);
  EXPECT_DOUBLE_EQ(nb.noncentrality, 3.0);
  EXPECT_TRUE(qv::isSysmis(nb.lower));
  EXPECT_TRUE(qv::isSysmis(nb.etaSquared));

  // A redundant parameter keeps only its (zero) estimate.
  qv::ParameterRow red = qv::parameterStatistics(0.0, 0.0, 4.0, 10.0, 2.0, true, true);
  EXPECT_TRUE(red.redundant);
  EXPECT_TRUE(qv::isSysmis(red.stdError));
  EXPECT_TRUE(qv::isSysmis(red.etaSquared));
}

TEST(ParameterEstimates, ConfidenceIntervalLabel) {
  EXPECT_EQ(qv::confidenceIntervalLabel(0.05, false), "95% Confidence Interval");
  EXPECT_EQ(qv::confidenceIntervalLabel(0.01, true), "99% Confidence Interval for Difference");
  EXPECT_EQ(qv::confidenceIntervalLabel(0.025, false), "97.5% Confidence Interval");
  EXPECT_EQ(qv::confidenceIntervalLabel(0.1, false), "90% Confidence Interval");
}

TEST(ParameterEstimatesTable, ReferenceValuesRedundantMarkersAndPower) {
  TableFixture f(readCsv(referenceDir() + "params_twoway/data.csv"), "y", {"a", "b"}, {},
                 {{-1, -1}, {0, -1}, {-1, 0}, {0, 0}});
  ASSERT_TRUE(f.m.fit(3));
  f.st().printEtaSquared = true;
  f.st().printObservedPower = true;
  qv::printParameterEstimates(f.ctx, f.st());
  const qv::out::Table* t = findTable(f.output, "Parameter Estimates");
  ASSERT_NE(t, nullptr);
  const double dfe = f.g().sumWeights - f.g().modldf;
  ASSERT_EQ(dfe, 21.0);
  const double tcrit = tQuantile(0.975, dfe);
  const std::string redundant = qv::catalogueText("Redundant parameter ...");
  auto exp = readExpected("params_twoway")["tables"]["Parameter Estimates"];
  EXPECT_EQ(leafKeys(*t, "Parameter").size(), exp.size());
  for (const auto& item : exp.items()) {
    const std::string label = item.key();  // a named copy: lambdas below capture it
    const auto& want = item.value();
    SCOPED_TRACE(label);
    auto at = [&](const std::string& stat) {
      return std::map<std::string, std::string>{{"Parameter", label}, {"Statistics", stat}};
    };
    for (const auto& [stat, value] : want.items()) {
      if (value.is_null()) {
        EXPECT_TRUE(qv::isSysmis(cellValue(*t, at(stat)))) << stat;
      } else {
        expectClose(cellValue(*t, at(stat)), value.get<double>(), 1e-9, stat);
      }
    }
    const qv::out::Cell* b = findCell(*t, at("B"));
    ASSERT_NE(b, nullptr);
    if (want["Std. Error"].is_null()) {
      // Redundant: the integer 0 with its footnote, and nothing else in the row.
      EXPECT_EQ(b->value.fmt, qv::out::Fmt::Integer);
      ASSERT_EQ(b->footnotes.size(), 1u);
      EXPECT_EQ(t->footnotes[b->footnotes[0]].text, redundant);
      for (std::string s : {"Eta Squared", "Noncentrality Parameter", "Observed Power"})
        EXPECT_TRUE(qv::isSysmis(cellValue(*t, at(s)))) << s;
      continue;
    }
    EXPECT_TRUE(b->footnotes.empty());
    // Effect size and noncentrality from t; power of the two-sided t test at alpha 0.05 from
    // the independent noncentral t quadrature of independent_t.h:
    // 1 - P(T' <= tcrit) + P(T' <= -tcrit), T' ~ t'(21, |t|).
    const double tv = want["t"].get<double>();
    expectClose(cellValue(*t, at("Eta Squared")), tv * tv / (tv * tv + dfe), 1e-9, "eta squared");
    expectClose(cellValue(*t, at("Noncentrality Parameter")), std::fabs(tv), 1e-9, "noncentrality");
    const double power =
        1.0 - noncentralTCdf(tcrit, dfe, std::fabs(tv)) + noncentralTCdf(-tcrit, dfe, std::fabs(tv));
    expectClose(cellValue(*t, at("Observed Power")), power, 1e-9, "power");
  }
  // The bounds sit in the confidence-interval group; the power column carries the alpha note.
  const qv::out::Cell* lower = findCell(*t, {{"Parameter", "Intercept"}, {"Statistics", "Lower Bound"}});
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(lower->path[2], (std::vector<std::string>{"95% Confidence Interval", "Lower Bound"}));
  EXPECT_EQ(t->dimensions[0].name, "Dependent Variable");
  EXPECT_EQ(t->dimensions[0].axis, qv::out::Axis::Layer);
  auto fn = t->categoryFootnotes.find({2, "Observed Power"});
  ASSERT_NE(fn, t->categoryFootnotes.end());
  EXPECT_EQ(t->footnotes[fn->second[0]].text, "Computed using alpha = .05");
}

TEST(ParameterEstimatesTable, NoErrorDegreesOfFreedomShowsOnlyEstimates) {
  Csv csv;
  csv.names = {"a", "y", "w"};
  csv.rows = {{1, 3.0, 2.0}, {2, 5.0, 1.0}, {3, 4.5, 1.0}};
  // Three cases of which one weighs 2: four cases in all, rank 3, one error df remains.
  for (bool exact : {true, false}) {
    TableFixture f(csv, "y", {"a"}, {}, {{-1}, {0}}, exact ? "" : "w");
    ASSERT_TRUE(f.m.fit(3));
    f.st().printObservedPower = true;
    f.st().printEtaSquared = true;
    qv::printParameterEstimates(f.ctx, f.st());
    const qv::out::Table* t = findTable(f.output, "Parameter Estimates");
    ASSERT_NE(t, nullptr);
    auto at = [](std::string p, std::string s) {
      return std::map<std::string, std::string>{{"Parameter", p}, {"Statistics", s}};
    };
    EXPECT_DOUBLE_EQ(cellValue(*t, at("Intercept", "B")), 4.5);
    EXPECT_DOUBLE_EQ(cellValue(*t, at("[a=1]", "B")), -1.5);
    EXPECT_EQ(cellValue(*t, at("[a=3]", "B")), 0.0);
    if (exact) {
      for (std::string s : {"Std. Error", "t", "Significance", "Lower Bound", "Upper Bound", "Eta Squared",
                            "Noncentrality Parameter", "Observed Power"})
        EXPECT_TRUE(qv::isSysmis(cellValue(*t, at("[a=1]", s)))) << s;
      EXPECT_TRUE(t->categoryFootnotes.empty());  // no power shown, no alpha footnote
    } else {
      // The duplicated case fits exactly too: SSE = 0 with one error df, so the variance is 0.
      EXPECT_EQ(cellValue(*t, at("[a=1]", "Std. Error")), 0.0);
      EXPECT_EQ(cellValue(*t, at("[a=1]", "Lower Bound")), -1.5);
      EXPECT_EQ(cellValue(*t, at("[a=1]", "Eta Squared")), 1.0);
      EXPECT_TRUE(qv::isSysmis(cellValue(*t, at("[a=1]", "t"))));
    }
  }
}
