#include "host/output/render.h"

#include <fmt/format.h>

namespace qv::out {

// Provisional renderers; the full text and JSON renderers replace these.
std::string formatValue(const Value& v) {
  if (v.isString) return v.text;
  if (isSysmis(v.number)) return "";
  return fmt::format("{}", v.number);
}

std::string renderText(const Document& doc) {
  std::string s;
  for (const auto& c : doc.commands) s += c.command + "\n";
  return s;
}

std::string renderJson(const Document& doc) {
  (void)doc;
  return "{}";
}

}  // namespace qv::out
