#include "host/data/case_stream.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "host/cluster.h"
#include "host/context.h"
#include "host/data/csv_scanner.h"
#include "host/data/dictionary_file.h"
#include "host/data/work_store.h"
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

bool isMissingString(const Variable& v, std::string_view s, bool includeUserMissing) {
  if (includeUserMissing || !v.isString() || v.missing.strings.empty()) return false;
  const std::string key = stringKey(s);
  for (const auto& u : v.missing.strings)
    if (key == stringKey(u)) return true;
  return false;
}

namespace {

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
  auto fields() {
    return std::tie(declaredString, numeric, longest, longestNumber, decimals, nonFinite, badLine, badColumn, badText);
  }
  auto fields() const {
    return std::tie(declaredString, numeric, longest, longestNumber, decimals, nonFinite, badLine, badColumn, badText);
  }
};

class CsvDataSource;

// Decimal remainders are kept only for texts of at least this many significant digits. With
// fewer, two distinct values differ by at least 10^-6 of their size, so the remainder (below
// 1.2e-16 of the value) changes no deviation by more than about 1e-10 of itself, and the case
// work file does not grow for ordinary data.
constexpr int kRemainderDigits = 7;

// Where the CSV bytes are: a file (or a spooled stream) read through a descriptor at any
// offset, or a text in memory.
struct Input {
  std::string name;
  std::shared_ptr<const std::string> text;  // null for a file
  std::shared_ptr<const int> fd;            // closes the descriptor with the last owner
  long long size = 0;
  bool isNamedFile = false;  // a regular file, which a later pass checks for changes
  FileStamp stamp;

  std::unique_ptr<csv::ByteSource> openAt(long long offset) const {
    if (text) return std::make_unique<csv::TextSource>(text, static_cast<size_t>(offset));
    return std::make_unique<csv::DescriptorSource>(*fd, offset);
  }
  // The first byte at or after `at` that starts a line which is not empty (the size when none).
  long long lineStartAfter(long long at) const;
};

long long Input::lineStartAfter(long long at) const {
  std::vector<char> piece(size_t{1} << 16);
  bool afterNewline = false;
  while (at < size) {
    size_t n;
    const char* p;
    if (text) {
      p = text->data() + at;
      n = static_cast<size_t>(size - at);
    } else {
      ssize_t k = ::pread(*fd, piece.data(), piece.size(), static_cast<off_t>(at));
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return size;  // the range scan reports the read error
      p = piece.data();
      n = static_cast<size_t>(k);
    }
    for (size_t i = 0; i < n; ++i) {
      if (!afterNewline) {
        afterNewline = p[i] == '\n';
      } else if (p[i] != '\n' && p[i] != '\r') {
        return at + static_cast<long long>(i);
      }
    }
    at += static_cast<long long>(n);
  }
  return size;
}

// Which columns the work store holds as numbers and which as text.
struct RecordLayout {
  std::vector<int> numeric;  // columns held as numbers, in column order
  std::vector<int> text;     // columns held as text
};

// Converted cases, column by column, about kBytes of them: one block of the work store. A numeric column
// is stored in the narrowest form that gives back every value bit for bit (8-, 16- or 32-bit
// integers, the system-missing value as the type's smallest value; else doubles); the non-zero
// decimal remainders as (row, column, value); a text column as lengths, then the bytes.
struct CaseBatch {
  static constexpr size_t kBytes = size_t{1} << 20;
  static constexpr uint32_t kMaxRows = 1u << 15;
  using Remainder = DecimalRemainder;
  uint32_t rows = 0;
  std::vector<std::vector<double>> num;  // per numeric column of the layout
  std::vector<int> decimals;             // per numeric column, the most decimals of its texts
  std::vector<Remainder> rems;           // in row order
  std::vector<std::vector<uint32_t>> textLength;
  std::vector<std::string> textBytes;

  void reset(const RecordLayout& lay) {
    rows = 0;
    num.resize(lay.numeric.size());
    for (auto& v : num) v.clear();
    decimals.assign(lay.numeric.size(), 0);
    rems.clear();
    textLength.resize(lay.text.size());
    for (auto& v : textLength) v.clear();
    textBytes.resize(lay.text.size());
    for (auto& v : textBytes) v.clear();
  }
  void encode(std::string& out) const;
  // Reads a block that encode() wrote; throws WorkFileError when it is cut short.
  void decode(const char* p, size_t n);
};

