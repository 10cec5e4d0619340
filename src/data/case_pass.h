#pragma once
// The data pass of one split group: keeps the valid cases (listwise over every variable of the
// model, positive case and regression weights) in the case work file, numbers the levels of
// every factor and, when asked, the observed cells.
#include <cstdint>
#include <vector>

#include "data/case_blocks.h"
#include "data/case_work_file.h"
#include "driver/state.h"
#include "host/context.h"
#include "host/data/case_stream.h"

namespace qv {

// Result of the data pass.
enum class PassResult { Ok, NoData, EmptySplitGroup, Error };

// Reads the cases of the reader's current split group. Fills the group fields of `st`
// (nvalid, sumWeights, nlevls, level values and weights, the design cells) and `work`.
PassResult readGroupCases(Context& ctx, ProcedureState& st, CaseReader& reader, bool firstGroup,
                          CaseWorkFile& work);

// Rounds a case weight that lies within a tiny relative distance of an integer to that integer
// (FUZZYROUND), so that weights like 2.9999999999 written by other programs count as 3.
double fuzzyRound(double w);

// The printed form of a factor level (numbers in shortest round-trip form, strings as read).
std::string levelKey(const ProcedureState& st, int factor, int level);

}  // namespace qv
