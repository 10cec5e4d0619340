#pragma once
// A write-once, read-many byte store for converted cases: records are appended into a block in
// memory; once a block is full it goes to a temporary file in the system's temporary folder
// (TMPDIR, else /tmp), so that the store need not fit in memory. The file is unlinked as soon as
// it is created: it vanishes on every way out of the program, a crash included.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct iovec;

namespace qv {

// The temporary folder could not take the work file (missing folder, disk full ...).
struct WorkFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The folder for temporary files: $TMPDIR when set and not empty, else /tmp.
std::string temporaryFolder();

// An unlinked temporary file open for reading and writing; throws WorkFileError.
class TempFile {
 public:
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }
  // Appends n bytes at the end of the file; returns the offset where they start.
  long long append(const char* p, size_t n);
  // Appends the pieces one after the other in one write; returns the offset where they start.
  long long append(const struct iovec* pieces, int count);
  // Reads n bytes at `offset`; throws WorkFileError when fewer are there.
  void readAt(long long offset, char* p, size_t n) const;
  long long size() const { return size_; }

 private:
  int fd_ = -1;
  long long size_ = 0;
};

class WorkStore {
 public:
  // Blocks are kept in memory until they add up to this many bytes; then all go to the file.
  static constexpr size_t kMemoryBytes = size_t{4} << 20;
  explicit WorkStore(size_t memoryBytes = kMemoryBytes) : memoryBytes_(memoryBytes) {}
  WorkStore(WorkStore&&) = default;
  WorkStore& operator=(WorkStore&&) = default;

  // Appends one block.
  void add(const char* p, size_t n);
  // Appends one block made of `count` pieces (each a pointer and a length), without first
  // copying them into one buffer.
  void add(const struct iovec* pieces, int count);
  size_t blockCount() const { return blocks_.size(); }
  // The bytes of block b: a view of memory, or read from the file into `scratch`.
  const char* block(size_t b, std::vector<char>& scratch, size_t& n) const;

  // A block as view() hands it out: a view of memory, or of the file mapped into memory for as
  // long as the View holds it (read into `buffer` where the mapping fails).
  class View {
   public:
    View() = default;
    View(View&& o) noexcept { *this = std::move(o); }
    View& operator=(View&& o) noexcept;
    ~View() { release(); }
    // Unmaps the block; the buffer is kept for the next block.
    void release();

   private:
    friend class WorkStore;
    void* map_ = nullptr;
    size_t mapBytes_ = 0;
    std::vector<char> buffer;
  };
  // The bytes of block b, valid while `view` holds them (until its next use or release).
  const char* view(size_t b, View& view, size_t& n) const;

 private:
  struct Block {
    long long offset;  // in buf_ while there is no file, else in the file
    size_t bytes;
  };

  // Once the blocks in memory pass memoryBytes_, all go to the file, and so do the next ones.
  void spillIfFull();

  size_t memoryBytes_;
  std::vector<char> buf_;
  std::unique_ptr<TempFile> file_;
  std::vector<Block> blocks_;
};

}  // namespace qv
