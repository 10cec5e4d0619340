#include "save/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace qv {

namespace {

constexpr size_t kBufferSize = 1 << 16;

std::string failure(const std::string& path, int err) {
  return path + ": cannot write: " + std::strerror(err);
}

// The temporary files an interruption must remove. A signal handler may only touch memory
// like this (fixed buffers, flags of type sig_atomic_t), so the names live here for the life
// of the process; a file opened while every place is taken is still written safely, only not
// removed on an interruption.
constexpr int kCleanupSlots = 32;
char gCleanupNames[kCleanupSlots][PATH_MAX + 1] = {};
volatile std::sig_atomic_t gCleanupUsed[kCleanupSlots] = {};

extern "C" void removeTemporariesAndDie(int sig) {
  for (int i = 0; i < kCleanupSlots; ++i)
    if (gCleanupUsed[i]) ::unlink(gCleanupNames[i]);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Holds every signal for its lifetime, so that a temporary file is never created or removed
// without its clean-up entry matching.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &old_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Follows symbolic links to the file they name (which need not exist yet).
std::filesystem::path followLinks(std::filesystem::path p) {
  namespace fs = std::filesystem;
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
    fs::path to = fs::read_symlink(p, ec);
    if (ec) return p;
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  return p;
}

}  // namespace

void installOutputFileSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = removeTemporariesAndDie;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::forget() {
  if (cleanupSlot_ >= 0) gCleanupUsed[cleanupSlot_] = 0;
  cleanupSlot_ = -1;
}

void AtomicFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  inPlace_ = false;
  if (!tmp_.empty()) {
    SignalsHeld held;
    ::unlink(tmp_.c_str());
    forget();
  }
  tmp_.clear();
}

bool AtomicFile::open(const std::string& path, std::string& why) {
  namespace fs = std::filesystem;
  discard();
  path_ = path;
  errno_ = 0;
  inPlace_ = false;
  buf_.clear();
  const fs::path target = followLinks(path);
  target_ = target.string();
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    why = path + ": cannot write: it is a directory";
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    fd_ = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      why = failure(path, errno);
      return false;
    }
    inPlace_ = true;
    return true;
  }
  // The temporary name must fit the folder's limit on names, whatever the target's length.
  const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = 255;
  const std::string suffix = ".tmpXXXXXX";
  std::string stem = target.filename().string();
  const size_t room = static_cast<size_t>(nameMax) - suffix.size() - 1;
  if (stem.size() > room) stem.resize(room);
  std::string tmp = (dir / ("." + stem + suffix)).string();
  if (tmp.size() > PATH_MAX) {
    why = failure(path, ENAMETOOLONG);
    return false;
  }
  {
    SignalsHeld held;
    fd_ = ::mkstemp(tmp.data());
    if (fd_ >= 0) {
      tmp_ = tmp;
      for (int i = 0; i < kCleanupSlots; ++i) {
        if (gCleanupUsed[i]) continue;
        std::memcpy(gCleanupNames[i], tmp.c_str(), tmp.size() + 1);
        gCleanupUsed[i] = 1;
        cleanupSlot_ = i;
        break;
      }
    }
  }
  if (fd_ < 0) {
    why = failure(path, errno);
    return false;
  }
  ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
  if (exists) {
    // Keep the owner and permissions of the file being replaced (the owner when allowed).
    if (::fchown(fd_, st.st_uid, st.st_gid) != 0) {
    }
    ::fchmod(fd_, st.st_mode & 07777);
  } else {
    // mkstemp makes the file private; give it the mode an ordinary new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
  }
  return true;
}

int writeFully(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

void AtomicFile::flush() {
  if (errno_ == 0) errno_ = writeFully(fd_, buf_.data(), buf_.size());
  buf_.clear();
}

void AtomicFile::write(const char* data, size_t size) {
  if (fd_ < 0 || errno_ != 0) return;
  buf_.append(data, size);
  if (buf_.size() >= kBufferSize) flush();
}

bool AtomicFile::complete(std::string& why) {
  if (fd_ < 0 && tmp_.empty() && !inPlace_) {
    why = path_ + ": cannot write: the file was not opened";
    return false;
  }
  if (fd_ >= 0) {
    flush();
    if (errno_ == 0 && !inPlace_ && ::fsync(fd_) != 0) errno_ = errno;
    if (::close(fd_) != 0 && errno_ == 0 && errno != EINTR) errno_ = errno;
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
  if (inPlace_) return true;
  SignalsHeld held;
  if (::rename(tmp_.c_str(), target_.c_str()) != 0) {
    why = failure(path_, errno);
    discard();
    return false;
  }
  forget();
  tmp_.clear();
  return true;
}

bool checkWritable(const std::string& path, std::string& why) {
  const std::filesystem::path target = followLinks(path);
  struct stat st {};
  // Opening a pipe for writing waits for a reader: ask for permission only.
  if (::stat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    if (::access(target.c_str(), W_OK) == 0) return true;
    why = failure(path, errno);
    return false;
  }
  AtomicFile probe;
  return probe.open(path, why);  // the destructor removes the probe
}

}  // namespace qv
