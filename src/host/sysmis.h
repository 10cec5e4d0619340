#pragma once
// The system-missing value: every statistic that cannot be computed carries it,
// and every table prints it as an empty cell.
#include <cfloat>

namespace qv {

inline constexpr double kSysmis = -DBL_MAX;

inline bool isSysmis(double x) { return x == kSysmis; }

}  // namespace qv
