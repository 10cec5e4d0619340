// The estimation step of a split group: accumulate, solve, then the sums of squares of the
// chosen type and, when contrasts are requested, the contrast bases of the factor main effects.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "estimate/cell_means_fit.h"
#include "estimate/estimation.h"
#include "estimate/sstypes.h"
#include "host/output/message_numbers.h"

namespace qv {

namespace {

// Contrast bases (GMECTR): per factor, the Type IV hypothesis of its main effect.
void GMECTR(ProcedureState& st, SweepState& ss) {
  GroupState& g = st.group;
  g.contrastDf.assign(st.nfactr(), 0);
  g.contrastUnique.assign(st.nfactr(), 0);
  g.contrastL.assign(st.nfactr(), num::Mat());
  for (int f = 0; f < st.nfactr(); ++f) {
    const int main = mainEffectOf(st.ptefds, st.nfactr(), f);
    if (main < 0) continue;
    if (st.sstype == 4) {
      g.contrastDf[f] = g.hypotheses[main].df;
      g.contrastUnique[f] = g.hypotheses[main].unique;
      g.contrastL[f] = g.hypotheses[main].L;
    } else {
      bool unique = true;
      num::Mat l = typeIVHypothesis(st, ss, main, unique, false);
      g.contrastDf[f] = static_cast<int>(l.rows);
      g.contrastUnique[f] = unique ? 1 : 0;
      g.contrastL[f] = std::move(l);
    }
  }
}

// Bytes the fit keeps per squared design column: the cross-product matrix in double-double
// three times (the accumulated sums, the sweep state and its unswept copy, each packed), the
// generalised inverse in double-double (packed) and the estimable-function and null-space
// bases (dense).
constexpr double kFitBytesPerSquaredColumn = 3 * 8.0 + 8.0 + 8.0;

// Physical memory of the machine in bytes; 0 when unknown.
double physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && pageSize > 0 ? static_cast<double>(pages) * static_cast<double>(pageSize) : 0.0;
}

// A design whose dense matrices would not fit in the machine's memory stops with message 151
// and a note of its size, instead of failing an allocation (or being killed) part way.
bool designFits(Context& ctx, const ProcedureState& st) {
  const double columns = static_cast<double>(st.group.dmncol + st.ndepvr() + 1);
  const double need = kFitBytesPerSquaredColumn * columns * columns;
  const double have = physicalMemory();
  if (have <= 0.0 || need <= have) return true;
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  ctx.message(msg::kTooManyDesignColumns, out::Phase::Processing, out::Severity::Error);
  ctx.note("Design size ^1 ^2 ^3 ...", out::Severity::Note,
           {std::to_string(st.group.dmncol), fmt::format("{:.1f}", need / kGiB),
            fmt::format("{:.1f}", have / kGiB)});
  return false;
}

}  // namespace

void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  fitModel(ctx, st, work, FitPath::automatic);
}

void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work, FitPath path) {
  if (path == FitPath::cells ||
      (path == FitPath::automatic && st.group.dmncol >= kCellMeansColumns && cellMeansFitServes(st))) {
    QV_ASSERT(cellMeansFitServes(st), "fitModel: the cell-means fit does not serve this design");
    fitCellMeans(ctx, st, work);
    return;
  }
  if (!designFits(ctx, st)) return;
  GMEINI(ctx, st, work);
  SweepState ss = makeSweepState(st);
  ss.fullMatrix =
      path == FitPath::full || (path == FitPath::automatic && st.group.dmncol < kSweptRowsColumns);
  GMESTA(ctx, st, work, ss);
  switch (st.sstype) {
    case 1:
      GMEST1(st, ss);
      break;
    case 2:
      GMEST2(st, ss);
      break;
    case 4:
      GMEST4(st, ss);
      break;
    default:
      GMEST3(st, ss);
      break;
  }
  if (st.contrastCount() > 0) GMECTR(st, ss);
}

}  // namespace qv
