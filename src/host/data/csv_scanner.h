#pragma once
// Streaming CSV reader (RFC 4180): quoted fields, doubled quotes, commas and line breaks inside
// quotes, LF or CRLF line ends. Records are read from a large buffer; a record is kept as the
// end offsets of its fields in it, and a field's text is a view into it, valid until the next
// call of next(). Where a field stands (line and column) is worked out only when a message
// needs it. Only numbers are parsed here; what a field means is decided by the data source.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv::csv {

// Where the bytes come from: a file or a text held in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes; returns 0 at the end. A read failure throws ScanError.
  virtual size_t read(char* dst, size_t n) = 0;
};

// A malformed or unreadable input, located by line and column (1-based; 0 when not known).
struct ScanError {
  long line = 0;
  long column = 0;
  std::string text;
};

class FileSource : public ByteSource {
 public:
  // Opens the file for reading; throws ScanError (line 0) when it cannot be opened.
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  size_t read(char* dst, size_t n) override;

 private:
  std::FILE* f_ = nullptr;
};

class TextSource : public ByteSource {
 public:
  explicit TextSource(std::shared_ptr<const std::string> text, size_t start = 0)
      : text_(std::move(text)), pos_(std::min(start, text_->size())) {}
  size_t read(char* dst, size_t n) override;

 private:
  std::shared_ptr<const std::string> text_;
  size_t pos_ = 0;
};

// An open file descriptor read from a given offset on (pread: several readers share it).
class DescriptorSource : public ByteSource {
 public:
  DescriptorSource(int fd, long long offset) : fd_(fd), at_(offset) {}
  size_t read(char* dst, size_t n) override;

 private:
  int fd_;
  long long at_;
};

// Line and column of a place in the input (1-based).
struct Place {
  long line = 0;
  long column = 0;
};

class Scanner {
 public:
  static constexpr size_t kDefaultBuffer = size_t{1} << 20;
  // The longest record read; a longer one (most often a quote never closed) is refused.
  static constexpr size_t kMaxRecordBytes = size_t{128} << 20;
  // No record may be longer, whatever the caller asks: fields are placed by 32-bit offsets.
  static constexpr size_t kMaxRecordLimit = size_t{1} << 31;

  explicit Scanner(std::unique_ptr<ByteSource> src, size_t bufferBytes = kDefaultBuffer,
                   size_t maxRecordBytes = kMaxRecordBytes);

  // Reads the next record. Empty lines are skipped. Returns false at the end of the input.
  // Throws ScanError for a quote that is never closed or text after a closing quote.
  bool next();
  size_t fieldCount() const { return ends_.size(); }
  // Field i of the record: quotes removed and doubled quotes undone.
  std::string_view field(size_t i) const {
    if (!quotedText_.empty()) return quotedText_[i];
    const uint32_t b = i == 0 ? 0 : ends_[i - 1] + 1;
    return std::string_view(buf_.data() + recordBegin_ + b, ends_[i] - b);
  }
  // Where field i starts (its opening quote when quoted).
  Place fieldPlace(size_t i) const;
  long recordLine() const { return recordLine_; }
  // Just past the last field of the record (for "too few fields" messages).
  Place endPlace() const { return placeAt(ends_.empty() ? 0 : ends_.back()); }

  // For reading a byte range of a file: the source starts at this absolute offset, at the
  // start of a line (so no byte order mark is looked for); lines are counted from 1 there.
  void startAt(long long offset);
  // Absolute offset of the first byte of the record last read (or being read when next()
  // threw), after any empty lines before it.
  long long recordOffset() const { return recordOffset_; }
  // Absolute offset just past the last record read; at the end of the input, its size.
  long long offset() const { return base_ + static_cast<long long>(pos_); }
  // Line of the next unread byte.
  long line() const { return line_; }

 private:
  // A quoted field of the record being scanned: its content, relative to the record start.
  struct QuotedSpan {
    uint32_t field, begin, end;
    bool doubled;  // holds doubled quotes, to be undone
  };
  enum class Scan { Done, NeedMore, End };
  Scan scanRecord();
  void refill();
  // Line and column of the byte at `offset` from the start of the record last read.
  Place placeAt(uint32_t offset) const;
  void unquote();

  std::unique_ptr<ByteSource> src_;
  std::vector<char> buf_;
  size_t maxRecord_;
  size_t pos_ = 0;  // start of the unread bytes
  size_t end_ = 0;  // end of the valid bytes
  bool eof_ = false;
  bool bomChecked_ = false;
  long long base_ = 0;  // absolute offset of buf_[0]
  long line_ = 1;
  long long lineStart_ = 0;  // absolute offset where the current line starts
  // Per field of the record, where it ends (the separator or line end after it, or after its
  // closing quote and blanks), from the record start at buf_[recordBegin_].
  std::vector<uint32_t> ends_;
  std::vector<QuotedSpan> quoted_;
  // For a record with quoted fields only: each field's text.
  std::vector<std::string_view> quotedText_;
  std::string unquotedBytes_;  // texts of fields whose doubled quotes were undone
  size_t recordBegin_ = 0;
  long recordLine_ = 0;
  long long recordLineStart_ = 0;  // absolute offset where the record's first line starts
  size_t recordEnd_ = 0;
  long nextLine_ = 1;
  long long nextLineStart_ = 0;
  long long recordOffset_ = 0;
};

// A field read as a number. Blanks around the text are ignored and a leading '+' is accepted.
enum class NumberKind {
  Empty,      // nothing but blanks: the system-missing value
  Finite,     // an ordinary number
  NonFinite,  // "nan", "inf", or a magnitude beyond the double range
  NotNumber,
};
struct ParsedNumber {
  NumberKind kind = NumberKind::NotNumber;
  double value = 0.0;
  int decimals = 0;   // digits a display needs after the decimal point (fixed notation)
  int digits = 0;     // significant digits of the text's mantissa (leading zeros not counted)
  size_t length = 0;  // bytes of the text without the blanks around it
  // The decimal text's exact value minus `value`, rounded to a double (0 when the double is
  // exact, and for texts of more than 15 significant digits): value + remainder carries a
  // decimal such as 1000000000000.4 to about 32 digits.
  double remainder = 0.0;
};
// One pass over the text; the value is always correctly rounded. The remainder is worked out
// only for texts of at least `remainderDigits` significant digits (0 otherwise).
ParsedNumber parseNumber(std::string_view text, int remainderDigits = 0);

// Blanks (spaces and tabs) removed at both ends.
inline std::string_view trimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace qv::csv
