// Profile plots of the PLOT=PROFILE requests.
#include "plots/profile_plots.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "data/factor_tables.h"
#include "emmeans/marginal_l.h"
#include "host/charts/chart.h"
#include "host/output/labels.h"
#include "host/output/messages.h"
#include "host/output/number_format.h"
#include "report/shared_labels.h"

namespace qv {

namespace {

constexpr double kEstimabilityTolerance = 1.0e-8;
// Cells of one request's charts beyond which the plot is not drawn.
constexpr double kMaxPlotCells = 1.0e6;

RepeatList factorList(const ProcedureState& st, const Dictionary& dict, const std::vector<int>& factors) {
  RepeatList list;
  for (int f : factors) list.push_back({dict.vars[st.factorVars[f]].name});
  return list;
}

void emitNote(Context& ctx, std::string key, const std::vector<std::string>& args,
              const std::map<int, RepeatList>& lists) {
  out::Message m;
  m.severity = out::Severity::Note;
  m.phase = out::Phase::Processing;
  m.text = expandCompositeLists(catalogueText(key), args, lists);
  m.key = std::move(key);
  ctx.emit(std::move(m));
}

// The note for a plot of which no mean is estimable; `dep` empty for the whole request,
// `at` the separate-plots factor and level of a three-factor plot.
void notDrawnNote(Context& ctx, const std::string& dep, const RepeatList& factors, const std::string& atName,
                  const std::string& atLevel) {
  const bool split = !ctx.splitCaption.empty();
  if (dep.empty()) {
    if (split)
      emitNote(ctx, "PPLOTX [%1: * ^1:]1 for [%1 = %2:, ^1 = ^2:]2", {},
               {{1, factors}, {2, ctx.splitGroupList()}});
    else
      emitNote(ctx, "PPLOTX [%1: * ^1:]1", {}, {{1, factors}});
    return;
  }
  if (atName.empty()) {
    if (split)
      emitNote(ctx, "PPLOTX ^1 [%1: * ^1:]2 for [%1 = %2:, ^1 = ^2:]3", {dep},
               {{2, factors}, {3, ctx.splitGroupList()}});
    else
      emitNote(ctx, "PPLOTX ^1 [%1: * ^1:]2", {dep}, {{2, factors}});
  } else {
    if (split)
      emitNote(ctx, "PPLOTX ^1 [%1: * ^1:]2 at ^3 = ^4 for [%1 = %2:, ^1 = ^2:]5", {dep, "", atName, atLevel},
               {{2, factors}, {5, ctx.splitGroupList()}});
    else
      emitNote(ctx, "PPLOTX ^1 [%1: * ^1:]2 at ^3 = ^4", {dep, "", atName, atLevel}, {{2, factors}});
  }
}

// The frame text listing the covariates of the design at their plotting values; empty when
// the design uses none.
std::string covariateFrame(const ProcedureState& st, const Dictionary& dict,
                           const std::vector<double>& values) {
  const bool designUsesCovariates = st.designContent == 1 || st.designContent == 3 || st.designContent == 0;
  if (!designUsesCovariates) return {};
  RepeatList list;
  for (int c = 0; c < st.ncovar(); ++c) {
    const bool used = c < static_cast<int>(st.covariateUsed.size()) ? st.covariateUsed[c] : true;
    if (!used) continue;
    const Variable& v = dict.vars[st.covVars[c]];
    // A mean is shown with two decimals more than the variable; a value given on WITH as it is.
    const bool given = c < static_cast<int>(st.plotCovValues.size()) && !isSysmis(st.plotCovValues[c]);
    const int decimals = std::clamp(v.format.decimals + (given ? 0 : 2), 0, 16);
    list.push_back({v.name, isSysmis(values[c]) ? "." : out::formatFixed(values[c], decimals)});
  }
  if (list.empty()) return {};
  return expandComposite(catalogueText("Evaluated at [%1 = %2:, ^1 = ^2:]1"), {}, list);
}

void runRequest(Context& ctx, const ProcedureState& st, const ProfilePlotRequest& r,
                const std::vector<double>& covValues) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const std::vector<int>& pf = r.factors;
  const int nf = static_cast<int>(pf.size());
  const RepeatList factors = factorList(st, dict, pf);
  const int kx = g.nlevls[pf[0]];
  const int kl = nf > 1 ? g.nlevls[pf[1]] : 1;
  const int kp = nf > 2 ? g.nlevls[pf[2]] : 1;

