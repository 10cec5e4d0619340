#pragma once
// Builds a fitted model directly from a small numeric CSV file, without the command parser or
// the data layer, so that the design and estimation can be tested on their own.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <initializer_list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "data/case_pass.h"
#include "data/design.h"
#include "driver/state.h"
#include "estimate/estimation.h"

namespace qvtest {

struct Csv {
  std::vector<std::string> names;
  std::vector<std::vector<double>> rows;
  int col(const std::string& n) const {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == n) return static_cast<int>(i);
    return -1;
  }
};

inline Csv readCsv(const std::string& path) {
  Csv csv;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  std::stringstream hs(line);
  for (std::string f; std::getline(hs, f, ',');) csv.names.push_back(f);
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<double> r;
    std::stringstream ls(line);
    for (std::string f; std::getline(ls, f, ',');) r.push_back(f.empty() ? qv::kSysmis : std::stod(f));
    while (r.size() < csv.names.size()) r.push_back(qv::kSysmis);
    csv.rows.push_back(r);
  }
  return csv;
}

inline std::string referenceDir() { return std::string(QV_SOURCE_DIR) + "/test/reference/"; }

inline nlohmann::json readExpected(const std::string& refCase) {
  std::ifstream in(referenceDir() + refCase + "/expected.json");
  return nlohmann::json::parse(in);
}

// Sets the design cells' levels from the cases' factor levels (nf 1-based levels a case,
// case-major) as the data pass leaves them: the observed combinations numbered from 0 in order
// of first appearance. Returns each case's design cell.
inline std::vector<int32_t> setCaseLevels(qv::GroupState& g, const std::vector<int>& levels, int nf) {
  g.designCellLevels.clear();
  std::vector<int32_t> caseCells;
  std::map<std::vector<int>, int> cells;
  const long n = nf > 0 ? static_cast<long>(levels.size()) / nf : g.nvalid;
  for (long k = 0; k < n; ++k) {
    std::vector<int> key(levels.begin() + k * nf, levels.begin() + (k + 1) * nf);
    auto [it, isNew] = cells.try_emplace(key, static_cast<int>(cells.size()));
    if (isNew) g.designCellLevels.insert(g.designCellLevels.end(), key.begin(), key.end());
    caseCells.push_back(nf > 0 ? it->second : 0);
  }
  return caseCells;
}

// Every case of the work file in order: f(block, k) for case k of each block.
template <class F>
auto gatherCases(const qv::CaseWorkFile& work, F f) {
  std::vector<decltype(f(std::declval<const qv::CaseBlock&>(), 0L))> out;
  work.scan([&](const qv::CaseBlock& b) {
    for (long k = b.range.begin; k < b.range.end; ++k) out.push_back(f(b, k));
    return false;
  });
  return out;
}

// A model over numeric factors and covariates. Effects are given as rows of codes/powers in
// the order factors then covariates (see EffectRow).
struct ModelFixture {
  qv::ProcedureState st;
  qv::CaseWorkFile work;
  qv::CaseBlockColumns cases;  // every valid case, as stored in `work`

  // Factor levels are numbered by sorting the distinct values, as the data pass does.
  ModelFixture(const Csv& csv, const std::string& dep, const std::vector<std::string>& factors,
               const std::vector<std::string>& covs, const std::vector<qv::EffectRow>& effects,
               const std::string& weight = "", const std::string& regwgt = "")
      : ModelFixture(csv, std::vector<std::string>{dep}, factors, covs, effects, weight, regwgt) {}

