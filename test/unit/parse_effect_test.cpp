// The effect parser on its own: rows, nesting codes, where it stops, and its messages.
#include "parse_fixture.h"

namespace qv::testing {
namespace {

// Factors a b c and covariate x (in that order in the effect row); w is a dictionary
// variable in neither list.
struct EffectCase : Parsed {
  ParsedEffect effect;
  EffectCase& parse(const std::string& text, bool interceptAllowed = true) {
    st.factorVars = {dict.find("a"), dict.find("b"), dict.find("c")};
    st.covVars = {dict.find("x")};
    tok = std::make_unique<syntax::Tokenizer>(text);
    ParseContext p = pc();
    effect = parseEffect(p, interceptAllowed);
    return *this;
  }
  std::string current() const { return tok->current().text; }
};

EffectRow row(int a, int b, int c, int x) { return {a, b, c, x}; }

TEST(EffectParser, RowsOfTheDocumentedForms) {
  struct Case {
    const char* text;
    EffectRow row;
    bool covariateWithin;
  } cases[] = {
      {"a", row(0, -1, -1, -1), false},
      {"a*b", row(0, 0, -1, -1), false},
      {"a BY b", row(0, 0, -1, -1), false},
      {"b WITHIN a", row(0, 1, -1, -1), false},
      {"b(a)", row(0, 1, -1, -1), false},
      {"c WITHIN b WITHIN a", row(0, 1, 2, -1), false},
      {"c(b(a))", row(0, 1, 2, -1), false},
      {"a*b(c)", row(1, 1, 0, -1), false},  // the nesting applies to the whole product
      {"x", row(-1, -1, -1, 1), false},
      {"x*x", row(-1, -1, -1, 2), false},
      {"x*x*x", row(-1, -1, -1, 3), false},
      {"a*x", row(0, -1, -1, 1), false},
      {"x(a)", row(0, -1, -1, 1), true},
      {"x WITHIN a*b", row(0, 0, -1, 1), true},
      {"a*x(b)", row(1, 0, -1, 1), false},  // a factor came first: not a nested covariate
  };
  for (const auto& c : cases) {
    EffectCase e;
    e.parse(c.text);
    EXPECT_FALSE(e.effect.failed) << c.text;
    EXPECT_EQ(e.effect.row, c.row) << c.text;
    EXPECT_EQ(e.effect.covariateWithin, c.covariateWithin) << c.text;
    EXPECT_TRUE(e.messages().empty()) << c.text;
    EXPECT_TRUE(e.tok->current().isEnd()) << c.text << " stopped at " << e.current();
  }
}

TEST(EffectParser, StopsAtTheFirstSymbolThatCannotContinueTheTerm) {
  struct Case {
    const char* text;
    const char* stopsAt;
    EffectRow row;
  } cases[] = {
      {"a b", "b", row(0, -1, -1, -1)},
      {"a*b c", "c", row(0, 0, -1, -1)},
      {"b(a) c", "c", row(0, 1, -1, -1)},
      {"b(a)(c)", "(", row(0, 1, -1, -1)},
      {"a / PRINT", "/", row(0, -1, -1, -1)},
      {"a 1", "1", row(0, -1, -1, -1)},
      {"a -1", "-", row(0, -1, -1, -1)},
      {"a w", "w", row(0, -1, -1, -1)},    // in the dictionary, not in the lists
      {"a zz", "zz", row(0, -1, -1, -1)},  // not in the dictionary
      {"x x", "x", row(-1, -1, -1, 1)},
  };
  for (const auto& c : cases) {
    EffectCase e;
    e.parse(c.text);
    EXPECT_FALSE(e.effect.failed) << c.text;
    EXPECT_EQ(e.effect.row, c.row) << c.text;
    EXPECT_EQ(e.current(), c.stopsAt) << c.text;
    EXPECT_TRUE(e.messages().empty()) << c.text;
  }
}

TEST(EffectParser, Intercept) {
  EffectCase allowed;
  allowed.parse("INTERCEPT a");
  EXPECT_FALSE(allowed.effect.failed);
  EXPECT_EQ(allowed.effect.row, row(-1, -1, -1, -1));
  EXPECT_EQ(allowed.current(), "a");

  EffectCase refused;
  refused.parse("INTERCEPT", false);
  EXPECT_TRUE(refused.effect.failed);
  expectOnly(refused, 125, out::Severity::Error);
}

TEST(EffectParser, ErrorsNameTheOffendingSymbol) {
  struct Case {
    const char* text;
    int number;
    const char* param;  // text expected in the message ("" = no parameter)
  } cases[] = {
      {"a*a", 30, "a"},           // repeated factor after "*"
      {"b(b)", 30, "b"},          // ... and after "("
      {"a WITHIN b*x", 31, "x"},  // covariate after WITHIN
      {"a(x)", 32, "x"},          // a covariate cannot be nested in
      {"*a", 32, "*"},
      {"a*", 32, ""},  // end of the command after "*"
      {"a**b", 32, "*"},
      {"a(", 32, ""},
      {"a(/", 32, "/"},
      {"1", 32, "1"},
      {"zz", 32, "zz"},  // unknown name
      {"w", 29, "w"},    // a variable that is neither a factor nor a covariate
      {"a*w", 29, "w"},
      {"a*,", 29, ","},  // not a variable name at all
      {"a*WITH", 29, "WITH"},
      {"a(b", 139, ""},
      {"a(b))", 139, ""},
      {"a(b c", 139, ""},
      {"a)", 139, ""},
      {"a(b(c)", 139, ""},
  };
  for (const auto& c : cases) {
    EffectCase e;
    e.parse(std::string(c.text) + " / PRINT=ETASQ");
    EXPECT_TRUE(e.effect.failed) << c.text;
    auto all = e.messages();
    ASSERT_EQ(all.size(), 1u) << c.text;
    EXPECT_EQ(all[0].number, c.number) << c.text << ": " << all[0].text;
    EXPECT_EQ(all[0].severity, out::Severity::Error) << c.text;
    EXPECT_EQ(all[0].phase, out::Phase::Command) << c.text;
    if (*c.param) {
      EXPECT_NE(all[0].text.find(c.param), std::string::npos) << c.text << ": " << all[0].text;
    }
    // The parser skips to the end of the subcommand.
    EXPECT_TRUE(e.tok->current().isSlash()) << c.text;
  }
}

}  // namespace
}  // namespace qv::testing
