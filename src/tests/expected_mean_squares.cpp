#include "tests/expected_mean_squares.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "data/design.h"
#include "host/output/messages.h"

namespace qv {

namespace {

// Columns of effect e: 0-based first column and count.
std::pair<size_t, size_t> effectColumns(const GroupState& g, int e) {
  return {static_cast<size_t>(g.effectFirstCol[e] - 1), static_cast<size_t>(g.effectNcols[e])};
}

// L G L' of an L matrix (m x dmncol) and a packed generalised inverse; zero entries of L are
// skipped, since effect hypotheses are mostly zero outside a few columns.
num::Packed lgl(const num::Mat& l, const num::Packed& g) {
  const size_t m = l.rows, p = l.cols;
  num::Mat lg(m, p);
  for (size_t r = 0; r < m; ++r)
    for (size_t i = 0; i < p; ++i) {
      const double li = l(r, i);
      if (li == 0.0) continue;
      for (size_t j = 0; j < p; ++j) lg(r, j) += li * g(i, j);
    }
  num::Packed out(m);
  for (size_t r = 0; r < m; ++r)
    for (size_t s = 0; s <= r; ++s) {
      double sum = 0.0;
      for (size_t j = 0; j < p; ++j) sum += lg(r, j) * l(s, j);
      out(r, s) = sum;
    }
  return out;
}

// Solves the square or tall system A x = t exactly where it can (GEMSLV). Returns 0 for a
// unique solution, 1 for a rank-deficient but consistent system (unknowns without a pivot are
// 0, so earlier columns are preferred), 2 when no x satisfies the system.
int solveExactly(const num::Mat& a, const std::vector<double>& t, double eps, std::vector<double>& x) {
  const size_t rows = a.rows, cols = a.cols;
  num::Mat ab(rows, cols + 1);
  double largest = 0.0;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) {
      ab(r, c) = a(r, c);
      largest = std::max(largest, std::fabs(a(r, c)));
    }
    ab(r, cols) = t[r];
    largest = std::max(largest, std::fabs(t[r]));
  }
  std::vector<int> pivot;
  const int rank = num::GASJRD(ab, eps, pivot);
  // Rows without a pivot hold the residuals of the system in its original units.
  for (size_t r = static_cast<size_t>(rank); r < rows; ++r)
    if (std::fabs(ab(r, cols)) > eps * largest) return 2;
  x.assign(cols, 0.0);
  for (int r = 0; r < rank; ++r) x[static_cast<size_t>(pivot[r])] = ab(static_cast<size_t>(r), cols);
  return static_cast<size_t>(rank) < cols ? 1 : 0;
}

}  // namespace

std::vector<int> randomPositions(const ProcedureState& st) {
  std::vector<int> pos(static_cast<size_t>(st.effectCount()), -1);
  int next = 0;
  for (int e = 0; e < st.effectCount(); ++e)
    if (static_cast<size_t>(e) < st.randomEffect.size() && st.randomEffect[e] == 1) pos[e] = next++;
  return pos;
}

