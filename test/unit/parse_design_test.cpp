// DESIGN, the default design, RANDOM and the design-content checks.
#include "parse_fixture.h"

namespace qv::testing {
namespace {

const EffectRow kI3{-1, -1, -1};

TEST(DefaultDesign, InterceptThenCovariatesThenFactorCombinationsBySize) {
  Parsed p;
  p.run("QUORVEST y BY a b WITH x");
  ASSERT_EQ(p.errorCount(), 0);
  // Columns: a b x.
  std::vector<EffectRow> want{{-1, -1, -1}, {-1, -1, 1}, {0, -1, -1}, {-1, 0, -1}, {0, 0, -1}};
  EXPECT_EQ(p.st.ptefds, want);
  EXPECT_EQ(p.st.effectCount(), 5);
  EXPECT_EQ(p.st.ptecwf, std::vector<int>(5, 0));
  EXPECT_EQ(p.st.designContent, 1);
}

TEST(DefaultDesign, ThreeFactorsInLexicographicOrderWithinEachSize) {
  Parsed p;
  p.run("QUORVEST y BY a b c /INTERCEPT=EXCLUDE");
  ASSERT_EQ(p.errorCount(), 0);
  std::vector<EffectRow> want{{0, -1, -1}, {-1, 0, -1}, {-1, -1, 0}, {0, 0, -1},
                              {0, -1, 0},  {-1, 0, 0},  {0, 0, 0}};
  EXPECT_EQ(p.st.ptefds, want);
  EXPECT_EQ(p.st.effectCount(), 7);  // 2^3 - 1 without the intercept
  EXPECT_FALSE(p.st.interceptIncluded);
}

TEST(DefaultDesign, TooManyFactorsAreRefusedBeforeAnythingIsBuilt) {
  Dictionary d;
  d.vars.push_back(numeric("y"));
  std::string cmd = "QUORVEST y BY";
  for (int i = 1; i <= 30; ++i) {
    d.vars.push_back(numeric("f" + std::to_string(i)));
    cmd += " f" + std::to_string(i);
  }
  Parsed p(d);
  p.run(cmd);
  expectOnly(p, 151, out::Severity::Error);
  EXPECT_TRUE(p.st.ptefds.empty());

  // With an explicit design the same factors are fine.
  Parsed q(d);
  q.run(cmd + " /DESIGN=f1 f2*f3");
  EXPECT_EQ(q.errorCount(), 0);
  EXPECT_EQ(q.st.effectCount(), 3);
}

TEST(Design, DuplicatesAreDroppedWithAWarning) {
  Parsed p;
  p.run("QUORVEST y BY a b /DESIGN=a b a");
  expectOnly(p, 27, out::Severity::Warning);
  EXPECT_EQ(p.st.effectCount(), 3);
  std::vector<EffectRow> want{{-1, -1}, {0, -1}, {-1, 0}};
  EXPECT_EQ(p.st.ptefds, want);

  // b*a is the same effect as a*b; an INTERCEPT in the list duplicates row 1.
  Parsed q;
  q.run("QUORVEST y BY a b /DESIGN=a*b INTERCEPT b*a");
  EXPECT_EQ(q.numbers(), (std::vector<int>{27, 27}));
  EXPECT_EQ(q.st.effectCount(), 2);
}

TEST(Design, InterceptKeywordFirstIncludesTheIntercept) {
  Parsed p;
  p.run("QUORVEST y BY a /INTERCEPT=EXCLUDE /DESIGN=INTERCEPT a");
  EXPECT_EQ(p.errorCount(), 0);
  EXPECT_TRUE(p.st.interceptIncluded);
  EXPECT_EQ(p.st.effectCount(), 2);
  EXPECT_EQ(p.st.ptefds[0], EffectRow({-1}));

  Parsed q;
  q.run("QUORVEST y BY a /INTERCEPT=EXCLUDE /DESIGN=a INTERCEPT");
  expectOnly(q, 125, out::Severity::Error);
}

TEST(Design, NestedTermsAndCovariatesWithinFactors) {
  Parsed p;
  p.run("QUORVEST y BY a b WITH x /DESIGN=a b(a) x(a)");
  ASSERT_EQ(p.errorCount(), 0);
  std::vector<EffectRow> want{{-1, -1, -1}, {0, -1, -1}, {0, 1, -1}, {0, -1, 1}};
  EXPECT_EQ(p.st.ptefds, want);
  EXPECT_EQ(p.st.ptecwf, (std::vector<int>{0, 0, 0, 1}));
}

TEST(Design, OnlyTheLastNonEmptyDesignCounts) {
  Parsed p;
  p.run("QUORVEST y BY a b /DESIGN=a /DESIGN=b /DESIGN");
  // The second DESIGN is a repeat (4); the empty third one is reported (3) and ignored.
  EXPECT_EQ(p.numbers(), (std::vector<int>{4, 3}));
  EXPECT_EQ(p.message(4)->text.find("DESIGN") != std::string::npos, true);
  std::vector<EffectRow> want{{-1, -1}, {-1, 0}};
  EXPECT_EQ(p.st.ptefds, want);
}

TEST(Design, ASyntaxErrorStopsTheParse) {
  Parsed p;
  p.run("QUORVEST y BY a b /DESIGN=a(b /PRINT=NOSUCH");
  expectOnly(p, 139, out::Severity::Error);
  EXPECT_EQ(p.st.effectCount(), 0);
}

TEST(Random, FlagsEveryEffectWithTheFactorAndNoCovariate) {
  Parsed p;
  p.run("QUORVEST y BY a b WITH x /RANDOM=a /DESIGN=a b a*b x*a");
  ASSERT_EQ(p.errorCount(), 0);
  EXPECT_EQ(p.st.randomEffect, (std::vector<int>{0, 1, 0, 1, 0}));
  EXPECT_EQ(p.st.randomEffectCount(), 2);

  // Several RANDOM subcommands add up.
  Parsed q;
  q.run("QUORVEST y BY a b /RANDOM=a /RANDOM=b");
  EXPECT_EQ(q.errorCount(), 0);
  EXPECT_EQ(q.st.randomEffect, (std::vector<int>{0, 1, 1, 1}));
  EXPECT_EQ(q.st.randomEffectCount(), 3);
}

TEST(Random, Errors) {
  struct Case {
    const char* command;
    int number;
  } cases[] = {
      {"QUORVEST y BY a b /RANDOM=a*b", 136},
      {"QUORVEST y BY a b /RANDOM=b(a)", 136},
      {"QUORVEST y BY a WITH x /RANDOM=x", 36},
      {"QUORVEST y BY a WITH x /RANDOM=a*x", 36},
      {"QUORVEST y BY a /RANDOM=INTERCEPT", 126},
      {"QUORVEST y y2 BY a /RANDOM=a", 124},
      {"QUORVEST y /INTERCEPT=EXCLUDE /RANDOM=INTERCEPT", 35},
  };
  for (const auto& c : cases) {
    Parsed p;
    p.run(c.command);
    auto n = p.numbers();
    ASSERT_FALSE(n.empty()) << c.command;
    EXPECT_EQ(n.back(), c.number) << c.command;
    EXPECT_TRUE(p.ctx.errorFlag) << c.command;
  }
}

TEST(PostParse, DesignContentAndUnusedVariables) {
  Parsed p;
  p.run("QUORVEST y BY a b WITH x x2 /DESIGN=a x2");
  auto all = p.messages();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].severity, out::Severity::Warning);
  EXPECT_EQ(all[0].text, "Design does not use b, x");
  EXPECT_EQ(p.st.designContent, 1);
  EXPECT_EQ(p.st.factorUsed, (std::vector<bool>{true, false}));
  EXPECT_EQ(p.st.covariateUsed, (std::vector<bool>{false, true}));

  Parsed factorsOnly;
  factorsOnly.run("QUORVEST y BY a WITH x /DESIGN=a");
  EXPECT_EQ(factorsOnly.st.designContent, 2);
  Parsed covariatesOnly;
  covariatesOnly.run("QUORVEST y BY a WITH x /DESIGN=x");
  EXPECT_EQ(covariatesOnly.st.designContent, 3);
  Parsed interceptOnly;
  interceptOnly.run("QUORVEST y");
  EXPECT_EQ(interceptOnly.st.designContent, 4);
  EXPECT_EQ(interceptOnly.st.effectCount(), 1);
}

TEST(PostParse, NothingToFit) {
  Parsed p;
  p.run("QUORVEST y /INTERCEPT=EXCLUDE");
  expectOnly(p, 152, out::Severity::Error);
  EXPECT_EQ(p.messages()[0].phase, out::Phase::Processing);
}

}  // namespace
}  // namespace qv::testing
