#include "host/output/display.h"

#include <fmt/format.h>

#include "host/output/messages.h"
#include "host/output/number_format.h"

namespace qv::out {

std::string displayText(const std::string& s) {
  // Only keys the catalogue holds are translated, so a data label that happens to end in "..."
  // is shown as it stands.
  if (!s.empty() && s.back() == kUserTextMark) return s.substr(0, s.size() - 1);
  return isCatalogueKey(s) && catalogueHas(s) ? catalogueText(s) : s;
}

std::string visibleText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += fmt::format("\\x{:02x}", c);
    }
  }
  return out;
}

size_t displayWidth(std::string_view s) {
  size_t w = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++w;
  return w;
}

std::string formatValue(const Value& v, char decimal) {
  if (v.isString) return displayText(v.text);
  return formatNumber(v.number, v.fmt, v.decimals, decimal);
}

}  // namespace qv::out
