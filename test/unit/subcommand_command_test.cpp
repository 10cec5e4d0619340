// All optional subcommands in one command, and the notes about requests not computed yet.
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
      void (*parser)(ParseContext&) = nullptr;
      if (keyword == "CONTRAST") parser = parseContrast;
      if (keyword == "POSTHOC") parser = parsePosthoc;
      if (keyword == "EMMEANS") parser = parseEmmeans;
      if (keyword == "PLOT") parser = parsePlot;
      if (keyword == "SAVE") parser = parseSave;
      if (keyword == "LMATRIX") parser = parseLmatrix;
      if (keyword == "KMATRIX") parser = parseKmatrix;
      if (keyword == "TEST") parser = parseTest;
      ASSERT_NE(parser, nullptr) << keyword;
      parser(pc);
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
  EXPECT_EQ(st.ncontr, 2);
  EXPECT_EQ(st.posthocCount, 1);
  EXPECT_EQ(st.ptmpho[0].errorEffect, std::optional<int>(3));
  EXPECT_EQ(st.emmeansCount, 2);
  EXPECT_EQ(st.profilePlotCount, 2);
  EXPECT_TRUE(st.plotSpreadLevel);
  EXPECT_TRUE(st.plotResiduals);
  EXPECT_EQ(st.plotCovValues, (std::vector<double>{kSysmis}));
  EXPECT_EQ(st.saveCount, 5);
  EXPECT_EQ(st.nlmatr, 2);
  EXPECT_EQ(st.lmatrixList[0].label, "first");
  EXPECT_EQ(st.lmatrixList[0].effectValues[1], (std::vector<double>{1, 0.5, -1, 0.5, 0, -1}));
  EXPECT_EQ(st.kmnrow, 2);
  EXPECT_EQ(st.kmncol, 1);
  EXPECT_EQ(st.ptkmat, (std::vector<double>{0, 0.25}));
  ASSERT_EQ(st.ntests, 1);
  EXPECT_EQ(st.testList[0].terms, (std::vector<TestTerm>{{2.0, 3}, {-0.5, 2}}));
  EXPECT_EQ(st.testList[0].errorDf, std::optional<double>(3.0));
}

TEST_F(WholeCommandTest, UnconsumedRequestsAreNotedOncePerKind) {
  parseCommand(kEverySubcommand);
  ASSERT_FALSE(ctx.errorFlag);
  // Two EMMEANS and two LMATRIX subcommands still give one note each.
  RequestConsumption none{};
  ParseContext pc{ctx, *tok, dict, st};
  noteUnconsumedRequests(pc, none);
  auto m = messages();
  ASSERT_EQ(m.size(), 10u) << describe();
  for (const auto& msg : m) {
    EXPECT_EQ(msg.severity, out::Severity::Note);
    EXPECT_FALSE(msg.number.has_value());
  }
  for (const char* what : {"CONTRAST", "POSTHOC", "EMMEANS", "PLOT=PROFILE", "PLOT=SPREADLEVEL",
                           "PLOT=RESIDUALS", "SAVE", "LMATRIX", "KMATRIX", "TEST"})
    EXPECT_EQ(notesNaming(what), 1) << what;
  EXPECT_FALSE(ctx.errorFlag);

  // A kind whose analysis exists is not noted.
  clearOutput();
  RequestConsumption some{};
  some[static_cast<size_t>(RequestKind::Posthoc)] = true;
  some[static_cast<size_t>(RequestKind::ResidualPlot)] = true;
  noteUnconsumedRequests(pc, some);
  EXPECT_EQ(messages().size(), 8u);
  EXPECT_EQ(notesNaming("POSTHOC"), 0);
  EXPECT_EQ(notesNaming("PLOT=RESIDUALS"), 0);
  EXPECT_EQ(notesNaming("PLOT=PROFILE"), 1);
}

TEST_F(WholeCommandTest, NothingRequestedNothingNoted) {
  parseCommand("QUORVEST y BY a b WITH x");
  ParseContext pc{ctx, *tok, dict, st};
  noteUnconsumedRequests(pc);
  expectClean();
  // Requests dropped with a warning are not requests.
  parseCommand("QUORVEST y BY a b WITH x /PLOT=WITH(x=1) /SAVE=WPRED");
  clearOutput();
  ParseContext pc2{ctx, *tok, dict, st};
  noteUnconsumedRequests(pc2, RequestConsumption{});
  expectClean();
}

}  // namespace
}  // namespace qv::testing
