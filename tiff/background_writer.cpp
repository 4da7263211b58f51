#include "tiff/background_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace chromaloom {

BackgroundWriter::BackgroundWriter() {
  try {
    thread_ = std::thread(&BackgroundWriter::run, this);
  } catch (const std::system_error&) {
    // No thread: submit() writes at once.
  }
}

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool BackgroundWriter::write(const Job& job) {
  const unsigned char* data = job.data;
  std::size_t bytes = job.bytes;
  std::uint64_t offset = job.offset;
  while (bytes > 0) {
    const ssize_t written = pwrite(job.fd, data, bytes, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      std::fprintf(stderr, "chromaloom: %s: %s\n", job.name,
                   std::strerror(written < 0 ? errno : ENOSPC));
      return false;
    }
    data += written;
    bytes -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

void BackgroundWriter::submit(int fd, const char* name, const unsigned char* data,
                              std::size_t bytes, std::uint64_t offset) {
  const Job job = {fd, name, data, bytes, offset};
  if (!thread_.joinable()) {
    if (!failed_ && !write(job)) failed_ = true;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    busy_ = true;
  }
  changed_.notify_all();
}

bool BackgroundWriter::wait() {
  if (!thread_.joinable()) return !failed_;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  return !failed_;
}

void BackgroundWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stopping_; });
    if (!busy_) return;  // stopping, nothing in flight
    const Job job = job_;
    const bool skip = failed_;  // after a failure nothing more is written
    lock.unlock();
    const bool written = skip || write(job);
    lock.lock();
    if (!written) failed_ = true;
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace chromaloom
