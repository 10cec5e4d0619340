// The gathering of the MPI cluster, run on several processes under mpirun: shares of different
// sizes (none, fewer bytes than a piece, a piece exactly, several pieces and a remainder) arrive
// whole and in rank order on every process, with pieces of a few bytes so that one gathering
// takes many exchanges. Exit status 0 when every process received what it should.
#include "mpi_cluster.h"

#include <mpi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The share of process `rank` in round `round`: its length varies with both, its bytes say
// whose they are and where they stand.
std::string share(int rank, int round, int pieceBytes) {
  const int lengths[] = {0, 1, pieceBytes - 1, pieceBytes, pieceBytes + 1, 7 * pieceBytes + 2};
  const int length = lengths[(rank + round) % 6];
  std::string s;
  for (int i = 0; i < length; ++i) s += static_cast<char>('A' + (rank * 7 + i) % 26);
  return s;
}

int check(qv::MpiCluster& cluster, int pieceBytes) {
  int wrong = 0;
  for (int round = 0; round < 6; ++round) {
    const std::vector<std::string> all = cluster.allGather(share(cluster.rank(), round, pieceBytes));
    if (static_cast<int>(all.size()) != cluster.size()) ++wrong;
    for (int r = 0; r < cluster.size() && r < static_cast<int>(all.size()); ++r)
      if (all[static_cast<size_t>(r)] != share(r, round, pieceBytes)) {
        std::fprintf(stderr, "process %d, round %d, pieces of %d bytes: the share of process %d differs\n",
                     cluster.rank(), round, pieceBytes, r);
        ++wrong;
      }
  }
  return wrong;
}

}  // namespace

int main(int argc, char** argv) {
  if (MPI_Init(&argc, &argv) != MPI_SUCCESS) return 2;
  int wrong = 0;
  {
    for (int pieceBytes : {1, 3, 64}) {
      qv::MpiCluster cluster(MPI_COMM_WORLD, pieceBytes);
      wrong += check(cluster, pieceBytes);
    }
    qv::MpiCluster defaults;
    wrong += check(defaults, 5);
  }
  MPI_Finalize();
  return wrong == 0 ? 0 : 1;
}
