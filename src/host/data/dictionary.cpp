#include "host/data/dictionary.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qv {

namespace {

std::string upper(const std::string& s) {
  std::string u = s;
  for (auto& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// Edit distance (insertions, deletions, substitutions) between two upper-cased names.
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

}  // namespace

int Dictionary::find(const std::string& name) const {
  if (name.empty()) return -1;
  const std::string u = upper(name);
  for (size_t i = 0; i < vars.size(); ++i)
    if (vars[i].name.size() == name.size() && upper(vars[i].name) == u) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> Dictionary::nearest(const std::string& name, size_t count) const {
  const std::string u = upper(name);
  // A suggestion is only useful when it is close: allow about a third of the name to differ,
  // and always a typo or two; a name that starts with the text typed also counts as close.
  const size_t limit = std::max<size_t>(2, u.size() / 3);
  std::vector<std::pair<size_t, size_t>> scored;  // (distance, dictionary index)
  for (size_t i = 0; i < vars.size(); ++i) {
    const std::string v = upper(vars[i].name);
    size_t d = editDistance(u, v);
    if (d > limit && !(u.size() >= 2 && v.rfind(u, 0) == 0)) continue;
    scored.emplace_back(d, i);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (size_t k = 0; k < scored.size() && out.size() < count; ++k) out.push_back(vars[scored[k].second].name);
  return out;
}

std::string numberKey(double x) {
  if (x == 0.0) return "0";  // also for -0
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

std::string stringKey(const std::string& s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

}  // namespace qv
