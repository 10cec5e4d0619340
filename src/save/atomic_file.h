#pragma once
// An output file written under a temporary name in the target's folder and renamed into place
// only when complete: a reader never sees half a file, and a failure (disk full, file-size
// limit, an error of the caller) leaves neither a partial file nor a changed old one.
#include <string>

namespace qv {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // removes the temporary file unless committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `path`. False with `why` set when that is impossible.
  bool open(const std::string& path, std::string& why);
  // Buffered writes; a failure is remembered and reported by commit().
  void write(const char* data, size_t size);
  void write(const std::string& s) { write(s.data(), s.size()); }
  // Flushes and closes the temporary file, without renaming it yet. False with `why` set on any
  // failure, and then nothing is left behind.
  bool complete(std::string& why);
  // Completes the file (when not done yet) and renames it into place. False with `why` set on any failure,
  // and then nothing is left behind.
  bool commit(std::string& why);

 private:
  void flush();
  void discard();
  std::string path_, tmp_;
  int fd_ = -1;
  int errno_ = 0;  // first write error
  std::string buf_;
};

// Checks that `path` can be created or replaced: not a directory, its folder exists and takes
// a new file. False with `why` set otherwise. Nothing is left behind.
bool checkWritable(const std::string& path, std::string& why);

}  // namespace qv
