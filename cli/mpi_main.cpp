// The quorvest-mpi program: the quorvest program on every process of an MPI job
// (mpirun -np K quorvest-mpi ...), the processes sharing every pass over the cases.
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "mpi_cluster.h"
#include "program.h"

namespace {

// The exit status when the processes could not work together (a failure of MPI itself).
constexpr int kExitCluster = 3;

// MPI for the lifetime of the program: initialised first, finalised on the way out.
class MpiSession {
 public:
  MpiSession(int& argc, char**& argv) {
    // The passes run on threads; one thread of a process talks to MPI at a time.
    int provided = 0;
    ok_ = MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided) == MPI_SUCCESS;
  }
  ~MpiSession() {
    int finalized = 0;
    if (ok_ && MPI_Finalized(&finalized) == MPI_SUCCESS && !finalized) MPI_Finalize();
  }
  MpiSession(const MpiSession&) = delete;
  MpiSession& operator=(const MpiSession&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Ends every process of the job: one that stopped alone would leave the others waiting for it.
[[noreturn]] void abortJob(const char* what) {
  int rank = -1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::fprintf(stderr, "quorvest-mpi: process %d: %s; every process is stopped\n", rank, what);
  std::fflush(stderr);
  MPI_Abort(MPI_COMM_WORLD, kExitCluster);
  std::_Exit(kExitCluster);
}

}  // namespace

int main(int argc, char** argv) {
  MpiSession mpi(argc, argv);
  if (!mpi.ok()) {
    std::fprintf(stderr, "quorvest-mpi: MPI could not be started\n");
    return kExitCluster;
  }
  int status = kExitCluster;
  try {
    qv::MpiCluster cluster;
    status = runProgram(argc, argv, &cluster);
  } catch (const std::exception& e) {
    abortJob(e.what());
  } catch (...) {
    abortJob("an unexpected failure");
  }
  return status;
}
