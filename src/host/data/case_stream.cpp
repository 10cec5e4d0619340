#include "host/data/case_stream.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "host/context.h"
#include "host/data/csv_scanner.h"
#include "host/data/dictionary_file.h"
#include "host/sysmis.h"

namespace qv {

std::string InputError::describe() const {
  std::string s = file;
  if (line > 0) s += ":" + std::to_string(line);
  if (column > 0) s += ":" + std::to_string(column);
  return s + ": " + text;
}

bool isMissingNumber(const Variable& v, double x, bool includeUserMissing) {
  if (isSysmis(x)) return true;
  if (includeUserMissing || v.isString()) return false;
  const MissingValues& m = v.missing;
  for (double u : m.numbers)
    if (x == u) return true;
  return m.range && x >= m.range->first && x <= m.range->second;
}

bool isMissingString(const Variable& v, const std::string& s, bool includeUserMissing) {
  if (includeUserMissing || !v.isString() || v.missing.strings.empty()) return false;
  const std::string key = stringKey(s);
  for (const auto& u : v.missing.strings)
    if (key == stringKey(u)) return true;
  return false;
}

namespace {

// Where the CSV bytes are: a file, or a text in memory.
struct Source {
  std::string name;
  std::shared_ptr<const std::string> text;  // null for a file

  std::unique_ptr<csv::ByteSource> open() const {
    if (text) return std::make_unique<csv::TextSource>(text);
    return std::make_unique<csv::FileSource>(name);
  }
};

// Identity of a file at open time, so that a later pass notices a changed file.
struct FileStamp {
  bool valid = false;
  off_t size = 0;
  long long mtimeSec = 0, mtimeNsec = 0;

  static FileStamp of(const std::string& path) {
    FileStamp s;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      s.valid = true;
      s.size = st.st_size;
      s.mtimeSec = st.st_mtim.tv_sec;
      s.mtimeNsec = st.st_mtim.tv_nsec;
    }
    return s;
  }
  bool operator==(const FileStamp&) const = default;
};

std::string upperAscii(std::string_view s) {
  std::string u(s);
  for (auto& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// A variable name must read back as one name in a command.
bool checkName(const std::string& s, std::string& why) {
  auto letter = [](unsigned char c) { return std::isalpha(c) || c >= 0x80; };
  if (s.empty()) {
    why = "a variable name is empty";
    return false;
  }
  if (s.size() > 64) {
    why = "variable name \"" + s + "\" is longer than 64 characters";
    return false;
  }
  if (!letter(static_cast<unsigned char>(s[0])) && s[0] != '@') {
    why = "variable name \"" + s + "\" must start with a letter";
    return false;
  }
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (!letter(c) && !std::isdigit(c) && c != '_' && c != '.' && c != '@' && c != '#' && c != '$') {
      why = "variable name \"" + s + "\" contains '" + std::string(1, ch) +
            "'; names hold letters, digits and _ . @ # $";
      return false;
    }
  }
  if (s.back() == '.') {
    why = "variable name \"" + s + "\" must not end with a period";
    return false;
  }
  static constexpr const char* kReserved[] = {"ALL", "AND", "BY",  "EQ", "GE", "GT",  "LE",
                                              "LT",  "NE",  "NOT", "OR", "TO", "WITH"};
  for (const char* r : kReserved) {
    if (equalNoCase(s, r)) {
      why = "\"" + s + "\" is a reserved word and cannot name a variable";
      return false;
    }
  }
  return true;
}

std::string hint(const Dictionary& d, const std::string& name) {
  auto near = d.nearest(name);
  if (near.empty()) return "";
  std::string s = " (did you mean ";
  for (size_t i = 0; i < near.size(); ++i) s += (i ? ", " : "") + near[i];
  return s + "?)";
}

// What one scan of the file learns about a column.
struct ColumnScan {
  bool declaredString = false;
  bool numeric = true;  // every non-empty field seen so far is a number
  size_t longest = 0;   // longest field, in bytes
  size_t longestNumber = 0;
  int decimals = 0;
  long nonFinite = 0;
  long badLine = 0, badColumn = 0;  // first field that is not a number
  std::string badText;
};

class CsvDataSource;

// Decimal remainders are kept only for texts of at least this many significant digits. With
// fewer, two distinct values differ by at least 10^-6 of their size, so the remainder (below
// 1.2e-16 of the value) changes no deviation by more than about 1e-10 of itself, and the case
// work file does not grow for ordinary data.
constexpr int kRemainderDigits = 7;

// Significant digits of a number's text: the digits of its mantissa without leading zeros.
int significantDigits(std::string_view text) {
  int n = 0;
  bool lead = true;
  for (char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c < '0' || c > '9') continue;
    if (lead && c == '0') continue;
    lead = false;
    ++n;
  }
  return n;
}

class CsvCaseReader : public CaseReader {
 public:
  explicit CsvCaseReader(const CsvDataSource& ds);
  bool next() override;
  bool nextGroup() override;
  bool endOfData() const override { return !haveLook_; }
  double number(int var) const override;
  double numberRemainder(int var) const override;
  const std::string& string(int var) const override;
  double caseWeight() const override;
  std::vector<std::pair<std::string, std::string>> splitCaption() const override;
  std::vector<std::string> splitKeys() const override;