  // Several dependent variables, in the order given.
  ModelFixture(const Csv& csv, const std::vector<std::string>& deps, const std::vector<std::string>& factors,
               const std::vector<std::string>& covs, const std::vector<qv::EffectRow>& effects,
               const std::string& weight = "", const std::string& regwgt = "") {
    st.depVars.resize(deps.size());
    st.factorVars.resize(factors.size());
    st.covVars.resize(covs.size());
    st.ptefds = effects;
    st.ptecwf.assign(effects.size(), 0);
    st.interceptIncluded = false;
    for (auto& e : effects) {
      bool all = true;
      for (int v : e) all = all && v < 0;
      if (all) st.interceptIncluded = true;
    }
    auto& g = st.group;
    g.nlevls.assign(factors.size(), 0);
    g.levelNumbers.assign(factors.size(), {});
    g.levelStrings.assign(factors.size(), {});
    g.levelWeights.assign(factors.size(), {});
    std::vector<std::map<double, int>> maps(factors.size());
    std::vector<int> depCols;
    for (auto& d : deps) depCols.push_back(csv.col(d));
    const int wCol = weight.empty() ? -1 : csv.col(weight), rCol = regwgt.empty() ? -1 : csv.col(regwgt);
    std::vector<const std::vector<double>*> valid;
    for (auto& row : csv.rows) {
      bool ok = true;
      for (int c : depCols) ok = ok && !qv::isSysmis(row[c]);
      for (auto& f : factors) ok = ok && !qv::isSysmis(row[csv.col(f)]);
      for (auto& c : covs) ok = ok && !qv::isSysmis(row[csv.col(c)]);
      if (ok) valid.push_back(&row);
    }
    for (auto* row : valid)
      for (size_t f = 0; f < factors.size(); ++f) maps[f][(*row)[csv.col(factors[f])]] = 0;
    for (size_t f = 0; f < factors.size(); ++f) {
      int l = 0;
      for (auto& [v, id] : maps[f]) {
        id = ++l;
        g.levelNumbers[f].push_back(v);
        g.levelWeights[f].push_back(0.0);
      }
      g.nlevls[f] = l;
    }
    work.ndepvr = st.ndepvr();
    work.ncovar = st.ncovar();
    std::vector<int> caseLevels;
    for (auto* row : valid) {
      double w = wCol >= 0 ? (*row)[wCol] : 1.0;
      double r = rCol >= 0 ? (*row)[rCol] : 1.0;
      for (size_t f = 0; f < factors.size(); ++f) {
        int l = maps[f][(*row)[csv.col(factors[f])]];
        caseLevels.push_back(l);
        g.levelWeights[f][l - 1] += w;
      }
      for (int c : depCols) cases.dep.push_back((*row)[c]);
      for (auto& c : covs) cases.cov.push_back((*row)[csv.col(c)]);
      cases.w.push_back(w);
      cases.r.push_back(r);
      ++cases.cases;
      g.sumWeights += w;
      ++g.nvalid;
    }
    cases.cell = setCaseLevels(g, caseLevels, static_cast<int>(factors.size()));
    storeCases(qv::kDefaultBlockCases, qv::CaseWorkFile::kMemoryBytes);
  }

  // Stores the cases in the work file anew, in blocks of blockCases cases, in memory up to
  // memoryBytes bytes.
  void storeCases(long blockCases, size_t memoryBytes) {
    work.clear();
    work.weighted = work.regWeighted = true;
    work.blockCases = blockCases;
    work.memoryBytes = memoryBytes;
    work.append(cases);
    work.finish();
  }

  bool fit(int sstype, qv::FitPath path = qv::FitPath::automatic) {
    st.sstype = sstype;
    qv::Context ctx;
    qv::out::CommandOutput out;
    ctx.output = &out;
    if (!qv::layoutDesign(ctx, st)) return false;
    qv::fitModel(ctx, st, work, path);
    return !ctx.errorFlag;
  }

  // Sum of squares of effect e (0-based) for the first dependent; 0 when it has no df.
  double ss(int e) const { return st.group.hypotheses[e].df > 0 ? st.group.hypotheses[e].sscp(0, 0) : 0.0; }
};

// Effect rows for two factors A, B (and no covariate).
inline qv::EffectRow row2(int a, int b) { return {a, b}; }

