#include "host/syntax/tokenizer.h"

#include <gtest/gtest.h>

using namespace qv::syntax;

TEST(Tokenizer, SymbolClassesAndCodes) {
  Tokenizer t("QUORVEST y BY a /CRITERIA=ALPHA(.05) EPS(1E-8) /X='it''s'");
  std::vector<Token> v = t.tokens();
  ASSERT_EQ(v.size(), 20u);
  EXPECT_EQ(v[0].kw8, "QUORVEST");
  EXPECT_EQ(v[2].code, kBy);
  EXPECT_EQ(v[4].code, kSlash);
  EXPECT_EQ(v[6].code, kEquals);
  EXPECT_EQ(v[8].code, kLParen);
  EXPECT_EQ(v[9].cls, kNumber);
  EXPECT_DOUBLE_EQ(v[9].value, 0.05);
  EXPECT_EQ(v[9].text, ".05");
  EXPECT_DOUBLE_EQ(v[13].value, 1e-8);
  EXPECT_EQ(v[18].cls, kString);
  EXPECT_EQ(v[18].text, "it's");
  EXPECT_TRUE(v[19].isEnd());
}

TEST(Tokenizer, UnterminatedStringAndStrayCharacter) {
  Tokenizer t("QUORVEST y ! 'abc");
  ASSERT_TRUE(t.error().has_value());
  EXPECT_EQ(t.error()->column, 14);
  EXPECT_EQ(t.tokens()[2].cls, kInvalid);
}

TEST(Tokenizer, MarkAndRescan) {
  Tokenizer t("a b c");
  t.advance();
  size_t mark = t.position();
  t.advance();
  EXPECT_EQ(t.current().text, "c");
  t.seek(mark);
  EXPECT_EQ(t.current().text, "b");
  t.advance();
  t.advance();
  t.advance();
  EXPECT_TRUE(t.current().isEnd());
}

TEST(KeywordMatcher, AbbreviationsAndEightCharacterForms) {
  std::vector<std::string> table{"DESCRIPT", "HOMOGENE", "PARAMETE", "ETASQ"};
  EXPECT_EQ(matchKeyword(Tokenizer("HOMOGENEITY").current(), table), 2);
  EXPECT_EQ(matchKeyword(Tokenizer("homog").current(), table), 2);
  EXPECT_EQ(matchKeyword(Tokenizer("PARAMETER").current(), table), 3);
  EXPECT_EQ(matchKeyword(Tokenizer("ET").current(), table), 0);  // under three characters
  EXPECT_EQ(matchKeyword(Tokenizer("FOO").current(), table), 0);
  std::vector<std::string> dun{"DUNCAN", "DUNNETT", "DUNNETTL"};
  EXPECT_EQ(matchKeyword(Tokenizer("DUN").current(), dun), 0);  // ambiguous
  EXPECT_EQ(matchKeywordExact(Tokenizer("DUNNETT").current(), dun), 2);
}

TEST(SplitCommands, PeriodAtEndOfLineEndsACommand) {
  auto cmds =
      splitCommands("* a comment\nQUORVEST y BY a\n  /CRITERIA=ALPHA(.05).\n\nQUORVEST z.\nQUORVEST w");
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_EQ(cmds[0].firstLine, 2);
  EXPECT_NE(cmds[0].text.find("ALPHA(.05)"), std::string::npos);
  EXPECT_EQ(cmds[1].text, "QUORVEST z");
  EXPECT_EQ(cmds[2].text, "QUORVEST w");
}
