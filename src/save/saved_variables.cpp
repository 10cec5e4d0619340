#include "save/saved_variables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "data/case_pass.h"
#include "data/design.h"
#include "driver/state.h"
#include "host/cluster.h"
#include "host/context.h"
#include "host/output/document.h"

namespace qv {

namespace {

struct KeywordInfo {
  const char* root;
  const char* label;  // completed with " for <dependent>"
};

// Indexed by keyword code - 1.
constexpr KeywordInfo kKeywords[kSaveKeywordCount] = {
    {"PRE", "Predicted Value"},
    {"WPR", "Weighted Predicted Value"},
    {"RES", "Residual"},
    {"WRE", "Weighted Residual"},
    {"DRE", "Deleted Residual"},
    {"ZRE", "Standardized Residual"},
    {"SRE", "Studentized Residual"},
    {"SEP", "Standard Error of Predicted Value"},
    {"COO", "Cook's Distance"},
    {"LEV", "Uncentered Leverage Value"},
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int keywordCount(const ProcedureState& st) {
  int n = 0;
  while (n < kSaveKeywordCount && st.saveKeywords[n] > 0) ++n;
  return n;
}

}  // namespace

std::vector<SavedVariable> nameSavedVariables(const Context& ctx, const ProcedureState& st,
                                              const std::vector<std::string>& taken) {
  const Dictionary& dict = ctx.data->dictionary();
  std::vector<std::string> used;
  for (const auto& t : taken) used.push_back(upper(t));
  auto exists = [&](const std::string& name) {
    return dict.find(name) >= 0 || std::find(used.begin(), used.end(), upper(name)) != used.end();
  };
  std::vector<SavedVariable> vars;
  const int nk = keywordCount(st);
  for (int i = 0; i < nk; ++i) {
    const KeywordInfo& kw = kKeywords[st.saveKeywords[i] - 1];
    for (int j = 0; j < st.ndepvr(); ++j) {
      SavedVariable v;
      const auto& given = st.saveNames[i];
      if (j < static_cast<int>(given.size()) && !given[j].empty() && !exists(given[j])) {
        v.name = given[j];
      } else {
        for (long seq = j + 1;; ++seq) {
          v.name = std::string(kw.root) + "_" + std::to_string(seq);
          if (!exists(v.name)) break;
        }
      }
      used.push_back(upper(v.name));
      v.label = std::string(kw.label) + " for " + dict.vars[st.depVars[j]].name;
      vars.push_back(std::move(v));
    }
  }
  return vars;
}

void computeSavedValues(const ProcedureState& st, const CaseBlock& cases, std::vector<double>& out) {
  const long begin = cases.range.begin, end = cases.range.end;
  const GroupState& g = st.group;
  const int nd = st.ndepvr();
  const int nk = keywordCount(st);
  const size_t perCase = static_cast<size_t>(nk) * nd;
  out.assign(static_cast<size_t>(end - begin) * perCase, kSysmis);

  // Error mean square per dependent; 0 without error degrees of freedom.
  std::vector<double> mse(nd, 0.0);
  const double dfe = g.sumWeights - g.modldf;
  for (int j = 0; j < nd; ++j)
    if (dfe > 0.0) mse[j] = g.errorSSCP(j, j) / dfe;

  std::vector<std::pair<int, double>> x;
  std::vector<double> pred(nd), resid(nd);
  for (long k = begin; k < end; ++k) {
    double* o = out.data() + static_cast<size_t>(k - begin) * perCase;
    const double w = cases.weight(k), r = cases.regWeight(k);
    if (!(w > 0.0) || !(r > 0.0)) continue;  // stays system-missing
    designRow(st, cases.designCell(k), cases.covOf(k), x);
    // h = x'Gx over the non-zero entries of the design row.
    double h = 0.0;
    for (size_t a = 0; a < x.size(); ++a) {
      double s = 0.0;
      for (size_t b = 0; b < x.size(); ++b) s += g.ginverse(x[a].first, x[b].first) * x[b].second;
      h += x[a].second * s;
    }
    h = std::max(0.0, h);
    const double* y = cases.depOf(k);
    for (int j = 0; j < nd; ++j) {
      double p = 0.0;
      for (const auto& [c, v] : x) p += v * g.paramEst(c, j);
      pred[j] = p;
      resid[j] = y[j] - p;
    }
    const double sr = std::sqrt(r);
    const double slack = 1.0 / r - h;  // 1/r - h
    for (int i = 0; i < nk; ++i) {
      for (int j = 0; j < nd; ++j) {
        const double e = resid[j], m = mse[j];
        double v = kSysmis;
        switch (static_cast<SaveKeyword>(st.saveKeywords[i])) {
          case SaveKeyword::Pred:
            v = pred[j];
            break;
          case SaveKeyword::WPred:
            v = pred[j] * sr;
            break;
          case SaveKeyword::Resid:
            v = e;
            break;
          case SaveKeyword::WResid:
            v = e * sr;
            break;
          case SaveKeyword::DResid:
            if (1.0 - r * h > 0.0) v = e / (1.0 - r * h);
            break;
          case SaveKeyword::ZResid:
            if (m > 0.0) v = e / (std::sqrt(m) / sr);
            break;
          case SaveKeyword::SResid:
            if (m * slack > 0.0) v = e / std::sqrt(m * slack);
            break;
          case SaveKeyword::SePred:
            v = std::sqrt(m * h);
            break;
          case SaveKeyword::Cook:
            if (g.modldf > 0 && slack > 0.0 && m > 0.0) v = e * e / m * h / (slack * slack) / g.modldf;
            break;
          case SaveKeyword::Lever:
            v = r * h;
            break;
        }
        o[static_cast<size_t>(i) * nd + j] = v;
      }
    }
  }
}

// The records end with one whose position is the largest number: a read that fails before
// it finds a damaged file instead of taking the missing cases for unused ones.
constexpr int64_t kEndOfValues = std::numeric_limits<int64_t>::max();

void SavedValueStore::append(int64_t position, const double* values) {
  file_.write(&position, sizeof position);
  file_.write(values, width_ * sizeof(double));
}

bool SavedValueStore::finish(long cases, std::string& why) {
  cases_ = cases;
  std::fill(next_.begin(), next_.end(), kSysmis);
  append(kEndOfValues, next_.data());
  return file_.rewind(why);
}

bool SavedValueStore::valuesAt(int64_t position, double* out) {
  auto readNext = [&] {
    haveNext_ =
        file_.read(&nextPosition_, sizeof nextPosition_) && file_.read(next_.data(), width_ * sizeof(double));
  };
  if (!reading_) {
    reading_ = true;
    readNext();
  }
  // Positions skipped by the caller are passed over; the end record stops the search.
  while (haveNext_ && nextPosition_ < position) readNext();
  if (!haveNext_) return false;
  if (nextPosition_ != position) {
    std::fill(out, out + width_, kSysmis);
    return true;
  }
  std::copy(next_.begin(), next_.end(), out);
  readNext();
  return haveNext_;
}

void beginSave(Context& ctx, ProcedureState& st) {
  std::vector<std::string> taken;
  if (ctx.savedVariables)
    for (const auto& v : *ctx.savedVariables) taken.push_back(v.name);
  st.savedVariables = nameSavedVariables(ctx, st, taken);
  auto store = std::make_shared<SavedValueStore>(st.savedVariables.size());
  // Only the process that writes files keeps the values; the processes of a cluster take its
  // verdict, so that all go on, or stop, together.
  std::string why;
  if (ctx.writesFiles && !store->open(why) && why.empty()) why = "the scratch file was not created";
  if (ctx.cluster) why = ctx.cluster->allGather(ctx.cluster->rank() == 0 ? why : std::string()).at(0);
  if (!why.empty()) {
    st.savedVariables.clear();
    ctx.note("Scratch file not created ^1 ...", out::Severity::Error, {why});
    return;
  }
  for (size_t v = 0; v < st.savedVariables.size(); ++v) {
    st.savedVariables[v].store = store;
    st.savedVariables[v].column = v;
  }
}

void saveGroupValues(ProcedureState& st, const CaseWorkFile& work) {
  if (st.savedVariables.empty()) return;
  SavedValueStore& store = *st.savedVariables.front().store;
  const size_t nv = st.savedVariables.size();
  // The pass: per block, its cases' saved values; written to the store in block order.
  struct Values {
    std::vector<int64_t> records;  // per case, its position in the active data
    std::vector<double> values;    // nv per case
    auto fields() { return std::tie(records, values); }
    auto fields() const { return std::tie(records, values); }
  };
  work.reduce(
      [&](const CaseBlock& cases) {
        Values part;
        computeSavedValues(st, cases, part.values);
        QV_ASSERT(cases.record != nullptr, "saved values without positions");
        part.records.assign(cases.record, cases.record + cases.range.size());
        return part;
      },
      [&](const Values& part) {
        if (!store.isOpen()) return;  // kept by the process that writes files
        for (size_t k = 0; k < part.records.size(); ++k)
          store.append(part.records[k], part.values.data() + k * nv);
      });
}

void finishSave(Context& ctx, ProcedureState& st) {
  if (st.savedVariables.empty() || ctx.failed()) {
    st.savedVariables.clear();
    return;
  }
  std::string why;
  if (ctx.writesFiles && !st.savedVariables.front().store->finish(ctx.data->caseCount(), why)) {
    st.savedVariables.clear();
    ctx.note("Scratch file not created ^1 ...", out::Severity::Error, {why});
    return;
  }

  out::TableBuilder tb(16, "Variables Created or Modified", "Variables Created or Modified");
  const int rowDim = tb.dimension("Variables", out::Axis::Row);
  const int colDim = tb.dimension("Contents", out::Axis::Column);
  for (const auto& v : st.savedVariables) {
    tb.category(rowDim, v.name);
    tb.cell(colDim, "Label", out::Value::str(v.label));
  }
  ctx.emitTable(tb);

  if (ctx.savedVariables) {
    for (auto& v : st.savedVariables) ctx.savedVariables->push_back(std::move(v));
  } else {
    ctx.note("Saved variables not written ^1 ...", out::Severity::Note,
             {std::to_string(st.savedVariables.size())}, out::Phase::None);
  }
  st.savedVariables.clear();
}

}  // namespace qv
