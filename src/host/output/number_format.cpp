#include "host/output/number_format.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace qv::out {

namespace {

// Magnitudes from here on are shown in scientific notation: fixed notation would print digits
// that a double does not hold, and could be hundreds of characters wide.
constexpr double kLargeMagnitude = 1e15;
// Non-zero values below this magnitude that round to zero at the shown decimals are shown in
// scientific notation rather than as a misleading zero (p-values and proportions excepted).
constexpr double kSmallMagnitude = 1e-3;
constexpr int kDefaultDecimals = 3;
// Decimals of the cell formats, and of fixed notation anywhere: a double holds no more.
constexpr int kMaxDecimals = 15;
constexpr int kMaxFixedDecimals = 16;
// Integers below this magnitude are written as integers inside labels.
constexpr double kLabelIntegerLimit = 1e15;

// "-0.000" and "-0" come from rounding small negative numbers; show them unsigned.
std::string dropNegativeZero(std::string s) {
  if (!s.empty() && s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
  return s;
}

std::string fixed(double x, int decimals) { return dropNegativeZero(fmt::format("{:.{}f}", x, decimals)); }

std::string scientific(double x) { return fmt::format("{:.3E}", x); }

// Removes trailing zeros after the decimal point, and the point when nothing follows it.
std::string trimZeros(std::string s) {
  if (s.find('.') == std::string::npos) return s;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return dropNegativeZero(s);
}

// ".049" rather than "0.049", as p-values and proportions are traditionally shown.
std::string dropLeadingZero(std::string s) {
  if (s.rfind("0.", 0) == 0) return s.substr(1);
  if (s.rfind("-0.", 0) == 0) return "-" + s.substr(2);
  return s;
}

std::string decimalFormat(double x, int decimals) {
  if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
  std::string s = fixed(x, decimals);
  if (x != 0.0 && std::fabs(x) < kSmallMagnitude && s.find_first_not_of("-0.") == std::string::npos)
    return scientific(x);
  return s;
}

// The text with its decimal point written as the decimal character.
std::string withDecimal(std::string s, char decimal) {
  if (decimal != '.')
    if (size_t dot = s.find('.'); dot != std::string::npos) s[dot] = decimal;
  return s;
}

std::string numberText(double x, Fmt f, int decimals) {
  if (isSysmis(x) || !std::isfinite(x)) return "";
  decimals = std::min(decimals, kMaxDecimals);
  switch (f) {
    case Fmt::Text:
      return fmt::format("{}", x);
    case Fmt::Integer:
      return std::fabs(x) >= kLargeMagnitude ? scientific(x) : fixed(x, 0);
    case Fmt::Count:
      if (decimals >= 0) return decimalFormat(x, decimals);
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      if (x == std::floor(x)) return fixed(x, 0);
      return trimZeros(fixed(x, 3));
    case Fmt::Significance:
    case Fmt::Correlation:
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      return dropLeadingZero(fixed(x, 3));
    case Fmt::Percent:
      if (decimals >= 0) return decimalFormat(x, decimals);
      if (std::fabs(x) >= kLargeMagnitude) return scientific(x);
      return trimZeros(fixed(x, 2));
    case Fmt::Coefficient:
    case Fmt::GeneralStat:
    case Fmt::Mean:
    case Fmt::StdDev:
    case Fmt::Value:
      return decimalFormat(x, decimals >= 0 ? decimals : kDefaultDecimals);
  }
  return decimalFormat(x, kDefaultDecimals);
}

}  // namespace

std::string formatNumber(double x, Fmt f, int decimals, char decimal) {
  return withDecimal(numberText(x, f, decimals), decimal);
}

std::string formatFixed(double x, int decimals, char decimal) {
  return withDecimal(fixed(x, std::clamp(decimals, 0, kMaxFixedDecimals)), decimal);
}

std::string formatProportion(double x, char decimal) {
  if (isSysmis(x) || !std::isfinite(x)) return ".";
  return withDecimal(dropLeadingZero(fixed(x, 3)), decimal);
}

std::string formatLevel(double x, char decimal) {
  std::string s = fmt::format("{:.3f}", x);
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (s.rfind("0.", 0) == 0) s.erase(0, 1);
  return withDecimal(std::move(s), decimal);
}

std::string formatLabelNumber(double x, char decimal) {
  if (std::isfinite(x) && x == std::nearbyint(x) && std::fabs(x) < kLabelIntegerLimit)
    return fmt::format("{}", static_cast<long long>(x));
  return withDecimal(fmt::format("{}", x), decimal);
}

std::string formatSignificant(double x, int digits, char decimal) {
  return withDecimal(fmt::format("{:.{}g}", x, digits), decimal);
}

}  // namespace qv::out