// How a column of a block is stored: whole numbers in 8, 16 or 32 bits; decimals with at most
// kMaxScale places as 32-bit multiples of 10^-d (kScaled32, d in the next byte); doubles.
enum : uint8_t { kInt8, kInt16, kInt32, kFloat64, kScaled32 };
constexpr int kMaxScale = 9;
constexpr double kPowersOfTen[kMaxScale + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// The column as 32-bit multiples m of 10^-d (INT32_MIN for a missing value), when every value is
// m / 10^d bit for bit: m and 10^d are exact doubles and their quotient is correctly rounded, so
// the division gives back the very value (the correctly rounded value of the decimal text) on
// every reading. False, with `scaled` unspecified, when a value is not.
bool scaleColumn(const std::vector<double>& col, int d, std::vector<int32_t>& scaled) {
  const double scale = kPowersOfTen[d];
  scaled.resize(col.size());
  for (size_t k = 0; k < col.size(); ++k) {
    const double x = col[k];
    if (isSysmis(x)) {
      scaled[k] = std::numeric_limits<int32_t>::min();
      continue;
    }
    const double y = x * scale;  // m is y rounded, ties away from zero
    if (!(y >= -2147483647.0 && y <= 2147483647.0)) return false;
    const int32_t m = static_cast<int32_t>(y < 0.0 ? y - 0.5 : y + 0.5);
    if (static_cast<double>(m) / scale != x || (x == 0.0 && std::signbit(x))) return false;
    scaled[k] = m;
  }
  return true;
}

// The narrowest kind that gives back every value of a column bit for bit.
uint8_t narrowestKind(const std::vector<double>& col) {
  double lo = 0.0, hi = 0.0;
  for (double x : col) {
    if (isSysmis(x)) continue;
    if (!(x >= -2147483647.0 && x <= 2147483647.0) || x != static_cast<double>(static_cast<int32_t>(x)) ||
        (x == 0.0 && std::signbit(x)))
      return kFloat64;
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  return lo >= -127.0 && hi <= 127.0 ? kInt8 : lo >= -32767.0 && hi <= 32767.0 ? kInt16 : kInt32;
}

void CaseBatch::encode(std::string& out) const {
  constexpr size_t kWidth[] = {1, 2, 4, 8};
  std::vector<uint8_t> kinds(num.size());
  std::vector<std::vector<int32_t>> scaled(num.size());  // the columns of kind kScaled32
  size_t bytes = sizeof rows + sizeof(uint32_t) + rems.size() * (2 * sizeof(uint32_t) + sizeof(double));
  for (size_t i = 0; i < num.size(); ++i) {
    kinds[i] = narrowestKind(num[i]);
    if (kinds[i] == kFloat64 && decimals[i] > 0 && decimals[i] <= kMaxScale) {
      if (scaleColumn(num[i], decimals[i], scaled[i]))
        kinds[i] = kScaled32;
      else
        scaled[i] = std::vector<int32_t>();
    }
    bytes += kinds[i] == kScaled32 ? 2 + 4 * rows : 1 + kWidth[kinds[i]] * rows;
  }
  for (size_t t = 0; t < textLength.size(); ++t) bytes += rows * sizeof(uint32_t) + textBytes[t].size();
  out.resize(bytes);
  char* p = out.data();
  auto put = [&](const void* from, size_t n) {
    std::memcpy(p, from, n);
    p += n;
  };
  put(&rows, sizeof rows);
  for (size_t i = 0; i < num.size(); ++i) {
    const std::vector<double>& col = num[i];
    put(&kinds[i], 1);
    auto narrow = [&](auto type) {
      using T = decltype(type);
      for (double x : col) {
        const T v = isSysmis(x) ? std::numeric_limits<T>::min() : static_cast<T>(static_cast<int32_t>(x));
        put(&v, sizeof v);
      }
    };
    if (kinds[i] == kInt8) narrow(int8_t{});
    if (kinds[i] == kInt16) narrow(int16_t{});
    if (kinds[i] == kInt32) narrow(int32_t{});
    if (kinds[i] == kFloat64) put(col.data(), col.size() * sizeof(double));
    if (kinds[i] == kScaled32) {
      const uint8_t d = static_cast<uint8_t>(decimals[i]);
      put(&d, 1);
      put(scaled[i].data(), scaled[i].size() * sizeof(int32_t));
    }
  }
  const uint32_t nrem = static_cast<uint32_t>(rems.size());
  put(&nrem, sizeof nrem);
  for (const auto& r : rems) {
    put(&r.row, sizeof r.row);
    put(&r.column, sizeof r.column);
    put(&r.value, sizeof r.value);
  }
  for (size_t t = 0; t < textLength.size(); ++t) {
    put(textLength[t].data(), textLength[t].size() * sizeof(uint32_t));
    put(textBytes[t].data(), textBytes[t].size());
  }
}

void CaseBatch::decode(const char* p, size_t n) {
  const char* const end = p + n;
  auto take = [&](void* into, size_t bytes) {
    if (static_cast<size_t>(end - p) < bytes) throw WorkFileError("the work file is damaged");
    std::memcpy(into, p, bytes);
    p += bytes;
  };
  take(&rows, sizeof rows);
  for (auto& col : num) {
    uint8_t kind;
    take(&kind, 1);
    col.resize(rows);
    auto widen = [&](auto type) {
      using T = decltype(type);
      if (static_cast<size_t>(end - p) < rows * sizeof(T)) throw WorkFileError("the work file is damaged");
      for (uint32_t k = 0; k < rows; ++k) {
        T x;
        std::memcpy(&x, p + k * sizeof(T), sizeof x);
        col[k] = x == std::numeric_limits<T>::min() ? kSysmis : static_cast<double>(x);
      }
      p += rows * sizeof(T);
    };
    if (kind == kInt8) widen(int8_t{});
    if (kind == kInt16) widen(int16_t{});
    if (kind == kInt32) widen(int32_t{});
    if (kind == kFloat64) take(col.data(), rows * sizeof(double));
    if (kind == kScaled32) {
      uint8_t d;
      take(&d, 1);
      if (d > kMaxScale) throw WorkFileError("the work file is damaged");
      const double scale = kPowersOfTen[d];
      if (static_cast<size_t>(end - p) < rows * sizeof(int32_t)) throw WorkFileError("the work file is damaged");
      for (uint32_t k = 0; k < rows; ++k) {
        int32_t x;
        std::memcpy(&x, p + k * sizeof x, sizeof x);
        col[k] = x == std::numeric_limits<int32_t>::min() ? kSysmis : static_cast<double>(x) / scale;
      }
      p += rows * sizeof(int32_t);
    }
  }
  uint32_t nrem;
  take(&nrem, sizeof nrem);
  rems.resize(nrem);
  for (auto& r : rems) {
    take(&r.row, sizeof r.row);
    take(&r.column, sizeof r.column);
    take(&r.value, sizeof r.value);
  }
  for (size_t t = 0; t < textLength.size(); ++t) {
    textLength[t].resize(rows);
    take(textLength[t].data(), rows * sizeof(uint32_t));
    size_t bytes = 0;
    for (uint32_t len : textLength[t]) bytes += len;
    textBytes[t].resize(bytes);
    take(textBytes[t].data(), bytes);
  }
}

// Where one block of the converted cases lies: its store, its place there, and the number of
// its first case in the data.
struct StoredBlock {
  size_t store, block;
  long first;
  uint32_t rows;
};

// One byte range of the data converted: a function from a range of records to a partial
// result (what the columns hold, the converted cases) that merges in file order.
struct RangeScan {
  long long begin = 0;  // first byte; a record starts here
  long long limit = 0;  // the range takes the records that start before this byte
  long long end = 0;    // where the first record not taken starts (the size at the end)
  long lines = 0;       // line breaks in [begin, end)
  long records = 0;
  long maxRecords = -1;          // when not negative, the range ends after this many records
  std::vector<ColumnScan> cols;  // lines counted from the range's first line
  bool failed = false;
  InputError err;  // lines counted from the range's first line
  std::exception_ptr fault;
  WorkStore store;
  std::vector<uint32_t> blockRows;  // cases in each block of the store
};

void convertRange(const Input& in, const RecordLayout& layout, const std::vector<ColumnScan>& start,
                  RangeScan& r) noexcept {
  r.cols = start;
  r.records = 0;
  r.failed = false;
  r.fault = nullptr;
  r.store = WorkStore();
  r.blockRows.clear();
  const size_t ncol = start.size();
  try {
    CaseBatch batch;
    batch.reset(layout);
    // Rows a block holds: about kBytes of numbers, so that wide data keep small blocks too.
    const uint32_t rowsPerBlock = static_cast<uint32_t>(std::clamp<size_t>(
        CaseBatch::kBytes / (sizeof(double) * (layout.numeric.size() + 1)), 16, CaseBatch::kMaxRows));
    size_t textBytes = 0;
    std::string block;
    auto flush = [&] {
      if (batch.rows == 0) return;
      batch.encode(block);
      r.store.add(block.data(), block.size());
      r.blockRows.push_back(batch.rows);
      batch.reset(layout);
      textBytes = 0;
    };
    csv::Scanner sc(in.openAt(r.begin));
    sc.startAt(r.begin);
    for (;;) {
      if (!sc.next()) {
        r.end = sc.offset();
        r.lines = sc.line() - 1;
        break;
      }
      if (sc.recordOffset() >= r.limit || r.records == r.maxRecords) {
        r.end = sc.recordOffset();
        r.lines = sc.recordLine() - 1;
        break;
      }
      const size_t nfield = sc.fieldCount();
      if (nfield != ncol) {
        std::string text = fmt::format("this row has {} field{}, but the first row names {} variable{}",
                                       nfield, nfield == 1 ? "" : "s", ncol, ncol == 1 ? "" : "s");
        const csv::Place at = nfield > ncol ? sc.fieldPlace(ncol) : sc.endPlace();
        r.failed = true;
        r.err = InputError{"", at.line, at.column, text};
        return;
      }
      ++r.records;
      for (size_t c = 0; c < ncol; ++c) r.cols[c].longest = std::max(r.cols[c].longest, sc.field(c).size());
      for (size_t i = 0; i < layout.numeric.size(); ++i) {
        const int c = layout.numeric[i];
        ColumnScan& cs = r.cols[c];
        double x = kSysmis;
        if (cs.numeric) {
          const std::string_view t = sc.field(c);
          const csv::ParsedNumber n = csv::parseNumber(t, kRemainderDigits);
          switch (n.kind) {
            case csv::NumberKind::Empty:
              break;
            case csv::NumberKind::Finite:
              x = n.value;
              if (n.remainder != 0.0)
                batch.rems.push_back({batch.rows, static_cast<uint32_t>(c), n.remainder});
              cs.decimals = std::max(cs.decimals, n.decimals);
              batch.decimals[i] = std::max(batch.decimals[i], n.decimals);
              cs.longestNumber = std::max(cs.longestNumber, n.length);
              break;
            case csv::NumberKind::NonFinite:
              ++cs.nonFinite;
              break;
            case csv::NumberKind::NotNumber: {
              const csv::Place at = sc.fieldPlace(c);
              cs.numeric = false;
              cs.badLine = at.line;
              cs.badColumn = at.column;
              cs.badText = std::string(t.substr(0, 40));
              break;
            }
          }
        }
        batch.num[i].push_back(x);
      }
      for (size_t i = 0; i < layout.text.size(); ++i) {
        std::string_view t = sc.field(layout.text[i]);
        batch.textLength[i].push_back(static_cast<uint32_t>(t.size()));
        batch.textBytes[i].append(t);
        textBytes += t.size();
      }
      if (++batch.rows == rowsPerBlock || textBytes > CaseBatch::kBytes) flush();
    }
    flush();
  } catch (const csv::ScanError& e) {
    r.failed = true;
    r.err = InputError{"", e.line, e.column, e.text};
  } catch (...) {
    r.fault = std::current_exception();
  }
}

class CsvCaseReader : public CaseReader {
 public:
  explicit CsvCaseReader(const CsvDataSource& ds);
  bool next() override;
  bool nextGroup() override;
  bool endOfData() const override { return !haveLook_; }
  bool groupRange(long& begin, long& end) const override;
  void skipGroup() override;
  double number(int var) const override;
  double numberRemainder(int var) const override;
  bool anyRemainder() const override { return !cur_.remSet.empty(); }
  const std::string& string(int var) const override;
  double caseWeight() const override;
  std::vector<std::pair<std::string, std::string>> splitCaption() const override;
  std::vector<std::string> splitKeys() const override;

 private:
  struct Slot {
    std::vector<double> num;
    std::vector<double> rem;       // per numeric field: exact decimal value minus num
    std::vector<uint32_t> remSet;  // fields whose remainder is not 0
    std::vector<std::string> str;
  };
  bool load(Slot& s);
  // Reads block block_ of store store_ into batch_ and moves block_ on.
  void decodeNextBlock(const RecordLayout& lay);
  // Moves to case k of the data: it becomes the look-ahead case.
  void seek(long k);
  bool sameGroup(const Slot& s) const;
  void setGroupKey(const Slot& s);

  const CsvDataSource& ds_;
  size_t store_ = 0, block_ = 0;  // the next block to read
  CaseBatch batch_;               // the current block's cases
  uint32_t row_ = 0;              // the next case of batch_
  size_t remAt_ = 0;              // its first remainder in batch_.rems
  std::vector<size_t> textAt_;    // its text in batch_.textBytes
  std::vector<char> scratch_;
  Slot cur_, look_;
  bool haveLook_ = false;
  long delivered_ = 0;          // cases delivered by next() (or skipped) so far
  mutable long groupEnd_ = -1;  // the current group's end once groupRange found it
  // The block groupRange compared last (an index into the source's blocks), kept for the next
  // group, with the offsets of each row's text per text column.
  mutable CaseBatch scan_;
  mutable size_t scanAt_ = SIZE_MAX;
  mutable std::vector<std::vector<uint32_t>> scanText_;
  std::vector<uint64_t> keyBits_;     // per split variable (numeric)
  std::vector<std::string> keyText_;  // per split variable (string)
  const std::string empty_;
};

class CsvDataSource : public DataSource {
 public:
  std::string name;
  bool isFile = false;  // a named file that a later pass checks for changes
  FileStamp stamp;
  Dictionary dict;
  int weight = -1;
  std::vector<int> split;
  bool separate = false;
  long nonFinite = 0;
  long cases = 0;
  bool shared = false;           // converted in shares among processes
  long shareBegin = 0, shareEnd = 0;  // then: this process's own cases
  RecordLayout layout;
  std::vector<WorkStore> stores;    // the converted cases, range by range in file order
  std::vector<StoredBlock> blocks;  // the stores' blocks in case order

  bool readRange(long begin, long end, const std::function<void(const CaseColumns&)>& visit) const override;

  const Dictionary& dictionary() const override { return dict; }
  long caseCount() const override { return cases; }
  bool sharedCases(long& begin, long& end) const override {
    begin = shareBegin;
    end = shareEnd;
    return shared;
  }
  int weightIndex() const override { return weight; }
  const std::vector<int>& splitIndexes() const override { return split; }
  bool splitSeparate() const override { return separate; }
  long nonFiniteCount() const override { return nonFinite; }
  std::unique_ptr<CaseReader> read() const override {
    if (isFile && !(FileStamp::of(name) == stamp))
      throw DataChanged(name + ": the data file changed after it was opened; run the command again");
    return std::make_unique<CsvCaseReader>(*this);
  }
};

CsvCaseReader::CsvCaseReader(const CsvDataSource& ds) : ds_(ds) {
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

void CsvCaseReader::decodeNextBlock(const RecordLayout& lay) {
  try {
    size_t n = 0;
    const char* p = ds_.stores[store_].block(block_++, scratch_, n);
    batch_.reset(lay);
    batch_.decode(p, n);
  } catch (const WorkFileError& e) {
    throw DataChanged(ds_.name + ": " + e.what());
  }
}

bool CsvCaseReader::load(Slot& s) {
  const RecordLayout& lay = ds_.layout;
  while (row_ == batch_.rows) {
    while (store_ < ds_.stores.size() && block_ >= ds_.stores[store_].blockCount()) {
      ++store_;
      block_ = 0;
    }
    if (store_ == ds_.stores.size()) return false;
    decodeNextBlock(lay);
    row_ = 0;
    remAt_ = 0;
    textAt_.assign(lay.text.size(), 0);
  }
  for (uint32_t v : s.remSet) s.rem[v] = 0.0;
  s.remSet.clear();
  for (size_t i = 0; i < lay.numeric.size(); ++i) s.num[lay.numeric[i]] = batch_.num[i][row_];
  for (; remAt_ < batch_.rems.size() && batch_.rems[remAt_].row == row_; ++remAt_) {
    const auto& r = batch_.rems[remAt_];
    s.rem[r.column] = r.value;
    s.remSet.push_back(r.column);
  }
  for (size_t i = 0; i < lay.text.size(); ++i) {
    const uint32_t len = batch_.textLength[i][row_];
    s.str[lay.text[i]].assign(batch_.textBytes[i], textAt_[i], len);
    textAt_[i] += len;
  }
  ++row_;
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
  ++delivered_;
  return true;
}

// Without split files the group is the rest of the data. With them its end is the first case
// whose split values differ from the group's: only the split columns are compared, block by block.
bool CsvCaseReader::groupRange(long& begin, long& end) const {
  begin = delivered_;
  end = ds_.cases;
  groupEnd_ = end;
  if (ds_.split.empty()) return true;
  if (!haveLook_ || !sameGroup(look_)) {
    end = begin;
    groupEnd_ = end;
    return true;
  }
  const RecordLayout& lay = ds_.layout;
  std::vector<int> numAt(ds_.dict.vars.size(), -1), textAt(ds_.dict.vars.size(), -1);
  for (size_t i = 0; i < lay.numeric.size(); ++i)
    numAt[static_cast<size_t>(lay.numeric[i])] = static_cast<int>(i);
  for (size_t i = 0; i < lay.text.size(); ++i) textAt[static_cast<size_t>(lay.text[i])] = static_cast<int>(i);
  const long from = begin + 1;  // the look-ahead case is the group's first
  auto at = std::upper_bound(ds_.blocks.begin(), ds_.blocks.end(), from,
                             [](long k, const StoredBlock& b) { return k < b.first; });
  if (at != ds_.blocks.begin()) --at;
  const CaseBatch& batch = scan_;
  for (; at != ds_.blocks.end(); ++at) {
    const size_t b = static_cast<size_t>(at - ds_.blocks.begin());
    if (b != scanAt_) {
      scanAt_ = SIZE_MAX;
      try {
        size_t n = 0;
        std::vector<char> scratch;
        const char* p = ds_.stores[at->store].block(at->block, scratch, n);
        scan_.reset(lay);
        scan_.decode(p, n);
      } catch (const WorkFileError& e) {
        throw DataChanged(ds_.name + ": " + e.what());
      }
      scanText_.assign(lay.text.size(), std::vector<uint32_t>(1, 0));
      for (size_t i = 0; i < lay.text.size(); ++i)
        for (uint32_t len : scan_.textLength[i]) scanText_[i].push_back(scanText_[i].back() + len);
      scanAt_ = b;
    }
    uint32_t firstRow = static_cast<uint32_t>(std::max(from, at->first) - at->first);
    uint32_t differs = batch.rows;  // the first row of another group
    for (size_t k = 0; k < ds_.split.size(); ++k) {
      const size_t v = static_cast<size_t>(ds_.split[k]);
      if (ds_.dict.vars[v].isString()) {
        const size_t t = static_cast<size_t>(textAt[v]);
        const std::vector<uint32_t>& start = scanText_[t];
        for (uint32_t r = firstRow; r < differs; ++r) {
          if (std::string_view(batch.textBytes[t].data() + start[r], start[r + 1] - start[r]) !=
              keyText_[k]) {
            differs = r;
            break;
          }
        }
      } else {
        const std::vector<double>& col = batch.num[static_cast<size_t>(numAt[v])];
        for (uint32_t r = firstRow; r < differs; ++r)
          if (bitsOf(col[r]) != keyBits_[k]) {
            differs = r;
            break;
          }
      }
    }
    if (differs < batch.rows) {
      end = at->first + static_cast<long>(differs);
      break;
    }
  }
  groupEnd_ = end;
  return true;
}

void CsvCaseReader::skipGroup() {
  QV_ASSERT(groupEnd_ >= delivered_, "CaseReader::skipGroup without groupRange");
  seek(groupEnd_);
  groupEnd_ = -1;
}

void CsvCaseReader::seek(long k) {
  delivered_ = k;
  if (k >= ds_.cases) {
    haveLook_ = false;
    return;
  }
  const RecordLayout& lay = ds_.layout;
  auto at = std::upper_bound(ds_.blocks.begin(), ds_.blocks.end(), k,
                             [](long c, const StoredBlock& b) { return c < b.first; });
  QV_ASSERT(at != ds_.blocks.begin(), "CaseReader::seek");
  --at;
  const uint32_t row = static_cast<uint32_t>(k - at->first);
  if (block_ > 0 && store_ == at->store && block_ - 1 == at->block && row_ <= row) {
    // A later case of the block at hand: walk to it.
    for (; remAt_ < batch_.rems.size() && batch_.rems[remAt_].row < row; ++remAt_) {
    }
    for (size_t i = 0; i < lay.text.size(); ++i)
      for (uint32_t r = row_; r < row; ++r) textAt_[i] += batch_.textLength[i][r];
    row_ = row;
    haveLook_ = load(look_);
    return;
  }
  store_ = at->store;
  block_ = at->block;
  decodeNextBlock(lay);
  row_ = static_cast<uint32_t>(k - at->first);
  remAt_ = 0;
  while (remAt_ < batch_.rems.size() && batch_.rems[remAt_].row < row_) ++remAt_;
  textAt_.assign(lay.text.size(), 0);
  for (size_t i = 0; i < lay.text.size(); ++i)
    for (uint32_t r = 0; r < row_; ++r) textAt_[i] += batch_.textLength[i][r];
  haveLook_ = load(look_);
}

bool CsvDataSource::readRange(long begin, long end,
                              const std::function<void(const CaseColumns&)>& visit) const {
  if (begin >= end) return true;
  QV_ASSERT(!shared || (begin >= shareBegin && !blocks.empty() &&
                        end <= blocks.back().first + static_cast<long>(blocks.back().rows)),
            "CsvDataSource::readRange: a case another process converted");
  // The first block that holds case `begin`.
  auto at = std::upper_bound(blocks.begin(), blocks.end(), begin,
                             [](long k, const StoredBlock& b) { return k < b.first; });
  QV_ASSERT(at != blocks.begin(), "CsvDataSource::readRange");
  --at;
  CaseBatch batch;
  batch.reset(layout);
  std::vector<char> scratch;
  std::vector<std::vector<uint32_t>> textAt(layout.text.size());
  CaseColumns cols;
  cols.numbers.assign(dict.vars.size(), nullptr);
  cols.text.assign(dict.vars.size(), nullptr);
  cols.textAt.assign(dict.vars.size(), nullptr);
  for (; at != blocks.end() && at->first < end; ++at) {
    try {
      size_t n = 0;
      const char* p = stores[at->store].block(at->block, scratch, n);
      batch.decode(p, n);
    } catch (const WorkFileError& e) {
      throw DataChanged(name + ": " + e.what());
    }
    for (size_t i = 0; i < layout.numeric.size(); ++i)
      cols.numbers[static_cast<size_t>(layout.numeric[i])] = batch.num[i].data();
    for (size_t i = 0; i < layout.text.size(); ++i) {
      std::vector<uint32_t>& offsets = textAt[i];
      offsets.assign(1, 0);
      for (uint32_t len : batch.textLength[i]) offsets.push_back(offsets.back() + len);
      const size_t var = static_cast<size_t>(layout.text[i]);
      cols.text[var] = batch.textBytes[i].data();
      cols.textAt[var] = offsets.data();
    }
    cols.remainders = batch.rems.data();
    cols.remainderCount = batch.rems.size();
    cols.first = at->first;
    cols.begin = static_cast<uint32_t>(std::max(begin, at->first) - at->first);
    cols.end = static_cast<uint32_t>(std::min(end, at->first + static_cast<long>(batch.rows)) - at->first);
    visit(cols);
  }
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

// `ranges` byte ranges of the records from dataStart, each starting at a line start: the guesses
// that convertRecords and convertShared begin with.
std::vector<RangeScan> guessRanges(const Input& in, long long dataStart, long long ranges) {
  const long long bytes = in.size - dataStart;
  std::vector<RangeScan> rs(static_cast<size_t>(ranges));
  rs[0].begin = dataStart;
  for (size_t i = 1; i < rs.size(); ++i)
    rs[i].begin = std::max(rs[i - 1].begin,
                           in.lineStartAfter(dataStart + bytes * static_cast<long long>(i) / ranges - 1));
  for (size_t i = 0; i < rs.size(); ++i)
    rs[i].limit = i + 1 < rs.size() ? rs[i + 1].begin : std::numeric_limits<long long>::max();
  return rs;
}

// Folds what a range found about the columns into what the ranges before it found; lineBase is
// the line breaks before the range.
void mergeColumns(std::vector<ColumnScan>& cols, const std::vector<ColumnScan>& found, long lineBase) {
  for (size_t c = 0; c < cols.size(); ++c) {
    ColumnScan& to = cols[c];
    const ColumnScan& from = found[c];
    to.longest = std::max(to.longest, from.longest);
    to.longestNumber = std::max(to.longestNumber, from.longestNumber);
    to.decimals = std::max(to.decimals, from.decimals);
    to.nonFinite += from.nonFinite;
    if (to.numeric && !from.numeric) {
      to.numeric = false;
      to.badLine = from.badLine + lineBase;
      to.badColumn = from.badColumn;
      to.badText = from.badText;
    }
  }
}

// Converts the records after the header in byte ranges, one thread each, and merges the
// ranges in file order. A range boundary is only a guess (a line break may lie inside a quoted
// field): a range whose start is not where the range before it ended is converted again from
// there. Returns false with `err` set for the first malformed record of the file.
bool convertRecords(const Input& in, long long dataStart, long headerLines, const RecordLayout& layout,
                    const std::vector<ColumnScan>& start, int threads, long long minRangeBytes,
                    std::vector<ColumnScan>& cols, std::vector<WorkStore>& stores,
                    std::vector<StoredBlock>& index, long& cases, InputError& err) {
  const long long bytes = in.size - dataStart;
  long long ranges =
      std::max<long long>(1, std::min<long long>(threads, bytes / std::max(1LL, minRangeBytes)));
  std::vector<RangeScan> rs = guessRanges(in, dataStart, ranges);
  {
    std::vector<std::thread> pool;
    for (size_t i = 1; i < rs.size(); ++i) {
      try {
        pool.emplace_back([&, i] { convertRange(in, layout, start, rs[i]); });
      } catch (const std::system_error&) {
        convertRange(in, layout, start, rs[i]);  // no thread to spare: convert it here
      }
    }
    convertRange(in, layout, start, rs[0]);
    for (auto& t : pool) t.join();
  }
  cols = start;
  cases = 0;
  long lineBase = headerLines;  // line breaks before the current range
  stores.clear();
  index.clear();
  for (size_t i = 0; i < rs.size(); ++i) {
    RangeScan& r = rs[i];
    if (i > 0 && r.begin != rs[i - 1].end) {
      r.begin = rs[i - 1].end;
      convertRange(in, layout, start, r);
    }
    if (r.fault) std::rethrow_exception(r.fault);
    if (r.failed) {
      err = r.err;
      err.file = in.name;
      if (err.line > 0) err.line += lineBase;
      return false;
    }
    mergeColumns(cols, r.cols, lineBase);
    long first = cases;
    for (size_t b = 0; b < r.blockRows.size(); ++b) {
      index.push_back(StoredBlock{stores.size(), b, first, r.blockRows[b]});
      first += r.blockRows[b];
    }
    cases += r.records;
    lineBase += r.lines;
    stores.push_back(std::move(r.store));
  }
  return true;
}

// What the other processes learn of a converted range (its cases stay with its process).
struct RangeSummary {
  long long begin = 0, end = 0;
  long lines = 0, records = 0;
  std::vector<ColumnScan> cols;
  bool failed = false;
  bool faulted = false;  // its conversion threw (the exception stays with its process)
  InputError err;
  auto fields() { return std::tie(begin, end, lines, records, cols, failed, faulted, err.line, err.column, err.text); }
  auto fields() const {
    return std::tie(begin, end, lines, records, cols, failed, faulted, err.line, err.column, err.text);
  }
  bool stopped() const { return failed || faulted; }  // no range after it counts
};

// convertRecords shared among the processes of `cluster`: the records are cut into byte ranges,
// about one a thread (`threadsOf` gives every process's threads, the same list on every
// process), and each process converts its own run of ranges; the processes learn every range's
// extent and columns and merge them in file order, as one process would (a range whose start is
// not where the range before it ended is converted again from there, by the process that owns
// it, until every range up to the first that failed starts where the one before it ended). The
// first range in file order that failed decides: a malformed record is reported as one process
// would, an exception of its conversion is thrown on every process. Each process keeps the
// cases of its own ranges, [shareBegin, shareEnd), plus the records after them up to the end of
// the last block of `blockCases` cases that starts among them.
bool convertShared(Cluster& cluster, const Input& in, long long dataStart, long headerLines,
                   const RecordLayout& layout, const std::vector<ColumnScan>& start,
                   const std::vector<int>& threadsOf, long long minRangeBytes, long blockCases,
                   std::vector<ColumnScan>& cols, std::vector<WorkStore>& stores, std::vector<StoredBlock>& index,
                   long& cases, long& shareBegin, long& shareEnd, InputError& err) {
  const long long bytes = in.size - dataStart;
  const int me = cluster.rank();
  QV_ASSERT(static_cast<int>(threadsOf.size()) == cluster.size(), "shared conversion");
  long long allThreads = 0, threadsBefore = 0;
  for (size_t p = 0; p < threadsOf.size(); ++p) {
    if (static_cast<int>(p) < me) threadsBefore += threadsOf[p];
    allThreads += threadsOf[p];
  }
  const long long ranges =
      std::max<long long>(1, std::min<long long>(allThreads, bytes / std::max(1LL, minRangeBytes)));
  std::vector<RangeScan> rs = guessRanges(in, dataStart, ranges);
  const size_t mine0 = static_cast<size_t>(ranges * threadsBefore / allThreads);
  const size_t mine1 = static_cast<size_t>(ranges * (threadsBefore + threadsOf[static_cast<size_t>(me)]) / allThreads);
  {
    std::vector<std::thread> pool;
    for (size_t i = mine0 + 1; i < mine1; ++i) {
      try {
        pool.emplace_back([&, i] { convertRange(in, layout, start, rs[i]); });
      } catch (const std::system_error&) {
        convertRange(in, layout, start, rs[i]);
      }
    }
    if (mine0 < mine1) convertRange(in, layout, start, rs[mine0]);
    for (auto& t : pool) t.join();
  }
  std::vector<RangeSummary> all(rs.size());
  for (;;) {
    // Own ranges that do not start where the one before them ended, in order, up to the first
    // that failed (its end is not known).
    for (size_t i = mine0 + 1; i < mine1 && !rs[i - 1].failed && !rs[i - 1].fault; ++i)
      if (rs[i].begin != rs[i - 1].end) {
        rs[i].begin = rs[i - 1].end;
        convertRange(in, layout, start, rs[i]);
      }
    const std::vector<std::string> gathered = gatherAll(cluster, [&](wire::Writer& out) {
      for (size_t i = mine0; i < mine1; ++i) {
        const RangeScan& r = rs[i];
        wire::put(out, RangeSummary{r.begin, r.end, r.lines, r.records, r.cols, r.failed, r.fault != nullptr, r.err});
      }
    });
    size_t at = 0;
    for (const std::string& b : gathered) {
      wire::Reader rd(b);
      while (!rd.done()) {
        QV_ASSERT(at < all.size(), "shared conversion");
        wire::get(rd, all[at++]);
      }
    }
    QV_ASSERT(at == all.size(), "shared conversion");
    bool again = false;
    for (size_t i = 1; i < all.size() && !all[i - 1].stopped(); ++i)
      if (all[i].begin != all[i - 1].end) {
        again = true;
        if (i == mine0) {
          rs[i].begin = all[i - 1].end;
          convertRange(in, layout, start, rs[i]);
        }
      }
    if (!again) break;
  }
  // An exception in the first range that stopped is thrown on every process by the gathering.
  for (size_t i = 0; i < all.size(); ++i) {
    if (!all[i].stopped()) continue;
    if (all[i].faulted)
      gatherAll(cluster, [&](wire::Writer&) {
        if (i >= mine0 && i < mine1) std::rethrow_exception(rs[i].fault);
      });
    break;
  }
  cols = start;
  cases = 0;
  long lineBase = headerLines;
  stores.clear();
  index.clear();
  shareBegin = shareEnd = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    RangeSummary& r = all[i];
    if (r.failed) {
      err = r.err;
      err.file = in.name;
      if (err.line > 0) err.line += lineBase;
      return false;
    }
    mergeColumns(cols, r.cols, lineBase);
    if (i == mine0) shareBegin = cases;
    if (i >= mine0 && i < mine1) {
      long first = cases;
      for (size_t b = 0; b < rs[i].blockRows.size(); ++b) {
        index.push_back(StoredBlock{stores.size(), b, first, rs[i].blockRows[b]});
        first += rs[i].blockRows[b];
      }
      stores.push_back(std::move(rs[i].store));
    }
    cases += r.records;
    lineBase += r.lines;
    if (i + 1 == mine1) shareEnd = cases;
  }
  if (mine0 >= mine1) shareBegin = shareEnd = cases;
  // The records after this process's own, up to the end of the last block that starts among them
  // (converted inside a gathering, so that a failure reaches every process).
  const long size = std::max(1L, blockCases);
  const long firstBlockStart = (shareBegin + size - 1) / size * size;
  const long blockEnd = std::min(cases, (shareEnd + size - 1) / size * size);
  gatherAll(cluster, [&](wire::Writer&) {
    if (firstBlockStart < shareEnd && blockEnd > shareEnd) {
      RangeScan extra;
      extra.begin = rs[mine1 - 1].end;
      extra.limit = std::numeric_limits<long long>::max();
      extra.maxRecords = blockEnd - shareEnd;
      convertRange(in, layout, start, extra);
      if (extra.fault) std::rethrow_exception(extra.fault);
      QV_ASSERT(!extra.failed && extra.records == blockEnd - shareEnd, "shared conversion");
      long first = shareEnd;
      for (size_t b = 0; b < extra.blockRows.size(); ++b) {
        index.push_back(StoredBlock{stores.size(), b, first, extra.blockRows[b]});
        first += extra.blockRows[b];
      }
      stores.push_back(std::move(extra.store));
    }
  });
  return true;
}

// The processes' agreement to convert the data in shares: every process casts one vote, at the
// point where it would start converting, or, when it failed before (a file it cannot read, a
// bad dictionary), on its way out of opening, so that no process waits for another. The data is
// converted in shares only when every process can; otherwise each converts every case and the
// failure is reported as it would be without shares.
class ShareVote {
 public:
  explicit ShareVote(Cluster* cluster) : cluster_(cluster && cluster->size() > 1 ? cluster : nullptr) {}
  ShareVote(const ShareVote&) = delete;
  ShareVote& operator=(const ShareVote&) = delete;
  ~ShareVote() {
    if (!cluster_ || cast_) return;
    try {
      cluster_->allGather("0");
    } catch (...) {
      // The transport failed: the run ends through the next step that needs it.
    }
  }
  // True when every process can share (each says whether it can, and with how many threads it
  // converts; `bytes` and `dataStart` are the file's size and where its records start, which
  // must be the same on every process).
  bool agree(bool can, long long bytes, long long dataStart, int threads) {
    if (!cluster_) return false;
    cast_ = true;
    const std::string mine = can ? fmt::format("1 {} {} {}", bytes, dataStart, threads) : "0";
    threads_.clear();
    std::string first;
    for (const std::string& vote : cluster_->allGather(mine)) {
      if (vote == "0") return false;
      // The file after the count of threads: the same on every process, or the processes do
      // not read one file.
      const size_t cut = vote.rfind(' ');
      const std::string file = vote.substr(0, cut);
      if (first.empty()) first = file;
      differentFiles_ = differentFiles_ || file != first;
      threads_.push_back(std::max(1, std::atoi(vote.c_str() + cut + 1)));
    }
    return !differentFiles_;
  }
  // Every process's threads, in rank order (after agree() returned true).
  const std::vector<int>& threads() const { return threads_; }
  // Whether the processes found files of different sizes or headers (agree() returned false).
  bool differentFiles() const { return differentFiles_; }

 private:
  Cluster* cluster_;
  bool cast_ = false;
  bool differentFiles_ = false;
  std::vector<int> threads_;
};

std::unique_ptr<DataSource> openSource(Input in, const DataOptions& opts, ShareVote& vote, const std::string* dictionaryText,
                                       InputError& err) {
  auto ds = std::make_unique<CsvDataSource>();
  const std::string& dataName = in.name;
  const std::string dictName = opts.dictionaryPath.empty() ? "<dictionary>" : opts.dictionaryPath;

  std::vector<DeclaredVariable> declared;
  if (dictionaryText && !readDictionaryText(*dictionaryText, dictName, declared, err)) return nullptr;

  // The header, then one conversion of every record: what each column holds, and the cases.
  std::vector<ColumnScan> cols;
  Dictionary& dict = ds->dict;
  std::unordered_map<std::string, int> byName;  // upper-cased name -> column
  try {
    csv::Scanner sc(in.openAt(0));
    if (!sc.next()) {
      err = InputError{dataName, 1, 1, "the file is empty; its first row must name the variables"};
      return nullptr;
    }
    for (size_t c = 0; c < sc.fieldCount(); ++c) {
      std::string name(csv::trimBlanks(sc.field(c)));
      std::string why;
      if (!checkName(name, why)) {
        const csv::Place at = sc.fieldPlace(c);
        err = InputError{dataName, at.line, at.column, why};
        return nullptr;
      }
      auto [at, fresh] = byName.emplace(upperAscii(name), static_cast<int>(dict.vars.size()));
      if (!fresh) {
        const int dup = at->second;
        const csv::Place at = sc.fieldPlace(c);
        err = InputError{dataName, at.line, at.column,
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

    const long long dataStart = sc.offset();
    const long headerLines = sc.line() - 1;
    const int threads =
        opts.threads > 0 ? opts.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    auto layoutOf = [&](const std::vector<ColumnScan>& cs) {
      RecordLayout lay;
      for (size_t c = 0; c < cs.size(); ++c)
        (cs[c].declaredString || !cs[c].numeric ? lay.text : lay.numeric).push_back(static_cast<int>(c));
      return lay;
    };
    ds->layout = layoutOf(cols);
    std::vector<ColumnScan> found;
    // Shared among processes when each can read the file at any offset and no split groups
    // need every case's split values.
    ds->shared = vote.agree(opts.splitVars.empty() && (in.text || in.isNamedFile), in.size, dataStart, threads);
    if (vote.differentFiles()) {
      err = InputError{dataName, 0, 0,
                       "the processes of the job find files of different sizes or headers under this name; the "
                       "data file must be one file that every process reads (shared storage)"};
      return nullptr;
    }
    auto convert = [&](const std::vector<ColumnScan>& from, std::vector<ColumnScan>& to) {
      if (ds->shared)
        return convertShared(*opts.cluster, in, dataStart, headerLines, ds->layout, from, vote.threads(),
                             opts.minRangeBytes, opts.shareBlockCases, to, ds->stores, ds->blocks, ds->cases,
                             ds->shareBegin, ds->shareEnd, err);
      return convertRecords(in, dataStart, headerLines, ds->layout, from, threads, opts.minRangeBytes, to,
                            ds->stores, ds->blocks, ds->cases, err);
    };
    if (!convert(cols, found)) return nullptr;
    bool textFound = false;
    for (const auto& cs : found) textFound = textFound || (!cs.numeric && !cs.declaredString);
    bool declaredNumericText = false;
    for (const auto& d : declared)
      declaredNumericText = declaredNumericText || (d.type == VarType::Numeric && !found[d.index].numeric);
    if (textFound && !declaredNumericText) {
      // A column holds text: convert again, keeping that column's text this time.
      ds->layout = layoutOf(found);
      ds->stores.clear();
      std::vector<ColumnScan> again;
      if (!convert(found, again)) return nullptr;
    }
    cols = std::move(found);
  } catch (const csv::ScanError& e) {
    err = InputError{dataName, e.line, e.column, e.text};
    return nullptr;
  } catch (const WorkFileError& e) {
    err = InputError{dataName, 0, 0, e.what()};
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
  ds->name = in.name;
  ds->isFile = !in.text && in.isNamedFile;
  if (ds->isFile) ds->stamp = in.stamp;
  return ds;
}

// Opens the data file. A stream (standard input for "-", a named pipe, a device) is read once
// into an unlinked temporary file, which the conversion then reads in ranges like any file.
bool openInput(const std::string& path, Input& in, InputError& err) {
  const bool stdinStream = path == "-";
  in.name = stdinStream ? "<stdin>" : path;
  auto fail = [&](const std::string& why) {
    err = InputError{in.name, 0, 0, why};
    return false;
  };
  int fd = 0;
  if (!stdinStream) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail(std::string("cannot open: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("cannot open: it is a directory");
    in.stamp = FileStamp::of(path);
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
  }
  auto owned = std::shared_ptr<const int>(new int(fd), [stdinStream](const int* p) {
    if (!stdinStream) ::close(*p);
    delete p;
  });
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(std::string("cannot open: ") + std::strerror(errno));
  if (S_ISREG(st.st_mode) && !stdinStream) {
    in.fd = std::move(owned);
    in.size = st.st_size;
    in.isNamedFile = true;
    return true;
  }
  try {
    TempFile spool;
    std::vector<char> piece(size_t{1} << 20);
    bool lineSeen = false;  // an endless stream without line breaks (a device) is refused
    for (;;) {
      ssize_t k = ::read(fd, piece.data(), piece.size());
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) return fail(std::string("read error: ") + std::strerror(errno));
      if (k == 0) break;
      const size_t n = static_cast<size_t>(k);
      lineSeen = lineSeen || std::memchr(piece.data(), '\n', n) || std::memchr(piece.data(), '\r', n);
      if (!lineSeen &&
          spool.size() + static_cast<long long>(n) > static_cast<long long>(csv::Scanner::kMaxRecordBytes))
        return fail(fmt::format("the first row is longer than {} MiB; is it the right file?",
                                csv::Scanner::kMaxRecordBytes >> 20));
      spool.append(piece.data(), n);
    }
    const int copy = ::dup(spool.fd());
    if (copy < 0) return fail(std::string("cannot keep the spooled data: ") + std::strerror(errno));
    in.fd = std::shared_ptr<const int>(new int(copy), [](const int* p) {
      ::close(*p);
      delete p;
    });
    in.size = spool.size();
  } catch (const WorkFileError& e) {
    return fail(e.what());
  }
  return true;
}

}  // namespace

std::unique_ptr<DataSource> DataSource::open(const DataOptions& opts, InputError& err) {
  ShareVote vote(opts.cluster);
  if (opts.dataPath.empty()) {
    err = InputError{"", 0, 0, "no data file given"};
    return nullptr;
  }
  struct stat st {};
  if (opts.regularFileOnly && ::stat(opts.dataPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    err = InputError{opts.dataPath, 0, 0,
                     "every process reads the data file itself; give a regular file, not a pipe or device"};
    return nullptr;
  }
  std::string dictText;
  if (!opts.dictionaryPath.empty() && !readWholeFile(opts.dictionaryPath, kMaxDictionaryBytes, dictText, err))
    return nullptr;
  Input in;
  if (!openInput(opts.dataPath, in, err)) return nullptr;
  return openSource(std::move(in), opts, vote, opts.dictionaryPath.empty() ? nullptr : &dictText, err);
}

std::unique_ptr<DataSource> DataSource::openText(std::string csv, const DataOptions& opts, InputError& err,
                                                 const std::string& dictionaryJson) {
  ShareVote vote(opts.cluster);
  Input in;
  in.name = opts.dataPath.empty() ? "<data>" : opts.dataPath;
  in.text = std::make_shared<const std::string>(std::move(csv));
  in.size = static_cast<long long>(in.text->size());
  return openSource(std::move(in), opts, vote, dictionaryJson.empty() ? nullptr : &dictionaryJson, err);
}

}  // namespace qv
