// All optional subcommands in one command, and the notes about requests not computed yet.
#include "driver/analyses.h"
#include "parse/subcommand_registry.h"
#include "subcommand_fixture.h"

namespace qv::testing {
namespace {

class WholeCommandTest : public SubcommandTest {
 protected:
  WholeCommandTest() {
    model({"y"}, {"a", "b"}, {"x"});
    // The covariate is listed but kept out of the design, so that POSTHOC is allowed.
    design({row({}, {}), row({{"a", 0}}, {}), row({{"b", 0}}, {}), row({{"a", 0}, {"b", 0}}, {})});
  }

  // Hands each subcommand after the variable list to its parser, the way the dispatcher does,
  // and checks that every parser stops at the end of its own subcommand.
  void parseCommand(const std::string& text) {
    tok = std::make_unique<syntax::Tokenizer>(text);
    ParseContext pc{ctx, *tok, dict, st};
    while (!tok->current().endsSubcommand()) tok->advance();  // the variable list
    while (tok->current().isSlash() && !ctx.errorFlag) {
      tok->advance();
      const std::string keyword = tok->current().text;
      tok->advance();
      if (tok->current().isSpecial(syntax::kEquals)) tok->advance();
      const SubcommandSpec* spec = nullptr;
      for (const SubcommandSpec& s : subcommandSpecs())
        if (keyword == s.keyword) spec = &s;
      ASSERT_NE(spec, nullptr) << keyword;
      spec->parse(pc);
      ASSERT_TRUE(tok->current().endsSubcommand()) << keyword << " stopped at " << tok->current().text;
    }
    EXPECT_TRUE(tok->current().isEnd());
  }

  int notesNaming(const std::string& what) const {
    int n = 0;
    for (const auto& m : messages())
      if (m.severity == out::Severity::Note && m.text.find(" " + what + " ") != std::string::npos) ++n;
    return n;
  }
};

const char* const kEverySubcommand =
    "QUORVEST y BY a b WITH x\n"
    " /CONTRAST(a)=SIMPLE(1)\n"
    " /CONTRAST(b)=SPECIAL(1 -1 0 0 1 -1)\n"
    " /POSTHOC=a b (TUKEY DUNNETT(1) WALLER(50)) VS a*b\n"
    " /EMMEANS=TABLES(a*b) WITH(x=2) COMPARE(a) ADJ(SIDAK)\n"
    " /EMMEANS=TABLES(OVERALL)\n"
    " /PLOT=PROFILE(a b*a) SPREADLEVEL RESIDUALS WITH(x=MEAN)\n"
    " /SAVE=PRED(p) RESID ZRESID(z) COOK LEVER\n"
    " /LMATRIX='first' a 1 -1 0; a 1/2 1/2 -1\n"
    " /LMATRIX=ALL 0 1 -1 0 0 0 0 0 0; ALL 0 0 1 -1 0 0 0 0 0\n"
    " /KMATRIX=0; 1/4\n"
    " /TEST=a VS 2*a*b - 1/2*b DF(3)";

TEST_F(WholeCommandTest, EverySubcommandAtOnce) {
  parseCommand(kEverySubcommand);
  expectClean();
  EXPECT_EQ(st.contrastCount(), 2);
  EXPECT_EQ(st.posthocCount(), 1);
  EXPECT_EQ(st.ptmpho[0].errorEffect, std::optional<int>(3));
  EXPECT_EQ(st.emmeansCount(), 2);
  EXPECT_EQ(st.profilePlotCount(), 2);
  EXPECT_TRUE(st.plotSpreadLevel);
  EXPECT_TRUE(st.plotResiduals);
  EXPECT_EQ(st.plotCovValues, (std::vector<double>{kSysmis}));
  EXPECT_EQ(st.saveCount(), 5);
  EXPECT_EQ(st.lmatrixCount(), 2);
  EXPECT_EQ(st.lmatrixList[0].label, "first");
  EXPECT_EQ(st.lmatrixList[0].effectValues[1], (std::vector<double>{1, 0.5, -1, 0.5, 0, -1}));
  EXPECT_EQ(st.kmnrow, 2);
  EXPECT_EQ(st.kmncol, 1);
  EXPECT_EQ(st.ptkmat, (std::vector<double>{0, 0.25}));
  ASSERT_EQ(st.testCount(), 1);
  EXPECT_EQ(st.testList[0].terms, (std::vector<TestTerm>{{2.0, 3}, {-0.5, 2}}));
  EXPECT_EQ(st.testList[0].errorDf, std::optional<double>(3.0));
}

TEST_F(WholeCommandTest, RequestsWithoutTheirAnalysisAreNotedOncePerKind) {
  parseCommand(kEverySubcommand);
  ASSERT_FALSE(ctx.errorFlag);
  // Every analysis in place: no note.
  noteRequestsNotComputed(ctx, st);
  expectClean();

  // The same table with every analysis taken out: one note per kind of request, although
  // EMMEANS and LMATRIX are given twice.
  std::vector<Analysis> none(analyses().begin(), analyses().end());
  for (Analysis& a : none) a.run = nullptr;
  noteRequestsNotComputed(ctx, st, none);
  auto m = messages();
  ASSERT_EQ(m.size(), 9u) << describe();
  for (const auto& msg : m) {
    EXPECT_EQ(msg.severity, out::Severity::Note);
    EXPECT_FALSE(msg.number.has_value());
  }
  for (const char* what : {"CONTRAST", "POSTHOC", "EMMEANS", "PLOT=PROFILE", "PLOT=SPREADLEVEL",
                           "PLOT=RESIDUALS", "LMATRIX", "KMATRIX", "TEST"})
    EXPECT_EQ(notesNaming(what), 1) << what;
  EXPECT_FALSE(ctx.errorFlag);
}

TEST_F(WholeCommandTest, NothingRequestedNothingNoted) {
  std::vector<Analysis> none(analyses().begin(), analyses().end());
  for (Analysis& a : none) a.run = nullptr;
  parseCommand("QUORVEST y BY a b WITH x");
  noteRequestsNotComputed(ctx, st, none);
  expectClean();
  // Requests dropped with a warning are not requests.
  parseCommand("QUORVEST y BY a b WITH x /PLOT=WITH(x=1) /SAVE=WPRED");
  clearOutput();
  noteRequestsNotComputed(ctx, st, none);
  expectClean();
}

}  // namespace
}  // namespace qv::testing
