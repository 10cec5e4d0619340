// EMMEANS, PLOT and SAVE parsers.
#include "subcommand_fixture.h"

namespace qv::testing {
namespace {

using out::Phase;
using out::Severity;

class EmmeansTest : public SubcommandTest {
 protected:
  EmmeansTest() { model({"y"}, {"a", "b"}, {"x", "x2"}); }
};
class PlotTest : public SubcommandTest {};
class SaveTest : public SubcommandTest {};

TEST_F(EmmeansTest, TablesCompareAdjustmentAndCovariateValues) {
  run(parseEmmeans, "TABLES(a) COMPARE ADJ(SIDAK)");
  run(parseEmmeans, "TABLES(b BY a) WITH(x=-1.5 x2 MEAN) COMPARE(a) ADJ(BONFERRONI)");
  run(parseEmmeans, "COMPARE(b) TABLES(a*b)");  // keywords in any order
  run(parseEmmeans, "TABLES(OVERALL) WITH(x 10)");
  expectClean();
  ASSERT_EQ(st.emmeansCount(), 4);

  const EmmeansRequest& one = st.emmeansList[0];
  EXPECT_EQ(one.factors, (std::vector<int>{0}));
  EXPECT_EQ(one.compare, std::optional<int>(0));
  EXPECT_EQ(one.adjustment, EmmeansAdjustment::Sidak);
  EXPECT_EQ(one.covariateValues, (std::vector<std::optional<double>>{std::nullopt, std::nullopt}));

  const EmmeansRequest& two = st.emmeansList[1];
  EXPECT_EQ(two.factors, (std::vector<int>{1, 0}));
  EXPECT_EQ(two.compare, std::optional<int>(1));  // position of a in the table
  EXPECT_EQ(two.adjustment, EmmeansAdjustment::Bonferroni);
  EXPECT_EQ(two.covariateValues, (std::vector<std::optional<double>>{-1.5, std::nullopt}));

  EXPECT_EQ(st.emmeansList[2].compare, std::optional<int>(1));
  EXPECT_EQ(st.emmeansList[2].adjustment, EmmeansAdjustment::Lsd);  // COMPARE without ADJ

  EXPECT_TRUE(st.emmeansList[3].factors.empty());
  EXPECT_FALSE(st.emmeansList[3].compare.has_value());
  EXPECT_EQ(st.emmeansList[3].covariateValues[0], std::optional<double>(10.0));
}

TEST_F(EmmeansTest, RepeatedTableIsDroppedWithAWarning) {
  run(parseEmmeans, "TABLES(a*b)");
  run(parseEmmeans, "TABLES(a BY b)");
  expectCommandWarning(79);
  EXPECT_EQ(st.emmeansCount(), 1);
  // The same table with a comparison asks for more, and is kept; so is another order.
  clearOutput();
  run(parseEmmeans, "TABLES(a*b) COMPARE(a)");
  run(parseEmmeans, "TABLES(b*a)");
  expectClean();
  EXPECT_EQ(st.emmeansCount(), 3);
}

TEST_F(EmmeansTest, AdjustmentWithoutCompareIsIgnored) {
  run(parseEmmeans, "TABLES(a) ADJ(SIDAK)");
  expectOnly(197, Severity::Warning, Phase::Processing);
  ASSERT_EQ(st.emmeansCount(), 1);
  EXPECT_FALSE(st.emmeansList[0].compare.has_value());
  EXPECT_EQ(st.emmeansList[0].adjustment, EmmeansAdjustment::Lsd);
}

TEST_F(EmmeansTest, CompareMustNameATableFactor) {
  run(parseEmmeans, "TABLES(a*b) COMPARE");
  expectCommandError(199);
  clearOutput();
  run(parseEmmeans, "TABLES(a) COMPARE(b)");
  expectCommandError(198);
  clearOutput();
  run(parseEmmeans, "TABLES(OVERALL) COMPARE");
  expectCommandError(159);
  clearOutput();
  run(parseEmmeans, "TABLES(a) COMPARE(x)");
  expectCommandError(106, "x");
  EXPECT_EQ(st.emmeansCount(), 0);
}

TEST_F(EmmeansTest, CommandErrors) {
  expectErrors(parseEmmeans, {
                                 {"FOO", 103},
                                 {"TABLES(a) TABLES(b)", 103},
                                 {"TABLES a", 104},
                                 {"TABLES(a) ADJ SIDAK", 104},
                                 {"TABLES(a) WITH x=1", 104},
                                 {"TABLES(OVERALL a)", 107},
                                 {"TABLES(a 3)", 107},
                                 {"TABLES(a) COMPARE(a b)", 107},
                                 {"TABLES(a) COMPARE ADJ(SIDAK b)", 107},
                                 {"TABLES(a", 108},
                                 {"TABLES(", 108},
                                 {"TABLES(a) WITH(x", 108},
                                 {"TABLES(a) WITH(x=", 108},
                                 {"TABLES(a) COMPARE(", 108},
                                 {"TABLES(zz)", 109},
                                 {"TABLES(x)", 109},
                                 {"TABLES()", 109},
                                 {"TABLES(a b)", 143},
                                 {"TABLES(*a)", 149},
                                 {"TABLES(a**b)", 149},
                                 {"TABLES(a BY)", 149},
                                 {"TABLES(a*a)", 157},
                                 {"TABLES(a) WITH(zz=1)", 193},
                                 {"TABLES(a) WITH(a=1)", 193},
                                 {"TABLES(a) WITH(x=abc)", 194},
                                 {"TABLES(a) WITH(x=1 x=2)", 195},
                                 {"TABLES(a) WITH(x=1 x=MEAN)", 195},
                                 {"TABLES(a) COMPARE ADJ(TUKEY)", 196},
                             });
  EXPECT_EQ(st.emmeansCount(), 0);
}

TEST_F(EmmeansTest, SameCovariateValueTwiceIsAccepted) {
  run(parseEmmeans, "TABLES(a) WITH(x=2 x=2 x2=MEAN x2=MEAN)");
  expectClean();
  EXPECT_EQ(st.emmeansList.at(0).covariateValues[0], std::optional<double>(2.0));
}

TEST_F(EmmeansTest, ModelWithoutFactorsOrCovariates) {
  model({"y"}, {}, {});
  run(parseEmmeans, "TABLES(a)");
  expectCommandError(191);
  clearOutput();
  run(parseEmmeans, "TABLES(OVERALL) WITH(x=1)");
  expectCommandError(192);
  clearOutput();
  run(parseEmmeans, "TABLES(OVERALL)");
  expectClean();
  EXPECT_EQ(st.emmeansCount(), 1);
}

TEST_F(EmmeansTest, AtMostSeventeenTableFactors) {
  // Eighteen factors in the dictionary and the model (the design does not matter here).
  model({"y"}, {}, {});
  for (int i = 1; i <= 18; ++i) {
    Variable v;
    v.name = "f" + std::to_string(i);
    dict.vars.push_back(v);
    st.factorVars.push_back(static_cast<int>(dict.vars.size()) - 1);
  }
  st.factorVars.resize(18);
  design({EffectRow(18, -1)});
  std::string seventeen = "f1";
  for (int i = 2; i <= 17; ++i) seventeen += "*f" + std::to_string(i);
  run(parseEmmeans, "TABLES(" + seventeen + ")");
  expectClean();
  run(parseEmmeans, "TABLES(" + seventeen + "*f18)");
  expectCommandError(129);
}

TEST_F(PlotTest, KeywordsAndProfileTerms) {
  model({"y"}, {"a", "b", "c"}, {"x", "x2"});
  run(parsePlot, "SPREADLEVEL RESIDUALS PROFILE(a b*a a BY b BY c) WITH(x2=3 x=MEAN)");
  expectClean();
  EXPECT_TRUE(st.plotSpreadLevel);
  EXPECT_TRUE(st.plotResiduals);
  ASSERT_EQ(st.profilePlotCount(), 3);
  EXPECT_EQ(st.profileList[0].factors, (std::vector<int>{0}));
  EXPECT_EQ(st.profileList[1].factors, (std::vector<int>{1, 0}));
  EXPECT_EQ(st.profileList[2].factors, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(st.plotCovValues, (std::vector<double>{kSysmis, 3.0}));
  // A later PLOT adds terms.
  run(parsePlot, "PROFILE(c)");
  EXPECT_EQ(st.profilePlotCount(), 4);
}

TEST_F(PlotTest, SpreadLevelNeedsFactors) {
  model({"y"}, {}, {"x"});
  run(parsePlot, "SPREADLEVEL RESIDUALS");
  expectCommandWarning(180);
  EXPECT_FALSE(st.plotSpreadLevel);
  EXPECT_TRUE(st.plotResiduals);
}

TEST_F(PlotTest, WithWithoutProfileIsDropped) {
  model({"y"}, {"a"}, {"x"});
  run(parsePlot, "RESIDUALS WITH(x=4)");
  expectOnly(206, Severity::Warning, Phase::Processing);
  EXPECT_TRUE(st.plotCovValues.empty());
  EXPECT_TRUE(st.plotResiduals);
}

TEST_F(PlotTest, CommandErrors) {
  model({"y"}, {"a", "b", "c", "d"}, {"x"});
  expectErrors(parsePlot, {
                              {"FOO", 93},
                              {"PROFILE a", 93},
                              {"PROFILE(a*b*c*d)", 93},
                              {"WITH x=1", 93},
                              {"PROFILE(x)", 94},
                              {"PROFILE(*a)", 94},
                              {"PROFILE(a*)", 94},
                              {"PROFILE(a*a)", 95},
                              {"PROFILE(a BY b BY a)", 95},
                              {"PROFILE(a", 154},
                              {"PROFILE(a (b))", 154},
                              {"PROFILE(a))", 154},
                              {"PROFILE()", 156},
                              {"PROFILE(a) WITH()", 203},
                              {"PROFILE(a) WITH(zz=1)", 204},
                              {"PROFILE(a) WITH(x=foo)", 205},
                              {"PROFILE(a) WITH(x=1", 205},
                          });
  model({"y"}, {"a"}, {});
  run(parsePlot, "PROFILE(a) WITH(x=1)");
  expectCommandError(202);
}

TEST_F(SaveTest, KeywordsAndNames) {
  model({"y", "y2"}, {"a"}, {});
  run(parseSave, "PRED RESID(r1 r2) COOK(c1) LEVER");
  expectClean();
  ASSERT_EQ(st.saveCount(), 4);
  EXPECT_EQ(st.saveKeywords[0], static_cast<int>(SaveKeyword::Pred));
  EXPECT_EQ(st.saveKeywords[1], static_cast<int>(SaveKeyword::Resid));
  EXPECT_EQ(st.saveKeywords[2], static_cast<int>(SaveKeyword::Cook));
  EXPECT_EQ(st.saveKeywords[3], static_cast<int>(SaveKeyword::Lever));
  EXPECT_EQ(st.saveKeywords[4], 0);
  EXPECT_TRUE(st.saveNames[0].empty());
  EXPECT_EQ(st.saveNames[1], (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(st.saveNames[2], (std::vector<std::string>{"c1"}));

  // A later SAVE replaces the earlier one.
  run(parseSave, "ZRESID");
  EXPECT_EQ(st.saveCount(), 1);
  EXPECT_EQ(st.saveKeywords[0], static_cast<int>(SaveKeyword::ZResid));
  EXPECT_EQ(st.saveKeywords[1], 0);
  EXPECT_TRUE(st.saveNames[1].empty());
}

TEST_F(SaveTest, WeightedKeywordsNeedARegressionWeight) {
  run(parseSave, "PRED WPRED(wp) WRESID");
  EXPECT_EQ(numbers(), (std::vector<int>{138, 138}));
  EXPECT_FALSE(ctx.errorFlag);
  ASSERT_EQ(st.saveCount(), 1);
  EXPECT_EQ(st.saveKeywords[0], static_cast<int>(SaveKeyword::Pred));

  clearOutput();
  st.regwgtVar = var("w");
  run(parseSave, "WPRED(wp) WRESID");
  expectClean();
  EXPECT_EQ(st.saveCount(), 2);
  EXPECT_EQ(st.saveNames[0], (std::vector<std::string>{"wp"}));
}

TEST_F(SaveTest, NamesMustBeNewAndDistinct) {
  expectErrors(parseSave, {
                              {"FOO", 110},
                              {"3", 110},
                              {"PRED(y)", 113},           // an existing variable
                              {"PRED(A)", 113},           // names compare without case
                              {"PRED(p) RESID(P)", 113},  // the same name twice
                              {"PRED(3)", 112},
                              {"PRED(BY)", 112},
                              {"PRED(and)", 112},
                              {"PRED('p')", 112},
                              {"PRED(p", 111},
                              {"PRED()", 111},
                              {"PRED(p q)", 111},  // two names for one dependent
                              {"PRED PRED", 111},
                          });
  EXPECT_EQ(st.saveCount(), 0);
  run(parseSave, "PRED(y)");
  expectCommandError(113, "y");
}

}  // namespace
}  // namespace qv::testing
