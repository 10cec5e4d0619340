#include "host/data/dictionary.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "host/sysmis.h"

namespace qv {

namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

// Levenshtein distance on upper-cased ASCII, two rows of the usual table.
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t subst = prev[j - 1] + (upperAscii(a[i - 1]) == upperAscii(b[j - 1]) ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, subst});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

}  // namespace

int Dictionary::find(const std::string& name) const {
  for (size_t i = 0; i < vars.size(); ++i)
    if (equalNoCase(vars[i].name, name)) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> Dictionary::nearest(const std::string& name, size_t count) const {
  // Only names within a third of the longer name's length (at least 2 edits), or names that
  // start with the text typed, are offered, so that a hint is never a wild guess.
  std::vector<std::pair<size_t, size_t>> scored;  // (distance, variable index)
  for (size_t i = 0; i < vars.size(); ++i) {
    const std::string& v = vars[i].name;
    size_t d = editDistance(name, v);
    size_t limit = std::max<size_t>(2, std::max(name.size(), v.size()) / 3);
    bool prefix = name.size() >= 2 && name.size() < v.size() && equalNoCase(v.substr(0, name.size()), name);
    if (d <= limit || prefix) scored.emplace_back(d, i);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (size_t k = 0; k < scored.size() && out.size() < count; ++k) out.push_back(vars[scored[k].second].name);
  return out;
}

std::string numberKey(double x) {
  if (isSysmis(x)) return "";
  if (x == 0.0) return "0";  // also -0
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

std::string stringKey(std::string_view s) {
  size_t end = s.size();
  while (end > 0 && s[end - 1] == ' ') --end;
  return std::string(s.substr(0, end));
}

}  // namespace qv
