#include "tests/support/run_binary.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace chromaloom::testing {

namespace {

// Reads both pipes until the child closes them, so neither can fill up and stall it.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  // Pipes, not files, carry the output: a file size limit on the child does not apply to them.
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
      _exit(127);
    }
    if (options.unprivileged && getuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(127);
    }
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {static_cast<rlim_t>(options.file_size_limit),
                            static_cast<rlim_t>(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    if (options.address_space_limit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(options.address_space_limit),
                            static_cast<rlim_t>(options.address_space_limit)};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
    }
    if (!options.stdin_path.empty()) {
      const int in = open(options.stdin_path.c_str(), O_RDONLY);
      if (in < 0 || dup2(in, STDIN_FILENO) < 0) _exit(127);
      close(in);
    }
    for (const int fd : options.closed_descriptors) close(fd);
    for (const std::string& variable : options.environment) {
      putenv(const_cast<char*>(variable.c_str()));
    }
    if (options.timeout_seconds != 0) alarm(options.timeout_seconds);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  drain(out_pipe[0], err_pipe[0], result.out, result.err);
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) {
    result.exit_status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    result.signal = WTERMSIG(wait_status);
  }
  return result;
}

RunResult run_chromaloom(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = {CHROMALOOM_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

}  // namespace chromaloom::testing