  // Table cells over (plots, lines, across): the across factor varies fastest.
  std::vector<int> tableFactors;
  if (nf > 2) tableFactors.push_back(pf[2]);
  if (nf > 1) tableFactors.push_back(pf[1]);
  tableFactors.push_back(pf[0]);
  std::vector<SparseRow> rows;
  std::vector<CellStatus> status;
  bool built = static_cast<double>(kx) * kl * kp <= kMaxPlotCells;
  if (built)
    built =
        buildMarginalRows(st, tableCells(g, tableFactors), covValues, kEstimabilityTolerance, rows, status);
  if (!built) {
    emitNote(ctx, "PPLOTX too many cells [%1: * ^1:]1", {}, {{1, factors}});
    return;
  }
  bool anyEstimable = false;
  for (CellStatus s : status) anyEstimable = anyEstimable || isEstimable(s);
  if (!anyEstimable) {
    notDrawnNote(ctx, "", factors, "", "");
    return;
  }

  const std::string across = variableLabel(dict, st.factorVars[pf[0]]);
  const std::string lines = nf > 1 ? variableLabel(dict, st.factorVars[pf[1]]) : "";
  std::string title = across;
  for (int k = 1; k < nf && k < 2; ++k) title += " * " + variableLabel(dict, st.factorVars[pf[k]]);
  const std::string covFrame = covariateFrame(st, dict, covValues);
  const bool separateSplit = ctx.data && !ctx.data->splitIndexes().empty() && ctx.data->splitSeparate();
  const bool factorHeading = nf == 3 || separateSplit;
  const std::string factorText = expandComposite("[%1: * ^1:]1", {}, factors);

  for (int d = 0; d < st.ndepvr(); ++d) {
    const int var = st.depVars[d];
    const std::string depLabel = variableLabel(dict, var);
    if (st.ndepvr() > 1) ctx.beginHeading(depLabel);
    if (factorHeading) ctx.beginHeading(factorText);
    for (int j = 0; j < kp; ++j) {
      chart::ChartData c;
      c.style = chart::Style::Lines;
      c.xTitle = across;
      c.yTitle = "Estimated Marginal Means";
      c.legendTitle = kl > 1 ? lines : "";
      std::string atLevel;
      if (nf > 2) {
        atLevel = levelLabel(st, dict, pf[2], j + 1);
        c.subtitles.push_back(variableLabel(dict, st.factorVars[pf[2]]) + " = " + atLevel);
      }
      if (!ctx.splitCaption.empty()) c.subtitles.push_back(out::splitGroupCaption(ctx.splitCaption));
      for (int l = 0; l < kx; ++l)
        c.categories.push_back({levelKey(st, pf[0], l + 1), levelLabel(st, dict, pf[0], l + 1)});
      long counted = 0;
      for (int k = 0; k < kl; ++k) {
        chart::Series s;
        if (kl > 1) {
          s.key = levelKey(st, pf[1], k + 1);
          s.label = levelLabel(st, dict, pf[1], k + 1);
        }
        for (int l = 0; l < kx; ++l) {
          const long cell = (static_cast<long>(j) * kl + k) * kx + l;
          if (!isEstimable(status[cell])) continue;
          s.points.push_back({static_cast<double>(l), dotEstimates(g, rows[cell], d)});
          ++counted;
        }
        c.series.push_back(std::move(s));
      }
      if (counted == 0) {
        notDrawnNote(ctx, depLabel, factors, nf > 2 ? variableLabel(dict, st.factorVars[pf[2]]) : "",
                     atLevel);
        continue;
      }
      if (!covFrame.empty()) c.notes.push_back(covFrame);
      if (counted < static_cast<long>(kx) * kl) c.notes.push_back("Non-estimable means are not plotted");
      out::Chart item;
      item.kind = "profile";
      item.title = title;
      const std::string shown = "Estimated Marginal Means of " + depLabel;
      item.drawnTitle = shown;
      item.data = std::move(c);
      ctx.emit(std::move(item));
    }
    if (factorHeading) ctx.endHeading();
    if (st.ndepvr() > 1) ctx.endHeading();
  }
}

}  // namespace

void printProfilePlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  if (st.profileList.empty()) return;
  std::vector<double> covValues = st.ncovar() > 0 ? covariateMeans(st, work) : std::vector<double>{};
  for (int c = 0; c < st.ncovar() && c < static_cast<int>(st.plotCovValues.size()); ++c)
    if (!isSysmis(st.plotCovValues[c])) covValues[c] = st.plotCovValues[c];
  ctx.beginHeading("Profile Plots");
  for (const ProfilePlotRequest& r : st.profileList)
    if (!r.factors.empty()) runRequest(ctx, st, r, covValues);
  ctx.endHeading();
}

}  // namespace qv