 private:
  struct Slot {
    std::vector<double> num;
    std::vector<double> rem;  // per numeric field: exact decimal value minus num
    std::vector<std::string> str;
  };
  bool load(Slot& s);
  bool sameGroup(const Slot& s) const;
  void setGroupKey(const Slot& s);
  [[noreturn]] void changed(long line, long column, const std::string& what) const;

  const CsvDataSource& ds_;
  csv::Scanner sc_;
  Slot cur_, look_;
  bool haveLook_ = false;
  std::vector<uint64_t> keyBits_;     // per split variable (numeric)
  std::vector<std::string> keyText_;  // per split variable (string)
  const std::string empty_;
};

class CsvDataSource : public DataSource {
 public:
  Source src;
  FileStamp stamp;
  Dictionary dict;
  int weight = -1;
  std::vector<int> split;
  bool separate = false;
  long nonFinite = 0;
  long cases = 0;

  const Dictionary& dictionary() const override { return dict; }
  long caseCount() const override { return cases; }
  int weightIndex() const override { return weight; }
  const std::vector<int>& splitIndexes() const override { return split; }
  bool splitSeparate() const override { return separate; }
  long nonFiniteCount() const override { return nonFinite; }
  std::unique_ptr<CaseReader> read() const override {
    if (!src.text && !(FileStamp::of(src.name) == stamp))
      throw DataChanged(src.name + ": the data file changed after it was opened; run the command again");
    return std::make_unique<CsvCaseReader>(*this);
  }
};

csv::Scanner openScanner(const Source& src) {
  try {
    return csv::Scanner(src.open());
  } catch (const csv::ScanError& e) {
    throw DataChanged(InputError{src.name, e.line, e.column, e.text}.describe());
  }
}

CsvCaseReader::CsvCaseReader(const CsvDataSource& ds) : ds_(ds), sc_(openScanner(ds.src)) {
  try {
    sc_.next();  // the header row, checked when the source was opened
  } catch (const csv::ScanError& e) {
    changed(e.line, e.column, e.text);
  }
  size_t n = ds.dict.vars.size();
  for (Slot* s : {&cur_, &look_}) {
    s->num.assign(n, kSysmis);
    s->rem.assign(n, 0.0);
    s->str.assign(n, std::string());
  }
  keyBits_.assign(ds.split.size(), 0);
  keyText_.assign(ds.split.size(), std::string());
  haveLook_ = load(look_);
  if (haveLook_) setGroupKey(look_);
}

void CsvCaseReader::changed(long line, long column, const std::string& what) const {
  InputError e{ds_.src.name, line, column, what};
  throw DataChanged(e.describe());
}

bool CsvCaseReader::load(Slot& s) {
  try {
    if (!sc_.next()) return false;
  } catch (const csv::ScanError& e) {
    changed(e.line, e.column, e.text);
  }
  const auto& f = sc_.fields();
  const auto& vars = ds_.dict.vars;
  if (f.size() != vars.size())
    changed(sc_.recordLine(), 0,
            "the data file changed while it was being read (the row has a different length)");
  for (size_t v = 0; v < vars.size(); ++v) {
    if (vars[v].isString()) {
      s.str[v].assign(f[v].text);
      continue;
    }
    csv::ParsedNumber n = csv::parseNumber(f[v].text);
    switch (n.kind) {
      case csv::NumberKind::Finite:
        s.num[v] = n.value;
        s.rem[v] = n.remainder != 0.0 && significantDigits(f[v].text) >= kRemainderDigits ? n.remainder : 0.0;
        break;
      case csv::NumberKind::Empty:
      case csv::NumberKind::NonFinite:
        s.num[v] = kSysmis;
        s.rem[v] = 0.0;
        break;
      case csv::NumberKind::NotNumber:
        changed(f[v].line, f[v].column,
                "the data file changed while it was being read (a number is expected)");
    }
  }
  return true;
}

uint64_t bitsOf(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

bool CsvCaseReader::sameGroup(const Slot& s) const {
  for (size_t k = 0; k < ds_.split.size(); ++k) {
    int v = ds_.split[k];
    if (ds_.dict.vars[v].isString() ? s.str[v] != keyText_[k] : bitsOf(s.num[v]) != keyBits_[k]) return false;
  }
  return true;
}

void CsvCaseReader::setGroupKey(const Slot& s) {
  for (size_t k = 0; k < ds_.split.size(); ++k) {
    int v = ds_.split[k];
    if (ds_.dict.vars[v].isString())
      keyText_[k] = s.str[v];
    else
      keyBits_[k] = bitsOf(s.num[v]);
  }
}

bool CsvCaseReader::next() {
  if (!haveLook_ || !sameGroup(look_)) return false;
  std::swap(cur_, look_);
  haveLook_ = load(look_);
  return true;
}

bool CsvCaseReader::nextGroup() {
  while (next()) {
  }
  if (!haveLook_) return false;
  setGroupKey(look_);
  return true;
}

double CsvCaseReader::number(int var) const {
  QV_ASSERT(var >= 0 && static_cast<size_t>(var) < cur_.num.size(), "CaseReader::number");
  return ds_.dict.vars[var].isString() ? kSysmis : cur_.num[var];
}

double CsvCaseReader::numberRemainder(int var) const {
  QV_ASSERT(var >= 0 && static_cast<size_t>(var) < cur_.rem.size(), "CaseReader::numberRemainder");
  return ds_.dict.vars[var].isString() ? 0.0 : cur_.rem[var];
}

const std::string& CsvCaseReader::string(int var) const {
  QV_ASSERT(var >= 0 && static_cast<size_t>(var) < cur_.str.size(), "CaseReader::string");
  return ds_.dict.vars[var].isString() ? cur_.str[var] : empty_;
}

double CsvCaseReader::caseWeight() const {
  if (ds_.weight < 0) return 1.0;
  double w = cur_.num[ds_.weight];
  return isMissingNumber(ds_.dict.vars[ds_.weight], w, false) ? kSysmis : w;
}

std::vector<std::string> CsvCaseReader::splitKeys() const {
  std::vector<std::string> out;
  for (size_t k = 0; k < ds_.split.size(); ++k) {
    if (ds_.dict.vars[ds_.split[k]].isString()) {
      out.push_back(stringKey(keyText_[k]));
    } else {
      double x;
      uint64_t b = keyBits_[k];
      std::memcpy(&x, &b, sizeof x);
      out.push_back(numberKey(x));
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> CsvCaseReader::splitCaption() const {
  std::vector<std::pair<std::string, std::string>> out;
  const std::vector<std::string> keys = splitKeys();
  for (size_t k = 0; k < ds_.split.size(); ++k) {
    const Variable& var = ds_.dict.vars[ds_.split[k]];
    const std::string key = keys[k].empty() && !var.isString() ? std::string(".") : keys[k];
    auto lab = var.valueLabels.find(key);
    out.emplace_back(var.name, lab != var.valueLabels.end() ? lab->second : key);
  }
  return out;
}

bool readWholeFile(const std::string& path, size_t limit, std::string& text, InputError& err) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    err = InputError{path, 0, 0, std::string("cannot open: ") + std::strerror(errno)};
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    err = InputError{path, 0, 0, "cannot open: it is a directory"};
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = InputError{path, 0, 0, std::string("cannot open: ") + std::strerror(errno)};
    return false;
  }
  // Read in pieces up to one byte past the limit, so that an endless input (a device, a pipe)
  // is refused instead of filling the memory.
  text.clear();
  std::vector<char> piece(size_t{1} << 16);
  while (text.size() <= limit) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    text.append(piece.data(), static_cast<size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) {
    err = InputError{path, 0, 0, "read error"};
    return false;
  }
  if (text.size() > limit) {
    err = InputError{path, 0, 0,
                     fmt::format("the file is larger than {} MiB; is it the right file?", limit >> 20)};
    text.clear();
    return false;
  }
  return true;
}

std::unique_ptr<DataSource> openSource(Source src, const DataOptions& opts, const std::string* dictionaryText,
                                       InputError& err) {
  auto ds = std::make_unique<CsvDataSource>();
  const std::string& dataName = src.name;
  const std::string dictName = opts.dictionaryPath.empty() ? "<dictionary>" : opts.dictionaryPath;

  std::vector<DeclaredVariable> declared;
  if (dictionaryText && !readDictionaryText(*dictionaryText, dictName, declared, err)) return nullptr;

  // One scan over the whole file: its shape, and what each column holds.
  if (!src.text) ds->stamp = FileStamp::of(dataName);
  std::vector<ColumnScan> cols;
  Dictionary& dict = ds->dict;
  std::unordered_map<std::string, int> byName;  // upper-cased name -> column
  try {
    csv::Scanner sc(src.open());
    if (!sc.next()) {
      err = InputError{dataName, 1, 1, "the file is empty; its first row must name the variables"};
      return nullptr;
    }
    for (const auto& f : sc.fields()) {
      std::string name(csv::trimBlanks(f.text));
      std::string why;
      if (!checkName(name, why)) {
        err = InputError{dataName, f.line, f.column, why};
        return nullptr;
      }
      auto [at, fresh] = byName.emplace(upperAscii(name), static_cast<int>(dict.vars.size()));
      if (!fresh) {
        const int dup = at->second;
        err = InputError{dataName, f.line, f.column,
                         fmt::format("variable name \"{}\" repeats \"{}\" of column {} (names are compared "
                                     "without regard to case)",
                                     name, dict.vars[dup].name, dup + 1)};
        return nullptr;
      }
      Variable v;
      v.name = name;
      dict.vars.push_back(std::move(v));
    }
    cols.resize(dict.vars.size());
    for (auto& d : declared) {
      auto at = byName.find(upperAscii(d.name));
      const int idx = at == byName.end() ? -1 : at->second;
      d.index = idx;
      if (idx < 0) {
        err = InputError{dictName, d.line, d.column,
                         fmt::format("variable \"{}\" is not in the data file {}{}", d.name, dataName,
                                     hint(dict, d.name))};
        return nullptr;
      }
      if (d.type == VarType::String) cols[idx].declaredString = true;
    }

    const size_t ncol = dict.vars.size();
    while (sc.next()) {
      ++ds->cases;
      const auto& f = sc.fields();
      if (f.size() != ncol) {
        std::string text = fmt::format("this row has {} field{}, but the first row names {} variable{}",
                                       f.size(), f.size() == 1 ? "" : "s", ncol, ncol == 1 ? "" : "s");
        if (f.size() > ncol)
          err = InputError{dataName, f[ncol].line, f[ncol].column, text};
        else
          err = InputError{dataName, sc.endLine(), sc.endColumn(), text};
        return nullptr;
      }
      for (size_t c = 0; c < ncol; ++c) {
        ColumnScan& cs = cols[c];
        std::string_view t = f[c].text;
        cs.longest = std::max(cs.longest, t.size());
        if (!cs.numeric || cs.declaredString) continue;
        csv::ParsedNumber n = csv::parseNumber(t, true);
        switch (n.kind) {
          case csv::NumberKind::Empty:
            break;
          case csv::NumberKind::Finite:
            cs.decimals = std::max(cs.decimals, n.decimals);
            cs.longestNumber = std::max(cs.longestNumber, csv::trimBlanks(t).size());
            break;
          case csv::NumberKind::NonFinite:
            ++cs.nonFinite;
            break;
          case csv::NumberKind::NotNumber:
            cs.numeric = false;
            cs.badLine = f[c].line;
            cs.badColumn = f[c].column;
            cs.badText = std::string(t.substr(0, 40));
            break;
        }
      }
    }
  } catch (const csv::ScanError& e) {
    err = InputError{dataName, e.line, e.column, e.text};
    return nullptr;
  }

  // Types, widths and default formats.
  for (size_t c = 0; c < dict.vars.size(); ++c) {
    Variable& v = dict.vars[c];
    const ColumnScan& cs = cols[c];
    if (cs.declaredString || !cs.numeric) {
      v.type = VarType::String;
      v.width = static_cast<int>(std::clamp<size_t>(cs.longest, 1, INT_MAX));
      v.format = PrintFormat{'A', v.width, 0};
    } else {
      v.type = VarType::Numeric;
      v.width = 0;
      int width =
          static_cast<int>(std::clamp<size_t>(std::max<size_t>(cs.longestNumber, cs.decimals + 2), 8, 40));
      v.format = PrintFormat{'F', width, std::min(cs.decimals, width - 1)};
      ds->nonFinite += cs.nonFinite;
    }
  }
  for (const auto& d : declared) {
    Variable& v = dict.vars[d.index];
    const ColumnScan& cs = cols[d.index];
    if (d.type == VarType::Numeric && !cs.numeric) {
      err = InputError{
          dictName, d.line, d.column,
          fmt::format("variable \"{}\" is declared numeric, but {}:{}:{} holds \"{}\", which is not a "
                      "number",
                      d.name, dataName, cs.badLine, cs.badColumn, cs.badText)};
      return nullptr;
    }
    if (d.width && v.isString()) v.width = std::max(v.width, *d.width);
    if (v.isString()) v.format = PrintFormat{'A', v.width, 0};
    if (!applyDeclaration(d, v, dictName, err)) return nullptr;
  }

  // Weight and split variables.
  if (!opts.weightVar.empty()) {
    int w = dict.find(opts.weightVar);
    if (w < 0) {
      err = InputError{dataName, 0, 0,
                       fmt::format("--weight: there is no variable \"{}\" in the data{}", opts.weightVar,
                                   hint(dict, opts.weightVar))};
      return nullptr;
    }
    if (dict.vars[w].isString()) {
      err = InputError{dataName, 0, 0,
                       fmt::format("--weight: \"{}\" is a string variable; a case weight must be numeric",
                                   dict.vars[w].name)};
      return nullptr;
    }
    ds->weight = w;
  }
  for (const auto& name : opts.splitVars) {
    int s = dict.find(name);
    if (s < 0) {
      err = InputError{
          dataName, 0, 0,
          fmt::format("--split: there is no variable \"{}\" in the data{}", name, hint(dict, name))};
      return nullptr;
    }
    if (std::find(ds->split.begin(), ds->split.end(), s) != ds->split.end()) {
      err = InputError{dataName, 0, 0,
                       fmt::format("--split: variable \"{}\" is named twice", dict.vars[s].name)};
      return nullptr;
    }
    ds->split.push_back(s);
  }
  ds->separate = opts.splitSeparate;
  ds->src = std::move(src);
  return ds;
}

}  // namespace

std::unique_ptr<DataSource> DataSource::open(const DataOptions& opts, InputError& err) {
  if (opts.dataPath.empty()) {
    err = InputError{"", 0, 0, "no data file given"};
    return nullptr;
  }
  std::string dictText;
  if (!opts.dictionaryPath.empty() && !readWholeFile(opts.dictionaryPath, kMaxDictionaryBytes, dictText, err))
    return nullptr;
  return openSource(Source{opts.dataPath, nullptr}, opts, opts.dictionaryPath.empty() ? nullptr : &dictText,
                    err);
}

std::unique_ptr<DataSource> DataSource::openText(std::string csv, const DataOptions& opts, InputError& err,
                                                 const std::string& dictionaryJson) {
  Source src{opts.dataPath.empty() ? "<data>" : opts.dataPath,
             std::make_shared<const std::string>(std::move(csv))};
  return openSource(std::move(src), opts, dictionaryJson.empty() ? nullptr : &dictionaryJson, err);
}

}  // namespace qv
