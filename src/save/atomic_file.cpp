#include "save/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qv {

namespace {

constexpr size_t kBufferSize = 1 << 16;

std::string failure(const std::string& path, int err) {
  return path + ": cannot write: " + std::strerror(err);
}

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
  tmp_.clear();
}

bool AtomicFile::open(const std::string& path, std::string& why) {
  namespace fs = std::filesystem;
  discard();
  path_ = path;
  errno_ = 0;
  buf_.clear();
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    why = path + ": cannot write: it is a directory";
    return false;
  }
  fs::path target(path);
  fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::string tmp = (dir / ("." + target.filename().string() + ".tmpXXXXXX")).string();
  fd_ = ::mkstemp(tmp.data());
  if (fd_ < 0) {
    why = failure(path, errno);
    return false;
  }
  tmp_ = tmp;
  // mkstemp makes the file private; give it the mode an ordinary new file would get.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
  return true;
}

void AtomicFile::flush() {
  size_t done = 0;
  while (errno_ == 0 && done < buf_.size()) {
    const ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      errno_ = n < 0 ? errno : ENOSPC;
    else
      done += static_cast<size_t>(n);
  }
  buf_.clear();
}

void AtomicFile::write(const char* data, size_t size) {
  if (fd_ < 0 || errno_ != 0) return;
  buf_.append(data, size);
  if (buf_.size() >= kBufferSize) flush();
}

bool AtomicFile::complete(std::string& why) {
  if (fd_ < 0 && tmp_.empty()) {
    why = path_ + ": cannot write: the file was not opened";
    return false;
  }
  if (fd_ >= 0) {
    flush();
    if (errno_ == 0 && ::fsync(fd_) != 0) errno_ = errno;
    if (::close(fd_) != 0 && errno_ == 0) errno_ = errno;
    fd_ = -1;
  }
  if (errno_ != 0) {
    why = failure(path_, errno_);
    discard();
    return false;
  }
  return true;
}

bool AtomicFile::commit(std::string& why) {
  if (!complete(why)) return false;
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) errno_ = errno;
  if (errno_ != 0) {
    why = failure(path_, errno_);
    discard();
    return false;
  }
  tmp_.clear();
  return true;
}

bool checkWritable(const std::string& path, std::string& why) {
  AtomicFile probe;
  return probe.open(path, why);  // the destructor removes the probe
}

}  // namespace qv
