#pragma once
// The command tokenizer: turns the text of one command into symbols, with positions so that a
// parser can mark a symbol and come back to it (pre-passes, messages about an earlier symbol).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::syntax {

// Symbol classes.
enum SymClass : int {
  kEnd = 1,   // end of the command
  kName = 2,  // a name or keyword (also special characters, with a character code)
  kNumber = 3,
  kString = 4,   // a quoted string; text holds the value without quotes
  kInvalid = 5,  // a character that cannot start any symbol
};

// Character codes of special characters and of a few keywords.
enum CharCode : int {
  kNoCode = 0,
  kEquals = 3,
  kPlus = 8,
  kMinus = 9,
  kStar = 10,
  kSlash = 11,
  kLParen = 13,
  kRParen = 14,
  kSemicolon = 17,
  kComma = 18,
  kPeriod = 19,
  kLess = 20,
  kGreater = 21,
  kWith = 31,
  kBy = 34,
  kAll = 35,
  kTo = 36,
};

// Where a symbol starts in the command text (1-based line and column); line 0 = nowhere, for
// a message that is not tied to a symbol.
struct SourcePlace {
  int line = 0, column = 0;
  bool known() const { return line > 0; }
};

struct Token {
  int cls = kEnd;
  int code = kNoCode;
  double value = 0.0;        // numbers only
  std::string text;          // full text (string value without quotes)
  std::string kw8;           // 8-character blank-padded upper-case keyword form
  int line = 1, column = 1;  // where the symbol starts in the command text

  SourcePlace place() const { return {line, column}; }
  bool isEnd() const { return cls == kEnd; }
  bool isSpecial(int c) const { return cls == kName && code == c; }
  bool isSlash() const { return isSpecial(kSlash); }
  // End of a subcommand: "/" or the end of the command.
  bool endsSubcommand() const { return isEnd() || isSlash(); }
  bool isName() const {
    return cls == kName && code != kEquals && code != kPlus && code != kMinus && code != kStar &&
           code != kSlash && code != kLParen && code != kRParen && code != kSemicolon && code != kComma &&
           code != kPeriod && code != kLess && code != kGreater;
  }
  // Keyword equality in the 8-character form (QABEQL).
  bool is(std::string_view keyword) const;
};

// 8-character upper-case blank-padded form of a text.
std::string keywordForm(std::string_view text);

struct LexError {
  int line = 0, column = 0;
  std::string text;
};

class Tokenizer {
 public:
  // Lexes the whole command. A lexical problem (unterminated string) is reported in error();
  // a stray character becomes a kInvalid symbol so that parsers report it in context.
  explicit Tokenizer(std::string_view command);

  const std::optional<LexError>& error() const { return error_; }

  // The current symbol. Before the first advance() it is the first symbol.
  const Token& current() const { return tokens_[pos_]; }
  // Moves to the next symbol (stays on the end symbol at the end).
  void advance();
  // Position of the current symbol; seek() makes the symbol at a position current again.
  size_t position() const { return pos_; }
  void seek(size_t pos);
  // Symbol after the current one, without moving.
  const Token& peek(size_t ahead = 1) const;
  // Advances until the current symbol ends the subcommand ("/" or end).
  void skipToEndOfSubcommand();
  const std::vector<Token>& tokens() const { return tokens_; }

 private:
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  std::optional<LexError> error_;
};

// Splits a script into commands: a command ends with a period at the end of a line (only
// blanks after it) or at the end of the text. Lines that are empty or start with '*' or
// "COMMENT" outside a command are skipped. Returns (command text without the final period,
// first line number) pairs.
struct CommandText {
  std::string text;
  int firstLine = 1;
};
std::vector<CommandText> splitCommands(std::string_view script);

// Host keyword matcher (QABMCH): matches a symbol against a table of 8-character keywords.
// The 8-character form must equal an entry, or the symbol (at least 3 characters) must be an
// abbreviation of exactly one entry. Returns the 1-based index, 0 when nothing matches.
// With `exactOnly` the symbol must equal the entry in its 8-character form.
int matchKeyword(const Token& t, const std::vector<std::string>& table);
int matchKeywordExact(const Token& t, const std::vector<std::string>& table);

}  // namespace qv::syntax
