#include "tiff/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace chromaloom {

bool OutputFile::allocate(std::size_t buffer_bytes) {
  try {
    for (auto& buffer : buffers_) buffer.resize(buffer_bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

TIFF* OutputFile::open_tiff(int fd, const char* name, const char* mode) {
  fd_ = fd;
  name_ = name;
  return TIFFClientOpen(name, mode, this, read, write, seek, close, size, map, unmap);
}

// Sends the gathered bytes to the writer, once the buffer before them is written, and fills the
// other buffer from then on.
bool OutputFile::hand_over() {
  if (!writer_.wait()) return false;
  if (pending_ == 0) return true;
  writer_.submit(fd_, name_, buffers_[filling_].data(), pending_, pending_offset_);
  filling_ ^= 1;
  pending_ = 0;
  return true;
}

bool OutputFile::flush() { return hand_over() && writer_.wait(); }

bool OutputFile::gather(const unsigned char* data, std::size_t bytes) {
  // A write that does not continue what is gathered (libtiff going back to the header or a
  // directory entry) sends out what is gathered first.
  if (pending_ != 0 && position_ != pending_offset_ + pending_ && !hand_over()) return false;
  while (bytes > 0) {
    if (pending_ == buffers_[filling_].size() && !hand_over()) return false;
    // The buffer to fill, taken after any hand-over: the one handed over is the writer's now.
    std::vector<unsigned char>& buffer = buffers_[filling_];
    if (pending_ == 0) pending_offset_ = position_;
    const std::size_t part = std::min(bytes, buffer.size() - pending_);
    std::memcpy(buffer.data() + pending_, data, part);
    pending_ += part;
    position_ += part;
    data += part;
    bytes -= part;
  }
  size_ = std::max(size_, position_);
  return true;
}

tmsize_t OutputFile::write(thandle_t handle, void* data, tmsize_t bytes) {
  auto& file = *static_cast<OutputFile*>(handle);
  if (bytes < 0 || !file.gather(static_cast<const unsigned char*>(data),
                                static_cast<std::size_t>(bytes))) {
    return -1;
  }
  return bytes;
}

tmsize_t OutputFile::read(thandle_t handle, void* data, tmsize_t bytes) {
  auto& file = *static_cast<OutputFile*>(handle);
  if (!file.flush()) return -1;
  const ssize_t got = pread(file.fd_, data, static_cast<std::size_t>(bytes),
                            static_cast<off_t>(file.position_));
  if (got > 0) file.position_ += static_cast<std::uint64_t>(got);
  return got;
}

toff_t OutputFile::seek(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<OutputFile*>(handle);
  switch (whence) {
    case SEEK_SET:
      file.position_ = offset;
      break;
    case SEEK_CUR:
      file.position_ += offset;
      break;
    case SEEK_END:
      file.position_ = file.size_ + offset;
      break;
    default:
      return static_cast<toff_t>(-1);
  }
  return file.position_;
}

int OutputFile::close(thandle_t handle) {
  auto& file = *static_cast<OutputFile*>(handle);
  file.flush();
  return ::close(file.fd_);
}

toff_t OutputFile::size(thandle_t handle) { return static_cast<OutputFile*>(handle)->size_; }

}  // namespace chromaloom