// An independent least-squares solver for checking the sweep: weighted columns are
// orthonormalised by modified Gram-Schmidt, run twice, in long double. Columns are the design
// columns of a model written out in full over the rows of a Csv (every row used). A model's
// residual cross-products give Type I and II sums of squares as differences of nested models,
// and, with sum-to-zero (effect) coding of full-rank models, Type III sums of squares of designs
// without empty cells.
namespace lsq {

using Col = std::vector<double>;
using Cols = std::vector<Col>;
using Sscp = std::vector<std::vector<long double>>;

// Residual cross-products of the columns `ys` after their weighted projection on `cols`.
// A column whose residual is below 1e-10 of its own length adds nothing (aliased).
inline Sscp residual(const Cols& cols, const Cols& ys, const std::vector<double>& w) {
  const size_t n = w.size();
  std::vector<std::vector<long double>> q;
  auto dot = [n](const std::vector<long double>& a, const std::vector<long double>& b) {
    long double s = 0;
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
  };
  auto weighted = [&](const Col& c) {
    std::vector<long double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::sqrt(static_cast<long double>(w[i])) * c[i];
    return v;
  };
  auto orth = [&](std::vector<long double>& v) {
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& b : q) {
        long double d = dot(b, v);
        for (size_t i = 0; i < n; ++i) v[i] -= d * b[i];
      }
  };
  for (const Col& c : cols) {
    std::vector<long double> v = weighted(c);
    long double n0 = std::sqrt(dot(v, v));
    if (n0 == 0) continue;
    orth(v);
    long double n1 = std::sqrt(dot(v, v));
    if (n1 <= 1e-10L * n0) continue;
    for (auto& x : v) x /= n1;
    q.push_back(std::move(v));
  }
  std::vector<std::vector<long double>> r;
  for (const Col& y : ys) {
    r.push_back(weighted(y));
    orth(r.back());
  }
  Sscp out(ys.size(), std::vector<long double>(ys.size()));
  for (size_t a = 0; a < ys.size(); ++a)
    for (size_t b = 0; b < ys.size(); ++b) out[a][b] = dot(r[a], r[b]);
  return out;
}

inline Sscp minus(const Sscp& a, const Sscp& b) {
  Sscp r = a;
  for (size_t i = 0; i < r.size(); ++i)
    for (size_t j = 0; j < r.size(); ++j) r[i][j] -= b[i][j];
  return r;
}

