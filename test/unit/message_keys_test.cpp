// Every message key the sources use has a full text in the catalogue, and every numbered message
// has a name. The sources are scanned, so keys added by later analyses are covered without a
// list to keep up to date.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/output/messages.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = fs::path(QV_SOURCE_DIR) / "src";

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Literal {
  std::string text;    // adjacent literals joined, escapes \" and \\ resolved
  std::string before;  // the code just before it, comments removed
  int line;
};

// The string literals of a C++ source, with the code that precedes each; comments and character
// literals are skipped.
std::vector<Literal> literalsOf(const std::string& src) {
  std::vector<Literal> out;
  std::string code;  // the code seen so far, literals and comments left out
  int line = 1;
  bool joinNext = false;  // the last thing seen was a literal (adjacent ones concatenate)
  for (size_t i = 0; i < src.size();) {
    const char c = src[i];
    if (c == '\n') ++line;
    if (src.compare(i, 2, "//") == 0) {
      i = src.find('\n', i);
      if (i == std::string::npos) break;
      continue;
    }
    if (src.compare(i, 2, "/*") == 0) {
      const size_t end = src.find("*/", i + 2);
      for (size_t k = i; k < end && k < src.size(); ++k) line += src[k] == '\n';
      i = end == std::string::npos ? src.size() : end + 2;
      continue;
    }
    if (c == '\'') {
      for (++i; i < src.size() && src[i] != '\''; ++i)
        if (src[i] == '\\') ++i;
      ++i;
      joinNext = false;
      continue;
    }
    if (c == '"') {
      std::string text;
      for (++i; i < src.size() && src[i] != '"'; ++i) {
        if (src[i] == '\\' && i + 1 < src.size()) {
          ++i;
          text += src[i] == 'n' ? '\n' : src[i];
        } else {
          text += src[i];
        }
      }
      ++i;
      if (joinNext && !out.empty())
        out.back().text += text;
      else
        out.push_back({text, code.substr(code.size() > 40 ? code.size() - 40 : 0), line});
      joinNext = true;
      continue;
    }
    if (!std::isspace(static_cast<unsigned char>(c))) joinNext = false;
    code += c;
    ++i;
  }
  return out;
}

// A literal is used as a key when it has the key form, or when it is the first argument of a
// routine that takes a key.
bool usedAsKey(const Literal& l) {
  if (qv::isCatalogueKey(l.text)) return true;
  static const std::regex kTakesKey(
      R"((\bnote|\bsplitGroupNote|\bfactorNote|\bcatalogueText|\bcommandError)\s*\(\s*(ctx\s*,\s*)?$)");
  return std::regex_search(l.before, kTakesKey);
}

TEST(MessageKeys, EveryKeyUsedInTheSourcesHasAFullText) {
  int keys = 0;
  for (const auto& e : fs::recursive_directory_iterator(kSourceDir)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    const std::string name = e.path().filename().string();
    if (name == "catalogue.cpp" || name == "message_table.cpp") continue;  // the catalogue itself
    for (const Literal& l : literalsOf(readFile(e.path()))) {
      if (!usedAsKey(l)) continue;
      ++keys;
      EXPECT_TRUE(qv::catalogueHas(l.text)) << fs::relative(e.path(), kSourceDir).string() << ":" << l.line
                                            << ": \"" << l.text << "\" has no catalogue entry";
    }
  }
  EXPECT_GT(keys, 50);  // the scan found the keys at all
}

TEST(MessageKeys, ScannerFindsKeysAndJoinsAdjacentLiterals) {
  const auto lits = literalsOf(
      "// \"commented ...\"\n"
      "ctx.note(\"first \" \"part ...\", s); char q = '\"'; f(\"plain\");\n"
      "commandError(ctx, \"Raw sentence.\", {}); x = \"a\\\"b\";");
  ASSERT_EQ(lits.size(), 4u);
  EXPECT_EQ(lits[0].text, "first part ...");
  EXPECT_TRUE(usedAsKey(lits[0]));
  EXPECT_FALSE(usedAsKey(lits[1]));
  EXPECT_EQ(lits[2].line, 3);
  EXPECT_TRUE(usedAsKey(lits[2]));
  EXPECT_EQ(lits[3].text, "a\"b");
}

// The code of a source with comments and the contents of string literals removed.
std::string codeOf(const std::string& src) {
  std::string code;
  for (size_t i = 0; i < src.size();) {
    if (src.compare(i, 2, "//") == 0) {
      i = src.find('\n', i);
      if (i == std::string::npos) break;
    } else if (src.compare(i, 2, "/*") == 0) {
      const size_t end = src.find("*/", i + 2);
      i = end == std::string::npos ? src.size() : end + 2;
    } else if (src[i] == '"' || src[i] == '\'') {
      const char quote = src[i];
      for (++i; i < src.size() && src[i] != quote; ++i)
        if (src[i] == '\\') ++i;
      ++i;
      code += "\"\"";
    } else {
      code += src[i++];
    }
  }
  return code;
}

// The calls in `code` of a routine that issues a numbered message whose arguments hold a bare
// integer (a whole argument or a branch of a choice), as "name(arguments)".
std::vector<std::string> bareNumberCalls(const std::string& code) {
  static const std::regex kCall(
      R"((\.error|\.warning|\bfail|\bfailHere|\bfailAt|\bfailWith|\bprocessingError|\bincludeExclude|\.message)\s*\()");
  static const std::regex kBare(R"((^|[,?:])\s*\d+\s*($|[,:]))");
  std::vector<std::string> out;
  for (std::sregex_iterator it(code.begin(), code.end(), kCall), end; it != end; ++it) {
    const size_t open = static_cast<size_t>(it->position() + it->length());
    size_t close = open;
    for (int depth = 1; close < code.size() && depth > 0; ++close)
      depth += code[close] == '(' ? 1 : code[close] == ')' ? -1 : 0;
    const std::string args = code.substr(open, close - 1 - open);
    if (std::regex_search(args, kBare)) out.push_back(it->str() + args + ")");
  }
  return out;
}

TEST(MessageKeys, MessagesAreIssuedByNameNotByBareNumber) {
  EXPECT_EQ(bareNumberCalls(codeOf("failHere(pc, 19); pc.warning(a ? 5 : 4); failAt(pc, pos, 7);")).size(),
            3u);
  EXPECT_TRUE(
      bareNumberCalls(codeOf("failHere(pc, msg::kUnknownContrast); f(pc, 3); // failHere(pc, 2)")).empty());
  for (const auto& e : fs::recursive_directory_iterator(kSourceDir)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    for (const std::string& call : bareNumberCalls(codeOf(readFile(e.path()))))
      ADD_FAILURE() << fs::relative(e.path(), kSourceDir).string() << ": " << call
                    << " issues a message by bare number; use its name in host/output/message_numbers.h";
  }
}

TEST(MessageKeys, EveryNumberedMessageHasANameAndEveryNameANumber) {
  const std::string header = readFile(kSourceDir / "host" / "output" / "message_numbers.h");
  const std::regex kName(R"(inline constexpr int (k\w+) = (\d+);)");
  int named = 0;
  for (std::sregex_iterator it(header.begin(), header.end(), kName), end; it != end; ++it) {
    ++named;
    const int number = std::stoi((*it)[2]);
    EXPECT_EQ(qv::messageDef(number).number, number) << (*it)[1] << " names no message";
  }
  int defined = 0;
  for (int n = 1; n < 1000; ++n) defined += qv::messageDef(n).number == n;
  EXPECT_EQ(named, defined);
}

}  // namespace
