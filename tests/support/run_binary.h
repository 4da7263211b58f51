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
};

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
