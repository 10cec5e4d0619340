#include "save/scratch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "save/atomic_file.h"

namespace qv {

namespace {
constexpr size_t kBufferSize = 1 << 16;
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool ScratchFile::open(std::string& why) {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env && *env ? env : "/tmp";
  std::string name = dir + "/quorvest-scratch-XXXXXX";
  fd_ = ::mkstemp(name.data());
  if (fd_ < 0) {
    why = dir + ": cannot create a scratch file: " + std::strerror(errno);
    return false;
  }
  ::unlink(name.c_str());  // gone when closed, however the program ends
  buf_.clear();
  buf_.reserve(kBufferSize);
  return true;
}

bool ScratchFile::flush() {
  if (errno_ == 0) errno_ = writeFully(fd_, buf_.data(), buf_.size());
  buf_.clear();
  return errno_ == 0;
}

void ScratchFile::write(const void* data, size_t size) {
  if (fd_ < 0 || errno_ != 0) return;
  const char* p = static_cast<const char*>(data);
  buf_.insert(buf_.end(), p, p + size);
  if (buf_.size() >= kBufferSize) flush();
}

bool ScratchFile::rewind(std::string& why) {
  if (fd_ < 0 || !flush() || ::lseek(fd_, 0, SEEK_SET) != 0) {
    why = std::string("cannot write the scratch file: ") + std::strerror(errno_ ? errno_ : errno);
    return false;
  }
  buf_.assign(kBufferSize, 0);
  at_ = end_ = 0;
  return true;
}

bool ScratchFile::read(void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    if (at_ == end_) {
      ssize_t n;
      do n = ::read(fd_, buf_.data(), buf_.size());
      while (n < 0 && errno == EINTR);
      if (n <= 0) return false;
      at_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t take = std::min(size, end_ - at_);
    std::memcpy(p, buf_.data() + at_, take);
    at_ += take;
    p += take;
    size -= take;
  }
  return true;
}

}  // namespace qv
