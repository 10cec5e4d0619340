// Provisional data-layer helpers used until the data layer lands (removed then).

#include "host/data/case_stream.h"
#include "host/sysmis.h"

namespace qv {

bool isMissingNumber(const Variable& v, double x, bool includeUserMissing) {
  if (isSysmis(x)) return true;
  if (includeUserMissing) return false;
  for (double m : v.missing.numbers)
    if (m == x) return true;
  return v.missing.range && x >= v.missing.range->first && x <= v.missing.range->second;
}

bool isMissingString(const Variable& v, const std::string& s, bool includeUserMissing) {
  if (includeUserMissing) return false;
  for (const auto& m : v.missing.strings)
    if (stringKey(m) == stringKey(s)) return true;
  return false;
}

}  // namespace qv
