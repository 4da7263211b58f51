#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace chromaloom {

// Writes one buffer at a time to a file on a thread of its own, so that the output's writes
// overlap the reading and converting of the rows after them. Writes happen in the order they are
// handed over, one at a time; the first failure sticks, and no write after it is made. Where no
// thread can be had, each write is made at once instead.
class BackgroundWriter {
 public:
  BackgroundWriter();
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Starts writing `bytes` of `data` at `offset` of `fd`. `data` must stay untouched until wait()
  // has returned. Call only when nothing is in flight (after wait()).
  void submit(int fd, const char* name, const unsigned char* data, std::size_t bytes,
              std::uint64_t offset);

  // Waits for the write in flight. False when any write so far failed (its reason is on standard
  // error).
  bool wait();

 private:
  struct Job {
    int fd;
    const char* name;
    const unsigned char* data;
    std::size_t bytes;
    std::uint64_t offset;
  };
  void run();
  bool write(const Job& job);

  std::mutex mutex_;
  std::condition_variable changed_;
  Job job_{};
  bool busy_ = false, stopping_ = false, failed_ = false;
  std::thread thread_;
};

}  // namespace chromaloom
