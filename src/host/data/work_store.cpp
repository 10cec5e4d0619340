#include "host/data/work_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

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

long long TempFile::append(const struct iovec* pieces, int count) {
  const long long at = size_;
  std::vector<struct iovec> left(pieces, pieces + count);
  size_t first = 0;
  while (first < left.size()) {
    if (left[first].iov_len == 0) {
      ++first;
      continue;
    }
    const int n = static_cast<int>(std::min<size_t>(left.size() - first, IOV_MAX));
    ssize_t k = ::pwritev(fd_, left.data() + first, n, static_cast<off_t>(size_));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0)
      throw WorkFileError("cannot write the work file in the temporary folder " + temporaryFolder() + ": " +
                          std::strerror(k < 0 ? errno : ENOSPC) + " (set TMPDIR to a folder with room)");
    size_ += k;
    // Skips what was written, a partial write resuming inside its piece.
    for (size_t done = static_cast<size_t>(k); done > 0;) {
      const size_t step = std::min(done, left[first].iov_len);
      left[first].iov_base = static_cast<char*>(left[first].iov_base) + step;
      left[first].iov_len -= step;
      done -= step;
      if (left[first].iov_len == 0) ++first;
    }
  }
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
  spillIfFull();
}

void WorkStore::spillIfFull() {
  if (buf_.size() > memoryBytes_) {
    // Too much for memory: everything so far goes to the file, and so does what follows.
    file_ = std::make_unique<TempFile>();
    file_->append(buf_.data(), buf_.size());
    buf_ = std::vector<char>();
  }
}

void WorkStore::add(const struct iovec* pieces, int count) {
  if (file_) {
    size_t n = 0;
    for (int i = 0; i < count; ++i) n += pieces[i].iov_len;
    blocks_.push_back(Block{file_->append(pieces, count), n});
    return;
  }
  blocks_.push_back(Block{static_cast<long long>(buf_.size()), 0});
  for (int i = 0; i < count; ++i) {
    const char* p = static_cast<const char*>(pieces[i].iov_base);
    buf_.insert(buf_.end(), p, p + pieces[i].iov_len);
  }
  blocks_.back().bytes = buf_.size() - static_cast<size_t>(blocks_.back().offset);
  spillIfFull();
}

WorkStore::View& WorkStore::View::operator=(View&& o) noexcept {
  if (this != &o) {
    release();
    map_ = std::exchange(o.map_, nullptr);
    mapBytes_ = std::exchange(o.mapBytes_, 0);
    buffer = std::move(o.buffer);
  }
  return *this;
}

void WorkStore::View::release() {
  if (map_) ::munmap(map_, mapBytes_);
  map_ = nullptr;
  mapBytes_ = 0;
}

const char* WorkStore::view(size_t b, View& v, size_t& n) const {
  v.release();
  const Block& bl = blocks_[b];
  n = bl.bytes;
  if (!file_) return buf_.data() + bl.offset;
  if (bl.bytes == 0) return buf_.data();
  // Mapped from the page that holds its first byte; the pages are read in at once.
  static const long long page = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
  const long long start = bl.offset / page * page;
  const size_t bytes = static_cast<size_t>(bl.offset - start) + bl.bytes;
  void* m =
      ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file_->fd(), static_cast<off_t>(start));
  if (m != MAP_FAILED) {
    v.map_ = m;
    v.mapBytes_ = bytes;
    return static_cast<const char*>(m) + (bl.offset - start);
  }
  return block(b, v.buffer, n);
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
