#include "host/syntax/tokenizer.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace qv::syntax {

namespace {

bool isNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '@' || c == '#' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool isNameChar(char c) {
  return isNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (auto& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

}  // namespace

std::string keywordForm(std::string_view text) {
  std::string k = upper(text.substr(0, 8));
  k.resize(8, ' ');
  return k;
}

bool Token::is(std::string_view keyword) const { return cls == kName && kw8 == keywordForm(keyword); }

Tokenizer::Tokenizer(std::string_view s) {
  int line = 1;
  size_t lineStart = 0;
  size_t i = 0;
  auto push = [&](Token t, size_t start) {
    t.line = line;
    t.column = static_cast<int>(start - lineStart) + 1;
    tokens_.push_back(std::move(t));
  };
  while (i < s.size()) {
    char c = s[i];
    if (c == '\n') {
      ++line;
      lineStart = ++i;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    size_t start = i;
    Token t;
    if (isNameStart(c)) {
      while (i < s.size() && isNameChar(s[i])) ++i;
      // A name does not end with a period.
      while (i > start + 1 && s[i - 1] == '.') --i;
      t.cls = kName;
      t.text = std::string(s.substr(start, i - start));
      t.kw8 = keywordForm(t.text);
      std::string u = upper(t.text);
      if (u == "WITH")
        t.code = kWith;
      else if (u == "BY")
        t.code = kBy;
      else if (u == "ALL")
        t.code = kAll;
      else if (u == "TO")
        t.code = kTo;
      push(std::move(t), start);
      continue;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
      if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
      }
      if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
          i = j;
          while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
      }
      t.cls = kNumber;
      t.text = std::string(s.substr(start, i - start));
      t.value = std::strtod(t.text.c_str(), nullptr);
      t.kw8 = keywordForm(t.text);
      push(std::move(t), start);
      continue;
    }
    if (c == '\'' || c == '"') {
      char q = c;
      ++i;
      std::string val;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == q) {
          if (i + 1 < s.size() && s[i + 1] == q) {
            val += q;
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        if (s[i] == '\n') break;
        val += s[i++];
      }
      if (!closed && !error_) {
        error_ = LexError{line, static_cast<int>(start - lineStart) + 1, "Unterminated string"};
      }
      t.cls = kString;
      t.text = std::move(val);
      t.kw8 = keywordForm(t.text);
      push(std::move(t), start);
      continue;
    }
    ++i;
    t.cls = kName;
    t.text = std::string(1, c);
    t.kw8 = keywordForm(t.text);
    switch (c) {
      case '=':
        t.code = kEquals;
        break;
      case '+':
        t.code = kPlus;
        break;
      case '-':
        t.code = kMinus;
        break;
      case '*':
        t.code = kStar;
        break;
      case '/':
        t.code = kSlash;
        break;
      case '(':
        t.code = kLParen;
        break;
      case ')':
        t.code = kRParen;
        break;
      case ';':
        t.code = kSemicolon;
        break;
      case ',':
        t.code = kComma;
        break;
      case '.':
        t.code = kPeriod;
        break;
      case '<':
        t.code = kLess;
        break;
      case '>':
        t.code = kGreater;
        break;
      default:
        t.cls = kInvalid;
        break;
    }
    push(std::move(t), start);
  }
  Token end;
  end.cls = kEnd;
  end.kw8 = keywordForm("");
  end.line = line;
  end.column = static_cast<int>(s.size() - lineStart) + 1;
  tokens_.push_back(std::move(end));
}

void Tokenizer::advance() {
  if (pos_ + 1 < tokens_.size()) ++pos_;
}

void Tokenizer::seek(size_t pos) { pos_ = pos < tokens_.size() ? pos : tokens_.size() - 1; }

const Token& Tokenizer::peek(size_t ahead) const {
  size_t p = pos_ + ahead;
  return tokens_[p < tokens_.size() ? p : tokens_.size() - 1];
}

void Tokenizer::skipToEndOfSubcommand() {
  while (!current().endsSubcommand()) advance();
}

std::vector<CommandText> splitCommands(std::string_view script) {
  std::vector<CommandText> out;
  std::string cur;
  int curLine = 0;
  int line = 0;
  size_t i = 0;
  char quote = 0;
  while (i <= script.size()) {
    size_t eol = script.find('\n', i);
    if (eol == std::string_view::npos) eol = script.size();
    std::string_view ln = script.substr(i, eol - i);
    ++line;
    if (!ln.empty() && ln.back() == '\r') ln.remove_suffix(1);
    // Track quotes so that a period inside a string does not end the command.
    size_t lastNonBlank = std::string_view::npos;
    for (size_t k = 0; k < ln.size(); ++k) {
      char c = ln[k];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      }
      if (!std::isspace(static_cast<unsigned char>(c))) lastNonBlank = k;
    }
    quote = 0;  // strings do not span lines
    bool blank = lastNonBlank == std::string_view::npos;
    if (cur.empty() && (blank || ln.substr(ln.find_first_not_of(" \t")).starts_with("*"))) {
      // Blank lines and comment lines between commands.
    } else {
      if (cur.empty()) curLine = line;
      bool ends = !blank && ln[lastNonBlank] == '.';
      if (ends) {
        cur += std::string(ln.substr(0, lastNonBlank));
        out.push_back(CommandText{cur, curLine});
        cur.clear();
      } else {
        cur += std::string(ln);
        cur += '\n';
      }
    }
    if (eol >= script.size()) break;
    i = eol + 1;
  }
  bool anyText = cur.find_first_not_of(" \t\r\n") != std::string::npos;
  if (anyText) {
    while (!cur.empty() && std::isspace(static_cast<unsigned char>(cur.back()))) cur.pop_back();
    out.push_back(CommandText{cur, curLine});
  }
  return out;
}

int matchKeyword(const Token& t, const std::vector<std::string>& table) {
  if (t.cls != kName) return 0;
  for (size_t i = 0; i < table.size(); ++i)
    if (t.kw8 == keywordForm(table[i])) return static_cast<int>(i) + 1;
  std::string u = upper(t.text);
  if (u.size() < 3) return 0;
  int found = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    std::string e = upper(table[i]);
    while (!e.empty() && e.back() == ' ') e.pop_back();
    if (u.size() < e.size() && e.compare(0, u.size(), u) == 0) {
      if (found) return 0;  // ambiguous abbreviation
      found = static_cast<int>(i) + 1;
    }
  }
  return found;
}

int matchKeywordExact(const Token& t, const std::vector<std::string>& table) {
  if (t.cls != kName) return 0;
  for (size_t i = 0; i < table.size(); ++i)
    if (t.kw8 == keywordForm(table[i])) return static_cast<int>(i) + 1;
  return 0;
}

}  // namespace qv::syntax
