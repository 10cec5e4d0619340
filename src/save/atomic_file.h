#pragma once
// An output file written under a temporary name in the target's folder and renamed into place
// only when complete: a reader never sees half a file, and a failure (disk full, file-size
// limit, an error of the caller, an interruption) leaves neither a partial file nor a changed
// old one. A symbolic link is followed, so that the file it names is written and the link
// kept; a replaced file keeps its permissions (and owner, when allowed). A device or a pipe
// is written to as it is, since it cannot be replaced.
#include <string>

namespace qv {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // removes the temporary file unless committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `path` (or opens a device or pipe). False with `why` set
  // when that is impossible.
  bool open(const std::string& path, std::string& why);
  // Buffered writes; a failure is remembered and reported by complete() and commit().
  void write(const char* data, size_t size);
  void write(const std::string& s) { write(s.data(), s.size()); }
  // Flushes and closes the temporary file, without renaming it yet. False with `why` set on any
  // failure, and then nothing is left behind.
  bool complete(std::string& why);
  // Completes the file (when not done yet) and renames it into place. False with `why` set on
  // any failure, and then nothing is left behind.
  bool commit(std::string& why);

 private:
  void flush();
  void discard();
  void forget();  // drops the temporary name from the interruption clean-up
  std::string path_, target_, tmp_;
  int fd_ = -1;
  int errno_ = 0;         // first write error
  bool inPlace_ = false;  // a device or pipe, written directly
  int cleanupSlot_ = -1;  // place of tmp_ in the interruption clean-up, -1 = none
  std::string buf_;
};

// Writes all `size` bytes to the descriptor, retrying after interruptions. Returns 0, or the
// error that stopped it (ENOSPC when the system wrote nothing without saying why).
int writeFully(int fd, const char* data, size_t size);

// Checks that `path` can be created or replaced: not a directory, its folder exists and takes
// a new file (or it is a device or pipe open for writing). False with `why` set otherwise.
// Nothing is left behind.
bool checkWritable(const std::string& path, std::string& why);

// Makes an interruption (SIGINT, SIGTERM, SIGHUP) remove the temporary files of the open
// AtomicFiles before the program ends, and makes a file-size limit or a closed pipe fail a
// write (reported like any write error) instead of ending the program. Called once by the
// program at start.
void installOutputFileSignalHandlers();

}  // namespace qv
