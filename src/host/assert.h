#pragma once
// Internal-consistency checks. A failed check is a bug, never a problem with the user's input:
// it throws InternalError, which the driver turns into an error message, and clean-up runs on
// the way out, so nothing half-written is left behind. Numeric code includes this header alone,
// without the host context.
#include <string>

namespace qv {

// An internal-consistency failure: the condition that did not hold and the routine that checked it.
struct InternalError {
  std::string condition;
  std::string routine;
};

#define QV_ASSERT(cond, routine)                            \
  do {                                                      \
    if (!(cond)) throw ::qv::InternalError{#cond, routine}; \
  } while (0)

}  // namespace qv
