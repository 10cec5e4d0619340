#include "data/case_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <unordered_map>

#include "host/numeric/ddouble.h"
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
  // What merge() reads of a later collector, as it travels between processes.
  auto fields() { return std::tie(isString, nums, strs, weights); }
  auto fields() const { return std::tie(isString, nums, strs, weights); }
  // Unweighted cases: the weights are left at 0 as the cases come and set to the counts once
  // the block's cases are in (finishBlock), a sum of ones being the count exactly.
  bool counted = false;

  int add(double x, std::string_view s, double w) {
    int id;
    if (isString) {
      // A string value is blank-padded to its width: trailing blanks are not part of it.
      id = addString(stringKey(s));
    } else {
      if (x == 0.0) x = 0.0;  // -0 and +0 are one level
      id = addNumber(x);
    }
    if (id == static_cast<int>(weights.size())) weights.push_back(0.0);
    if (!counted) weights[id] += w;
    return id;
  }

  // add() for a number, with the usual codes 0, 1, 2 ... seen before found at once.
  int addNumeric(double x, double w) {
    if (x >= 0.0 && x < kSmallLevels && !smallIds.empty()) {
      const int i = static_cast<int>(x);
      if (static_cast<double>(i) == x && smallIds[static_cast<size_t>(i)] >= 0) {
        const int id = smallIds[static_cast<size_t>(i)];
        if (!counted) weights[static_cast<size_t>(id)] += w;
        return id;
      }
    }
    return add(x, {}, w);
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
  // A direct table is used while it has at most `directLimit` slots.
  explicit DesignCellTable(int nf, long directLimit = kDirectLimit)
      : nf_(static_cast<size_t>(nf)), directLimit_(directLimit) {}
  size_t count() const { return nf_ == 0 ? 0 : levels_.size() / nf_; }
  const std::vector<int>& levels() const { return levels_; }

  // Makes the direct table match the current numbers of levels (per factor).
  void resize(const std::vector<size_t>& counts) {
    if (counts == counts_) return;
    counts_ = counts;
    double full = 1.0;
    for (size_t n : counts) full *= static_cast<double>(n);
    direct_ = full <= static_cast<double>(directLimit_);
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
  long directLimit_;
  std::vector<int> levels_;
  std::vector<size_t> counts_;
  bool direct_ = false;
  std::vector<int> table_;
  std::unordered_map<std::string, int> hashed_;
};

// What the data pass reads of a case and how it tests it.
struct PassVariables {
  const Dictionary* dict = nullptr;
  bool includeUserMissing = false;
  bool weighted = false;
  int weightVar = -1;  // the case weight variable (-1: none)
  int regVar = -1;     // the regression weight variable (-1: none)
  std::vector<int> dep, cov, factors;
  std::vector<char> factorIsString;
  // Per variable: whether a value can be user-missing (it has user-missing values that count).
  std::vector<char> userMissing;
};

// A case as a CaseReader delivers it (from a source that does not read ranges of cases).
struct ReaderCase {
  const CaseReader& reader;
  double number(int var) const { return reader.number(var); }
  std::string_view string(int var) const { return reader.string(var); }
  bool anyRemainder() const { return reader.anyRemainder(); }
  double remainder(int var) const { return reader.numberRemainder(var); }
  double caseWeight(const PassVariables&) const { return reader.caseWeight(); }
};

// A case as a row of converted columns; rem .. remEnd are the row's non-zero remainders.
struct ColumnCase {
  const CaseColumns& cols;
  uint32_t row;
  const DecimalRemainder* rem;
  const DecimalRemainder* remEnd;
  double number(int var) const {
    const double* x = cols.numbers[static_cast<size_t>(var)];
    return x ? x[row] : kSysmis;
  }
  std::string_view string(int var) const { return cols.string(var, row); }
  bool anyRemainder() const { return rem != remEnd; }
  double remainder(int var) const {
    for (const DecimalRemainder* r = rem; r != remEnd; ++r)
      if (static_cast<int>(r->column) == var) return r->value;
    return 0.0;
  }
  double caseWeight(const PassVariables& pv) const {
    if (pv.weightVar < 0) return 1.0;
    const double w = number(pv.weightVar);
    return isMissingNumber(pv.dict->vars[static_cast<size_t>(pv.weightVar)], w, false) ? kSysmis : w;
  }
};

// The data pass's partial result for a block of consecutive cases: the valid cases' values in
// case order, the block's level collectors and the block's own design cells (numbered in order
// of first appearance, over the collectors' provisional level numbers).
struct PassBlock {
  long read = 0;        // cases of the block, valid or not
  long valid = 0;       // the valid ones
  // Their case weights' sum in double-double (hi + lo), so that the group's sum, added block by
  // block, is the sum of all the weights correctly rounded but for an error of order n 2^-104,
  // whatever the blocks, threads and processes.
  double sumW = 0.0, sumWLo = 0.0;
  std::vector<double> dep, cov, w, r;
  std::vector<double> depRem, covRem;  // empty while no valid case of the block has a remainder
  std::vector<int64_t> record;         // with keepRecords: each valid case's number in the data
  std::vector<LevelCollector> levels;
  std::vector<int> ids;         // nf provisional level numbers a valid case, until finished
  std::vector<int> caseCell;    // per valid case, its design cell of the block
  std::vector<int> cellLevels;  // per design cell of the block, its nf provisional level numbers
  std::vector<double> depScratch, covScratch;

  // Room for `cases` valid cases.
  void reserve(long cases) {
    const size_t n = static_cast<size_t>(cases);
    ids.reserve(n * levels.size());
    dep.reserve(n * depScratch.size());
    cov.reserve(n * covScratch.size());
  }

  // What the merge of the group reads of a block, as it travels between processes (the cases
  // stay with the process that read them).
  auto fields() { return std::tie(read, valid, sumW, sumWLo, levels, cellLevels); }
  auto fields() const { return std::tie(read, valid, sumW, sumWLo, levels, cellLevels); }

  PassBlock() = default;
  explicit PassBlock(const PassVariables& pv) : levels(pv.factors.size()) {
    for (size_t f = 0; f < levels.size(); ++f) {
      levels[f].isString = pv.factorIsString[f] != 0;
      levels[f].counted = !pv.weighted;
    }
    depScratch.resize(pv.dep.size());
    covScratch.resize(pv.cov.size());
  }
};

bool numericValid(const PassVariables& pv, int var, double x) {
  if (isSysmis(x)) return false;
  return !pv.userMissing[static_cast<size_t>(var)] ||
         !isMissingNumber(pv.dict->vars[static_cast<size_t>(var)], x, pv.includeUserMissing);
}

// Adds one case (number `record` in the data) to the block when it is valid: listwise over every
// variable of the model, with a positive case weight and regression weight.
template <class Case>
void addCase(const PassVariables& pv, bool keepRecords, const Case& c, long record, PassBlock& b) {
  ++b.read;
  double w = 1.0;
  if (pv.weighted) {
    w = c.caseWeight(pv);
    if (isSysmis(w)) return;
    w = fuzzyRound(w);
    if (!(w > 0.0)) return;
  }
  double r = 1.0;
  if (pv.regVar >= 0) {
    r = c.number(pv.regVar);
    if (!numericValid(pv, pv.regVar, r) || !(r > 0.0)) return;
  }
  for (size_t d = 0; d < pv.dep.size(); ++d)
    if (!numericValid(pv, pv.dep[d], b.depScratch[d] = c.number(pv.dep[d]))) return;
  for (size_t f = 0; f < pv.factors.size(); ++f) {
    const int var = pv.factors[f];
    const bool missing = pv.factorIsString[f] ? isMissingString(pv.dict->vars[static_cast<size_t>(var)],
                                                                c.string(var), pv.includeUserMissing)
                                              : !numericValid(pv, var, c.number(var));
    if (missing) return;
  }
  for (size_t k = 0; k < pv.cov.size(); ++k)
    if (!numericValid(pv, pv.cov[k], b.covScratch[k] = c.number(pv.cov[k]))) return;

  for (size_t f = 0; f < pv.factors.size(); ++f) {
    const int var = pv.factors[f];
    b.ids.push_back(pv.factorIsString[f] ? b.levels[f].add(0.0, c.string(var), w)
                                         : b.levels[f].addNumeric(c.number(var), w));
  }
  // One or a few values a case: appended one by one, which costs less than a range insert.
  for (double x : b.depScratch) b.dep.push_back(x);
  for (double x : b.covScratch) b.cov.push_back(x);
  // Remainders of decimal input, kept from the block's first case that has one.
  auto keepRemainders = [&](std::vector<double>& into, const std::vector<int>& vars) {
    bool any = !into.empty();
    for (size_t i = 0; i < vars.size() && !any; ++i) any = c.remainder(vars[i]) != 0.0;
    if (!any) return;
    if (into.empty()) into.assign(static_cast<size_t>(b.valid) * vars.size(), 0.0);
    for (int v : vars) into.push_back(c.remainder(v));
  };
  if (c.anyRemainder() || !b.depRem.empty()) keepRemainders(b.depRem, pv.dep);
  if (c.anyRemainder() || !b.covRem.empty()) keepRemainders(b.covRem, pv.cov);
  if (pv.weighted) b.w.push_back(w);
  if (pv.regVar >= 0) b.r.push_back(r);
  if (keepRecords) b.record.push_back(record);
  ++b.valid;
}

// Sums the block's weights and numbers its design cells once its cases are in.
void finishBlock(PassBlock& b) {
  if (b.w.empty()) {
    b.sumW = static_cast<double>(b.valid);
  } else {
    num::DD sum(0.0);
    for (double w : b.w) sum += w;
    b.sumW = sum.hi;
    b.sumWLo = sum.lo;
  }
  const size_t nf = b.levels.size();
  if (nf == 0) return;
  std::vector<size_t> counts(nf);
  for (size_t f = 0; f < nf; ++f) counts[f] = b.levels[f].weights.size();
  // A direct table no larger than a few slots a case; else a hash.
  DesignCellTable cells(static_cast<int>(nf), std::max(1024L, 4 * b.valid));
  cells.resize(counts);
  b.caseCell.reserve(static_cast<size_t>(b.valid));
  for (size_t at = 0; at < b.ids.size(); at += nf) b.caseCell.push_back(cells.find(b.ids.data() + at));
  b.cellLevels = cells.levels();
  if (b.levels[0].counted) {
    // Unweighted: each value's weight is its count, summed over the block's cells.
    std::vector<long> cellCount(cells.count(), 0);
    for (int c : b.caseCell) ++cellCount[static_cast<size_t>(c)];
    for (size_t c = 0; c < cellCount.size(); ++c)
      for (size_t f = 0; f < nf; ++f)
        b.levels[f].weights[static_cast<size_t>(b.cellLevels[c * nf + f])] +=
            static_cast<double>(cellCount[c]);
    for (LevelCollector& lc : b.levels) lc.counted = false;
  }
  b.ids = std::vector<int>();
}

// The valid cases' columns of a finished block, moved out of it (without their design cells).
CaseBlockColumns takeColumns(PassBlock& b) {
  CaseBlockColumns cols;
  cols.cases = b.valid;
  cols.dep = std::move(b.dep);
  cols.cov = std::move(b.cov);
  cols.w = std::move(b.w);
  cols.r = std::move(b.r);
  cols.depRem = std::move(b.depRem);
  cols.covRem = std::move(b.covRem);
  cols.record = std::move(b.record);
  return cols;
}

// Appends the valid cases of a finished block to the group's case work file, with their design
// cells (the block's cells numbered as the group's by `cellTo`); the block's columns move there.
void appendBlock(CaseWorkFile& work, PassBlock& b, const std::vector<int>& cellTo) {
  CaseBlockColumns cols = takeColumns(b);
  cols.cell.reserve(b.caseCell.size());
  for (int c : b.caseCell) cols.cell.push_back(cellTo[static_cast<size_t>(c)]);
  work.append(cols);
}

// Appends case k of `c` to `out`, its design cell renumbered by `cellTo` when given.
void appendCase(const CaseBlock& c, long k, const std::vector<int>* cellTo, CaseBlockColumns& out) {
  const size_t nd = static_cast<size_t>(c.ndepvr), nc = static_cast<size_t>(c.ncovar);
  out.dep.insert(out.dep.end(), c.depOf(k), c.depOf(k) + nd);
  out.cov.insert(out.cov.end(), c.covOf(k), c.covOf(k) + nc);
  if (c.w) out.w.push_back(c.weight(k));
  if (c.r) out.r.push_back(c.regWeight(k));
  if (c.record) out.record.push_back(c.recordOf(k));
  auto remainders = [&](const double* rem, std::vector<double>& into, size_t width) {
    if (!rem && into.empty()) return;
    if (into.empty()) into.assign(static_cast<size_t>(out.cases) * width, 0.0);
    if (rem) {
      into.insert(into.end(), rem, rem + width);
    } else {
      into.resize(into.size() + width, 0.0);
    }
  };
  remainders(c.depRemOf(k), out.depRem, nd);
  remainders(c.covRemOf(k), out.covRem, nc);
  if (c.cell) {
    const int cell = c.designCell(k);
    out.cell.push_back(cellTo ? (*cellTo)[static_cast<size_t>(cell)] : cell);
  }
  ++out.cases;
}

// Blocks of the data pass each process reads in a round before their summaries are gathered.
constexpr long kSharedRoundBlocks = 64;

// The data pass of a group shared among the processes of `cluster`. The group's blocks of read
// cases are dealt out in runs, one run a process; each process reads its run and keeps the
// valid cases in a staging file, with the blocks' own design cells, while the blocks' levels,
// cells and counts (PassBlock without its cases) go to every process, which merges them all in
// block order, as one process would. The valid cases are then moved so that each process keeps
// whole blocks of the work file: the blocks whose first case it read, completed by the first
// cases read by the processes after it.
// `own` (when given) are the cases of the group this process converted: it reads the blocks
// that start among them (see DataSource::sharedCases).
template <class Map, class MergeSummary>
void readSharedGroup(Cluster& cluster, long groupCases, const CaseRange* own, Map& map,
                     MergeSummary& mergeSummary, CaseWorkFile& work) {
  const long size = std::max(1L, work.blockCases);
  const long blocks = (groupCases + size - 1) / size;
  const int processes = cluster.size(), me = cluster.rank();
  long b0 = blocks * me / processes, b1 = blocks * (me + 1) / processes;
  if (own) {
    b0 = (own->begin + size - 1) / size;
    b1 = std::max(b0, (own->end + size - 1) / size);
  }

  CaseWorkFile staged;
  staged.ndepvr = work.ndepvr;
  staged.ncovar = work.ncovar;
  staged.weighted = work.weighted;
  staged.regWeighted = work.regWeighted;
  staged.keepRecords = work.keepRecords;
  staged.threads = work.threads;
  staged.blockCases = size;
  staged.memoryBytes = work.memoryBytes;
  std::vector<long> stagedValid;         // per block of this process, its valid cases
  std::vector<std::vector<int>> cellTo;  // per block of this process, its cells' group numbers
  long v0 = 0, total = 0;                // valid cases before this process's first; in all
  // Round by round, every process reads the next kSharedRoundBlocks of its own blocks at the same
  // time, so that the processes hold a round's summaries at a time; every block's levels, cells
  // and counts are merged in block order, which is rank order (host/rank_ordered_rounds.h).
  RankOrderedRounds rounds(cluster, work.memoryBytes, [&](int p, wire::Reader& in) {
    while (!in.done()) {
      PassBlock b{};
      wire::get(in, b);
      if (p < me) v0 += b.valid;
      total += b.valid;
      std::vector<int> to = mergeSummary(b);
      if (p == me) cellTo.push_back(std::move(to));
    }
  });
  for (long round = 0;; ++round) {
    const long lo = std::min(b1, b0 + round * kSharedRoundBlocks);
    const long hi = std::min(b1, b0 + (round + 1) * kSharedRoundBlocks);
    const CaseRange part{std::min(groupCases, lo * size), std::min(groupCases, hi * size)};
    const bool more = rounds.round([&](wire::Writer& out) {
      reduceBlocks(
          part.size(), size, work.threads,
          [&](CaseRange r) {
            return map(CaseRange{part.begin + r.begin, part.begin + r.end});
          },
          [&](PassBlock&& b) {
            wire::put(out, b);
            stagedValid.push_back(b.valid);
            CaseBlockColumns cols = takeColumns(b);
            cols.cell.assign(b.caseCell.begin(), b.caseCell.end());
            staged.append(cols);
          });
      if (hi == b1) staged.finish();
      return hi < b1;
    });
    if (!more) break;
  }
  rounds.finish();
  QV_ASSERT(cellTo.size() == stagedValid.size(), "shared data pass");

  // This process's valid cases are the group's [v0, v1): those before the first block boundary
  // (its head) go to the process that keeps the block they end, the rest stay here.
  const long v1 = v0 + staged.size();
  const long ownFrom = std::min(v1, (v0 + size - 1) / size * size);
  // (Every step that reads or writes a file runs inside a gathering, so that a failure reaches
  // every process.)
  CaseBlockColumns run;
  const std::vector<std::string> heads = gatherAll(cluster, [&](wire::Writer& out) {
    CaseBlockColumns head;
    size_t block = 0;
    long leftInBlock = stagedValid.empty() ? 0 : stagedValid[0];
    long v = v0;
    staged.scan([&](const CaseBlock& c) {
      for (long k = c.range.begin; k < c.range.end; ++k, ++v) {
        while (leftInBlock == 0) leftInBlock = stagedValid[++block];
        --leftInBlock;
        appendCase(c, k, &cellTo[block], v < ownFrom ? head : run);
        if (run.cases == size) {
          work.append(run);
          run.clear();
        }
      }
      return false;
    });
    wire::put(out, head);
  });
  staged.clear();
  // The last block kept here ends at the next block boundary (or the group's last case).
  const long ownTo = ownFrom < v1 ? std::min(total, (v1 + size - 1) / size * size) : v1;
  long need = ownTo - v1;
  for (int p = me + 1; p < processes && need > 0; ++p) {
    wire::Reader in(heads[static_cast<size_t>(p)]);
    CaseBlockColumns theirs;
    wire::get(in, theirs);
    const CaseBlock c = viewOf(theirs, CaseRange{0, theirs.cases}, work.ndepvr, work.ncovar);
    for (long k = 0; k < theirs.cases && need > 0; ++k, --need) appendCase(c, k, nullptr, run);
  }
  // The group's first block, kept by every process.
  CaseBlockColumns first;
  const std::vector<std::string> firsts = gatherAll(cluster, [&](wire::Writer& out) {
    QV_ASSERT(need == 0, "shared data pass");
    work.append(run);
    work.finish();
    if (v0 == 0 && v1 > 0) {
      work.scan([&](const CaseBlock& c) {
        for (long k = c.range.begin; k < c.range.end; ++k) appendCase(c, k, nullptr, first);
        return true;
      });
      wire::put(out, first);
    }
  });
  for (const std::string& bytes : firsts) {
    if (bytes.empty()) continue;
    wire::Reader in(bytes);
    wire::get(in, first);
  }
  work.distribute(cluster, ownFrom / size, total, std::move(first));
}

}  // namespace

