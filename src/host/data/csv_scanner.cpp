#include "host/data/csv_scanner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qv::csv {

FileSource::FileSource(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw ScanError{0, 0, std::string("cannot open: ") + std::strerror(errno)};
  if (S_ISDIR(st.st_mode)) throw ScanError{0, 0, "cannot open: it is a directory"};
  f_ = std::fopen(path.c_str(), "rb");
  if (!f_) throw ScanError{0, 0, std::string("cannot open: ") + std::strerror(errno)};
  // Our own buffer is large; the stdio buffer would only add a copy.
  std::setvbuf(f_, nullptr, _IONBF, 0);
}

FileSource::~FileSource() {
  if (f_) std::fclose(f_);
}

size_t FileSource::read(char* dst, size_t n) {
  size_t got = std::fread(dst, 1, n, f_);
  if (got == 0 && std::ferror(f_)) throw ScanError{0, 0, std::string("read error: ") + std::strerror(errno)};
  return got;
}

size_t DescriptorSource::read(char* dst, size_t n) {
  for (;;) {
    ssize_t k = ::pread(fd_, dst, n, static_cast<off_t>(at_));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) throw ScanError{0, 0, std::string("read error: ") + std::strerror(errno)};
    at_ += k;
    return static_cast<size_t>(k);
  }
}

size_t TextSource::read(char* dst, size_t n) {
  size_t k = std::min(n, text_->size() - pos_);
  std::memcpy(dst, text_->data() + pos_, k);
  pos_ += k;
  return k;
}

Scanner::Scanner(std::unique_ptr<ByteSource> src, size_t bufferBytes, size_t maxRecordBytes)
    : src_(std::move(src)),
      buf_(std::max<size_t>(std::min(bufferBytes, std::clamp<size_t>(maxRecordBytes, 16, kMaxRecordLimit)),
                            16)),
      maxRecord_(std::clamp<size_t>(maxRecordBytes, 16, kMaxRecordLimit)) {}

void Scanner::startAt(long long offset) {
  base_ = offset;
  lineStart_ = nextLineStart_ = offset;
  recordOffset_ = offset;
  bomChecked_ = true;
}

