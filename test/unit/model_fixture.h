#pragma once
// Builds a fitted model directly from a small numeric CSV file, without the command parser or
// the data layer, so that the design and estimation can be tested on their own.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// A model over numeric factors and covariates. Effects are given as rows of codes/powers in
// the order factors then covariates (see EffectRow).
struct ModelFixture {
  qv::ProcedureState st;
  qv::CaseWorkFile work;

  // Factor levels are numbered by sorting the distinct values, as the data pass does.
  ModelFixture(const Csv& csv, const std::string& dep, const std::vector<std::string>& factors,
               const std::vector<std::string>& covs, const std::vector<qv::EffectRow>& effects,
               const std::string& weight = "", const std::string& regwgt = "") {
    st.ndepvr = 1;
    st.nfactr = static_cast<int>(factors.size());
    st.ncovar = static_cast<int>(covs.size());
    st.neffds = static_cast<int>(effects.size());
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
    const int depCol = csv.col(dep), wCol = weight.empty() ? -1 : csv.col(weight),
              rCol = regwgt.empty() ? -1 : csv.col(regwgt);
    std::vector<const std::vector<double>*> valid;
    for (auto& row : csv.rows) {
      bool ok = !qv::isSysmis(row[depCol]);
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
    work.ndepvr = 1;
    work.ncovar = st.ncovar;
    for (auto* row : valid) {
      double w = wCol >= 0 ? (*row)[wCol] : 1.0;
      double r = rCol >= 0 ? (*row)[rCol] : 1.0;
      for (size_t f = 0; f < factors.size(); ++f) {
        int l = maps[f][(*row)[csv.col(factors[f])]];
        g.caseLevels.push_back(l);
        g.levelWeights[f][l - 1] += w;
      }
      work.dep.push_back((*row)[depCol]);
      for (auto& c : covs) work.cov.push_back((*row)[csv.col(c)]);
      work.w.push_back(w);
      work.r.push_back(r);
      g.sumWeights += w;
      ++g.nvalid;
    }
  }

  bool fit(int sstype) {
    st.sstype = sstype;
    qv::Context ctx;
    qv::out::CommandOutput out;
    ctx.output = &out;
    if (!qv::layoutDesign(ctx, st)) return false;
    qv::fitModel(ctx, st, work);
    return !ctx.errorFlag;
  }

  // Sum of squares of effect e (0-based) for the first dependent; 0 when it has no df.
  double ss(int e) const { return st.group.effectDf[e] > 0 ? st.group.pthscp[e](0, 0) : 0.0; }
};

// Effect rows for two factors A, B (and no covariate).
inline qv::EffectRow row2(int a, int b) { return {a, b}; }

}  // namespace qvtest
