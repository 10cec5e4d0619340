// LMATRIX, KMATRIX and TEST parsers.
#include "subcommand_fixture.h"

namespace qv::testing {
namespace {

using out::Phase;
using out::Severity;

class LmatrixTest : public SubcommandTest {};
class KmatrixTest : public SubcommandTest {};
class TestSubcommandTest : public SubcommandTest {
 protected:
  // Factors a, b, c with b nested in a: intercept, a, b(a), c.
  TestSubcommandTest() {
    model({"y"}, {"a", "b", "c"}, {});
    design({row({}, {}), row({{"a", 0}}, {}), row({{"a", 0}, {"b", 1}}, {}), row({{"c", 0}}, {})});
  }
};

TEST_F(LmatrixTest, LabelAndEffectRows) {
  // Default design of a and b: intercept, a, b, a*b.
  run(parseLmatrix, "'a vs b' a 1 -1 0; a 0 1 -1");
  expectClean();
  ASSERT_EQ(st.lmatrixCount(), 1);
  const LMatrixRequest& l = st.lmatrixList[0];
  EXPECT_FALSE(l.all);
  EXPECT_EQ(l.label, "a vs b");
  EXPECT_EQ(l.lmxrow, 2);
  EXPECT_EQ(l.effectCounts, (std::vector<int>{0, 3, 0, 0}));
  // Column by column, one value per row.
  EXPECT_EQ(l.effectValues[1], (std::vector<double>{1, 0, -1, 1, 0, -1}));
  EXPECT_TRUE(l.effectValues[0].empty());
}

TEST_F(LmatrixTest, EffectsNamedInSomeRowsOnlyAndFractions) {
  run(parseLmatrix, "INTERCEPT 1 a 1/3 1/3 1/3; b 1 -1; a*b 1/2 -1/2 0 0 a 0 0 1");
  expectClean();
  ASSERT_EQ(st.lmatrixCount(), 1);
  const LMatrixRequest& l = st.lmatrixList[0];
  EXPECT_EQ(l.lmxrow, 3);
  EXPECT_EQ(l.effectCounts, (std::vector<int>{1, 3, 2, 4}));
  EXPECT_EQ(l.effectValues[0], (std::vector<double>{1, 0, 0}));
  EXPECT_EQ(l.effectValues[1], (std::vector<double>{1.0 / 3, 0, 0, 1.0 / 3, 0, 0, 1.0 / 3, 0, 1}));
  EXPECT_EQ(l.effectValues[2], (std::vector<double>{0, 1, 0, 0, -1, 0}));
  EXPECT_EQ(l.effectValues[3], (std::vector<double>{0, 0, 0.5, 0, 0, -0.5, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(l.label.empty());
}

TEST_F(LmatrixTest, AllRows) {
  run(parseLmatrix, "ALL 0 1 -1 0 0 0 0 0 0; ALL 0 0 1 -1 0 0 0 0 0");
  expectClean();
  ASSERT_EQ(st.lmatrixCount(), 1);
  const LMatrixRequest& l = st.lmatrixList[0];
  EXPECT_TRUE(l.all);
  EXPECT_EQ(l.lmxrow, 2);
  EXPECT_EQ(l.valuesPerRow, 9);
  ASSERT_EQ(l.allValues.size(), 18u);
  EXPECT_EQ(l.allValues[1], 1.0);
  EXPECT_EQ(l.allValues[9 + 3], -1.0);
}

TEST_F(LmatrixTest, ZeroRowsAreRemoved) {
  run(parseLmatrix, "a 1 -1 0; a 0 0 0 b 0 0");
  expectOnly(185, Severity::Warning, Phase::Processing);
  ASSERT_EQ(st.lmatrixCount(), 1);
  EXPECT_EQ(st.lmatrixList[0].lmxrow, 1);
  EXPECT_EQ(st.lmatrixList[0].effectValues[1], (std::vector<double>{1, -1, 0}));
  // b was named only in the removed row: it is not named in the hypothesis.
  EXPECT_EQ(st.lmatrixList[0].effectCounts[2], 0);

  clearOutput();
  run(parseLmatrix, "ALL 0 0 0; ALL 1 0 0");
  expectOnly(185, Severity::Warning, Phase::Processing);
  EXPECT_EQ(st.lmatrixList[1].lmxrow, 1);
  EXPECT_EQ(st.lmatrixList[1].allValues, (std::vector<double>{1, 0, 0}));

  clearOutput();
  run(parseLmatrix, "a 0 0 0");
  EXPECT_EQ(numbers(), (std::vector<int>{185, 186}));
  EXPECT_EQ(messages()[1].severity, Severity::Error);
  EXPECT_EQ(messages()[1].phase, Phase::Processing);
  EXPECT_TRUE(ctx.errorFlag);
  EXPECT_EQ(st.lmatrixCount(), 2);
}

TEST_F(LmatrixTest, CommandErrors) {
  design({row({}, {}), row({{"a", 0}}, {}), row({{"b", 0}}, {})});
  expectErrors(parseLmatrix, {
                                 {"''", 184},
                                 {"ALL 0 1 -1; a 1", 58},
                                 {"ALL 0 1;", 58},
                                 {"ALL; ALL 1", 56},
                                 {"ALL 1 0; ALL 1", 57},
                                 {"ALL 1 2 ALL 3 4", 59},
                                 {"ALL 1 'x'", 59},
                                 {"a 1 ALL 1", 59},
                                 {"3 a 1", 59},
                                 {"'x' 'y' a 1", 59},
                                 {"a*b 1 0 0 1", 60},
                                 {"a 1 -1 a 0 1", 176},
                                 {"a; b 1", 56},
                                 {"a 1;", 56},
                                 {"'label'", 56},
                                 {"a 1 -1; a 1 0 -1", 57},
                                 {"a 1/0", 127},
                                 {"a 1/-2", 127},
                                 {"a*zz 1", 32},
                             });
  EXPECT_EQ(st.lmatrixCount(), 0);

  st.interceptIncluded = false;
  design({row({{"a", 0}}, {}), row({{"b", 0}}, {})});
  run(parseLmatrix, "INTERCEPT 1");
  expectCommandError(125);
}

TEST_F(LmatrixTest, EffectMessagesNameTheEffect) {
  design({row({}, {}), row({{"a", 0}}, {}), row({{"b", 0}}, {})});
  run(parseLmatrix, "b 1 a*b 1 0 0 1");
  expectCommandError(60, "a");
  clearOutput();
  run(parseLmatrix, "b 1 -1 B 0 1");
  expectCommandError(176, "B");
}

TEST_F(LmatrixTest, SlashAfterAValueEndsTheSubcommand) {
  // "1 /NEXT": the "/" begins the next subcommand, it is no fraction.
  run(parseLmatrix, "a 1 -1 0");
  expectClean();
  EXPECT_EQ(st.lmatrixList.at(0).effectValues[1], (std::vector<double>{1, -1, 0}));
}

TEST_F(KmatrixTest, RepetitionsFractionsAndRows) {
  run(parseKmatrix, "3*0; 0 0 0");
  expectClean();
  EXPECT_EQ(st.kmnrow, 2);
  EXPECT_EQ(st.kmncol, 3);
  EXPECT_EQ(st.ptkmat, (std::vector<double>(6, 0.0)));

  // A later KMATRIX replaces the values.
  run(parseKmatrix, "1/2 2*-1.5; +4 -1/4 1");
  expectClean();
  EXPECT_EQ(st.kmnrow, 2);
  EXPECT_EQ(st.kmncol, 3);
  EXPECT_EQ(st.ptkmat, (std::vector<double>{0.5, -1.5, -1.5, 4, -0.25, 1}));

  run(parseKmatrix, "2*1/4");
  EXPECT_EQ(st.ptkmat, (std::vector<double>{0.25, 0.25}));
  EXPECT_EQ(st.kmnrow, 1);
}

TEST_F(KmatrixTest, CommandErrors) {
  expectErrors(parseKmatrix, {
                                 {";", 97},
                                 {"1 2;", 97},
                                 {"1; ; 2", 97},
                                 {"0 0; 0", 98},
                                 {"2*0; 0", 98},
                                 {"0.5*1", 178},
                                 {"0*1", 178},
                                 {"-2*1", 178},
                                 {"2*3*4", 99},
                                 {"2**4", 99},
                                 {"1/2*3", 100},
                                 {"2* a", 100},
                                 {"1 *", 100},
                                 {"*2", 101},
                                 {"1; *2", 101},
                                 {"1 a", 179},
                                 {"1 (2)", 179},
                                 {"- 1 -", 179},
                                 {"1/0", 127},
                                 {"2*1/0", 127},
                                 // Counts beyond any integer type are refused before they are converted.
                                 {"1e19*0", 178},
                                 {"1e400*0", 178},
                                 {"9.3e18*1", 178},
                             });
  EXPECT_TRUE(st.ptkmat.empty());
  run(parseKmatrix, "0.5*1");
  expectCommandError(178, "0.5");
}

TEST_F(KmatrixTest, RowCountMustMatchEveryLmatrixInEitherOrder) {
  run(parseLmatrix, "a 1 -1 0; a 0 1 -1");
  run(parseKmatrix, "0; 0; 0");
  expectCommandError(140);
  EXPECT_TRUE(st.ptkmat.empty());

  model({"y"}, {"a", "b"}, {});
  clearOutput();
  run(parseKmatrix, "0; 0; 0");
  run(parseLmatrix, "a 1 -1 0; a 0 1 -1");
  expectCommandError(140);
  EXPECT_EQ(st.lmatrixCount(), 0);

  // Counted after zero rows are removed.
  clearOutput();
  run(parseLmatrix, "a 1 -1 0; a 0 1 -1; a 0 1 0");
  expectClean();
  run(parseLmatrix, "a 1 -1 0; a 0 0 0; a 0 1 -1");
  EXPECT_EQ(numbers(), (std::vector<int>{185, 140}));
}

TEST_F(TestSubcommandTest, ErrorTermAsEffects) {
  const int a = 1, ba = 2, c = 3;
  run(parseTest, "a VS b(a)");
  run(parseTest, "a VS 2*b(a) - c");
  run(parseTest, "a VS b WITHIN a + 1/2*c - 3*b(a) DF(3.5)");
  run(parseTest, "c VS -2*a");
  expectClean();
  ASSERT_EQ(st.testCount(), 4);

  const TestRequest& t1 = st.testList[0];
  EXPECT_EQ(t1.ieffh, a);
  EXPECT_EQ(t1.kind, TestErrorKind::Effects);
  EXPECT_EQ(t1.terms, (std::vector<TestTerm>{{1.0, ba}}));
  EXPECT_FALSE(t1.errorDf.has_value());

  EXPECT_EQ(st.testList[1].terms, (std::vector<TestTerm>{{2.0, ba}, {-1.0, c}}));
  // An effect named twice has its coefficients added.
  EXPECT_EQ(st.testList[2].terms, (std::vector<TestTerm>{{-2.0, ba}, {0.5, c}}));
  EXPECT_EQ(st.testList[2].errorDf, std::optional<double>(3.5));
  EXPECT_EQ(st.testList[3].ieffh, c);
  EXPECT_EQ(st.testList[3].terms, (std::vector<TestTerm>{{-2.0, a}}));
}

TEST_F(TestSubcommandTest, ErrorTermAsAValue) {
  run(parseTest, "a VS 12.5 DF(4)");
  expectClean();
  ASSERT_EQ(st.testCount(), 1);
  EXPECT_EQ(st.testList[0].kind, TestErrorKind::Value);
  EXPECT_EQ(st.testList[0].givenValue, 12.5);
  EXPECT_EQ(st.testList[0].errorDf, std::optional<double>(4.0));
}

TEST_F(TestSubcommandTest, NeedsOneDependentVariable) {
  model({"y", "y2"}, {"a"}, {});
  run(parseTest, "a VS INTERCEPT");
  expectCommandError(128);
  EXPECT_EQ(st.testCount(), 0);
}

TEST_F(TestSubcommandTest, CommandErrors) {
  expectErrors(parseTest, {
                              {"a*c VS b(a)", 54},
                              {"a VS b", 54},
                              {"a VS b(a) - a*c", 54},
                              {"a VS 12 DF(3) b(a)", 55},
                              {"a VS b(a) DF(2) c", 55},
                              {"a VS ;", 55},
                              {"a VS - - c", 55},
                              {"a VS 2 * 3", 55},
                              {"a VS", 160},
                              {"a", 161},
                              {"a FOO", 162},
                              {"a VS 3 DF", 163},
                              {"a VS 3 DF 4", 164},
                              {"a VS 3 DF(", 166},
                              {"a VS 3 DF(x)", 167},
                              {"a VS 3 DF(0)", 165},
                              {"a VS 3 DF(-2)", 165},
                              {"a VS 3 DF(2", 168},
                              {"a VS 3 DF(2 3)", 169},
                              {"a VS 2/0*c", 170},
                              {"a VS 2 /", 174},  // a slash after a coefficient makes a fraction
                              {"a VS 2 c", 172},
                              {"a VS 2/c", 174},
                              {"a VS DF(3)", 175},
                          });
  EXPECT_EQ(st.testCount(), 0);
  // At the very end of the command.
  runLast(parseTest, "a VS 2/");
  expectCommandError(173);
  clearOutput();
  runLast(parseTest, "a VS 2");
  expectCommandError(171);
}

TEST_F(TestSubcommandTest, MessagesNameTheOffendingSymbol) {
  run(parseTest, "a*c VS b(a)");
  expectCommandError(54, "a");
  clearOutput();
  run(parseTest, "a VS 3 DF(0)");
  expectCommandError(165, "0");
  clearOutput();
  run(parseTest, "a VS 2/-4*c");
  expectCommandError(170, "-4");
  clearOutput();
  run(parseKmatrix, "-2*1");
  expectCommandError(178, "-2");
}

}  // namespace
}  // namespace qv::testing
