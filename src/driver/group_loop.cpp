#include "driver/group_loop.h"

#include "data/case_pass.h"
#include "data/design.h"
#include "data/factor_tables.h"
#include "estimate/estimation.h"
#include "plots/profile_plots.h"
#include "plots/residual_plots.h"
#include "plots/spread_level.h"
#include "save/matrix_files.h"
#include "save/saved_variables.h"
#include "tests/univariate.h"

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
  work.keepRecords = st.saveCount > 0 || matrixFiles.needsCasePositions();
  if (st.saveCount > 0) beginSave(ctx, st);
  bool first = true;
  for (;;) {
    if (!first && !reader->nextGroup()) break;
    ctx.splitCaption = splitOn ? reader->splitCaption() : std::vector<std::pair<std::string, std::string>>{};
    const std::vector<std::string> splitKeys = splitOn ? reader->splitKeys() : std::vector<std::string>{};
    st.group = GroupState{};
    PassResult pr = readGroupCases(ctx, st, *reader, first, work);
    first = false;
    if (pr == PassResult::Error || ctx.errorFlag) break;
    if (pr != PassResult::Ok) {
      if (reader->endOfData()) break;
      continue;
    }
    ++st.splitGroupCount;
    if (!layoutDesign(ctx, st) || ctx.errorFlag) break;
    printBetweenSubjectsFactors(ctx, st);
    if (st.printDescriptives) printDescriptives(ctx, st, work);
    fitModel(ctx, st, work);
    if (ctx.errorFlag) break;
    if (st.printParameters || st.printGef || st.printLMatrix)
      buildParamLabels(st, ctx.data->dictionary(), st.group.paramLabels);
    analysisOutput(ctx, st, work);
    if (ctx.errorFlag) break;
    if (st.plotSpreadLevel) printSpreadLevelPlots(ctx, st, work);
    if (!ctx.errorFlag && !st.profileList.empty()) printProfilePlots(ctx, st, work);
    if (!ctx.errorFlag && st.plotResiduals) printResidualPlots(ctx, st, work);
    if (ctx.errorFlag) break;
    if (st.saveCount > 0) saveGroupValues(st, work);
    if (matrixRequested && !matrixFiles.addGroup(ctx, st, work, splitKeys)) break;
    if (reader->endOfData()) break;
  }
  ctx.splitCaption.clear();
  st.group = GroupState{};
  if (st.saveCount > 0) finishSave(ctx, st);
  if (matrixRequested) matrixFiles.finish(ctx, st);
}

}  // namespace qv
