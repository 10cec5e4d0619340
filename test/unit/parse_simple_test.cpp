// PRINT, CRITERIA, METHOD, MISSING, INTERCEPT, REGWGT and OUTFILE, and the post-parse checks.
#include "parse/subcommands.h"
#include "parse_fixture.h"

namespace qv::testing {
namespace {

// Runs `QUORVEST y BY a <rest>` and expects exactly one message.
void expectMessage(const std::string& rest, int number, out::Severity sev, const std::string& param = "") {
  Parsed p;
  p.run("QUORVEST y BY a " + rest);
  SCOPED_TRACE(rest);
  expectOnly(p, number, sev, param);
}

TEST(Print, Keywords) {
  Parsed p;
  p.run("QUORVEST y BY a /PRINT=DESCRIPTIVE HOMOGENEITY PARAMETER EFSIZE GEF OPOWER LOF TEST(LMATRIX)");
  EXPECT_TRUE(p.messages().empty());
  const auto& s = p.st;
  EXPECT_TRUE(s.printDescriptives && s.printHomogeneity && s.printParameters && s.printEtaSquared &&
              s.printGef && s.printObservedPower && s.printLackOfFit && s.printLMatrix);

  Parsed q;
  q.run("QUORVEST y BY a /PRINT=DESC TEST ETASQ");
  EXPECT_TRUE(q.messages().empty());
  EXPECT_TRUE(q.st.printDescriptives && q.st.printEtaSquared);
  EXPECT_FALSE(q.st.printLMatrix);  // TEST without a list sets nothing

  Parsed r;
  r.run("QUORVEST y BY a /PRINT=TEST(ESTIMABLE LMATRIX)");
  EXPECT_TRUE(r.st.printLMatrix);
}

TEST(Print, Errors) {
  expectMessage("/PRINT=ETASQ BOGUS", 82, out::Severity::Error, "BOGUS");
  expectMessage("/PRINT=ETASQ, GEF", 82, out::Severity::Error, ",");
  expectMessage("/PRINT=TEST(LMATRIX FOO)", 83, out::Severity::Error, "FOO");
  expectMessage("/PRINT=TEST(LMATRIX /METHOD=SSTYPE(1)", 83, out::Severity::Error, "/");
  Parsed p;
  p.run("QUORVEST y /PRINT=HOMOGENEITY");
  expectOnly(p, 34, out::Severity::Warning);
  EXPECT_FALSE(p.st.printHomogeneity);
}

TEST(Criteria, AlphaAndEps) {
  Parsed p;
  p.run("QUORVEST y BY a /CRITERIA=ALPHA(.1) EPS(1E-12)");
  EXPECT_TRUE(p.messages().empty());
  EXPECT_DOUBLE_EQ(p.st.alplev, 0.1);
  EXPECT_EQ(p.st.alphaText, ".1");
  EXPECT_DOUBLE_EQ(p.st.rdneps, 1e-12);

  Parsed comma;
  comma.ctx.decimalChar = ',';
  comma.run("QUORVEST y BY a /CRITERIA=ALPHA(0.025)");
  EXPECT_EQ(comma.st.alphaText, "0,025");

  Parsed defaults;
  defaults.run("QUORVEST y BY a");
  EXPECT_DOUBLE_EQ(defaults.st.alplev, 0.05);
  EXPECT_DOUBLE_EQ(defaults.st.rdneps, 1e-8);
  EXPECT_EQ(defaults.st.sstype, 3);
  EXPECT_TRUE(defaults.st.interceptIncluded);
}

TEST(Criteria, Errors) {
  // Out-of-range values are reported on the number itself.
  expectMessage("/CRITERIA=ALPHA(1)", 81, out::Severity::Error, "1");
  expectMessage("/CRITERIA=ALPHA(0)", 81, out::Severity::Error, "0");
  expectMessage("/CRITERIA=EPS(0)", 45, out::Severity::Error, "0");
  expectMessage("/CRITERIA=EPS(1E999)", 45, out::Severity::Error, "1E999");
  expectMessage("/CRITERIA=CIN(95)", 43, out::Severity::Error, "CIN");
  expectMessage("/CRITERIA=ALPHA .1", 44, out::Severity::Error, ".1");
  expectMessage("/CRITERIA=ALPHA(x)", 44, out::Severity::Error, "x");
  expectMessage("/CRITERIA=ALPHA(-.1)", 44, out::Severity::Error, "-");
  expectMessage("/CRITERIA=ALPHA(.1 EPS(1)", 44, out::Severity::Error, "EPS");
}

TEST(Method, SumsOfSquaresType) {
  for (int type = 1; type <= 4; ++type) {
    Parsed p;
    p.run("QUORVEST y BY a /METHOD=SSTYPE(" + std::to_string(type) + ")");
    EXPECT_TRUE(p.messages().empty());
    EXPECT_EQ(p.st.sstype, type);
  }
  Parsed alone;
  alone.run("QUORVEST y BY a /METHOD=SSTYPE");
  EXPECT_EQ(alone.st.sstype, 3);
  EXPECT_TRUE(alone.messages().empty());
}

TEST(Method, Errors) {
  expectMessage("/METHOD=SSTYPE(5)", 75, out::Severity::Error, "5");
  expectMessage("/METHOD=SSTYPE(2.5)", 75, out::Severity::Error, "2.5");
  expectMessage("/METHOD=SSTYPE(0)", 75, out::Severity::Error, "0");
  expectMessage("/METHOD=SSTYPE()", 155, out::Severity::Error);
  expectMessage("/METHOD=SSTYPES(1)", 72, out::Severity::Error, "SSTYPES");
  expectMessage("/METHOD=SSTYPE 1", 73, out::Severity::Error, "1");
  expectMessage("/METHOD=SSTYPE(1", 74, out::Severity::Error);
  expectMessage("/METHOD=SSTYPE(1) X", 71, out::Severity::Error, "X");
}

TEST(MissingAndIntercept, Keywords) {
  expectMessage("/MISSING=LISTWISE", 41, out::Severity::Error, "LISTWISE");
  expectMessage("/MISSING=INCLUDE EXCLUDE", 41, out::Severity::Error, "EXCLUDE");
  expectMessage("/INTERCEPT=INCLUDE x", 40, out::Severity::Error, "x");
  Parsed p;
  p.run("QUORVEST y BY a /INTERCEPT=EXCLUDE /MISSING=INCLUDE");
  EXPECT_FALSE(p.st.interceptIncluded);
  EXPECT_TRUE(p.st.includeUserMissing);
}

TEST(Regwgt, VariableChecks) {
  expectMessage("/REGWGT=nosuch", 38, out::Severity::Error, "nosuch");
  expectMessage("/REGWGT=label", 33, out::Severity::Error, "label");
  expectMessage("/REGWGT=w x", 39, out::Severity::Error, "x");
  expectMessage("/REGWGT=3", 39, out::Severity::Error, "3");
  Parsed none;
  none.run("QUORVEST y BY a");
  EXPECT_EQ(none.st.regwgtVar, -1);
  EXPECT_TRUE(none.st.weightingFootnote.empty());
}

TEST(Outfile, Files) {
  Parsed p;
  p.run("QUORVEST y BY a /OUTFILE=CORB('out/corb.csv') DESIGN(design) EFFECT(\"e f.csv\")");
  EXPECT_TRUE(p.messages().empty());
  EXPECT_EQ(p.st.outdpcPath, "out/corb.csv");
  EXPECT_EQ(p.st.matrixFileKind, 2);
  EXPECT_EQ(p.st.outdpdPath, "design");
  EXPECT_EQ(p.st.effectOutPath, "e f.csv");

  Parsed covb;
  covb.run("QUORVEST y BY a /OUTFILE=COVB('c')");
  EXPECT_EQ(covb.st.matrixFileKind, 1);

  // A repeated OUTFILE warns that the last one is used, and uses it.
  Parsed twice;
  twice.run("QUORVEST y BY a /OUTFILE=COVB('c1') EFFECT('e1') /OUTFILE=CORB('c2')");
  ASSERT_EQ(twice.messages().size(), 1u);
  EXPECT_EQ(twice.messages()[0].number, 4);
  EXPECT_FALSE(twice.ctx.errorFlag);
  EXPECT_EQ(twice.st.outdpcPath, "c2");
  EXPECT_EQ(twice.st.matrixFileKind, 2);
  EXPECT_TRUE(twice.st.effectOutPath.empty());
}

TEST(Outfile, Errors) {
  expectMessage("/OUTFILE=COVB('f1') CORB('f2')", 84, out::Severity::Error);
  expectMessage("/OUTFILE=EFFECT('f1') EFFECT('f2')", 84, out::Severity::Error);
  expectMessage("/OUTFILE=EFFECT(*)", 90, out::Severity::Error);
  expectMessage("/OUTFILE=PARAMS('f')", 85, out::Severity::Error, "PARAMS");
  expectMessage("/OUTFILE='f'", 85, out::Severity::Error, "f");
  expectMessage("/OUTFILE=COVB 'f'", 86, out::Severity::Error, "f");
  expectMessage("/OUTFILE=COVB()", 88, out::Severity::Error);
  expectMessage("/OUTFILE=COVB('')", 88, out::Severity::Error);
  expectMessage("/OUTFILE=COVB(", 88, out::Severity::Error);
  expectMessage("/OUTFILE=COVB('f' 'g')", 87, out::Severity::Error, "g");
}

TEST(PostParse, UserMissingTreatment) {
  // No user-missing values among the variables used: both treatments give the same cases.
  Parsed plain;
  plain.run("QUORVEST y BY a");
  EXPECT_TRUE(plain.st.includeUserMissing);

  Dictionary d = standardDictionary();
  d.vars[static_cast<size_t>(d.find("a"))].missing.numbers = {9};
  Parsed defined(d);
  defined.run("QUORVEST y BY a");
  EXPECT_FALSE(defined.st.includeUserMissing);
  // The notes say what the user asked for.
  const auto* t = std::get_if<out::Table>(&defined.output.items[0]);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(t->cells[0].value.text.find("EXCLUDE"), std::string::npos);

  // The regression weight counts as a used variable.
  Dictionary dw = standardDictionary();
  dw.vars[static_cast<size_t>(dw.find("w"))].missing.range = std::make_pair(-99.0, -1.0);
  Parsed weighted(dw);
  weighted.run("QUORVEST y BY a /REGWGT=w");
  EXPECT_FALSE(weighted.st.includeUserMissing);
}

TEST(PostParse, CaseRecordLayout) {
  Parsed p;
  p.run("QUORVEST y y2 BY a s WITH x");
  EXPECT_EQ(p.st.factorWidth, (std::vector<int>{1, 2}));  // s is 12 characters wide
  EXPECT_EQ(p.st.factorValueWidth, 3);
  EXPECT_EQ(p.st.caseRecordLength, 3 + 1 + 2 + 2);
}

TEST(PostParse, DescriptivesWithTooManyFactors) {
  Dictionary d;
  d.vars.push_back(numeric("y"));
  std::string factors;
  for (int i = 1; i <= 19; ++i) {
    d.vars.push_back(numeric("f" + std::to_string(i)));
    factors += " f" + std::to_string(i);
  }
  Parsed p(d);
  p.run("QUORVEST y BY" + factors + " /PRINT=DESCRIPTIVE /DESIGN=f1");
  // 19 factors also leave 18 of them out of the design; the 200 warning comes first.
  ASSERT_TRUE(p.has(200));
  EXPECT_EQ(p.message(200)->severity, out::Severity::Warning);
  EXPECT_FALSE(p.st.printDescriptives);
  EXPECT_EQ(p.errorCount(), 0);
}

// The K-matrix checks work on what KMATRIX and LMATRIX recorded.
struct KCase : Parsed {
  KCase& check(int rows, int cols, int nlmatr, bool intercept, int ndepvr = 1) {
    tok = std::make_unique<syntax::Tokenizer>("");
    st.depVars.resize(static_cast<size_t>(ndepvr));
    st.depVars = std::vector<int>(static_cast<size_t>(ndepvr), 0);
    st.interceptIncluded = intercept;
    st.ptefds = {EffectRow{}};
    st.kmnrow = rows;
    st.kmncol = cols;
    st.ptkmat.assign(static_cast<size_t>(rows * cols), 0.0);
    st.lmatrixList.assign(static_cast<size_t>(nlmatr), qv::LMatrixRequest{});
    ParseContext p = pc();
    postParseChecks(p);
    return *this;
  }
};

TEST(PostParse, KMatrixConsistency) {
  EXPECT_EQ(KCase().check(1, 1, 0, true).errorCount(), 0);
  EXPECT_EQ(KCase().check(2, 1, 0, true).numbers(), std::vector<int>{148});
  EXPECT_EQ(KCase().check(1, 1, 0, false).numbers(), std::vector<int>{145});
  EXPECT_EQ(KCase().check(1, 2, 0, true).numbers(), std::vector<int>{147});
  EXPECT_EQ(KCase().check(3, 2, 1, true).numbers(), std::vector<int>{147});
  EXPECT_EQ(KCase().check(3, 2, 1, true, 2).errorCount(), 0);
  auto m = KCase().check(1, 2, 0, true).message(147);
  EXPECT_EQ(m->key, "QVT KMATRIX and default M matrix diff. N of columns ...");
  EXPECT_EQ(m->phase, out::Phase::Processing);
}

}  // namespace
}  // namespace qv::testing
