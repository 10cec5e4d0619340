#pragma once
// Entry point of the procedure: runs one QUORVEST command over the active data.
#include <string>

#include "host/context.h"

namespace qv {

// Runs one command (QVTCTL): parses it, reads each split group, fits the model and records
// every table and message in ctx.output. Failure is reported through messages and
// the error flag (ctx.failed()); clean-up runs on every path. Two failures leave it: changed
// data (DataChanged), and, on a cluster of several processes, a failure that may have struck
// this process alone (not thrown by gatherAll on every process), which must end the job.
void QVTCTL(Context& ctx, const std::string& commandText);

}  // namespace qv
