#pragma once

#include <string>
#include <vector>

namespace chromaloom::testing {

struct RunOptions {
  // When not negative, the child may write files of at most this many bytes (RLIMIT_FSIZE), and
  // ignores SIGXFSZ so that a write past it fails the way a full disk does.
  long long file_size_limit = -1;
  std::string working_directory;
  // Run as the unprivileged user "nobody" (uid and gid 65534) when started as root, so that
  // file permissions apply; an unprivileged test process runs the child as itself.
  bool unprivileged = false;
  // When not 0, the child is ended by SIGALRM after this many seconds (a hang shows as a signal).
  unsigned timeout_seconds = 0;
  // When not empty, the child's standard input is this file (otherwise it is the parent's).
  std::string stdin_path;
  // Standard descriptors (0, 1, 2) the child starts without, as after `2>&-`.
  std::vector<int> closed_descriptors;
  // When not negative, the child's address space is limited to this many bytes (RLIMIT_AS), as
  // under `ulimit -v`.
  long long address_space_limit = -1;
  // Variables added to the child's environment, "NAME=value".
  std::vector<std::string> environment;
};

// The options most runs need, one at a time.
inline RunOptions in_directory(const std::string& directory) {
  RunOptions options;
  options.working_directory = directory;
  return options;
}
inline RunOptions with_file_size_limit(long long bytes) {
  RunOptions options;
  options.file_size_limit = bytes;
  return options;
}
inline RunOptions as_unprivileged(bool unprivileged) {
  RunOptions options;
  options.unprivileged = unprivileged;
  return options;
}

struct RunResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // 0..255, or -1 when the process ended by a signal
  int signal = 0;
};

// Runs the built chromaloom binary with these arguments (not counting the program name).
RunResult run_chromaloom(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs any program; argv[0] is the program path.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace chromaloom::testing
