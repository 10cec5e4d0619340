#include "report/shared_labels.h"

#include <fmt/format.h>

#include "data/design.h"

namespace qv {

std::string ssTypeTitle(int sstype) {
  static const char* const kTitles[] = {"Type I Sum of Squares", "Type II Sum of Squares",
                                        "Type III Sum of Squares", "Type IV Sum of Squares"};
  return kTitles[(sstype >= 1 && sstype <= 4 ? sstype : 3) - 1];
}

std::string alphaFootnote(const ProcedureState& st) {
  std::string a = st.alphaText;
  while (!a.empty() && a.back() == ' ') a.pop_back();
  if (a.empty()) {
    a = fmt::format("{:.3f}", st.alplev);
    while (a.size() > 1 && a.back() == '0') a.pop_back();
    if (a.rfind("0.", 0) == 0) a.erase(0, 1);
  }
  return "Computed using alpha = " + a;
}

std::string variableLabel(const Dictionary& dict, int var) {
  const Variable& v = dict.vars[var];
  return v.label.empty() ? v.name : v.label;
}

std::string designFootnote(const ProcedureState& st, const Dictionary& dict) {
  std::string s = "Design: ";
  for (int e = 0; e < st.neffds; ++e) {
    if (e > 0) s += " + ";
    s += effectName(st, dict, e);
  }
  return s;
}

}  // namespace qv
