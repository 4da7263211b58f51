#include "tiff/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace chromaloom {

bool OutputFile::allocate(std::size_t buffer_bytes) {
  try {
    buffer_.resize(buffer_bytes);
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

bool OutputFile::write_at(std::uint64_t offset, const unsigned char* data, std::size_t bytes) {
  while (bytes > 0 && !failed_) {
    const ssize_t written = pwrite(fd_, data, bytes, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      std::fprintf(stderr, "chromaloom: %s: %s\n", name_,
                   std::strerror(written < 0 ? errno : ENOSPC));
      failed_ = true;
      break;
    }
    data += written;
    bytes -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return !failed_;
}

bool OutputFile::flush() {
  const bool written = write_at(pending_offset_, buffer_.data(), pending_);
  pending_ = 0;
  return written;
}

tmsize_t OutputFile::gather(const unsigned char* data, std::size_t bytes) {
  // A write that does not continue what is gathered (libtiff going back to the header or a
  // directory entry) sends out what is gathered first.
  if (pending_ != 0 && position_ != pending_offset_ + pending_ && !flush()) return -1;
  if (pending_ + bytes > buffer_.size() && !flush()) return -1;
  if (pending_ == 0) pending_offset_ = position_;
  if (bytes >= buffer_.size()) {
    // Larger than the buffer: straight to the file.
    if (!write_at(position_, data, bytes)) return -1;
  } else {
    std::memcpy(buffer_.data() + pending_, data, bytes);
    pending_ += bytes;
  }
  position_ += bytes;
  size_ = std::max(size_, position_);
  return static_cast<tmsize_t>(bytes);
}

tmsize_t OutputFile::write(thandle_t handle, void* data, tmsize_t bytes) {
  auto& file = *static_cast<OutputFile*>(handle);
  if (file.failed_ || bytes < 0) return -1;
  return file.gather(static_cast<const unsigned char*>(data), static_cast<std::size_t>(bytes));
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
