// The variable-list reader and the command's variable list.
#include "host/syntax/varlist.h"
#include "parse_fixture.h"

namespace qv::testing {
namespace {

struct Reader : Parsed {
  std::vector<int> vars;
  bool ok = false;
  Reader& read(const std::string& text, syntax::VarListOptions opt = {}) {
    tok = std::make_unique<syntax::Tokenizer>(text);
    ok = syntax::readVariableList(ctx, *tok, dict, vars, opt);
    return *this;
  }
  std::vector<int> idx(std::initializer_list<const char*> names) const {
    std::vector<int> v;
    for (const char* n : names) v.push_back(dict.find(n));
    return v;
  }
};

TEST(VariableListReader, NamesAndRangesUpToTheFirstNonName) {
  Reader r;
  r.read("Y a TO c x BY b");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.vars, r.idx({"y", "a", "b", "c", "x"}));  // names match in any case
  EXPECT_EQ(r.tok->current().code, syntax::kBy);

  for (const char* stop : {"WITH", "/", "=", "'str'", "3", ""}) {
    Reader s;
    s.read(std::string("a b ") + stop);
    EXPECT_TRUE(s.ok) << stop;
    EXPECT_EQ(s.vars, s.idx({"a", "b"})) << stop;
  }
}

TEST(VariableListReader, UnknownNameSuggestsTheNearest) {
  Reader r;
  r.read("y lable");
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.errorCount(), 1);
  const auto m = r.messages()[0];
  EXPECT_EQ(m.phase, out::Phase::Command);
  EXPECT_FALSE(m.number.has_value());
  EXPECT_NE(m.text.find("lable"), std::string::npos) << m.text;
  EXPECT_NE(m.text.find("Did you mean label"), std::string::npos) << m.text;

  Reader far;
  far.read("completelydifferent");
  EXPECT_FALSE(far.ok);
  EXPECT_EQ(far.messages()[0].text.find("Did you mean"), std::string::npos) << far.messages()[0].text;
}

TEST(VariableListReader, MalformedRangesAndWrongTypes) {
  for (const char* text : {"c TO a", "a TO", "a TO /", "TO b", "a TO zz", ""}) {
    Reader r;
    r.read(text);
    EXPECT_FALSE(r.ok) << text;
    EXPECT_EQ(r.errorCount(), 1) << text;
  }
  Reader s;
  s.read("y s", syntax::VarListOptions{true, "dependent variables"});
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.messages()[0].text.find("s is a string variable"), std::string::npos);
  Reader range;
  range.read("c TO x", syntax::VarListOptions{true, "covariates"});  // the range includes s
  EXPECT_FALSE(range.ok);
}

TEST(CommandVariableList, ByAndWithInEitherOrder) {
  Parsed p, q;
  p.run("QUORVEST y WITH x BY a");
  q.run("QUORVEST y BY a WITH x");
  EXPECT_EQ(p.errorCount(), 0);
  EXPECT_EQ(p.st.depVars, q.st.depVars);
  EXPECT_EQ(p.st.factorVars, q.st.factorVars);
  EXPECT_EQ(p.st.covVars, q.st.covVars);
  EXPECT_EQ(p.st.ptefds, q.st.ptefds);
  EXPECT_EQ(p.st.ndepvr(), 1);
  EXPECT_EQ(p.st.nfactr(), 1);
  EXPECT_EQ(p.st.ncovar(), 1);
}

TEST(CommandVariableList, DuplicatesAreRemovedWithAWarning) {
  Parsed p;
  p.run("QUORVEST y BY b a b");
  expectOnly(p, 133, out::Severity::Warning);
  EXPECT_EQ(p.st.factorVars, (std::vector<int>{p.dict.find("b"), p.dict.find("a")}));

  Parsed deps;
  deps.run("QUORVEST y y2 y");
  expectOnly(deps, 132, out::Severity::Warning);
  EXPECT_EQ(deps.st.ndepvr(), 2);

  Parsed covs;
  covs.run("QUORVEST y WITH x x2 TO w x");
  expectOnly(covs, 134, out::Severity::Warning);
  EXPECT_EQ(covs.st.ncovar(), 3);
}

TEST(CommandVariableList, Overlaps) {
  Parsed df, dc, fc;
  df.run("QUORVEST y a BY a");
  expectOnly(df, 14, out::Severity::Error);
  dc.run("QUORVEST y WITH y");
  expectOnly(dc, 15, out::Severity::Error);
  fc.run("QUORVEST y BY a WITH a");
  expectOnly(fc, 16, out::Severity::Error);
}

TEST(CommandVariableList, MisplacedKeywordsAndEmptyLists) {
  Parsed by2;
  by2.run("QUORVEST y BY a BY b");
  expectOnly(by2, 6, out::Severity::Error, "BY");
  Parsed str;
  str.run("QUORVEST y BY a 'x'");
  expectOnly(str, 6, out::Severity::Error, "x");
  Parsed noDeps;
  noDeps.run("QUORVEST BY a");
  EXPECT_EQ(noDeps.errorCount(), 1);
  EXPECT_TRUE(noDeps.ctx.errorFlag);
  Parsed noFactors;
  noFactors.run("QUORVEST y BY /PRINT=ETASQ");
  EXPECT_EQ(noFactors.errorCount(), 1);
  EXPECT_NE(noFactors.messages()[0].text.find("factors"), std::string::npos);
}

TEST(CommandVariableList, WidthsAndStringFactors) {
  Dictionary d = standardDictionary();
  d.vars.push_back(numeric("averyveryverylongname"));
  Parsed p(d);
  p.run("QUORVEST averyveryverylongname BY s a");
  EXPECT_EQ(p.errorCount(), 0);
  EXPECT_EQ(p.st.nameWidth, 21);
  EXPECT_EQ(p.st.factorWidth, (std::vector<int>{2, 1}));

  Parsed stringDependent;
  stringDependent.run("QUORVEST label BY a");
  EXPECT_EQ(stringDependent.errorCount(), 1);
}

}  // namespace
}  // namespace qv::testing