void Scanner::refill() {
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    base_ += static_cast<long long>(pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  // A record longer than the buffer: grow it, up to the limit of one record.
  if (end_ == buf_.size()) {
    if (end_ >= maxRecord_)
      throw ScanError{line_, static_cast<long>(base_ - lineStart_ + 1),
                      "the record that starts here is longer than " + std::to_string(maxRecord_) +
                          " bytes; is a quote never closed?"};
    buf_.resize(std::min(buf_.size() * 2, std::max(maxRecord_, buf_.size())));
  }
  size_t n = src_->read(buf_.data() + end_, buf_.size() - end_);
  if (n == 0)
    eof_ = true;
  else
    end_ += n;
}

namespace {

// The bytes that end an unquoted field.
struct FieldEndTable {
  bool at[256] = {};
  constexpr FieldEndTable() {
    at[static_cast<unsigned char>(',')] = at[static_cast<unsigned char>('\n')] =
        at[static_cast<unsigned char>('\r')] = true;
  }
};
constexpr FieldEndTable kFieldEnd;

}  // namespace

// Scans one record from pos_ without committing anything, so that a record cut by the end of
// the buffer can be scanned again after a refill.
Scanner::Scan Scanner::scanRecord() {
  size_t i = pos_;
  // Locals, so that the compiler need not reload the members after every store.
  const char* const d = buf_.data();
  const size_t n = end_;
  const bool eof = eof_;
  long line = line_;
  long long lineStart = lineStart_;
  ends_.clear();
  quoted_.clear();
  auto col = [&](size_t at) { return static_cast<long>(base_ + static_cast<long long>(at) - lineStart + 1); };
  auto newLine = [&](size_t after) {
    ++line;
    lineStart = base_ + static_cast<long long>(after);
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };

  // Empty lines between records.
  for (;;) {
    if (i == n) return eof ? Scan::End : Scan::NeedMore;
    char c = d[i];
    if (c == '\n') {
      ++i;
      newLine(i);
    } else if (c == '\r') {
      if (i + 1 == n && !eof) return Scan::NeedMore;
      ++i;
      if (i < n && d[i] == '\n') ++i;
      newLine(i);
    } else {
      break;
    }
  }

  const size_t rec = i;
  recordLine_ = line;
  recordLineStart_ = lineStart;
  recordOffset_ = base_ + static_cast<long long>(i);
  for (;;) {
    size_t j = i;
    if (i < n && (d[i] == '"' || blank(d[i]))) {
      while (j < n && blank(d[j])) ++j;
      if (j == n && !eof) return Scan::NeedMore;
    }
    if (j < n && d[j] == '"') {
      // Quoted field; blanks before the opening quote are tolerated.
      const long quoteLine = line, quoteColumn = col(j);
      size_t k = j + 1;
      bool doubled = false;
      for (;;) {
        if (k == n) {
          if (eof)
            throw ScanError{quoteLine, quoteColumn,
                            "unbalanced quote: the quoted field that starts here is never closed"};
          return Scan::NeedMore;
        }
        char c = d[k];
        if (c == '"') {
          if (k + 1 == n && !eof) return Scan::NeedMore;
          if (k + 1 < n && d[k + 1] == '"') {
            doubled = true;
            k += 2;
            continue;
          }
          break;
        }
        if (c == '\n') {
          newLine(k + 1);
        } else if (c == '\r') {
          if (k + 1 == n && !eof) return Scan::NeedMore;
          if (k + 1 == n || d[k + 1] != '\n') newLine(k + 1);
        }
        ++k;
      }
      quoted_.push_back(QuotedSpan{static_cast<uint32_t>(ends_.size()), static_cast<uint32_t>(j + 1 - rec),
                                   static_cast<uint32_t>(k - rec), doubled});
      i = k + 1;
      while (i < n && blank(d[i])) ++i;
      if (i == n && !eof) return Scan::NeedMore;
      if (i < n && d[i] != ',' && d[i] != '\n' && d[i] != '\r')
        throw ScanError{line, col(i), "unexpected text after the closing quote of a quoted field"};
    } else {
      while (i < n && !kFieldEnd.at[static_cast<unsigned char>(d[i])]) ++i;
      if (i == n && !eof) return Scan::NeedMore;
    }
    ends_.push_back(static_cast<uint32_t>(i - rec));

    if (i == n) break;  // end of input ends the record
    char c = d[i];
    if (c == ',') {
      ++i;
      continue;
    }
    if (c == '\r') {
      if (i + 1 == n && !eof) return Scan::NeedMore;
      ++i;
      if (i < n && d[i] == '\n') ++i;
    } else {
      ++i;
    }
    newLine(i);
    break;
  }
  recordBegin_ = rec;
  recordEnd_ = i;
  nextLine_ = line;
  nextLineStart_ = lineStart;
  return Scan::Done;
}

// The texts of a record with quoted fields: quoted ones without their quotes, doubled quotes
// undone in a copy (the record's bytes stay as read, for placeAt()).
void Scanner::unquote() {
  size_t copied = 0;
  for (const QuotedSpan& q : quoted_)
    if (q.doubled) copied += q.end - q.begin;
  unquotedBytes_.clear();
  unquotedBytes_.reserve(copied);  // no reallocation below: the views stay valid
  quotedText_.resize(ends_.size());
  for (size_t f = 0; f < ends_.size(); ++f) {
    const uint32_t b = f == 0 ? 0 : ends_[f - 1] + 1;
    quotedText_[f] = std::string_view(buf_.data() + recordBegin_ + b, ends_[f] - b);
  }
  for (const QuotedSpan& q : quoted_) {
    const char* from = buf_.data() + recordBegin_ + q.begin;
    const size_t len = q.end - q.begin;
    if (!q.doubled) {
      quotedText_[q.field] = std::string_view(from, len);
      continue;
    }
    const size_t at = unquotedBytes_.size();
    for (size_t r = 0; r < len; ++r) {
      unquotedBytes_.push_back(from[r]);
      if (from[r] == '"') ++r;
    }
    quotedText_[q.field] = std::string_view(unquotedBytes_.data() + at, unquotedBytes_.size() - at);
  }
}

Place Scanner::placeAt(uint32_t offset) const {
  const char* d = buf_.data() + recordBegin_;
  long line = recordLine_;
  long long lineStart = recordLineStart_;
  const long long begin = base_ + static_cast<long long>(recordBegin_);
  for (uint32_t k = 0; k < offset; ++k) {
    if (d[k] == '\n' || (d[k] == '\r' && (k + 1 == offset || d[k + 1] != '\n'))) {
      ++line;
      lineStart = begin + k + 1;
    }
  }
  return Place{line, static_cast<long>(begin + offset - lineStart + 1)};
}

Place Scanner::fieldPlace(size_t i) const {
  uint32_t b = i == 0 ? 0 : ends_[i - 1] + 1;
  const char* d = buf_.data() + recordBegin_;
  uint32_t q = b;
  while (q < ends_[i] && (d[q] == ' ' || d[q] == '\t')) ++q;
  if (q < ends_[i] && d[q] == '"') b = q;
  return placeAt(b);
}

bool Scanner::next() {
  if (!bomChecked_) {
    while (end_ - pos_ < 3 && !eof_) refill();
    if (end_ - pos_ >= 3 && std::memcmp(buf_.data() + pos_, "\xEF\xBB\xBF", 3) == 0) {
      pos_ += 3;
      lineStart_ = base_ + static_cast<long long>(pos_);
    }
    bomChecked_ = true;
  }
  quotedText_.clear();
  for (;;) {
    Scan s = scanRecord();
    if (s == Scan::End) {
      pos_ = end_;
      ends_.clear();
      return false;
    }
    if (s == Scan::Done) break;
    refill();
  }
  if (!quoted_.empty()) unquote();
  pos_ = recordEnd_;
  line_ = nextLine_;
  lineStart_ = nextLineStart_;
  return true;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Parses the exponent after 'e'/'E' at p (clamped, so that absurd exponents cannot overflow).
long exponentAt(const char* p, const char* e) {
  bool neg = false;
  if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
  long x = 0;
  for (; p < e && isDigit(*p); ++p) x = std::min<long>(x * 10 + (*p - '0'), 100000);
  return neg ? -x : x;
}

// Power of ten of the leading significant digit of a decimal text the parser found out of
// range: negative for an underflow, positive for an overflow.
long decimalMagnitude(const char* p, const char* e) {
  if (p < e && (*p == '-' || *p == '+')) ++p;
  long intDigits = 0, fracZeros = 0;
  bool significant = false;
  for (; p < e && isDigit(*p); ++p) {
    if (*p != '0') significant = true;
    if (significant) ++intDigits;
  }
  if (p < e && *p == '.') {
    for (++p; p < e && isDigit(*p); ++p) {
      if (significant) continue;
      if (*p == '0')
        ++fracZeros;
      else
        significant = true;
    }
  }
  long exp = (p < e && (*p == 'e' || *p == 'E')) ? exponentAt(p + 1, e) : 0;
  return (intDigits > 0 ? intDigits - 1 : -(fracZeros + 1)) + exp;
}

// Digits needed after the decimal point to show the number as written, in fixed notation.
int displayDecimals(const char* p, const char* e) {
  long frac = 0;
  while (p < e && *p != '.' && *p != 'e' && *p != 'E') ++p;
  if (p < e && *p == '.')
    for (++p; p < e && isDigit(*p); ++p) ++frac;
  long exp = (p < e && (*p == 'e' || *p == 'E')) ? exponentAt(p + 1, e) : 0;
  return static_cast<int>(std::clamp<long>(frac - exp, 0, 16));
}

// Powers of ten that a double holds exactly.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Significant digits of a number's text: the digits of its mantissa without leading zeros.
long significantDigits(const char* p, const char* e) {
  long n = 0;
  bool lead = true;
  for (; p < e && *p != 'e' && *p != 'E'; ++p) {
    if (!isDigit(*p) || (lead && *p == '0')) continue;
    lead = false;
    ++n;
  }
  return n;
}

// Clinger's fast path: a decimal of at most 15 significant digits times a power of ten within
// 10^-22..10^22 is one correctly rounded product or quotient of two exact doubles. One pass
// over the text gives the value, the display decimals and the significant digits. Anything
// else (and every text this path does not accept) goes to std::from_chars, so both read the
// same texts as numbers.
bool fastDecimal(const char* p, const char* e, int remainderDigits, ParsedNumber& out) {
  bool neg = false;
  if (p < e && *p == '-') {
    neg = true;
    ++p;
  }
  // Up to 19 digits fit the mantissa; longer ones wrap around, but are refused below.
  uint64_t mantissa = 0;
  long digits = 0, scale = 0;
  const char* const intStart = p;
  while (p < e && *p == '0') ++p;  // leading zeros carry no digits
  for (; p < e && isDigit(*p); ++p, ++digits) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
  bool any = p != intStart;
  if (p < e && *p == '.') {
    const char* const fracStart = ++p;
    if (mantissa == 0)
      while (p < e && *p == '0') ++p;
    for (; p < e && isDigit(*p); ++p, ++digits) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    scale = -(p - fracStart);
    any = any || p != fracStart;
  }
  if (!any || digits > 15) return false;
  if (p < e) {
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    bool expNeg = false;
    if (p < e && (*p == '+' || *p == '-')) expNeg = *p++ == '-';
    if (p == e || e - p > 4) return false;
    long x = 0;
    for (; p < e; ++p) {
      if (!isDigit(*p)) return false;
      x = x * 10 + (*p - '0');
    }
    scale += expNeg ? -x : x;
  }
  double v = 0.0, r = 0.0;
  if (mantissa != 0) {
    if (scale < -22 || scale > 22) return false;
    const double m = static_cast<double>(mantissa);
    const bool wantRemainder = digits >= remainderDigits;
    // The rounding error of one correctly rounded product or quotient of exact doubles is
    // itself exact through a fused multiply-add (the remainder m - v p of a quotient is a
    // double; so is m p - v of a product).
    if (scale < 0) {
      const double pw = kExactPow10[-scale];
      v = m / pw;
      if (wantRemainder) r = std::fma(-v, pw, m) / pw;
    } else {
      const double pw = kExactPow10[scale];
      v = m * pw;
      if (wantRemainder) r = std::fma(m, pw, -v);
    }
  }
  out.kind = NumberKind::Finite;
  out.value = neg ? -v : v;
  out.remainder = neg ? -r : r;
  out.decimals = static_cast<int>(std::clamp<long>(-scale, 0, 16));
  out.digits = static_cast<int>(digits);
  return true;
}

}  // namespace

ParsedNumber parseNumber(std::string_view text, int remainderDigits) {
  ParsedNumber r;
  const char* b = text.data();
  const char* e = b + text.size();
  while (b < e && (*b == ' ' || *b == '\t')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
  if (b == e) {
    r.kind = NumberKind::Empty;
    return r;
  }
  r.length = static_cast<size_t>(e - b);
  if (*b == '+') {
    ++b;
    if (b == e || *b == '+' || *b == '-') return r;
  }
  if (fastDecimal(b, e, remainderDigits, r)) {
    // -0 and 0 are one value: keep them one level and one split group.
    if (r.value == 0.0) r.value = 0.0;
    return r;
  }
  double v = 0.0;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec == std::errc::invalid_argument || p != e) return r;
  if (ec == std::errc::result_out_of_range) {
    if (decimalMagnitude(b, e) < 0) {
      r.kind = NumberKind::Finite;  // too small for a double: zero
      r.value = 0.0;
      r.digits = static_cast<int>(std::min<long>(significantDigits(b, e), INT_MAX));
      return r;
    }
    r.kind = NumberKind::NonFinite;
    return r;
  }
  if (!std::isfinite(v)) {
    r.kind = NumberKind::NonFinite;
    return r;
  }
  r.kind = NumberKind::Finite;
  r.value = v == 0.0 ? 0.0 : v;
  r.decimals = displayDecimals(b, e);
  r.digits = static_cast<int>(std::min<long>(significantDigits(b, e), INT_MAX));
  return r;
}

}  // namespace qv::csv