void GMXEMS(const ProcedureState& st, int e, double* coef, std::vector<char>& quadratic) {
  const GroupState& g = st.group;
  const size_t nr = static_cast<size_t>(st.randomEffectCount());
  std::fill(coef, coef + nr + 1, 0.0);
  quadratic.assign(static_cast<size_t>(st.effectCount()), 0);
  const int m = g.hypotheses[e].df;
  if (m < 1) return;
  const num::Mat& l = g.hypotheses[e].L;
  QV_ASSERT(l.rows == static_cast<size_t>(m) && l.cols == static_cast<size_t>(g.dmncol), "GMXEMS");

  // With T T' = L G L', the rows of T^-1 L give trace((LGL')^-1 L_k L_k') as sums of squares.
  num::Packed t = lgl(l, g.ginverse);
  std::vector<double> scale(t.n);
  for (size_t i = 0; i < t.n; ++i) scale[i] = t(i, i);
  num::LTRCHD(t, scale, kRandomEffectsEps);
  const num::Packed tinv = num::LTRDGI(t);
  num::Mat w(l.rows, l.cols);
  for (size_t r = 0; r < l.rows; ++r)
    for (size_t s = 0; s <= r; ++s) {
      const double f = tinv(r, s);
      if (f == 0.0) continue;
      for (size_t j = 0; j < l.cols; ++j) w(r, j) += f * l(s, j);
    }

  size_t met = 0;
  for (int k = 0; k < st.effectCount(); ++k) {
    const auto [first, n] = effectColumns(g, k);
    if (static_cast<size_t>(k) < st.randomEffect.size() && st.randomEffect[k] == 1) {
      double sum = 0.0;
      for (size_t r = 0; r < w.rows; ++r)
        for (size_t j = first; j < first + n; ++j) sum += w(r, j) * w(r, j);
      QV_ASSERT(met < nr, "GMXEMS");
      coef[met++] = sum / m;
    } else {
      // A fixed effect enters the quadratic term when some row of L has a part in its columns
      // that is not rounding noise relative to the row.
      const double factor = static_cast<double>(n) * m * static_cast<double>(n) * m;
      for (size_t r = 0; r < l.rows && !quadratic[k]; ++r) {
        double part = 0.0, rowMax = 0.0;
        for (size_t j = first; j < first + n; ++j) part += std::fabs(l(r, j));
        for (size_t j = 0; j < l.cols; ++j) rowMax = std::max(rowMax, std::fabs(l(r, j)));
        if (!num::QLREPS(part, rowMax, factor)) quadratic[k] = 1;
      }
    }
  }
  QV_ASSERT(met == nr, "GMXEMS");
  coef[nr] = 1.0;
}

ErrorTerm GMXFET(const num::Mat& ems, const std::vector<int>& position, int e, bool hasDf) {
  const size_t nr = ems.cols - 1;
  ErrorTerm out;
  out.coef.assign(nr + 1, 0.0);
  if (!hasDf) return out;

  // Effect of each random position.
  std::vector<size_t> effectAt(nr);
  for (size_t k = 0; k < position.size(); ++k)
    if (position[k] >= 0) effectAt[static_cast<size_t>(position[k])] = k;
  const int own = position[static_cast<size_t>(e)];

  std::vector<double> target(ems.row(static_cast<size_t>(e)), ems.row(static_cast<size_t>(e)) + nr + 1);
  if (own >= 0) target[static_cast<size_t>(own)] = 0.0;

  // Unknowns: the mean squares of the other random effects, then the residual's. An effect's
  // own mean square cannot be part of its error term, so its column is left out rather than
  // zeroed (a zero column would make every random effect's system look deficient).
  std::vector<size_t> unknown;
  for (size_t p = 0; p < nr; ++p)
    if (static_cast<int>(p) != own) unknown.push_back(p);
  unknown.push_back(nr);
  num::Mat a(nr + 1, unknown.size());
  for (size_t j = 0; j < unknown.size(); ++j)
    for (size_t i = 0; i <= nr; ++i)
      a(i, j) = unknown[j] < nr ? ems(effectAt[unknown[j]], i) : (i == nr ? 1.0 : 0.0);

  std::vector<double> x;
  const int solved = solveExactly(a, target, kRandomEffectsEps, x);
  if (solved == 2) return out;
  for (size_t j = 0; j < unknown.size(); ++j) out.coef[unknown[j]] = x[j];
  num::CLNVEC(out.coef.data(), out.coef.size(), static_cast<double>(nr + 1));

  // One mean square: exactly one coefficient is 1 and every other 0, to the tolerance.
  double norm = 0.0;
  for (double c : out.coef) norm += c * c;
  norm = std::sqrt(norm);
  const double near = kRandomEffectsEps * norm;
  int ones = 0, zeros = 0;
  size_t at = 0;
  for (size_t i = 0; i <= nr; ++i) {
    if (std::fabs(out.coef[i] - 1.0) <= near) {
      ++ones;
      at = i;
    } else if (std::fabs(out.coef[i]) <= near) {
      ++zeros;
    }
  }
  if (ones == 1 && zeros == static_cast<int>(nr)) {
    std::fill(out.coef.begin(), out.coef.end(), 0.0);
    out.coef[at] = 1.0;
    out.status = kErrorTermSingle;
  } else {
    out.status = solved == 1 ? kErrorTermDeficient : kErrorTermCombination;
  }
  return out;
}

