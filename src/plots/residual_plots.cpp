// Residual plots: observed, predicted and standardized residual values of every case.
#include "plots/residual_plots.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "data/design.h"
#include "host/charts/chart.h"
#include "host/output/labels.h"
#include "host/output/messages.h"
#include "report/shared_labels.h"

namespace qv {

namespace {

constexpr int kBins = 40;

// The note for a missing residual plot: reason 1 zero residual df (dep empty), 2 zero residual
// variance, 3 no case plotted.
void noPlotNote(Context& ctx, int reason, const std::string& dep) {
  static const char* const plain[] = {"No residual plot zero rdf", "No residual plot ^1 zero rsv",
                                      "No residual plot ^1 no case"};
  static const char* const split[] = {"No residual plot for [%1 = %2:, ^1 = ^2:]1 zero rdf",
                                      "No residual plot ^1 for [%1 = %2:, ^1 = ^2:]2 zero rsv",
                                      "No residual plot ^1 for [%1 = %2:, ^1 = ^2:]2 no case"};
  out::Message m;
  m.severity = out::Severity::Note;
  m.phase = out::Phase::Processing;
  const size_t i = static_cast<size_t>(reason - 1);
  std::vector<std::string> args;
  if (reason > 1) args.push_back(dep);
  if (ctx.splitCaption.empty()) {
    m.key = plain[i];
    m.text = expandComposite(catalogueText(m.key), args, {});
  } else {
    RepeatList list;
    for (const auto& [name, value] : ctx.splitCaption) list.push_back({name, value});
    m.key = split[i];
    m.text = expandCompositeLists(catalogueText(m.key), args, {{reason > 1 ? 2 : 1, list}});
  }
  ctx.emit(std::move(m));
}

}  // namespace

void printResidualPlots(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const double dfe = g.sumWeights - g.modldf;
  if (!(dfe > 0.0)) {
    noPlotNote(ctx, 1, "");
    return;
  }
  const bool heading = st.ndepvr() > 1 || (!ctx.splitCaption.empty() && ctx.data->splitSeparate());
  if (heading) ctx.beginHeading("Observed * Predicted * Std. Residual Plots");
  for (int d = 0; d < st.ndepvr(); ++d) {
    const std::string depLabel = variableLabel(dict, st.depVars[d]);
    const double v = g.errorSSCP(d, d) / dfe;
    if (!(v > 0.0)) {
      noPlotNote(ctx, 2, depLabel);
      continue;
    }
    // Observed, predicted and standardized residual of case k; false when not plotted.
    // `row` is the caller's scratch for the design row.
    auto values = [&](const CaseBlock& cases, long k, double out3[3],
                      std::vector<std::pair<int, double>>& row) {
      const double w = cases.weight(k), r = cases.regWeight(k);
      if (!(w > 0.0) || !(r > 0.0)) return false;
      designRow(st, cases.designCell(k), cases.covOf(k), row);
      double pred = 0.0;
      for (const auto& [col, x] : row) pred += x * g.paramEst(static_cast<size_t>(col), d);
      out3[0] = cases.depOf(k)[d];
      out3[1] = pred;
      out3[2] = (out3[0] - pred) / std::sqrt(v / r);
      return std::isfinite(out3[0]) && std::isfinite(out3[1]) && std::isfinite(out3[2]);
    };
    chart::ChartData c;
    c.style = chart::Style::Matrix;
    c.matrix.variables = {"Observed", "Predicted", "Std. Residual"};
    c.subtitles.push_back("Dependent Variable: " + depLabel);
    c.subtitles.push_back(designFootnote(st, dict));
    if (!ctx.splitCaption.empty()) c.subtitles.push_back(out::splitGroupCaption(ctx.splitCaption));
    // First pass: the count and ranges; the cases themselves when few enough to mark.
    // Per block: the count, the ranges and its first cases; merged in block order, so the
    // marked cases are the first ones of the file.
    struct Ranges {
      long plotted = 0;
      std::vector<double> lo = std::vector<double>(3, INFINITY), hi = std::vector<double>(3, -INFINITY);
      std::vector<std::vector<double>> rows;
      auto fields() { return std::tie(plotted, lo, hi, rows); }
      auto fields() const { return std::tie(plotted, lo, hi, rows); }
    };
    Ranges all;
    work.reduce(
        [&](const CaseBlock& cases) {
          const CaseRange range = cases.range;
          Ranges part;
          double x[3];
          std::vector<std::pair<int, double>> row;
          for (long k = range.begin; k < range.end; ++k) {
            if (!values(cases, k, x, row)) continue;
            ++part.plotted;
            for (int i = 0; i < 3; ++i) {
              part.lo[i] = std::min(part.lo[i], x[i]);
              part.hi[i] = std::max(part.hi[i], x[i]);
            }
            if (part.plotted <= kMaxMarkedCases) part.rows.push_back({x[0], x[1], x[2]});
          }
          return part;
        },
        [&](Ranges part) {
          for (size_t i = 0; i < part.rows.size() && all.plotted + static_cast<long>(i) < kMaxMarkedCases;
               ++i)
            c.matrix.rows.push_back(std::move(part.rows[i]));
          all.plotted += part.plotted;
          for (int i = 0; i < 3; ++i) {
            all.lo[i] = std::min(all.lo[i], part.lo[i]);
            all.hi[i] = std::max(all.hi[i], part.hi[i]);
          }
        });
    const long plotted = all.plotted;
    std::vector<double>& lo = all.lo;
    std::vector<double>& hi = all.hi;
    if (plotted == 0) {
      noPlotNote(ctx, 3, depLabel);
      continue;
    }
    if (plotted > kMaxMarkedCases) {
      // Many cases: counts in a grid of bins per pair of variables.
      c.matrix.rows.clear();
      c.matrix.bins = kBins;
      for (int i = 0; i < 3; ++i)
        if (hi[i] <= lo[i]) hi[i] = lo[i] + 1.0;
      c.matrix.lo = lo;
      c.matrix.hi = hi;
      c.matrix.counts.assign(9, std::vector<double>(static_cast<size_t>(kBins * kBins), 0.0));
      auto bin = [&](int i, double val) {
        const double t = (val - lo[i]) / (hi[i] - lo[i]) * kBins;
        return std::clamp(static_cast<int>(std::clamp(t, 0.0, double(kBins - 1))), 0, kBins - 1);
      };
      // Per block, its counts in the nine grids; added in block order.
      work.reduce(
          [&](const CaseBlock& cases) {
            const CaseRange range = cases.range;
            std::vector<double> counts(static_cast<size_t>(9 * kBins * kBins), 0.0);
            double x[3];
            std::vector<std::pair<int, double>> row;
            for (long k = range.begin; k < range.end; ++k) {
              if (!values(cases, k, x, row)) continue;
              for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                  if (i != j)
                    counts[static_cast<size_t>((i * 3 + j) * kBins * kBins + bin(i, x[i]) * kBins +
                                               bin(j, x[j]))] += 1.0;
            }
            return counts;
          },
          [&](const std::vector<double>& counts) {
            for (size_t g2 = 0; g2 < 9; ++g2)
              for (size_t b = 0; b < static_cast<size_t>(kBins * kBins); ++b)
                c.matrix.counts[g2][b] += counts[g2 * kBins * kBins + b];
          });
      c.notes.push_back("The " + std::to_string(plotted) +
                        " cases are shown as counts in a grid of bins, shaded by the number of cases");
    }
    out::Chart item;
    item.kind = "residuals";
    item.title = "Observed * Predicted * Std. Residual of " + depLabel;
    item.drawnTitle = item.title;
    item.data = std::move(c);
    ctx.emit(std::move(item));
  }
  if (heading) ctx.endHeading();
}

}  // namespace qv
