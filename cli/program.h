#pragma once
// The body shared by the quorvest programs: quorvest (one process) and quorvest-mpi (every
// process of an MPI job).
namespace qv {
class Cluster;
}

// Parses the arguments, runs the commands and writes the output; returns the exit status
// (0 success, 1 a command reported an error, 2 a usage error or an unreadable input).
// `cluster` is null for one process; otherwise the processes that share the passes over the
// cases, of which the first (rank 0) alone prints and writes files, and every process returns
// the same status. A failure of the cluster's transport is thrown as std::runtime_error.
int runProgram(int argc, char** argv, qv::Cluster* cluster);
