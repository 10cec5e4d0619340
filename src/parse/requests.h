#pragma once
// Request records of the optional subcommands (CONTRAST, POSTHOC, EMMEANS, PLOT, SAVE,
// LMATRIX, KMATRIX, TEST), filled by their parsers and read by the analyses.
#include <string>
#include <vector>

namespace qv {

struct ContrastRequest {};
struct PosthocRequest {};
struct EmmeansRequest {};
struct ProfilePlotRequest {};
struct LMatrixRequest {};
struct TestRequest {};

}  // namespace qv
