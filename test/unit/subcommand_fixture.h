#pragma once
// Test bench for the optional-subcommand parsers: a dictionary and a procedure state built by
// hand, and a runner that tokenizes one subcommand's text (as it stands after the keyword and
// "=") and calls a parser on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driver/state.h"
#include "host/context.h"
#include "parse/optional_subcommands.h"

namespace qv::testing {

class SubcommandTest : public ::testing::Test {
 protected:
  // Dictionary: dependents y, y2; factors a, b, c, d; covariates x, x2; others w, s.
  SubcommandTest() {
    for (const char* n : {"y", "y2", "a", "b", "c", "d", "x", "x2", "w", "s"}) {
      Variable v;
      v.name = n;
      dict.vars.push_back(v);
    }
    ctx.output = &output;
    model({"y"}, {"a", "b"}, {});
  }

  int var(const std::string& name) const {
    for (size_t i = 0; i < dict.vars.size(); ++i)
      if (dict.vars[i].name == name) return static_cast<int>(i);
    ADD_FAILURE() << "no variable " << name;
    return -1;
  }

  // Variable lists with the default design: intercept, covariates, then every combination of
  // factors by increasing size.
  void model(const std::vector<std::string>& deps, const std::vector<std::string>& factors,
             const std::vector<std::string>& covs) {
    st = ProcedureState{};
    for (const auto& n : deps) st.depVars.push_back(var(n));
    for (const auto& n : factors) st.factorVars.push_back(var(n));
    for (const auto& n : covs) st.covVars.push_back(var(n));
    std::vector<EffectRow> rows;
    rows.push_back(row({}, {}));
    for (const auto& c : covs) rows.push_back(row({}, {{c, 1}}));
    for (size_t size = 1; size <= factors.size(); ++size) {
      std::vector<bool> pick(factors.size(), false);
      std::fill(pick.begin(), pick.begin() + static_cast<long>(size), true);
      do {
        std::vector<std::pair<std::string, int>> fs;
        for (size_t i = 0; i < factors.size(); ++i)
          if (pick[i]) fs.push_back({factors[i], 0});
        rows.push_back(row(fs, {}));
      } while (std::prev_permutation(pick.begin(), pick.end()));
    }
    design(rows);
  }

  void design(const std::vector<EffectRow>& rows) { st.ptefds = rows; }

  // An effect row from (factor, nesting code) and (covariate, power) pairs.
  EffectRow row(const std::vector<std::pair<std::string, int>>& factors,
                const std::vector<std::pair<std::string, int>>& covs) const {
    EffectRow r(static_cast<size_t>(st.nfactr() + st.ncovar()), -1);
    for (const auto& [name, code] : factors) {
      auto it = std::find(st.factorVars.begin(), st.factorVars.end(), var(name));
      r[static_cast<size_t>(it - st.factorVars.begin())] = code;
    }
    for (const auto& [name, power] : covs) {
      auto it = std::find(st.covVars.begin(), st.covVars.end(), var(name));
      r[static_cast<size_t>(st.nfactr() + (it - st.covVars.begin()))] = power;
    }
    return r;
  }

  int effect(const EffectRow& r) const {
    auto it = std::find(st.ptefds.begin(), st.ptefds.end(), r);
    EXPECT_NE(it, st.ptefds.end());
    return static_cast<int>(it - st.ptefds.begin());
  }

  // Runs a parser on the text of one subcommand, followed by a further subcommand, and checks
  // that the parser stops on the "/" that ends its own.
  void run(void (*parser)(ParseContext&), const std::string& text) {
    tok = std::make_unique<syntax::Tokenizer>(text + " /NEXT");
    ParseContext pc{ctx, *tok, dict, st};
    parser(pc);
    EXPECT_TRUE(tok->current().isSlash()) << "stopped at '" << tok->current().text << "' in: " << text;
    EXPECT_EQ(tok->peek().text, "NEXT") << text;
  }
  // Runs a parser on a subcommand that ends the command.
  void runLast(void (*parser)(ParseContext&), const std::string& text) {
    tok = std::make_unique<syntax::Tokenizer>(text);
    ParseContext pc{ctx, *tok, dict, st};
    parser(pc);
    EXPECT_TRUE(tok->current().isEnd()) << text;
  }

  std::vector<out::Message> messages() const {
    std::vector<out::Message> m;
    for (const auto& item : output.items)
      if (const auto* msg = std::get_if<out::Message>(&item)) m.push_back(*msg);
    return m;
  }
  std::vector<int> numbers() const {
    std::vector<int> n;
    for (const auto& m : messages())
      if (m.number) n.push_back(*m.number);
    return n;
  }
  void clearOutput() {
    output.items.clear();
    ctx.errorFlag = false;
  }

  // Exactly one message was issued: `number` with this severity and phase; its text holds
  // `param` when given.
  void expectOnly(int number, out::Severity sev, out::Phase phase, const std::string& param = "") {
    auto m = messages();
    ASSERT_EQ(m.size(), 1u) << "messages: " << describe();
    ASSERT_TRUE(m[0].number.has_value());
    EXPECT_EQ(*m[0].number, number) << describe();
    EXPECT_EQ(m[0].severity, sev) << describe();
    EXPECT_EQ(m[0].phase, phase) << describe();
    EXPECT_EQ(ctx.errorFlag, sev == out::Severity::Error);
    if (!param.empty()) {
      EXPECT_NE(m[0].text.find(param), std::string::npos) << m[0].text;
    }
  }
  void expectCommandError(int number, const std::string& param = "") {
    expectOnly(number, out::Severity::Error, out::Phase::Command, param);
  }
  void expectCommandWarning(int number, const std::string& param = "") {
    expectOnly(number, out::Severity::Warning, out::Phase::Command, param);
  }
  void expectClean() {
    EXPECT_TRUE(messages().empty()) << describe();
    EXPECT_FALSE(ctx.errorFlag);
  }
  std::string describe() const {
    std::string s;
    for (const auto& m : messages()) s += (m.number ? std::to_string(*m.number) : "-") + " " + m.text + "; ";
    return s;
  }

  // Runs each (text, expected message) case on a fresh copy of the current state.
  void expectErrors(void (*parser)(ParseContext&), const std::vector<std::pair<std::string, int>>& cases) {
    const ProcedureState saved = st;
    for (const auto& [text, number] : cases) {
      SCOPED_TRACE(text);
      st = saved;
      clearOutput();
      run(parser, text);
      expectCommandError(number);
    }
    st = saved;
    clearOutput();
  }

  Dictionary dict;
  ProcedureState st;
  out::CommandOutput output;
  Context ctx;
  std::unique_ptr<syntax::Tokenizer> tok;
};

}  // namespace qv::testing
