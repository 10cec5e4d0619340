#pragma once
// The case work file: the valid cases of the current split group in file order, stored as
// fixed blocks of cases, each block column-wise, in a WorkStore: in memory while the blocks are
// small, in an unlinked temporary file in the temporary folder (TMPDIR) once they are not, so
// that a group need not fit in memory. A pass over the cases reads one block at a time
// (CaseBlock); the data pass appends whole blocks (CaseBlockColumns).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "data/case_blocks.h"
#include "host/assert.h"
#include "host/cluster.h"
#include "host/data/work_store.h"
#include "host/rank_ordered_rounds.h"
#include "host/wire.h"

namespace qv {

// The columns of a run of cases as the data pass fills them, before they go to the work file.
struct CaseBlockColumns {
  long cases = 0;
  std::vector<double> dep;             // ndepvr per case
  std::vector<double> cov;             // ncovar per case
  std::vector<double> w;               // case weight; only when the work file is weighted
  std::vector<double> r;               // regression weight; only with a regression weight
  std::vector<double> depRem, covRem;  // remainders of decimal input (exact value minus the
                                       // double), like dep and cov; empty when all are 0
  std::vector<int32_t> cell;           // design cell (GroupData::designCellLevels); empty: all 0
  std::vector<int64_t> record;         // 0-based position in the active data; only when kept
  void clear();
  auto fields() { return std::tie(cases, dep, cov, w, r, depRem, covRem, cell, record); }
  auto fields() const { return std::tie(cases, dep, cov, w, r, depRem, covRem, cell, record); }
};

// One block of the work file as a pass reads it: its cases' numbers in the group and its
// columns. The accessors take a case's number in the group (range.begin <= k < range.end).
struct CaseBlock {
  CaseRange range;
  int ndepvr = 0, ncovar = 0;
  const double* dep = nullptr;
  const double* cov = nullptr;
  const double* w = nullptr;       // null when every case weighs 1
  const double* r = nullptr;       // null without a regression weight
  const double* depRem = nullptr;  // null when every remainder of the block is 0
  const double* covRem = nullptr;
  const int32_t* cell = nullptr;    // null when every case lies in design cell 0
  const int64_t* record = nullptr;  // null when positions are not kept

  long at(long k) const { return k - range.begin; }
  const double* depOf(long k) const { return dep + at(k) * ndepvr; }
  const double* covOf(long k) const { return cov + at(k) * ncovar; }
  // Remainders of case k, or null when all are 0.
  const double* depRemOf(long k) const { return depRem ? depRem + at(k) * ndepvr : nullptr; }
  const double* covRemOf(long k) const { return covRem ? covRem + at(k) * ncovar : nullptr; }
  double weight(long k) const { return w ? w[at(k)] : 1.0; }
  double regWeight(long k) const { return r ? r[at(k)] : 1.0; }
  int designCell(long k) const { return cell ? cell[at(k)] : 0; }
  long recordOf(long k) const { return record ? static_cast<long>(record[at(k)]) : -1; }
};

// A view of cases [range.begin, range.end) held in `cases` (case range.begin at row 0).
CaseBlock viewOf(const CaseBlockColumns& cases, CaseRange range, int ndepvr, int ncovar);

struct CaseWorkFile {
  // Bytes of blocks kept in memory before the work file goes to the temporary folder.
  static constexpr size_t kMemoryBytes = size_t{32} << 20;

  int ndepvr = 0, ncovar = 0;
  bool weighted = false;     // the cases carry a case weight
  bool regWeighted = false;  // the cases carry a regression weight
  // Per case, its 0-based position in the active data is kept only when keepRecords is set;
  // recordsRead counts the cases read so far over all groups of the pass.
  bool keepRecords = false;
  long recordsRead = 0;
  // How the passes run over the cases: blocks of blockCases cases on `threads` threads
  // (see data/case_blocks.h). Neither changes a result. The work file is stored in blocks of
  // the same size.
  int threads = 1;
  long blockCases = kDefaultBlockCases;
  size_t memoryBytes = kMemoryBytes;

  CaseWorkFile();
  CaseWorkFile(CaseWorkFile&&) noexcept;
  CaseWorkFile& operator=(CaseWorkFile&&) noexcept;
  ~CaseWorkFile();

  long size() const { return cases_; }
  // Drops every case (and the temporary file); the next group starts empty.
  void clear();
  // Appends a run of cases: each full block of blockCases cases is stored as it fills; a run
  // of exactly one block with nothing pending is stored as it stands. Throws WorkFileError
  // when the temporary folder cannot take it.
  void append(const CaseBlockColumns& cases);
  // Stores the cases still pending (the last, partial block). Called once every case is in.
  void finish();

