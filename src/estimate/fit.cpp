// The estimation step of a split group: accumulate, solve, then the sums of squares of the
// chosen type and, when contrasts are requested, the contrast bases of the factor main effects.
#include <algorithm>

#include "estimate/estimation.h"
#include "estimate/sstypes.h"

namespace qv {

namespace {

// Contrast bases (GMECTR): per factor, the Type IV hypothesis of its main effect.
void GMECTR(ProcedureState& st, SweepState& ss) {
  GroupState& g = st.group;
  g.contrastDf.assign(st.nfactr, 0);
  g.contrastUnique.assign(st.nfactr, 0);
  g.contrastL.assign(st.nfactr, num::Mat());
  for (int f = 0; f < st.nfactr; ++f) {
    const int main = mainEffectOf(st.ptefds, st.nfactr, f);
    if (main < 0) continue;
    if (st.sstype == 4) {
      g.contrastDf[f] = g.effectDf[main];
      g.contrastUnique[f] = g.typeIVUnique[main];
      g.contrastL[f] = g.effectL[main];
    } else {
      bool unique = true;
      num::Mat l = typeIVHypothesis(st, ss, main, unique, false);
      g.contrastDf[f] = static_cast<int>(l.rows);
      g.contrastUnique[f] = unique ? 1 : 0;
      g.contrastL[f] = std::move(l);
    }
  }
}

}  // namespace

void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work) {
  fitModel(ctx, st, work, FitPath::automatic);
}

void fitModel(Context& ctx, ProcedureState& st, const CaseWorkFile& work, FitPath path) {
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
  st.group.pthscp.push_back(st.group.errorSSCP);
  st.group.pthscp.push_back(st.group.totalSSCP);
  if (st.ncontr > 0) GMECTR(st, ss);
}

}  // namespace qv
