// chromaloom-bench: timing and memory figures for whole runs.
//   chromaloom-bench pair RUNS WARMUP "COMMAND A" "COMMAND B"
//     runs A and B alternately (after WARMUP rounds), and prints the median wall time of each,
//     the ratio of the medians and the median ratio of the pairs.
//   chromaloom-bench rss COMMAND [ARG...]
//     runs the command and prints its peak resident memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
  double seconds;
  long max_rss_kib;
  int status;
};

Outcome run(const std::vector<std::string>& argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

Outcome shell(const std::string& command) { return run({"/bin/sh", "-c", command}); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int pair(int runs, int warmup, const std::string& a, const std::string& b) {
  std::vector<double> times_a, times_b, ratios;
  for (int i = 0; i < warmup + runs; ++i) {
    const Outcome first = shell(a), second = shell(b);
    if (first.status != 0 || second.status != 0) {
      std::fprintf(stderr, "a command failed (%d, %d)\n", first.status, second.status);
      return 1;
    }
    if (i < warmup) continue;
    times_a.push_back(first.seconds);
    times_b.push_back(second.seconds);
    ratios.push_back(first.seconds / second.seconds);
  }
  const double ma = median(times_a), mb = median(times_b);
  std::printf("  A: %.3f s median of %d   (%s)\n", ma, runs, a.c_str());
  std::printf("  B: %.3f s median of %d   (%s)\n", mb, runs, b.c_str());
  std::printf("  A / B: %.2f (ratio of medians), %.2f (median of paired ratios)\n", ma / mb,
              median(ratios));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "pair" && argc == 6)
    return pair(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
  if (mode == "rss" && argc > 2) {
    const Outcome outcome = run(std::vector<std::string>(argv + 2, argv + argc));
    std::printf("%.1f MiB peak resident memory (exit status %d)\n", outcome.max_rss_kib / 1024.0,
                outcome.status);
    return outcome.status == 0 ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: chromaloom-bench pair RUNS WARMUP \"COMMAND A\" \"COMMAND B\"\n"
               "       chromaloom-bench rss COMMAND [ARG...]\n");
  return 2;
}
