#include "report/shared_labels.h"

#include "data/design.h"
#include "host/output/number_format.h"

namespace qv {

std::string ssTypeTitle(int sstype) {
  static const char* const kTitles[] = {"Type I Sum of Squares", "Type II Sum of Squares",
                                        "Type III Sum of Squares", "Type IV Sum of Squares"};
  return kTitles[(sstype >= 1 && sstype <= 4 ? sstype : 3) - 1];
}

std::string alphaLevelText(const ProcedureState& st) {
  std::string a = st.alphaText;
  while (!a.empty() && a.back() == ' ') a.pop_back();
  return a.empty() ? out::formatLevel(st.alplev) : a;
}

std::string alphaFootnote(const ProcedureState& st) { return "Computed using alpha = " + alphaLevelText(st); }

std::string variableLabel(const Dictionary& dict, int var) {
  const Variable& v = dict.vars[var];
  return v.label.empty() ? v.name : v.label;
}

std::string designFootnote(const ProcedureState& st, const Dictionary& dict) {
  std::string s = "Design: ";
  for (int e = 0; e < st.effectCount(); ++e) {
    if (e > 0) s += " + ";
    s += effectName(st, dict, e);
  }
  return s;
}

}  // namespace qv
