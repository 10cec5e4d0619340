// The accumulation of Levene's test; the F tests and the table are in levene_table.cpp.
#include "tests/levene.h"

#include <cmath>
#include <tuple>

#include "data/design.h"
#include "host/numeric/matrix.h"
#include "host/numeric/moments.h"

namespace qv {

namespace {

// Per cell and dependent: running mean and sum of squared deviations of the absolute residuals.
struct LeveneCells {
  int ndepvr = 0;
  std::vector<double> weight;    // per cell
  std::vector<double> mean, ss;  // ndepvr per cell
  auto fields() { return std::tie(ndepvr, weight, mean, ss); }
  auto fields() const { return std::tie(ndepvr, weight, mean, ss); }

  // Adds one case's absolute residuals to its cell (GMTUDC); `cell` is 1-based.
  void add(int cell, const double* e, double w) {
    QV_ASSERT(cell >= 1 && cell <= static_cast<int>(weight.size()), "GMTUDC");
    const size_t c = static_cast<size_t>(cell - 1);
    weight[c] += w;
    for (int d = 0; d < ndepvr; ++d) {
      double& m = mean[c * ndepvr + d];
      const double delta = e[d] - m;
      m += delta * w / weight[c];
      ss[c * ndepvr + d] += w * delta * (e[d] - m);
    }
  }
  // Merges the cells of another range of cases (the pairwise update of Chan, Golub and
  // LeVeque).
  void merge(const LeveneCells& o) {
    const size_t nd = static_cast<size_t>(ndepvr);
    for (size_t c = 0; c < weight.size(); ++c) {
      num::mergeMoments(weight[c], o.weight[c], &o.mean[c * nd], &o.ss[c * nd], &mean[c * nd], &ss[c * nd], nd);
      weight[c] += o.weight[c];
    }
  }
};

}  // namespace

LeveneSums leveneSums(const ProcedureState& st, const CaseWorkFile& work) {
  const GroupState& g = st.group;
  const int nd = st.ndepvr();
  QV_ASSERT(nd >= 1, "GMTLEV");
  LeveneSums out;
  if (g.nonEmptyCells() <= 1) {
    out.status = 3;
    return out;
  }
  LeveneCells empty;
  empty.ndepvr = nd;
  empty.weight.assign(g.nonEmptyCells(), 0.0);
  empty.mean.assign(static_cast<size_t>(g.nonEmptyCells()) * nd, 0.0);
  empty.ss.assign(empty.mean.size(), 0.0);

  // The pass: per block, its cells and, per dependent, the sum of squares of the weighted
  // absolute residuals about zero (the scale against which the sums of squares are judged
  // negligible); merged in block order.
  struct Partial {
    LeveneCells cells;
    std::vector<double> scale;
    auto fields() { return std::tie(cells, scale); }
    auto fields() const { return std::tie(cells, scale); }
  };
  Partial all{empty, std::vector<double>(nd, 0.0)};
  work.reduce(
      [&](const CaseBlock& cases) {
        const CaseRange r = cases.range;
        Partial part{empty, std::vector<double>(nd, 0.0)};
        std::vector<std::pair<int, double>> row;
        std::vector<double> e(nd);
        for (long k = r.begin; k < r.end; ++k) {
          const double w = cases.weight(k), v = cases.regWeight(k);
          if (!(w > 0.0) || !(v > 0.0)) continue;
          designRow(st, cases.designCell(k), cases.covOf(k), row);
          const double* y = cases.depOf(k);
          for (int d = 0; d < nd; ++d) {
            double fit = 0.0;
            for (const auto& [c, x] : row)
              fit += x * g.paramEst(static_cast<size_t>(c), static_cast<size_t>(d));
            e[d] = std::fabs(y[d] - fit);
            if (v != 1.0) e[d] *= std::sqrt(v);
            part.scale[d] += w * e[d] * e[d];
          }
          part.cells.add(cases.designCell(k) + 1, e.data(), w);
        }
        return part;
      },
      [&](const Partial& part) {
        all.cells.merge(part.cells);
        for (int d = 0; d < nd; ++d) all.scale[d] += part.scale[d];
      });
  const LeveneCells& cells = all.cells;
  const std::vector<double>& scale = all.scale;

  // Between cells: provisional means of the cell means, weighted by the cell weights.
  int n = 0;
  double wtot = 0.0;
  std::vector<double> grand(nd, 0.0);
  out.ssb.assign(nd, 0.0);
  out.ssw.assign(nd, 0.0);
  for (int c = 0; c < g.nonEmptyCells(); ++c) {
    const double wc = cells.weight[c];
    if (!(wc > 0.0)) continue;
    ++n;
    wtot += wc;
    for (int d = 0; d < nd; ++d) {
      const double m = cells.mean[static_cast<size_t>(c) * nd + d];
      const double delta = m - grand[d];
      grand[d] += delta * wc / wtot;
      out.ssb[d] += wc * delta * (m - grand[d]);
      out.ssw[d] += cells.ss[static_cast<size_t>(c) * nd + d];
    }
  }
  out.df2 = std::max(wtot - n, 0.0);
  out.df1 = std::max(n - 1, 0);
  if (out.df1 < 1) {
    out.status = 3;
    return out;
  }
  // Rounding noise (constant absolute residuals) enters the F test as an exact zero. It is
  // judged against the data's own scale so that data in small units are not zeroed.
  for (int d = 0; d < nd; ++d) {
    if (num::QLREPS(out.ssb[d], scale[d], 1.0)) out.ssb[d] = 0.0;
    if (num::QLREPS(out.ssw[d], scale[d], 1.0)) out.ssw[d] = 0.0;
  }
  return out;
}

}  // namespace qv
