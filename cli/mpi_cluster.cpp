#include "mpi_cluster.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace qv {

namespace {

// Throws the MPI error `code` of `call` as std::runtime_error.
void check(int code, const char* call) {
  if (code == MPI_SUCCESS) return;
  char text[MPI_MAX_ERROR_STRING] = {};
  int length = 0;
  if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) length = 0;
  throw std::runtime_error(
      std::string(call) + " failed" +
      (length > 0 ? ": " + std::string(text, static_cast<size_t>(length)) : std::string()));
}

}  // namespace

MpiCluster::MpiCluster(MPI_Comm comm, int64_t pieceBytes) : pieceBytes_(pieceBytes) {
  if (pieceBytes_ < 1) throw std::runtime_error("MpiCluster: the piece size must be at least one byte");
  check(MPI_Comm_dup(comm, &comm_), "MPI_Comm_dup");
  try {
    check(MPI_Comm_set_errhandler(comm_, MPI_ERRORS_RETURN), "MPI_Comm_set_errhandler");
    check(MPI_Comm_rank(comm_, &rank_), "MPI_Comm_rank");
    check(MPI_Comm_size(comm_, &size_), "MPI_Comm_size");
  } catch (...) {
    MPI_Comm_free(&comm_);
    throw;
  }
  // Every process's piece fits, with all the others', in one int-counted exchange.
  pieceBytes_ = std::min<int64_t>(pieceBytes_, INT_MAX / size_);
}

MpiCluster::~MpiCluster() {
  if (comm_ != MPI_COMM_NULL) MPI_Comm_free(&comm_);
}

std::vector<std::string> MpiCluster::allGather(const std::string& mine) {
  const int64_t mySize = static_cast<int64_t>(mine.size());
  std::vector<int64_t> sizes(static_cast<size_t>(size_));
  check(MPI_Allgather(&mySize, 1, MPI_INT64_T, sizes.data(), 1, MPI_INT64_T, comm_), "MPI_Allgather");
  std::vector<std::string> all(static_cast<size_t>(size_));
  int64_t largest = 0;
  for (size_t r = 0; r < all.size(); ++r) {
    if (sizes[r] < 0) throw std::runtime_error("MPI_Allgather: a process handed in a negative size");
    all[r].reserve(static_cast<size_t>(sizes[r]));
    largest = std::max(largest, sizes[r]);
  }
  // Exchange k carries bytes [k * piece, (k + 1) * piece) of every process's share; every
  // process knows every size, so all take part in the same exchanges with the same counts.
  std::vector<int> counts(all.size()), offsets(all.size());
  std::string received;
  for (int64_t from = 0; from < largest; from += pieceBytes_) {
    int total = 0;
    for (size_t r = 0; r < all.size(); ++r) {
      counts[r] = static_cast<int>(std::clamp<int64_t>(sizes[r] - from, 0, pieceBytes_));
      offsets[r] = total;
      total += counts[r];
    }
    received.resize(static_cast<size_t>(total));
    const int myCount = counts[static_cast<size_t>(rank_)];
    check(MPI_Allgatherv(myCount > 0 ? mine.data() + from : mine.data(), myCount, MPI_BYTE, received.data(),
                         counts.data(), offsets.data(), MPI_BYTE, comm_),
          "MPI_Allgatherv");
    for (size_t r = 0; r < all.size(); ++r)
      all[r].append(received, static_cast<size_t>(offsets[r]), static_cast<size_t>(counts[r]));
  }
  return all;
}

}  // namespace qv
