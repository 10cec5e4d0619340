// The subcommand dispatcher: unknown, empty and repeated subcommands and the pre-passes.
#include "parse_fixture.h"

namespace qv::testing {
namespace {

TEST(Dispatcher, UnknownSubcommandStopsTheParse) {
  Parsed p;
  p.run("QUORVEST y BY a /FOO=1 /PRINT=NOSUCH /METHOD=SSTYPE(1)");
  expectOnly(p, 2, out::Severity::Error, "FOO");
  const auto m = p.message(2);
  EXPECT_EQ(m->key, "QVT Unrecognized subcommand ^1 ...");
  EXPECT_EQ(m->phase, out::Phase::Command);
  EXPECT_EQ(p.st.sstype, 3);  // nothing after FOO was looked at
  EXPECT_TRUE(p.ctx.errorFlag);
  EXPECT_TRUE(p.output.items.size() == 1u);  // no notes: the post-parse checks did not run
}

TEST(Dispatcher, EmptySubcommandIsReportedAndNotCounted) {
  Parsed p;
  p.run("QUORVEST y BY a /PRINT /CRITERIA=ALPHA(.1) /PRINT=GEF");
  expectOnly(p, 3, out::Severity::Warning, "PRINT");
  EXPECT_DOUBLE_EQ(p.st.alplev, 0.1);
  EXPECT_TRUE(p.st.printGef);  // the empty PRINT did not make this one a repeat

  Parsed q;
  q.run("QUORVEST y BY a /PRINT= /SAVE /DESIGN");
  EXPECT_EQ(q.numbers(), (std::vector<int>{3, 3, 3}));
  EXPECT_EQ(q.errorCount(), 0);
  EXPECT_EQ(q.st.effectCount(), 2);  // the empty DESIGN leaves the default design
}

TEST(Dispatcher, RepeatedSubcommandWarnsAndTheLastOneWins) {
  Parsed p;
  p.run("QUORVEST y BY a /PRINT=ETASQ /PRINT=PARAMETER");
  expectOnly(p, 4, out::Severity::Warning, "PRINT");
  EXPECT_TRUE(p.st.printParameters);
  EXPECT_FALSE(p.st.printEtaSquared);

  // Repeatable subcommands add up silently.
  Parsed q;
  q.run("QUORVEST y BY a /CRITERIA=ALPHA(.1) /CRITERIA=EPS(1E-10)");
  EXPECT_TRUE(q.messages().empty());
  EXPECT_DOUBLE_EQ(q.st.alplev, 0.1);
  EXPECT_DOUBLE_EQ(q.st.rdneps, 1e-10);
}

TEST(Dispatcher, PrePassSubcommandsAreParsedWhereverTheyStand) {
  // RANDOM needs the design, and REGWGT is reported once, during its pre-pass.
  Parsed p;
  p.run("QUORVEST y BY a b /RANDOM=b /REGWGT=w /DESIGN=a b /REGWGT=x /INTERCEPT=EXCLUDE");
  expectOnly(p, 4, out::Severity::Warning, "REGWGT");
  EXPECT_FALSE(p.st.interceptIncluded);
  std::vector<EffectRow> want{{0, -1}, {-1, 0}};
  EXPECT_EQ(p.st.ptefds, want);
  EXPECT_EQ(p.st.randomEffect, (std::vector<int>{0, 1}));
  EXPECT_EQ(p.st.regwgtVar, p.dict.find("x"));
  EXPECT_NE(p.st.weightingFootnote.find("Weighted by x"), std::string::npos) << p.st.weightingFootnote;

  // INTERCEPT: every occurrence is parsed and the last one wins.
  Parsed q;
  q.run("QUORVEST y BY a /INTERCEPT=EXCLUDE /INTERCEPT=INCLUDE");
  expectOnly(q, 4, out::Severity::Warning, "INTERCEPT");
  EXPECT_TRUE(q.st.interceptIncluded);
}

TEST(Dispatcher, AFailedPrePassEndsTheParse) {
  Parsed p;
  p.run("QUORVEST y BY a /PRINT=NOSUCH /INTERCEPT=MAYBE");
  expectOnly(p, 40, out::Severity::Error, "MAYBE");  // PRINT is never reached
}

TEST(Dispatcher, AbbreviatedKeywordsWorkInThePrePassesToo) {
  Parsed p;
  p.run("QUORVEST y BY a b /DES=a /PRI=PAR");
  EXPECT_EQ(p.errorCount(), 0);
  EXPECT_EQ(p.st.effectCount(), 2);
  EXPECT_TRUE(p.st.printParameters);
}

TEST(Dispatcher, VariableListErrorsStopBeforeTheSubcommands) {
  Parsed p;
  p.run("QUORVEST y BY a a /FOO");
  // Duplicates are only a warning; the unknown subcommand is then found.
  EXPECT_EQ(p.numbers(), (std::vector<int>{133, 2}));

  Parsed q;
  q.run("QUORVEST y BY a WITH a /FOO");
  expectOnly(q, 16, out::Severity::Error);
}

TEST(Dispatcher, CommandKeywordIsChecked) {
  Parsed p;
  p.run("REGRESS y BY a");
  ASSERT_EQ(p.errorCount(), 1);
  EXPECT_NE(p.messages()[0].text.find("REGRESS"), std::string::npos);
}

TEST(Dispatcher, MissingValueNotesTable) {
  Parsed p;
  p.run("QUORVEST y BY a /MISSING=INCLUDE");
  ASSERT_EQ(p.output.items.size(), 1u);
  const auto* t = std::get_if<out::Table>(&p.output.items[0]);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->title, "Notes");
  ASSERT_EQ(t->cells.size(), 2u);
  EXPECT_EQ(t->cells[0].path[0],
            (std::vector<std::string>{"Missing Value Handling", "Definition of Missing"}));
  EXPECT_NE(t->cells[0].value.text.find("INCLUDE"), std::string::npos);
  EXPECT_EQ(t->cells[1].path[0].back(), "Cases Used");
}

// The look at a command's symbols before any data are open: whether it may ask for the DESIGN
// matrix file, as the parse of the command decides it, whatever the spelling.
TEST(Dispatcher, DesignFileRequestIsSeenInEverySpelling) {
  const struct {
    const char* command;
    bool asks;
  } cases[] = {
      {"QUORVEST y BY a /OUTFILE=DESIGN('d.csv')", true},
      {"QUORVEST y BY a /outf = desi(d.csv)", true},
      {"QUORVEST y BY a /OUT=COVB('c.csv') DES('d.csv') /PRINT=GEF", true},
      {"QUORVEST y BY a /OUTFILE=COVB('c.csv') EFFECT('design.csv') /DESIGN=a", false},
      {"QUORVEST y BY a /OU=DESIGN('d.csv')", false},  // two letters abbreviate nothing
      {"QUORVEST y BY a /DESIGN=a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mayRequestDesignFile(c.command), c.asks) << c.command;
    Parsed p;
    p.run(c.command);
    EXPECT_EQ(!p.st.outdpdPath.empty(), c.asks) << c.command << ": the parse";
  }
}

}  // namespace
}  // namespace qv::testing
