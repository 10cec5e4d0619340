#include <string>
#include <vector>

#include "host/output/messages.h"

namespace qv {

// Provisional catalogue: the key itself without its trailing ellipsis. The full texts come
// with the output layer.
std::string catalogueText(const std::string& key) {
  std::string k = key;
  if (k.size() >= 4 && k.compare(k.size() - 4, 4, " ...") == 0) k.resize(k.size() - 4);
  else if (k.size() >= 3 && k.compare(k.size() - 3, 3, "...") == 0) k.resize(k.size() - 3);
  if (k.rfind("QVT ", 0) == 0) k = k.substr(4);
  return k;
}

std::string expandTemplate(const std::string& tmpl, const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '^' && i + 1 < tmpl.size() && tmpl[i + 1] >= '1' && tmpl[i + 1] <= '9') {
      size_t n = static_cast<size_t>(tmpl[i + 1] - '1');
      if (n < args.size()) out += args[n];
      ++i;
    } else {
      out += tmpl[i];
    }
  }
  return out;
}

}  // namespace qv