inline Cols join(std::initializer_list<Cols> parts) {
  Cols all;
  for (const Cols& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline std::vector<double> distinct(const Csv& csv, const std::string& var) {
  std::map<double, int> m;
  for (auto& r : csv.rows) m[r[csv.col(var)]] = 0;
  std::vector<double> v;
  for (auto& [x, id] : m) v.push_back(x);
  return v;
}

inline Cols constant(const Csv& csv) { return {Col(csv.rows.size(), 1.0)}; }

inline Col variable(const Csv& csv, const std::string& var) {
  Col c;
  for (auto& r : csv.rows) c.push_back(r[csv.col(var)]);
  return c;
}

// One indicator column per level.
inline Cols indicators(const Csv& csv, const std::string& var) {
  Cols out;
  for (double lv : distinct(csv, var)) {
    Col c;
    for (auto& r : csv.rows) c.push_back(r[csv.col(var)] == lv ? 1.0 : 0.0);
    out.push_back(c);
  }
  return out;
}

// Sum-to-zero coding among the rows where `within` is 1 (all rows when empty): level j of the
// first k-1 levels present there gets 1, the last level -1.
inline Cols effectCodes(const Csv& csv, const std::string& var, const Col& within = {}) {
  std::vector<double> levels;
  for (size_t i = 0; i < csv.rows.size(); ++i)
    if (within.empty() || within[i] != 0) levels.push_back(csv.rows[i][csv.col(var)]);
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  Cols out;
  for (size_t j = 0; j + 1 < levels.size(); ++j) {
    Col c;
    for (size_t i = 0; i < csv.rows.size(); ++i) {
      double x = csv.rows[i][csv.col(var)];
      bool in = within.empty() || within[i] != 0;
      c.push_back(!in ? 0.0 : x == levels[j] ? 1.0 : x == levels.back() ? -1.0 : 0.0);
    }
    out.push_back(c);
  }
  return out;
}

// Every product of a column of `a` with a column of `b`.
inline Cols products(const Cols& a, const Cols& b) {
  Cols out;
  for (const Col& x : a)
    for (const Col& y : b) {
      Col c(x.size());
      for (size_t i = 0; i < x.size(); ++i) c[i] = x[i] * y[i];
      out.push_back(c);
    }
  return out;
}

// Effect codes of `inner` within each level of `outer` (a nested effect inner(outer)).
inline Cols nestedCodes(const Csv& csv, const std::string& inner, const std::string& outer) {
  Cols out;
  for (const Col& in : indicators(csv, outer)) {
    Cols part = effectCodes(csv, inner, in);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// Reference value of an SSCP element as a double.
inline double at(const Sscp& s, size_t i, size_t j) { return static_cast<double>(s[i][j]); }

}  // namespace lsq

// A deterministic pseudo-random stream for test data (a 64-bit linear congruential generator).
struct Lcg {
  uint64_t s;
  explicit Lcg(uint64_t seed) : s(seed) {}
  // Uniform on [0, 1), 53 bits.
  double next() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  }
  // Rounded to 1/64 so that values and their squares are exact doubles.
  double grid(double lo, double hi) { return lo + std::floor((hi - lo) * next() * 64.0) / 64.0; }
};

// Effects of the full factorial of nf factors (every subset, the intercept first, by increasing
// order), then the covariate (column nf) when asked for.
inline std::vector<qv::EffectRow> fullFactorialRows(int nf, bool covariate = false) {
  std::vector<qv::EffectRow> rows;
  const int width = nf + (covariate ? 1 : 0);
  for (int order = 0; order <= nf; ++order)
    for (int mask = 0; mask < (1 << nf); ++mask) {
      if (__builtin_popcount(static_cast<unsigned>(mask)) != order) continue;
      qv::EffectRow r(static_cast<size_t>(width), -1);
      for (int f = 0; f < nf; ++f)
        if (mask & (1 << f)) r[static_cast<size_t>(f)] = 0;
      rows.push_back(r);
    }
  if (covariate) {
    qv::EffectRow r(static_cast<size_t>(width), -1);
    r.back() = 1;
    rows.push_back(r);
  }
  return rows;
}

// Every |a[i] - b[i]| within 1e-12 of the largest absolute entry of the reference a.
inline void expectCloseToScale(const std::vector<double>& a, const std::vector<double>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  double scale = 0.0;
  for (double v : a) scale = std::max(scale, std::fabs(v));
  for (size_t i = 0; i < a.size(); ++i)
    ASSERT_LE(std::fabs(a[i] - b[i]), 1e-12 * std::max(scale, 1e-300)) << what << " entry " << i;
}

}  // namespace qvtest

namespace qvtest {

// Active data held in memory, for running the data pass or a whole command without files.
// Rows hold one value per dictionary variable; string variables take their value from `text`.
// With split variables, a split group is a run of consecutive rows with equal split values.
class MemoryData : public qv::DataSource {
 public:
  qv::Dictionary dict;
  std::vector<std::vector<double>> rows;
  std::vector<std::vector<std::string>> text;  // per row, per variable (only string variables)
  int weight = -1;
  std::vector<int> split;

  // Adds a numeric variable; returns its index.
  int numeric(const std::string& name) {
    qv::Variable v;
    v.name = name;
    dict.vars.push_back(v);
    return static_cast<int>(dict.vars.size()) - 1;
  }
  int string(const std::string& name, int width) {
    int i = numeric(name);
    dict.vars[i].type = qv::VarType::String;
    dict.vars[i].width = width;
    return i;
  }
  void add(std::vector<double> values, std::vector<std::string> strings = {}) {
    values.resize(dict.vars.size(), qv::kSysmis);
    strings.resize(dict.vars.size());
    rows.push_back(std::move(values));
    text.push_back(std::move(strings));
  }

  const qv::Dictionary& dictionary() const override { return dict; }
  int weightIndex() const override { return weight; }
  const std::vector<int>& splitIndexes() const override { return split; }
  bool splitSeparate() const override { return false; }
  long nonFiniteCount() const override { return 0; }
  std::unique_ptr<qv::CaseReader> read() const override { return std::make_unique<Reader>(*this); }

 private:
  struct Reader : qv::CaseReader {
    const MemoryData& d;
    long pos = -1;  // current row
    long groupStart = 0;
    explicit Reader(const MemoryData& data) : d(data) {}
    long n() const { return static_cast<long>(d.rows.size()); }
    bool sameGroup(long a, long b) const {
      for (int v : d.split)
        if (d.rows[a][v] != d.rows[b][v]) return false;
      return true;
    }
    bool next() override {
      if (pos + 1 >= n() || !sameGroup(pos + 1, groupStart)) return false;
      ++pos;
      return true;
    }
    bool nextGroup() override {
      if (pos + 1 >= n()) return false;
      groupStart = pos + 1;
      return true;
    }
    bool endOfData() const override { return pos + 1 >= n(); }
    double number(int var) const override { return d.rows[pos][var]; }
    const std::string& string(int var) const override { return d.text[pos][var]; }
    double caseWeight() const override { return d.weight < 0 ? 1.0 : d.rows[pos][d.weight]; }
    std::vector<std::pair<std::string, std::string>> splitCaption() const override {
      std::vector<std::pair<std::string, std::string>> c;
      for (int v : d.split) c.emplace_back(d.dict.vars[v].name, qv::numberKey(d.rows[groupStart][v]));
      return c;
    }
  };
};

}  // namespace qvtest
