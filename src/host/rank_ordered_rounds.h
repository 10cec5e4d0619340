#pragma once
// Rounds of a pass shared among the processes of a cluster, in which every process maps the next
// chunk of its own blocks at the same time.
//
// Each process owns one run of consecutive blocks, process 0 the first, and every block's partial
// result must be merged in block order on every process (a different order of the additions would
// change the last bits), that is in rank order: all of process 0's, then all of process 1's, ...
// A round's bytes from a process whose turn has not come yet (a process before it still maps) are
// held until it comes: in memory up to a limit, beyond it in an unlinked file in the temporary
// folder (host/data/work_store.h). Every step that merges, holds or reads back bytes runs inside
// the next gathering, so that a failure on one process (a full temporary folder) is thrown on
// every process instead of leaving the others waiting.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/cluster.h"
#include "host/data/work_store.h"
#include "host/wire.h"

namespace qv {

class RankOrderedRounds {
 public:
  // `consume(rank, bytes)` merges the bytes one process wrote in one round; it is called on
  // every process, for the processes in rank order and for each process in round order.
  // `memoryBytes`: bytes held in memory, over all processes, before they go to a file.
  using Consume = std::function<void(int rank, wire::Reader& bytes)>;
  RankOrderedRounds(Cluster& cluster, size_t memoryBytes, Consume consume);
  ~RankOrderedRounds();
  RankOrderedRounds(const RankOrderedRounds&) = delete;
  RankOrderedRounds& operator=(const RankOrderedRounds&) = delete;

  // One round, collective: `produce(out)` writes this process's bytes for the round and returns
  // whether this process has more to write in a later round (it must not after saying no).
  // Returns whether any process has: false after the last round, when finish() follows.
  bool round(const std::function<bool(wire::Writer&)>& produce);
  // Collective, after the last round: consumes every byte not consumed yet.
  void finish();

 private:
  // Consumes or holds the bytes of the last round gathered, in rank order.
  void absorb();
  // Consumes the bytes held for process `rank`, in round order, and drops them.
  void drainHeld(int rank);

  Cluster& cluster_;
  size_t memoryBytes_;
  Consume consume_;
  int next_ = 0;                                  // the process whose bytes are consumed now
  std::vector<char> done_;                        // per process: it said it has no more
  std::vector<std::unique_ptr<WorkStore>> held_;  // per process after next_: its rounds' bytes
  std::vector<std::string> received_;             // the last round gathered, not absorbed yet
};

}  // namespace qv
