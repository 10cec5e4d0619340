#pragma once
// A command parsed against an in-memory dictionary, with the messages it produced.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/state.h"
#include "host/context.h"
#include "host/data/dictionary.h"
#include "host/syntax/tokenizer.h"
#include "parse/dispatcher.h"
#include "parse/parse_context.h"

namespace qv::testing {

inline Variable numeric(const std::string& name) {
  Variable v;
  v.name = name;
  return v;
}

inline Variable stringVar(const std::string& name, int width) {
  Variable v;
  v.name = name;
  v.type = VarType::String;
  v.width = width;
  return v;
}

// Variables in dictionary order: y y2 a b c s(string, width 12) x x2 w label(string).
inline Dictionary standardDictionary() {
  Dictionary d;
  for (const char* n : {"y", "y2", "a", "b", "c"}) d.vars.push_back(numeric(n));
  d.vars.push_back(stringVar("s", 12));
  for (const char* n : {"x", "x2", "w"}) d.vars.push_back(numeric(n));
  d.vars.push_back(stringVar("label", 20));
  return d;
}

inline void collectMessages(const std::vector<out::Item>& items, std::vector<out::Message>& found) {
  for (const auto& item : items) {
    if (const auto* m = std::get_if<out::Message>(&item)) found.push_back(*m);
    if (const auto* h = std::get_if<std::shared_ptr<out::Heading>>(&item))
      collectMessages((*h)->items, found);
  }
}

struct Parsed {
  Dictionary dict = standardDictionary();
  out::CommandOutput output;
  Context ctx;
  ProcedureState st;
  std::unique_ptr<syntax::Tokenizer> tok;

  Parsed() { ctx.output = &output; }
  explicit Parsed(Dictionary d) : dict(std::move(d)) { ctx.output = &output; }

  ParseContext pc() { return ParseContext{ctx, *tok, dict, st}; }

  // Parses a whole command.
  Parsed& run(const std::string& command) {
    tok = std::make_unique<syntax::Tokenizer>(command);
    ParseContext p = pc();
    parseCommand(p);
    return *this;
  }

  std::vector<out::Message> messages() const {
    std::vector<out::Message> found;
    collectMessages(output.items, found);
    return found;
  }
  // The first message with this number, or null.
  std::optional<out::Message> message(int number) const {
    for (const auto& m : messages())
      if (m.number == number) return m;
    return std::nullopt;
  }
  bool has(int number) const { return message(number).has_value(); }
  std::vector<int> numbers() const {
    std::vector<int> n;
    for (const auto& m : messages())
      if (m.number) n.push_back(*m.number);
    return n;
  }
  int errorCount() const {
    int n = 0;
    for (const auto& m : messages()) n += m.severity == out::Severity::Error;
    return n;
  }
};

// Checks that a command issued exactly one message, numbered `number`, with the given
// severity and parameter text inside its text.
inline void expectOnly(const Parsed& p, int number, out::Severity sev, const std::string& param = "") {
  auto all = p.messages();
  ASSERT_EQ(all.size(), 1u) << "first: " << (all.empty() ? "" : all[0].text);
  EXPECT_EQ(all[0].number, number) << all[0].text;
  EXPECT_EQ(all[0].severity, sev);
  if (!param.empty()) {
    EXPECT_NE(all[0].text.find(param), std::string::npos) << all[0].text;
  }
}

}  // namespace qv::testing
