#pragma once
// Passes over the case work file as reductions over fixed blocks of cases.
//
// A pass is a function `map` from a block of cases (a CaseRange) to a partial result, and a
// `merge` that folds the partial results into the pass's total, called on the calling thread
// in block order. The blocks have a fixed size (CaseWorkFile::blockCases) whatever the number of
// threads, and the partials are merged in the same order every time, so that the result is the
// same to the last bit on one thread or on many. Partial results are plain data (vectors of
// doubles, double-double pairs and counts), so that partials computed elsewhere can be merged
// here in the same order.
//
// `map` runs on several threads at once: it may only read shared data and must keep its
// scratch space to itself. An exception thrown by `map` (an internal-consistency check, an
// allocation failure) stops the pass and is rethrown on the calling thread once every worker
// has ended.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace qv {

// Cases [begin, end) of the work file, 0-based.
struct CaseRange {
  long begin = 0, end = 0;
  long size() const { return end - begin; }
};

// Default number of cases in one block of a pass: large enough that the per-block partial
// results cost nothing beside the cases, small enough that two threads share the work evenly.
constexpr long kDefaultBlockCases = 65536;

// The threads a pass uses when asked for `requested` (0: the cores available).
int passThreads(int requested);

// Runs `map` over the blocks of [0, cases) of `blockCases` cases each, on up to `threads`
// threads, and hands each block's partial result to `merge` in block order.
template <class Map, class Merge>
void reduceBlocks(long cases, long blockCases, int threads, Map&& map, Merge&& merge) {
  using Partial = std::decay_t<std::invoke_result_t<Map&, CaseRange>>;
  if (cases <= 0) return;
  blockCases = std::max(1L, blockCases);
  const long blocks = (cases + blockCases - 1) / blockCases;
  auto rangeOf = [&](long b) { return CaseRange{b * blockCases, std::min(cases, (b + 1) * blockCases)}; };
  const int nthreads = static_cast<int>(std::min<long>(std::max(1, threads), blocks));
  if (nthreads <= 1) {
    for (long b = 0; b < blocks; ++b) merge(map(rangeOf(b)));
    return;
  }

  // Workers claim the next block while it lies within a window of the next block to merge, so
  // that at most `window` partial results wait at any time.
  const long window = 2L * nthreads;
  std::vector<std::optional<Partial>> slots(static_cast<size_t>(window));
  std::mutex mu;
  std::condition_variable changed;
  long nextBlock = 0, merged = 0;
  bool stop = false;
  std::exception_ptr failure;

  auto work = [&]() {
    std::unique_lock lock(mu);
    for (;;) {
      changed.wait(lock, [&] { return stop || nextBlock >= blocks || nextBlock < merged + window; });
      if (stop || nextBlock >= blocks) return;
      const long b = nextBlock++;
      lock.unlock();
      std::optional<Partial> part;
      std::exception_ptr err;
      try {
        part.emplace(map(rangeOf(b)));
      } catch (...) {
        err = std::current_exception();
      }
      lock.lock();
      if (err) {
        if (!failure) failure = err;
        stop = true;
      } else {
        slots[static_cast<size_t>(b % window)] = std::move(part);
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  struct Joiner {
    std::vector<std::thread>& pool;
    std::mutex& mu;
    bool& stop;
    std::condition_variable& changed;
    ~Joiner() {
      {
        std::lock_guard lock(mu);
        stop = true;
      }
      changed.notify_all();
      for (std::thread& t : pool) t.join();
    }
  } joiner{pool, mu, stop, changed};
  for (int t = 0; t < nthreads; ++t) pool.emplace_back(work);

  // The calling thread merges in block order.
  std::unique_lock lock(mu);
  while (merged < blocks) {
    std::optional<Partial>& slot = slots[static_cast<size_t>(merged % window)];
    changed.wait(lock, [&] { return stop || slot.has_value(); });
    if (stop && !slot.has_value()) break;
    Partial part = std::move(*slot);
    slot.reset();
    ++merged;
    changed.notify_all();
    lock.unlock();
    try {
      merge(std::move(part));
    } catch (...) {
      lock.lock();
      if (!failure) failure = std::current_exception();
      stop = true;
      changed.notify_all();
      break;
    }
    lock.lock();
  }
  if (lock.owns_lock()) lock.unlock();
  {
    std::lock_guard g(mu);
    stop = true;
  }
  changed.notify_all();
  for (std::thread& t : pool) t.join();
  pool.clear();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace qv
