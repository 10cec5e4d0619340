#pragma once
// The processes of one run that share its passes over the cases (the ranks of an MPI job).
//
// Every process runs the whole command over the same data; a pass over the cases splits its
// blocks among the processes, each maps its own blocks, and the partial results of every block
// are gathered to every process and merged there in block order, so that every process ends
// with the result one process alone would have computed, to the last bit. Only the first
// process (rank 0) writes output.
#include <functional>
#include <string>
#include <vector>

#include "host/wire.h"

namespace qv {

class Cluster {
 public:
  virtual ~Cluster() = default;
  virtual int rank() const = 0;  // 0-based number of this process
  virtual int size() const = 0;  // number of processes (at least 1)
  // Every process hands in `mine`; returns every process's bytes in rank order. Collective:
  // every process calls it the same number of times in the same order. A failure of the
  // transport is thrown as std::runtime_error.
  virtual std::vector<std::string> allGather(const std::string& mine) = 0;
};

// Runs `produce` (this process's part of a collective step) and gathers every process's bytes
// in rank order. A failure on any process (an exception from `produce`) is thrown on every
// process, after the gathering, as the same kind of error (work file, changed data, internal
// check, memory) with the same text, so that every process ends alike; the first process that
// failed speaks for all. What it throws also derives from AgreedFailure.
std::vector<std::string> gatherAll(Cluster& cluster, const std::function<void(wire::Writer&)>& produce);

// The mark of a failure that gatherAll threw on every process alike: each process may report it
// and go on with the next command in step with the others. A failure without the mark may
// have struck one process alone, which then cannot stay in step. Catch failures by their kind
// as ever; ask failureIsAgreed() in the handler.
struct AgreedFailure {
  virtual ~AgreedFailure() = default;
};

// Whether the failure being handled (call it inside a catch handler) carries the AgreedFailure
// mark.
bool failureIsAgreed();

}  // namespace qv
