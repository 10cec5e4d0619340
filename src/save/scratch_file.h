#pragma once
// A scratch file of binary records: created in the system's temporary folder (TMPDIR when it is
// set) and unlinked at once, so that it disappears on every way out, a crash included. Written
// front to back, then read back front to back.
#include <cstddef>
#include <string>
#include <vector>

namespace qv {

class ScratchFile {
 public:
  ScratchFile() = default;
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Creates the file. False with `why` set when the temporary folder takes no file.
  bool open(std::string& why);
  bool isOpen() const { return fd_ >= 0; }
  void write(const void* data, size_t size);
  // Ends writing and starts reading at the first byte. False with `why` set when a write failed.
  bool rewind(std::string& why);
  // Reads exactly `size` bytes; false at the end of the file or on a read error.
  bool read(void* data, size_t size);

 private:
  bool flush();
  int fd_ = -1;
  int errno_ = 0;
  std::vector<char> buf_;
  size_t at_ = 0, end_ = 0;  // read window within buf_
};

}  // namespace qv
