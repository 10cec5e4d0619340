#include "host/data/csv_scanner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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
      buf_(std::max<size_t>(std::min(bufferBytes, std::max<size_t>(maxRecordBytes, 16)), 16)),
      maxRecord_(std::max<size_t>(maxRecordBytes, 16)) {}

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
  spans_.clear();
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

  recordLine_ = line;
  recordOffset_ = base_ + static_cast<long long>(i);
  for (;;) {
    Span sp{i, i, false, false, line, col(i)};
    size_t j = i;
    if (i < n && (d[i] == '"' || blank(d[i]))) {
      while (j < n && blank(d[j])) ++j;
      if (j == n && !eof) return Scan::NeedMore;
    }
    if (j < n && d[j] == '"') {
      // Quoted field; blanks before the opening quote are tolerated.
      const long quoteLine = line, quoteColumn = col(j);
      sp.quoted = true;
      sp.column = quoteColumn;
      size_t k = j + 1;
      sp.begin = k;
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
            sp.doubled = true;
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
      sp.end = k;
      i = k + 1;
      while (i < n && blank(d[i])) ++i;
      if (i == n && !eof) return Scan::NeedMore;
      if (i < n && d[i] != ',' && d[i] != '\n' && d[i] != '\r')
        throw ScanError{line, col(i), "unexpected text after the closing quote of a quoted field"};
    } else {
      while (i < n && !kFieldEnd.at[static_cast<unsigned char>(d[i])]) ++i;
      if (i == n && !eof) return Scan::NeedMore;
      sp.end = i;
    }
    spans_.push_back(sp);

    if (i == n) {  // end of input ends the record
      endLine_ = line;
      endColumn_ = col(i);
      break;
    }
    char c = d[i];
    if (c == ',') {
      ++i;
      continue;
    }
    endLine_ = line;
    endColumn_ = col(i);
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
  recordEnd_ = i;
  nextLine_ = line;
  nextLineStart_ = lineStart;
  return Scan::Done;
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
  for (;;) {
    Scan s = scanRecord();
    if (s == Scan::End) {
      pos_ = end_;
      fields_.clear();
      return false;
    }
    if (s == Scan::Done) break;
    refill();
  }
  fields_.resize(spans_.size());
  for (size_t f = 0; f < spans_.size(); ++f) {
    Span& sp = spans_[f];
    if (sp.doubled) {
      // Undo doubled quotes in place; the text only gets shorter.
      size_t w = sp.begin;
      for (size_t r = sp.begin; r < sp.end; ++r) {
        buf_[w++] = buf_[r];
        if (buf_[r] == '"') ++r;
      }
      sp.end = w;
    }
    fields_[f] =
        Field{std::string_view(buf_.data() + sp.begin, sp.end - sp.begin), sp.quoted, sp.line, sp.column};
  }
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

// Clinger's fast path: a decimal of at most 15 significant digits times a power of ten within
// 10^-22..10^22 is one correctly rounded product or quotient of two exact doubles. Anything else
// (and every text this path does not accept) goes to std::from_chars, so both read the same
// texts as numbers.
bool fastDecimal(const char* p, const char* e, double& out, double& rem) {
  bool neg = false;
  if (p < e && *p == '-') {
    neg = true;
    ++p;
  }
  uint64_t mantissa = 0;
  int digits = 0, scale = 0;
  bool any = false, dot = false;
  for (; p < e; ++p) {
    const char c = *p;
    if (isDigit(c)) {
      any = true;
      if (dot) --scale;
      if (mantissa == 0 && c == '0') continue;  // leading zeros carry no digits
      if (++digits > 15) return false;
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (p < e) {
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    bool expNeg = false;
    if (p < e && (*p == '+' || *p == '-')) expNeg = *p++ == '-';
    if (p == e || e - p > 4) return false;
    int x = 0;
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
    // The rounding error of one correctly rounded product or quotient of exact doubles is
    // itself exact through a fused multiply-add (the remainder m - v p of a quotient is a
    // double; so is m p - v of a product).
    if (scale < 0) {
      const double pw = kExactPow10[-scale];
      v = m / pw;
      r = std::fma(-v, pw, m) / pw;
    } else {
      const double pw = kExactPow10[scale];
      v = m * pw;
      r = std::fma(m, pw, -v);
    }
  }
  out = neg ? -v : v;
  rem = neg ? -r : r;
  return true;
}

}  // namespace

ParsedNumber parseNumber(std::string_view text, bool wantDecimals) {
  ParsedNumber r;
  std::string_view s = trimBlanks(text);
  if (s.empty()) {
    r.kind = NumberKind::Empty;
    return r;
  }
  const char* b = s.data();
  const char* e = s.data() + s.size();
  if (*b == '+') {
    ++b;
    if (b == e || *b == '+' || *b == '-') return r;
  }
  double v = 0.0, rem = 0.0;
  if (fastDecimal(b, e, v, rem)) {
    r.kind = NumberKind::Finite;
    r.value = v == 0.0 ? 0.0 : v;
    r.remainder = rem;
    if (wantDecimals) r.decimals = displayDecimals(b, e);
    return r;
  }
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec == std::errc::invalid_argument || p != e) return r;
  if (ec == std::errc::result_out_of_range) {
    if (decimalMagnitude(b, e) < 0) {
      r.kind = NumberKind::Finite;  // too small for a double: zero
      r.value = 0.0;
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
  // -0 and 0 are one value: keep them one level and one split group.
  r.value = v == 0.0 ? 0.0 : v;
  if (wantDecimals) r.decimals = displayDecimals(b, e);
  return r;
}

}  // namespace qv::csv
