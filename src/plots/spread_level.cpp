// Spread-versus-level plots from the cell statistics of the descriptive accumulation.
#include "plots/spread_level.h"

#include <cmath>
#include <string>
#include <vector>

#include "data/factor_tables.h"
#include "host/charts/chart.h"
#include "host/output/labels.h"
#include "host/output/messages.h"
#include "report/shared_labels.h"

namespace qv {

void printSpreadLevelPlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  const Dictionary& dict = ctx.data->dictionary();
  const DescriptiveTable table = accumulateDescriptives(st, work);
  // Observed cells: entries with a level of every factor (0 stands for a total).
  std::vector<const DescriptiveCell*> cells;
  for (size_t i = 0; i < table.keys.size(); ++i) {
    bool full = true;
    for (int level : table.keys[i]) full = full && level > 0;
    if (full) cells.push_back(&table.cells[i]);
  }
  bool anyVariance = false;
  for (const DescriptiveCell* c : cells) anyVariance = anyVariance || c->n > 1.0;
  if (!anyVariance) {
    ctx.splitGroupNote("No SPLEVEL plot", "No SPLEVEL plot for [%1 = %2:, ^1 = ^2:]1", out::Severity::Note);
    return;
  }
  // The cells' grouping: the factor's label with one factor, else the factor names.
  std::string group;
  for (int f = 0; f < st.nfactr(); ++f) {
    if (!group.empty()) group += " * ";
    group += st.nfactr() == 1 ? variableLabel(dict, st.factorVars[f]) : dict.vars[st.factorVars[f]].name;
  }
  const bool separateSplit = !ctx.splitCaption.empty() && ctx.data->splitSeparate();
  const bool kindHeadings = st.ndepvr() > 1 || separateSplit;
  ctx.beginHeading("Spread-versus-Level Plots");
  for (int kind = 1; kind <= 2; ++kind) {
    if (kindHeadings)
      ctx.beginHeading(kind == 1 ? "Standard Deviations versus Means" : "Variances versus Means");
    for (int d = 0; d < st.ndepvr(); ++d) {
      const std::string depLabel = variableLabel(dict, st.depVars[d]);
      chart::ChartData c;
      c.style = chart::Style::Points;
      c.xTitle = "Level (Mean)";
      c.yTitle = kind == 1 ? "Spread (Standard Deviation)" : "Spread (Variance)";
      c.subtitles.push_back("Dependent Variable: " + depLabel);
      c.subtitles.push_back("Groups: " + group);
      if (!ctx.splitCaption.empty()) c.subtitles.push_back(out::splitGroupCaption(ctx.splitCaption));
      chart::Series s;
      for (const DescriptiveCell* cell : cells) {
        if (cell->n <= 0.0 || cell->n - 1.0 <= 0.0) continue;
        const double mean = cell->mean[d];
        // Weighted sum of squared deviations over the sum of case weights less one.
        const double variance = cell->m2[d] / (cell->n - 1.0);
        if (!std::isfinite(mean) || !std::isfinite(variance) || variance < 0.0) continue;
        s.points.push_back({mean, kind == 1 ? std::sqrt(variance) : variance});
      }
      if (s.points.empty()) continue;
      c.series.push_back(std::move(s));
      out::Chart item;
      item.kind = kind == 1 ? "spread-level-sd" : "spread-level-variance";
      item.title = kind == 1 ? "Spread vs. Level Plot of " + depLabel + " (Standard Deviations)"
                             : "Spread vs. Level Plot of " + depLabel + " (Variances)";
      item.drawnTitle = item.title;
      item.data = std::move(c);
      ctx.emit(std::move(item));
    }
    if (kindHeadings) ctx.endHeading();
  }
  ctx.endHeading();
}

}  // namespace qv
