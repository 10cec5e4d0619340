#include "driver/group_loop.h"

#include <algorithm>

#include "data/case_pass.h"
#include "data/design.h"
#include "data/factor_tables.h"
#include "driver/analyses.h"
#include "estimate/estimation.h"
#include "save/matrix_files.h"
#include "save/saved_variables.h"

namespace qv {

void analyseGroups(Context& ctx, ProcedureState& st) {
  if (!ctx.data) return;
  // OUTFILE targets are checked and opened before any case is read.
  MatrixFiles matrixFiles;
  const bool matrixRequested = MatrixFiles::requested(st);
  if (matrixRequested && !matrixFiles.open(ctx, st)) return;
  if (ctx.data->nonFiniteCount() > 0) {
    ctx.note("Non-finite data values ^1 ...", out::Severity::Warning,
             {std::to_string(ctx.data->nonFiniteCount())});
  }
  std::unique_ptr<CaseReader> reader = ctx.data->read();
  const bool splitOn = !ctx.data->splitIndexes().empty();
  st.splitGroupCount = 0;
  CaseWorkFile work;
  work.threads = std::max(1, ctx.threads);
  work.blockCases = ctx.caseBlock;
  work.memoryBytes = ctx.workMemoryBytes;
  work.keepRecords = st.saveCount() > 0 || matrixFiles.needsCasePositions();
  if (st.saveCount() > 0) beginSave(ctx, st);
  bool first = true;
  for (;;) {
    if (!first && !reader->nextGroup()) break;
    ctx.splitCaption = splitOn ? reader->splitCaption() : std::vector<std::pair<std::string, std::string>>{};
    const std::vector<std::string> splitKeys = splitOn ? reader->splitKeys() : std::vector<std::string>{};
    st.group = GroupState{};
    PassResult pr = readGroupCases(ctx, st, *reader, first, work);
    first = false;
    if (pr == PassResult::Error || ctx.failed()) break;
    if (pr != PassResult::Ok) {
      if (reader->endOfData()) break;
      continue;
    }
    ++st.splitGroupCount;
    // The group's steps in output order; the first error ends the command.
    Steps steps(ctx);
    steps.then([&] { return layoutDesign(ctx, st); })
        .then([&] { printBetweenSubjectsFactors(ctx, st); })
        .when(st.printDescriptives, [&] { printDescriptives(ctx, st, work); })
        .then([&] { fitModel(ctx, st, work); })
        .when(st.printParameters || st.printGef || st.printLMatrix,
              [&] { buildParamLabels(st, ctx.data->dictionary(), st.group.paramLabels); });
    // The analyses in output order (driver/analyses.cpp).
    for (const Analysis& a : analyses())
      steps.when(a.run != nullptr && a.wanted(st), [&] { a.run(ctx, st, work); });
    steps.when(st.saveCount() > 0, [&] { saveGroupValues(st, work); }).when(matrixRequested, [&] {
      return matrixFiles.addGroup(ctx, st, work, splitKeys);
    });
    if (!steps.ok() || reader->endOfData()) break;
  }
  ctx.splitCaption.clear();
  st.group = GroupState{};
  if (st.saveCount() > 0) finishSave(ctx, st);
  if (matrixRequested) matrixFiles.finish(ctx, st);
}

}  // namespace qv
