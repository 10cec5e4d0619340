#include "host/data/work_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qv {

std::string temporaryFolder() {
  const char* t = std::getenv("TMPDIR");
  return t && *t ? std::string(t) : std::string("/tmp");
}

TempFile::TempFile() {
  const std::string dir = temporaryFolder();
  std::string path = dir + "/quorvest-work-XXXXXX";
  fd_ = ::mkstemp(path.data());
  if (fd_ < 0)
    throw WorkFileError("cannot create a work file in the temporary folder " + dir + ": " +
                        std::strerror(errno) + " (set TMPDIR to a folder with room)");
  ::unlink(path.c_str());
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
}

long long TempFile::append(const char* p, size_t n) {
  const long long at = size_;
  size_t done = 0;
  while (done < n) {
    ssize_t k = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(size_ + static_cast<long long>(done)));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0)
      throw WorkFileError("cannot write the work file in the temporary folder " + temporaryFolder() + ": " +
                          std::strerror(k < 0 ? errno : ENOSPC) + " (set TMPDIR to a folder with room)");
    done += static_cast<size_t>(k);
  }
  size_ += static_cast<long long>(n);
  return at;
}

void TempFile::readAt(long long offset, char* p, size_t n) const {
  size_t done = 0;
  while (done < n) {
    ssize_t k = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + static_cast<long long>(done)));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0)
      throw WorkFileError(std::string("cannot read the work file back: ") +
                          (k < 0 ? std::strerror(errno) : "it is shorter than written"));
    done += static_cast<size_t>(k);
  }
}

void WorkStore::add(const char* p, size_t n) {
  if (file_) {
    blocks_.push_back(Block{file_->append(p, n), n});
    return;
  }
  blocks_.push_back(Block{static_cast<long long>(buf_.size()), n});
  buf_.insert(buf_.end(), p, p + n);
  if (buf_.size() > memoryBytes_) {
    // Too much for memory: everything so far goes to the file, and so does what follows.
    file_ = std::make_unique<TempFile>();
    file_->append(buf_.data(), buf_.size());
    buf_ = std::vector<char>();
  }
}

const char* WorkStore::block(size_t b, std::vector<char>& scratch, size_t& n) const {
  const Block& bl = blocks_[b];
  n = bl.bytes;
  if (!file_) return buf_.data() + bl.offset;
  if (scratch.size() < bl.bytes) scratch.resize(bl.bytes);
  file_->readAt(bl.offset, scratch.data(), bl.bytes);
  return scratch.data();
}

}  // namespace qv