void GMXMDL(ProcedureState& st) {
  QV_ASSERT(st.randomEffectCount() >= 1, "GMXMDL");
  QV_ASSERT(st.effectCount() >= st.randomEffectCount(), "GMXMDL");
  QV_ASSERT(st.ndepvr() == 1, "GMXMDL");
  GroupState& g = st.group;
  const size_t ne = static_cast<size_t>(st.effectCount()), nr = static_cast<size_t>(st.randomEffectCount());
  g.emsCoef = num::Mat(ne, nr + 1);
  g.emsQuadratic.assign(ne, std::vector<char>(ne, 0));
  for (int e = 0; e < st.effectCount(); ++e)
    GMXEMS(st, e, g.emsCoef.row(static_cast<size_t>(e)), g.emsQuadratic[e]);

  const std::vector<int> position = randomPositions(st);
  g.ertcof = num::Mat(ne, nr + 1);
  g.errorTermStatus.assign(ne, kErrorTermNone);
  for (int e = 0; e < st.effectCount(); ++e) {
    ErrorTerm term = GMXFET(g.emsCoef, position, e, g.hypotheses[e].df >= 1);
    std::copy(term.coef.begin(), term.coef.end(), g.ertcof.row(static_cast<size_t>(e)));
    g.errorTermStatus[e] = term.status;
  }
}

void printExpectedMeanSquares(Context& ctx, const ProcedureState& st) {
  const GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const std::vector<int> position = randomPositions(st);
  const size_t nr = static_cast<size_t>(st.randomEffectCount());

  out::TableBuilder tb(7, "Expected Mean Squares", "Expected Mean Squares");
  const int srcDim = tb.dimension("Source", out::Axis::Row);
  const int compDim = tb.dimension("Variance Component", out::Axis::Column);
  if (!st.weightingFootnote.empty()) tb.annotateTable(tb.footnote(st.weightingFootnote));
  tb.annotateTable(tb.footnote("For each source..."));
  static const char* const kTypes[] = {"I", "II", "III", "IV"};
  tb.annotateTable(tb.footnote(expandTemplate(catalogueText("Expected MS based on ^1 ..."),
                                              {kTypes[std::clamp(st.sstype, 1, 4) - 1]})));

  std::vector<std::string> names(static_cast<size_t>(st.effectCount()));
  for (int e = 0; e < st.effectCount(); ++e) names[e] = effectName(st, dict, e);
  bool quadraticColumn = false;
  for (int e = 0; e < st.effectCount(); ++e) quadraticColumn |= position[e] < 0 && g.hypotheses[e].df >= 1;

  auto coefficient = [](double x) { return out::Value::num(x, out::Fmt::Coefficient); };
  for (int e = 0; e < st.effectCount(); ++e) {
    tb.category(srcDim, names[e]);
    for (int k = 0; k < st.effectCount(); ++k)
      if (position[k] >= 0) tb.cell(compDim, "Var(" + names[k] + ")", coefficient(g.emsCoef(e, position[k])));
    tb.cell(compDim, "Var(Error)", coefficient(g.emsCoef(e, nr)));
    if (quadraticColumn) {
      std::string terms;
      for (int k = 0; k < st.effectCount(); ++k)
        if (g.emsQuadratic[e][k]) terms += (terms.empty() ? "" : ", ") + names[k];
      tb.cell(compDim, "Quadratic Term", out::Value::str(terms));
    }
  }
  tb.category(srcDim, "Error");
  for (int k = 0; k < st.effectCount(); ++k)
    if (position[k] >= 0) tb.cell(compDim, "Var(" + names[k] + ")", coefficient(0.0));
  tb.cell(compDim, "Var(Error)", coefficient(1.0));
  ctx.emitTable(tb);
}

}  // namespace qv
