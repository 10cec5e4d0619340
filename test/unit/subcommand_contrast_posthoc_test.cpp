// CONTRAST and POSTHOC parsers.
#include "subcommand_fixture.h"

namespace qv::testing {
namespace {

using out::Phase;
using out::Severity;

class ContrastTest : public SubcommandTest {};
class PosthocTest_ : public SubcommandTest {};

TEST_F(ContrastTest, TypesReferenceCategoriesAndValues) {
  run(parseContrast, "(a)=SIMPLE(1)");
  run(parseContrast, "(b)");
  run(parseContrast, "(a) POLYNOMIAL(1, 2, 4)");
  run(parseContrast, "(b)=DIFFERENCE");
  run(parseContrast, "(a)=poly");
  expectClean();
  ASSERT_EQ(st.contrastCount(), 5);
  ASSERT_EQ(st.contrastSpecs.size(), 5u);

  const ContrastRequest& simple = st.contrastSpecs[0];
  EXPECT_EQ(simple.factor, 0);
  EXPECT_EQ(simple.mainEffect, effect(row({{"a", 0}}, {})));
  EXPECT_EQ(simple.ctrtyp, ContrastType::Simple);
  EXPECT_EQ(simple.refcat, 1);
  EXPECT_FALSE(simple.values.has_value());

  const ContrastRequest& dflt = st.contrastSpecs[1];
  EXPECT_EQ(dflt.factor, 1);
  EXPECT_EQ(dflt.ctrtyp, ContrastType::Deviation);
  EXPECT_EQ(dflt.refcat, -1);

  ASSERT_TRUE(st.contrastSpecs[2].values.has_value());
  EXPECT_EQ(*st.contrastSpecs[2].values, (std::vector<double>{1, 2, 4}));
  EXPECT_EQ(st.contrastSpecs[3].ctrtyp, ContrastType::Difference);
  // POLYNOMIAL without a metric stores no values; the analysis uses 1, 2, ..., k.
  EXPECT_EQ(st.contrastSpecs[4].ctrtyp, ContrastType::Polynomial);
  EXPECT_FALSE(st.contrastSpecs[4].values.has_value());
}

TEST_F(ContrastTest, SpecialValuesKeepTheirSigns) {
  run(parseContrast, "(a)=SPECIAL(1 1 1 -1 +1 0 0 1 -1)");
  expectClean();
  ASSERT_EQ(st.contrastSpecs.size(), 1u);
  EXPECT_EQ(*st.contrastSpecs[0].values, (std::vector<double>{1, 1, 1, -1, 1, 0, 0, 1, -1}));
}

TEST_F(ContrastTest, FactorOnlyInAnInteractionDropsTheContrast) {
  design({row({}, {}), row({{"a", 0}}, {}), row({{"a", 0}, {"b", 0}}, {})});
  run(parseContrast, "(b)=SIMPLE");
  expectCommandWarning(68, "b");
  EXPECT_EQ(st.contrastCount(), 0);
  EXPECT_TRUE(st.contrastSpecs.empty());
  // The next contrast is still read.
  clearOutput();
  run(parseContrast, "(a)=HELMERT");
  expectClean();
  EXPECT_EQ(st.contrastCount(), 1);
}

TEST_F(ContrastTest, CommandErrors) {
  model({"y"}, {"a", "b"}, {"x"});
  expectErrors(parseContrast, {
                                  {"a)", 66},
                                  {"(x)", 67},   // a covariate
                                  {"(zz)", 67},  // not in the dictionary
                                  {"(3)", 67},
                                  {"(a SIMPLE", 69},
                                  {"(a)=FOO", 12},
                                  {"(a)=HELMERT 3", 12},
                                  {"(a)=SIMPLE(1) (2)", 12},
                                  {"(a)=INDICATOR", 13},
                                  {"(a)=SIMPLE(0)", 19},
                                  {"(a)=DEVIATION(1.5)", 19},
                                  {"(a)=SIMPLE(1e20)", 19},
                                  {"(a)=SIMPLE(1e400)", 19},
                                  {"(a)=SIMPLE(x)", 19},
                                  {"(a)=SIMPLE(2", 20},
                                  {"(a)=POLYNOMIAL()", 78},
                                  {"(a)=POLYNOMIAL(1,2,2)", 142},
                                  {"(a)=POLYNOMIAL(1 x)", 17},
                                  {"(a)=SPECIAL", 22},
                                  {"(a)=SPECIAL()", 22},
                                  {"(a)=SPECIAL(1 -1", 18},
                              });
  EXPECT_EQ(st.contrastCount(), 0);
}

TEST_F(ContrastTest, SlashInAValueListEndsTheSubcommand) {
  // Fractions belong to LMATRIX and KMATRIX; here "/" starts the next subcommand.
  tok = std::make_unique<syntax::Tokenizer>("(a)=SPECIAL(1 1/2)");
  ParseContext pc{ctx, *tok, dict, st};
  parseContrast(pc);
  expectCommandError(18);
  EXPECT_TRUE(tok->current().isSlash());
}

TEST_F(ContrastTest, MessageParameterIsTheOffendingSymbol) {
  run(parseContrast, "(a)=HELMERT 3");
  expectCommandError(12, "3");
  clearOutput();
  run(parseContrast, "(a)=SIMPLE(0)");
  expectCommandError(19, "0");
}

TEST_F(PosthocTest_, FactorsTestsAndArguments) {
  model({"y"}, {"a", "b"}, {});
  // One factor in the design keeps the unequal-variance tests available.
  design({row({}, {}), row({{"a", 0}}, {}), row({{"b", 0}}, {})});
  run(parsePosthoc, "b a (SNK TUKEY SNK DUNCAN DUNNETTL(2) WALLER(50) tuk)");
  expectClean();
  ASSERT_EQ(st.posthocCount(), 1);
  const PosthocRequest& r = st.ptmpho[0];
  EXPECT_EQ(r.factors, (std::vector<int>{1, 0}));
  EXPECT_EQ(r.mainEffects, (std::vector<int>{2, 1}));
  EXPECT_EQ(r.tests, (std::vector<PosthocTest>{PosthocTest::Snk, PosthocTest::Tukey, PosthocTest::Duncan,
                                               PosthocTest::DunnettL, PosthocTest::Waller}));
  EXPECT_EQ(r.controlDunnettL, 2);
  EXPECT_EQ(r.controlDunnett, 0);
  EXPECT_EQ(r.wallerKRatio, 50);
  EXPECT_FALSE(r.errorEffect.has_value());

  run(parsePosthoc, "a (WALLER DUNNETT DUNNETTR(1)) VS b");
  expectClean();
  ASSERT_EQ(st.posthocCount(), 2);
  EXPECT_EQ(st.ptmpho[1].wallerKRatio, 100);
  EXPECT_EQ(st.ptmpho[1].controlDunnett, 0);
  EXPECT_EQ(st.ptmpho[1].controlDunnettR, 1);
  EXPECT_EQ(st.ptmpho[1].errorEffect, std::optional<int>(2));
}

TEST_F(PosthocTest_, DuncanAndDunnettMustBeSpelledInFull) {
  for (const char* text : {"a(DUN)", "a(DUNC)", "a(DUNNE)", "a(DUNNETTX)"}) {
    SCOPED_TRACE(text);
    clearOutput();
    run(parsePosthoc, text);
    expectCommandError(119);
  }
  clearOutput();
  run(parsePosthoc, "a(DUN)");
  expectCommandError(119, "DUN");
  EXPECT_EQ(st.posthocCount(), 0);
  clearOutput();
  run(parsePosthoc, "a(DUNCAN)");
  expectClean();
  EXPECT_EQ(st.ptmpho.at(0).tests, (std::vector<PosthocTest>{PosthocTest::Duncan}));
}

TEST_F(PosthocTest_, UnequalVarianceTestsNeedASingleFactorDesign) {
  // Default design of a and b: intercept, a, b, a*b.
  run(parsePosthoc, "a(GH TUKEY)");
  expectOnly(201, Severity::Warning, Phase::Processing, "GH");
  ASSERT_EQ(st.posthocCount(), 1);
  EXPECT_EQ(st.ptmpho[0].tests, (std::vector<PosthocTest>{PosthocTest::Tukey}));

  // With every test left out there is nothing to compute, and nothing is stored.
  clearOutput();
  run(parsePosthoc, "a(T2 T3 C)");
  EXPECT_EQ(numbers(), (std::vector<int>{201, 201, 201}));
  EXPECT_FALSE(ctx.errorFlag);
  EXPECT_EQ(st.posthocCount(), 1);

  // A second factor that the design does not use does not count.
  clearOutput();
  design({row({}, {}), row({{"a", 0}}, {})});
  run(parsePosthoc, "a(GH C)");
  expectClean();
  EXPECT_EQ(st.ptmpho.back().tests,
            (std::vector<PosthocTest>{PosthocTest::GamesHowell, PosthocTest::DunnettC}));
}

TEST_F(PosthocTest_, CovariateInTheDesignIgnoresTheSubcommand) {
  model({"y"}, {"a"}, {"x"});
  run(parsePosthoc, "a(TUKEY) VS FOO BAR");
  expectCommandWarning(114);
  EXPECT_EQ(st.posthocCount(), 0);
}

TEST_F(PosthocTest_, InvalidFactorsAreSkippedWithWarnings) {
  model({"y"}, {"a", "b", "c"}, {"x"});
  design({row({}, {}), row({{"a", 0}}, {}), row({{"b", 0}}, {}), row({{"a", 0}, {"c", 0}}, {})});
  st.randomEffect = {0, 0, 1, 0};  // b is random
  run(parsePosthoc, "a x zz c b a (LSD)");
  EXPECT_EQ(numbers(), (std::vector<int>{116, 116, 116, 116, 123}));
  EXPECT_FALSE(ctx.errorFlag);
  ASSERT_EQ(st.posthocCount(), 1);
  EXPECT_EQ(st.ptmpho[0].factors, (std::vector<int>{0}));

  clearOutput();
  run(parsePosthoc, "x c (LSD)");
  EXPECT_EQ(numbers(), (std::vector<int>{116, 116, 122}));
  EXPECT_TRUE(ctx.errorFlag);
  EXPECT_EQ(st.posthocCount(), 1);
}

TEST_F(PosthocTest_, CommandErrors) {
  expectErrors(parsePosthoc, {
                                 {"3 (TUKEY)", 115},
                                 {"(TUKEY)", 122},
                                 {"a", 76},
                                 {"a (TUKEY) b", 76},
                                 {"a (", 118},
                                 {"a (TUKEY", 121},
                                 {"a (WALLER(", 121},
                                 {"a (TUKEY) (SNK)", 188},
                                 {"a (FOO)", 119},
                                 {"a (3)", 119},
                                 {"a (WALLER(1))", 120},
                                 {"a (WALLER(2.5))", 120},
                                 {"a (DUNNETT(0))", 120},
                                 {"a (DUNNETT(1e400))", 120},
                                 {"a (WALLER(1e19))", 120},
                                 {"a (DUNNETT(1 2))", 120},
                                 {"a (TUKEY(2))", 120},
                                 {"a VS b (TUKEY)", 190},
                                 {"a (TUKEY) VS", 160},
                                 {"a (TUKEY) VS b VS b", 117},
                                 {"a (TUKEY) VS a", 187},
                                 {"a (TUKEY) VS INTERCEPT", 141},
                                 {"a (TUKEY) VS zz", 32},
                             });
  EXPECT_EQ(st.posthocCount(), 0);
}

TEST_F(PosthocTest_, TestListIsRequired) {
  // Without "(" a test name is read as one more factor.
  run(parsePosthoc, "a TUKEY");
  EXPECT_EQ(numbers(), (std::vector<int>{116, 76}));
  EXPECT_TRUE(ctx.errorFlag);
}

TEST_F(PosthocTest_, ErrorTermMayBeAnInteraction) {
  run(parsePosthoc, "a b (SCHEFFE BONFERRONI SIDAK) VS a*b");
  expectClean();
  ASSERT_EQ(st.posthocCount(), 1);
  EXPECT_EQ(st.ptmpho[0].errorEffect, std::optional<int>(effect(row({{"a", 0}, {"b", 0}}, {}))));
  EXPECT_EQ(st.ptmpho[0].tests,
            (std::vector<PosthocTest>{PosthocTest::Scheffe, PosthocTest::Bonferroni, PosthocTest::Sidak}));
}

}  // namespace
}  // namespace qv::testing
