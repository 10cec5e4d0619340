#pragma once
// The processes of an MPI job as the Cluster of a run (host/cluster.h). MPI must be initialised
// before one is made and finalised only after it is gone; allGather is called by one thread of
// a process at a time.
#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/cluster.h"

namespace qv {

class MpiCluster final : public Cluster {
 public:
  // A communicator of its own over the processes of `comm` (MPI_COMM_WORLD by default); MPI
  // failures are returned to the caller (and thrown) rather than ending the job at once.
  // `pieceBytes` bounds what one process hands in per exchange (tests make it small).
  explicit MpiCluster(MPI_Comm comm = MPI_COMM_WORLD, int64_t pieceBytes = kPieceBytes);
  ~MpiCluster() override;
  MpiCluster(const MpiCluster&) = delete;
  MpiCluster& operator=(const MpiCluster&) = delete;

  int rank() const override { return rank_; }
  int size() const override { return size_; }
  // Gathers the byte counts (64-bit), then the bytes in exchanges of at most pieceBytes from
  // each process and less than 2 GiB in all, since MPI counts and displacements are int.
  std::vector<std::string> allGather(const std::string& mine) override;

  static constexpr int64_t kPieceBytes = int64_t{1} << 28;  // 256 MiB

 private:
  MPI_Comm comm_ = MPI_COMM_NULL;
  int rank_ = 0;
  int size_ = 1;
  int64_t pieceBytes_;
};

}  // namespace qv