  // Runs a pass over every case: map(const CaseBlock&) -> partial result, merge(partial) in
  // block order. A block on disk is mapped into memory while the thread that maps it reads it.
  // When the file is shared among processes (distribute()), each process maps its own blocks
  // and every process merges every block's partial result in block order (the partial result
  // must then be able to travel: see host/wire.h).
  template <class Map, class Merge>
  void reduce(Map&& map, Merge&& merge) const {
    QV_ASSERT(pending_.cases == 0, "case work file not finished");
    auto mapLocal = [&](CaseRange local) {
      ScratchLease lease(*scratch_);
      return map(view(CaseRange{caseOffset_ + local.begin, caseOffset_ + local.end}, lease.buffer));
    };
    if (!cluster_) {
      reduceBlocks(cases_, blockCases, threads, mapLocal, merge);
      return;
    }
    using Partial = std::decay_t<std::invoke_result_t<Map&, const CaseBlock&>>;
    // Round by round, every process maps the next kRoundBlocks of its own blocks at the same
    // time, so that every process holds the partial results of a round at a time; the partial
    // results are merged in block order, which is rank order (see host/rank_ordered_rounds.h).
    const long size = std::max(1L, blockCases);
    const long chunk = kRoundBlocks * size;
    RankOrderedRounds rounds(*cluster_, memoryBytes, [&](int, wire::Reader& in) {
      while (!in.done()) {
        Partial part{};
        wire::get(in, part);
        merge(std::move(part));
      }
    });
    for (long round = 0;; ++round) {
      const CaseRange local{std::min(cases_, round * chunk), std::min(cases_, (round + 1) * chunk)};
      const bool more = rounds.round([&](wire::Writer& out) {
        reduceBlocks(
            local.size(), size, threads,
            [&](CaseRange r) {
              return mapLocal(CaseRange{local.begin + r.begin, local.begin + r.end});
            },
            [&](Partial&& part) { wire::put(out, part); });
        return local.end < cases_;
      });
      if (!more) break;
    }
    rounds.finish();
  }
  // Visits the blocks in order on the calling thread until `visit(const CaseBlock&)` returns
  // true; for questions answered by the first cases (the first valid case's values). A file
  // shared among processes offers its first block alone, which every process keeps.
  template <class Visit>
  void scan(Visit&& visit) const {
    QV_ASSERT(pending_.cases == 0, "case work file not finished");
    if (cluster_) {
      if (firstBlock_.cases == 0) return;
      QV_ASSERT(visit(firstBlockView()), "a shared case work file answers from its first block");
      return;
    }
    ScratchLease lease(*scratch_);
    for (long b = 0; b < static_cast<long>(blocks_.size()); ++b)
      if (visit(view(rangeOf(b), lease.buffer))) return;
  }

  // Shares the passes of this group's cases among the processes of `cluster`. Every process
  // has appended (and finished) the cases of the global blocks [firstBlock, ...) it is to map,
  // whole blocks from the group's case number firstBlock * blockCases on, out of `totalCases`
  // cases in all; `first` holds the group's first block (the cases of global block 0), the same
  // on every process. A group not shared (clear()) is mapped whole by every process.
  void distribute(Cluster& cluster, long firstBlock, long totalCases, CaseBlockColumns first);

 private:
  // What a stored block holds beyond its fixed columns.
  struct StoredBlock {
    long cases = 0;
    bool depRem = false, covRem = false, cell = false;
  };
  // Views of blocks on disk (with their fallback buffers), handed to one thread at a time.
  struct ScratchPool {
    std::mutex mu;
    std::vector<WorkStore::View> free;
  };
  struct ScratchLease {
    ScratchPool& pool;
    WorkStore::View buffer;
    explicit ScratchLease(ScratchPool& p);
    ~ScratchLease();
  };

  // Blocks each process maps in a round before the partial results are gathered: this bounds
  // the bytes gathered at a time.
  static constexpr long kRoundBlocks = 64;

  CaseRange rangeOf(long b) const;
  CaseBlock view(CaseRange range, WorkStore::View& scratch) const;
  CaseBlock firstBlockView() const;
  void store(const CaseBlockColumns& block);

  long cases_ = 0;
  // Shared among processes: the cluster, the group's number of the first case kept here (a
  // multiple of blockCases), the group's number of cases, and the group's first block.
  Cluster* cluster_ = nullptr;
  long caseOffset_ = 0;
  long totalCases_ = 0;
  CaseBlockColumns firstBlock_;
  std::vector<StoredBlock> blocks_;
  std::unique_ptr<WorkStore> store_;
  CaseBlockColumns pending_;  // cases appended but not yet a full block
  std::unique_ptr<ScratchPool> scratch_;
};

}  // namespace qv
