#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tiff/background_writer.h"

namespace chromaloom {

// The output file as libtiff sees it, through its client I/O: writes gather in a large buffer and
// reach the file in few large writes, at the offsets libtiff asks for, instead of one seek and one
// write for every strip. Two buffers take turns: one fills while a thread writes the other. The
// first failure sticks: every later write fails too, so nothing lands after a gap. A failure
// shows at the next write that hands a buffer over, or at flush().
class OutputFile {
 public:
  // Takes the buffers before the file is touched; false when they cannot be had.
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

  bool hand_over();
  bool gather(const unsigned char* data, std::size_t bytes);

  int fd_ = -1;
  const char* name_ = "";
  BackgroundWriter writer_;
  std::vector<unsigned char> buffers_[2];
  int filling_ = 0;                   // the buffer being filled; the other may be in flight
  std::size_t pending_ = 0;          // bytes gathered, not yet written
  std::uint64_t pending_offset_ = 0;  // where they go in the file
  std::uint64_t position_ = 0;        // where libtiff's next write goes
  std::uint64_t size_ = 0;            // the file's size once everything gathered is written
};

}  // namespace chromaloom