PassResult readGroupCases(Context& ctx, ProcedureState& st, CaseReader& reader, bool firstGroup,
                          CaseWorkFile& work) {
  GroupState& g = st.group;
  const Dictionary& dict = ctx.data->dictionary();
  const int nf = st.nfactr();
  work.clear();
  work.ndepvr = st.ndepvr();
  work.ncovar = st.ncovar();
  work.weighted = ctx.data->weightIndex() >= 0;
  work.regWeighted = st.regwgtVar >= 0;
  g.nvalid = 0;
  g.sumWeights = 0.0;
  g.designCellLevels.clear();

  PassVariables pv;
  pv.dict = &dict;
  pv.includeUserMissing = st.includeUserMissing;
  pv.weightVar = ctx.data->weightIndex();
  pv.weighted = pv.weightVar >= 0;
  pv.regVar = st.regwgtVar;
  pv.dep = st.depVars;
  pv.cov = st.covVars;
  pv.factors = st.factorVars;
  for (int var : st.factorVars) pv.factorIsString.push_back(dict.vars[static_cast<size_t>(var)].isString());
  for (const Variable& v : dict.vars)
    pv.userMissing.push_back(!st.includeUserMissing && (!v.missing.numbers.empty() || v.missing.range));

  // The pass is a reduction over blocks of blockCases consecutive cases from the group's first:
  // each block's partial result (PassBlock) is merged in case order into the group's level
  // collectors and design cells, so that both number their values in order of first appearance
  // over all the cases, whatever the blocks and threads.
  std::vector<LevelCollector> levels(static_cast<size_t>(nf));
  for (int f = 0; f < nf; ++f) levels[f].isString = pv.factorIsString[f] != 0;
  DesignCellTable cells(nf);
  long casesRead = 0;
  num::DD sumWeights(0.0);
  // Merges a block's levels, design cells and counts into the group's; returns the group's
  // number of each of the block's design cells.
  auto mergeSummary = [&](const PassBlock& b) {
    std::vector<std::vector<int>> to(static_cast<size_t>(nf));
    std::vector<size_t> counts(static_cast<size_t>(nf));
    for (int f = 0; f < nf; ++f) {
      to[f] = levels[f].merge(b.levels[f]);
      counts[f] = levels[f].weights.size();
    }
    std::vector<int> cellTo;
    if (nf > 0) {
      cells.resize(counts);
      std::vector<int> ids(static_cast<size_t>(nf));
      for (size_t at = 0; at < b.cellLevels.size(); at += static_cast<size_t>(nf)) {
        for (int f = 0; f < nf; ++f) ids[f] = to[f][static_cast<size_t>(b.cellLevels[at + f])];
        cellTo.push_back(cells.find(ids.data()));
      }
    }
    // The weights summed block by block in case order.
    sumWeights += num::DD(b.sumW, b.sumWLo);
    g.nvalid += b.valid;
    casesRead += b.read;
    return cellTo;
  };
  auto merge = [&](PassBlock&& b) { appendBlock(work, b, mergeSummary(b)); };
  const long blockCases = std::max(1L, work.blockCases);
  long groupBegin = 0, groupEnd = 0;
  // (An empty range read tells whether the source reads ranges at all.) A split group smaller
  // than a block gains nothing from threads, and reading a range costs whole converted blocks:
  // many small groups are read case by case.
  if (reader.groupRange(groupBegin, groupEnd) &&
      (ctx.data->splitIndexes().empty() || groupEnd - groupBegin >= blockCases) &&
      ctx.data->readRange(groupBegin, groupBegin, [](const CaseColumns&) {})) {
    // The group's extent is known: its blocks are read straight from the converted data, on
    // several threads.
    auto map = [&](CaseRange range) {
      PassBlock b(pv);
      b.reserve(range.size());
      ctx.data->readRange(groupBegin + range.begin, groupBegin + range.end, [&](const CaseColumns& cols) {
        const DecimalRemainder* rem = cols.remainders;
        const DecimalRemainder* const remLast = cols.remainders + cols.remainderCount;
        for (uint32_t row = cols.begin; row < cols.end; ++row) {
          while (rem != remLast && rem->row < row) ++rem;
          const DecimalRemainder* remEnd = rem;
          while (remEnd != remLast && remEnd->row == row) ++remEnd;
          addCase(pv, work.keepRecords, ColumnCase{cols, row, rem, remEnd}, cols.first + row, b);
          rem = remEnd;
        }
      });
      finishBlock(b);
      return b;
    };
    if (ctx.cluster != nullptr && ctx.cluster->size() > 1) {
      long ownBegin = 0, ownEnd = 0;
      const bool converted = ctx.data->sharedCases(ownBegin, ownEnd);
      const CaseRange own{std::clamp(ownBegin - groupBegin, 0L, groupEnd - groupBegin),
                          std::clamp(ownEnd - groupBegin, 0L, groupEnd - groupBegin)};
      readSharedGroup(*ctx.cluster, groupEnd - groupBegin, converted ? &own : nullptr, map, mergeSummary,
                      work);
    } else {
      reduceBlocks(groupEnd - groupBegin, blockCases, work.threads, map, merge);
    }
    reader.skipGroup();
    work.recordsRead = groupEnd;
  } else {
    // The cases one by one through the reader (a source that does not read ranges), in the
    // same blocks.
    long ownBegin = 0, ownEnd = 0;
    QV_ASSERT(!ctx.data->sharedCases(ownBegin, ownEnd), "a source converted in shares read case by case");
    PassBlock b(pv);
    while (reader.next()) {
      addCase(pv, work.keepRecords, ReaderCase{reader}, work.recordsRead++, b);
      if (b.read == blockCases) {
        finishBlock(b);
        merge(std::move(b));
        b = PassBlock(pv);
      }
    }
    if (b.read > 0) {
      finishBlock(b);
      merge(std::move(b));
    }
  }
  work.finish();
  g.sumWeights = sumWeights.value();

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
