#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromaloom {

// The output file as libtiff sees it, through its client I/O: writes gather in one large buffer
// and reach the file in few large writes, at the offsets libtiff asks for, instead of one seek and
// one write for every strip. The first failure sticks: every later write fails too, so nothing
// lands after a gap. A failure shows at the write that flushes, or at flush().
class OutputFile {
 public:
  // Takes the buffer before the file is touched; false when it cannot be had.
  bool allocate(std::size_t buffer_bytes);

  // Hands libtiff the open descriptor `fd` (already truncated) for writing `mode` ("w", "w8").
  TIFF* open_tiff(int fd, const char* name, const char* mode);

  // Writes out everything gathered so far. False, with the reason on standard error, on failure.
  bool flush();

 private:
  static tmsize_t read(thandle_t handle, void* data, tmsize_t bytes);
  static tmsize_t write(thandle_t handle, void* data, tmsize_t bytes);
  static toff_t seek(thandle_t handle, toff_t offset, int whence);
  static int close(thandle_t handle);
  static toff_t size(thandle_t handle);
  static int map(thandle_t, void**, toff_t*) { return 0; }
  static void unmap(thandle_t, void*, toff_t) {}

  bool write_at(std::uint64_t offset, const unsigned char* data, std::size_t bytes);
  tmsize_t gather(const unsigned char* data, std::size_t bytes);

  int fd_ = -1;
  const char* name_ = "";
  std::vector<unsigned char> buffer_;
  std::size_t pending_ = 0;          // bytes gathered, not yet written
  std::uint64_t pending_offset_ = 0;  // where they go in the file
  std::uint64_t position_ = 0;        // where libtiff's next write goes
  std::uint64_t size_ = 0;            // the file's size once everything gathered is written
  bool failed_ = false;
};

}  // namespace chromaloom
