#include "data/case_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <unordered_map>

#include "host/output/message_numbers.h"

namespace qv {

int passThreads(int requested) {
  if (requested > 0) return requested;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

double fuzzyRound(double w) {
  double r = std::nearbyint(w);
  if (std::fabs(w - r) <= 1e-8 * std::max(1.0, std::fabs(w))) return r;
  return w;
}

std::string levelKey(const ProcedureState& st, int factor, int level) {
  const auto& g = st.group;
  if (!g.levelStrings[factor].empty()) return stringKey(g.levelStrings[factor][level - 1]);
  return numberKey(g.levelNumbers[factor][level - 1]);
}

namespace {

// Level discovery as a reduction: a block of cases collects the distinct values of one factor
// with their weighted counts, giving each new value a provisional number in order of first
// appearance within the block (its partial result); `merge` folds the collector of the next
// block into the total in case order, so that the total numbers its values in order of first
// appearance over all the cases, as one collector over the whole group would.
struct LevelCollector {
  bool isString = false;
  std::unordered_map<uint64_t, int> numIds;
  std::unordered_map<std::string, int> strIds;
  std::vector<double> nums;
  std::vector<std::string> strs;
  std::vector<double> weights;
  static constexpr int kSmallLevels = 1024;
  std::vector<int> smallIds;

  int add(double x, const std::string* s, double w) {
    int id;
    if (isString) {
      // A string value is blank-padded to its width: trailing blanks are not part of it.
      id = addString(stringKey(*s));
    } else {
      if (x == 0.0) x = 0.0;  // -0 and +0 are one level
      id = addNumber(x);
    }
    if (id == static_cast<int>(weights.size())) weights.push_back(0.0);
    weights[id] += w;
    return id;
  }

  // Folds the collector of the cases after this one's into it; returns, per provisional number
  // of `later`, the number of the same value here.
  std::vector<int> merge(const LevelCollector& later) {
    std::vector<int> to(later.weights.size());
    for (size_t id = 0; id < later.weights.size(); ++id) {
      const double w = later.weights[id];
      to[id] = isString ? addString(later.strs[id]) : addNumber(later.nums[id]);
      if (to[id] == static_cast<int>(weights.size())) weights.push_back(0.0);
      weights[static_cast<size_t>(to[id])] += w;
    }
    return to;
  }

 private:
  // The number of a string value (trailing blanks already removed), new values numbered next.
  int addString(std::string key) {
    auto [it, isNew] = strIds.try_emplace(key, static_cast<int>(strs.size()));
    if (isNew) strs.push_back(std::move(key));
    return it->second;
  }
  // The number of a numeric value (already normalised: -0 read as +0), new values numbered next.
  int addNumber(double x) {
    // Fast path for the usual codes 0, 1, 2, ...: a direct table instead of hashing.
    if (x >= 0.0 && x < kSmallLevels && x == static_cast<double>(static_cast<int>(x))) {
      if (smallIds.empty()) smallIds.assign(kSmallLevels, -1);
      int& slot = smallIds[static_cast<size_t>(x)];
      if (slot < 0) {
        slot = static_cast<int>(nums.size());
        nums.push_back(x);
      }
      return slot;
    }
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    auto [it, isNew] = numIds.try_emplace(bits, static_cast<int>(nums.size()));
    if (isNew) nums.push_back(x);
    return it->second;
  }
};

// The design cells found so far: per cell its factors' provisional level numbers (those of the
// merged LevelCollectors), looked up through a direct table while the product of the numbers of
// levels is small, else through a hash of the numbers.
class DesignCellTable {
 public:
  explicit DesignCellTable(int nf) : nf_(static_cast<size_t>(nf)) {}
  size_t count() const { return nf_ == 0 ? 0 : levels_.size() / nf_; }
  const std::vector<int>& levels() const { return levels_; }

  // Makes the direct table match the current numbers of levels (per factor).
  void resize(const std::vector<size_t>& counts) {
    if (counts == counts_) return;
    counts_ = counts;
    double full = 1.0;
    for (size_t n : counts) full *= static_cast<double>(n);
    direct_ = full <= static_cast<double>(kDirectLimit);
    table_.clear();
    hashed_.clear();
    if (direct_) table_.assign(static_cast<size_t>(full), -1);
    for (size_t c = 0; c < count(); ++c) slot(levels_.data() + c * nf_) = static_cast<int>(c);
  }

  // The cell of the provisional level numbers `ids`, added when new.
  int find(const int* ids) {
    int& s = slot(ids);
    if (s < 0) {
      s = static_cast<int>(count());
      levels_.insert(levels_.end(), ids, ids + nf_);
    }
    return s;
  }

 private:
  static constexpr long kDirectLimit = 1L << 20;
  int& slot(const int* ids) {
    if (direct_) {
      size_t key = 0;
      for (size_t f = 0; f < nf_; ++f) key = key * counts_[f] + static_cast<size_t>(ids[f]);
      return table_[key];
    }
    std::string key(reinterpret_cast<const char*>(ids), sizeof(int) * nf_);
    return hashed_.try_emplace(std::move(key), -1).first->second;
  }
  size_t nf_;
  std::vector<int> levels_;
  std::vector<size_t> counts_;
  bool direct_ = false;
  std::vector<int> table_;
  std::unordered_map<std::string, int> hashed_;
};

}  // namespace

PassResult readGroupCases(Context& ctx, ProcedureState& st, CaseReader& reader, bool firstGroup,
                          CaseWorkFile& work) {
  GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const int nf = st.nfactr();
  const bool weighted = ctx.data->weightIndex() >= 0;
  const Variable* regVar = st.regwgtVar >= 0 ? &dict.vars[st.regwgtVar] : nullptr;
  work.clear();
  work.ndepvr = st.ndepvr();
  work.ncovar = st.ncovar();
  work.weighted = weighted;
  work.regWeighted = regVar != nullptr;
  g.nvalid = 0;
  g.sumWeights = 0.0;
  g.designCellLevels.clear();

  // The group's level collectors (the merged total) and the current block's; the block's cases
  // start at blockStart and carry the block's provisional numbers until the block is merged.
  std::vector<LevelCollector> levels(nf), block(nf);
  for (int f = 0; f < nf; ++f) levels[f].isString = block[f].isString = dict.vars[st.factorVars[f]].isString();
  long blockStart = 0;
  const long blockCases = std::max(1L, work.blockCases);
  // The block's cases' provisional level numbers (nf a case); when the block is merged they
  // become the cases' design cells, and the block goes to the work file as a whole.
  std::vector<int> blockIds;
  CaseBlockColumns blockCols;
  DesignCellTable cells(nf);
  auto mergeBlock = [&] {
    std::vector<std::vector<int>> to(static_cast<size_t>(nf));
    std::vector<size_t> counts(static_cast<size_t>(nf));
    for (int f = 0; f < nf; ++f) {
      to[f] = levels[f].merge(block[f]);
      counts[f] = levels[f].weights.size();
      block[f] = LevelCollector{};
      block[f].isString = levels[f].isString;
    }
    cells.resize(counts);
    for (size_t at = 0; at < blockIds.size(); at += static_cast<size_t>(nf)) {
      int* ids = blockIds.data() + at;
      for (int f = 0; f < nf; ++f) ids[f] = to[f][static_cast<size_t>(ids[f])];
      blockCols.cell.push_back(cells.find(ids));
    }
    work.append(blockCols);
    blockCols.clear();
    blockIds.clear();
    blockStart = g.nvalid;
  };
  std::vector<double> dep(st.ndepvr()), cov(st.ncovar());
  std::vector<int> ids(nf);

  auto numericValid = [&](int var, double& out) {
    const Variable& v = dict.vars[var];
    out = reader.number(var);
    return !isMissingNumber(v, out, st.includeUserMissing);
  };

  long casesRead = 0;
  while (reader.next()) {
    ++casesRead;
    const long recordNumber = work.recordsRead++;
    double w = 1.0;
    if (weighted) {
      w = reader.caseWeight();
      if (isSysmis(w)) continue;
      w = fuzzyRound(w);
      if (!(w > 0.0)) continue;
    }
    double r = 1.0;
    if (regVar) {
      if (!numericValid(st.regwgtVar, r) || !(r > 0.0)) continue;
    }
    bool ok = true;
    for (int d = 0; d < st.ndepvr() && ok; ++d) ok = numericValid(st.depVars[d], dep[d]);
    for (int f = 0; f < nf && ok; ++f) {
      const Variable& v = dict.vars[st.factorVars[f]];
      if (v.isString()) {
        ok = !isMissingString(v, reader.string(st.factorVars[f]), st.includeUserMissing);
      } else {
        double x;
        ok = numericValid(st.factorVars[f], x);
      }
    }
    for (int c = 0; c < st.ncovar() && ok; ++c) ok = numericValid(st.covVars[c], cov[c]);
    if (!ok) continue;

    for (int f = 0; f < nf; ++f) {
      int var = st.factorVars[f];
      if (block[f].isString) {
        ids[f] = block[f].add(0.0, &reader.string(var), w);
      } else {
        ids[f] = block[f].add(reader.number(var), nullptr, w);
      }
    }
    // One or a few values a case: appended one by one, which costs less than a range insert.
    for (int id : ids) blockIds.push_back(id);
    for (double x : dep) blockCols.dep.push_back(x);
    for (double x : cov) blockCols.cov.push_back(x);
    // Remainders of decimal input, kept from the first case that has one.
    auto keepRemainders = [&](std::vector<double>& into, const std::vector<int>& vars) {
      bool any = !into.empty();
      for (size_t i = 0; i < vars.size() && !any; ++i) any = reader.numberRemainder(vars[i]) != 0.0;
      if (!any) return;
      if (into.empty()) into.assign(static_cast<size_t>(blockCols.cases) * vars.size(), 0.0);
      for (int v : vars) into.push_back(reader.numberRemainder(v));
    };
    const bool anyRemainder = reader.anyRemainder();
    if (anyRemainder || !blockCols.depRem.empty()) keepRemainders(blockCols.depRem, st.depVars);
    if (anyRemainder || !blockCols.covRem.empty()) keepRemainders(blockCols.covRem, st.covVars);
    if (weighted) blockCols.w.push_back(w);
    if (regVar) blockCols.r.push_back(r);
    if (work.keepRecords) blockCols.record.push_back(recordNumber);
    ++blockCols.cases;
    g.sumWeights += w;
    if (++g.nvalid - blockStart == blockCases) mergeBlock();
  }
  if (g.nvalid > blockStart) mergeBlock();
  work.finish();

  if (g.nvalid == 0) {
    if (!ctx.splitCaption.empty()) {
      std::vector<std::string> args;
      std::string list;
      for (const auto& [name, value] : ctx.splitCaption) {
        if (!list.empty()) list += ", ";
        list += name + "=" + value;
      }
      args.push_back(list);
      ctx.note("No valid cases in split group ^1 ...", out::Severity::Warning, args);
      return PassResult::EmptySplitGroup;
    }
    if (casesRead > 0 || !firstGroup) {
      ctx.message(msg::kNoValidCases, out::Phase::Processing, out::Severity::Error);
    } else {
      ctx.message(msg::kNoCasesRemainInTheAnalysis, out::Phase::Processing, out::Severity::Error);
    }
    return PassResult::Error;
  }

  // Levels: sort the distinct values and renumber the cases' provisional numbers.
  g.nlevls.assign(nf, 0);
  g.levelNumbers.assign(nf, {});
  g.levelStrings.assign(nf, {});
  g.levelWeights.assign(nf, {});
  std::vector<std::vector<int>> remap(nf);
  for (int f = 0; f < nf; ++f) {
    LevelCollector& lc = levels[f];
    size_t n = lc.weights.size();
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    if (lc.isString) {
      std::sort(order.begin(), order.end(), [&](int a, int b) { return lc.strs[a] < lc.strs[b]; });
    } else {
      std::sort(order.begin(), order.end(), [&](int a, int b) { return lc.nums[a] < lc.nums[b]; });
    }
    remap[f].assign(n, 0);
    g.nlevls[f] = static_cast<int>(n);
    for (size_t k = 0; k < n; ++k) {
      remap[f][order[k]] = static_cast<int>(k) + 1;
      if (lc.isString)
        g.levelStrings[f].push_back(lc.strs[order[k]]);
      else
        g.levelNumbers[f].push_back(lc.nums[order[k]]);
      g.levelWeights[f].push_back(lc.weights[order[k]]);
    }
  }
  // The design cells' levels in the sorted numbering.
  g.designCellLevels = cells.levels();
  for (size_t at = 0; at < g.designCellLevels.size(); at += static_cast<size_t>(nf))
    for (int f = 0; f < nf; ++f) {
      int& id = g.designCellLevels[at + static_cast<size_t>(f)];
      id = remap[f][static_cast<size_t>(id)];
    }
  return PassResult::Ok;
}

}  // namespace qv
