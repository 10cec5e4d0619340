#include "driver/qvtctl.h"

namespace qv {

// Provisional: the dispatcher and the group loop replace this.
void QVTCTL(Context& ctx, const std::string& commandText) {
  (void)commandText;
  ctx.note("The procedure is not built yet.", out::Severity::Error);
}

}  // namespace qv
