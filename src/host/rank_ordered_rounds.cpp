#include "host/rank_ordered_rounds.h"

#include <algorithm>
#include <utility>

#include "host/assert.h"

namespace qv {

RankOrderedRounds::RankOrderedRounds(Cluster& cluster, size_t memoryBytes, Consume consume)
    : cluster_(cluster),
      memoryBytes_(memoryBytes),
      consume_(std::move(consume)),
      done_(static_cast<size_t>(cluster.size()), 0),
      held_(static_cast<size_t>(cluster.size())) {}

RankOrderedRounds::~RankOrderedRounds() = default;

bool RankOrderedRounds::round(const std::function<bool(wire::Writer&)>& produce) {
  // A process's bytes: whether it has more after this round (one byte), then its round's bytes.
  std::vector<std::string> all = gatherAll(cluster_, [&](wire::Writer& out) {
    absorb();
    const size_t flag = out.bytes.size();
    out.bytes.push_back(0);
    if (produce(out)) out.bytes[flag] = 1;
  });
  received_ = std::move(all);
  bool more = false;
  for (const std::string& bytes : received_) {
    QV_ASSERT(!bytes.empty(), "a round of a shared pass");
    more = more || bytes[0] != 0;
  }
  return more;
}

void RankOrderedRounds::finish() {
  gatherAll(cluster_, [&](wire::Writer&) {
    absorb();
    QV_ASSERT(next_ == cluster_.size(), "every process of a shared pass is done after its last round");
  });
}

void RankOrderedRounds::absorb() {
  const int processes = cluster_.size();
  for (int p = 0; p < static_cast<int>(received_.size()); ++p) {
    std::string bytes = std::move(received_[static_cast<size_t>(p)]);
    const bool last = bytes[0] == 0;
    const size_t n = bytes.size() - 1;
    if (p < next_) {
      QV_ASSERT(n == 0, "a process of a shared pass wrote after its last round");
      continue;
    }
    if (p > next_) {
      if (n > 0) {
        // Shares the bytes held in memory among the processes that may be held.
        auto& store = held_[static_cast<size_t>(p)];
        if (!store) store = std::make_unique<WorkStore>(std::max<size_t>(1, memoryBytes_ / (processes - 1)));
        store->add(bytes.data() + 1, n);
      }
      if (last) done_[static_cast<size_t>(p)] = 1;
      continue;
    }
    wire::Reader in(bytes.data() + 1, n);
    if (n > 0) consume_(p, in);
    if (!last) continue;
    // This process is done: the next ones' turn comes, their held bytes first (the rounds of
    // those already done, whole).
    done_[static_cast<size_t>(p)] = 1;
    while (next_ < processes && done_[static_cast<size_t>(next_)]) {
      ++next_;
      if (next_ < processes) drainHeld(next_);
    }
  }
  received_.clear();
}

void RankOrderedRounds::drainHeld(int rank) {
  std::unique_ptr<WorkStore> store = std::move(held_[static_cast<size_t>(rank)]);
  if (!store) return;
  std::vector<char> scratch;
  for (size_t b = 0; b < store->blockCount(); ++b) {
    size_t n = 0;
    const char* p = store->block(b, scratch, n);
    wire::Reader in(p, n);
    consume_(rank, in);
  }
}

}  // namespace qv
