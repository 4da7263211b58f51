// Runs that reach the normal end close every file and free every buffer, checked with valgrind's
// memcheck. Early endings leave cleanup to the end of the process on purpose and are not checked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace chromaloom::testing {
namespace {

constexpr const char* kValgrind = "/usr/bin/valgrind";

struct Ending {
  const char* name;
  int exit_status;
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

// Every descriptor valgrind lists at exit must have come from the parent.
std::vector<std::string> descriptors_left_open(const std::string& report) {
  std::vector<std::string> open;
  std::istringstream lines(report);
  std::string line, pending;
  while (std::getline(lines, line)) {
    if (line.find("Open file descriptor") != std::string::npos) {
      if (!pending.empty()) open.push_back(pending);
      pending = line;
    } else if (line.find("<inherited from parent>") != std::string::npos) {
      pending.clear();
    }
  }
  if (!pending.empty()) open.push_back(pending);
  return open;
}

class NormalEnd : public ::testing::TestWithParam<Ending> {};

TEST_P(NormalEnd, LeavesNoLeakAndNoOpenFile) {
#ifdef CHROMALOOM_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a sanitizer build; the plain build is checked";
#endif
  if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  const Ending e = GetParam();
  TempDir dir;
  std::vector<double> pixels(64 * 30);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<double>(i);
  const PlaneSpec spec = plane(64, 30, pixels, 16);
  const PlanePaths in = write_planes(dir.path(), spec, spec, spec);
  RunOptions options;
  const std::string name = e.name;
  if (name == "truncated_input") write_file(in.blue, read_file(in.blue).substr(0, 2 * 2880));
  // The header alone: the first row read fails, and nothing CFITSIO never filled may reach the
  // TIFF (valgrind reports uninitialised bytes written).
  if (name == "no_data") write_file(in.blue, read_file(in.blue).substr(0, 2880));
  if (name == "zero_height") {
    write_planes(dir.path(), plane(64, 0, {}), plane(64, 0, {}), plane(64, 0, {}));
  }
  // Room for the strips but not for the directory: the failure shows only when finishing.
  if (name == "disk_full_at_the_end") options.file_size_limit = 8 + 64 * 30 * 6;

  const RunResult run =
      run_program({kValgrind, "--error-exitcode=99", "--leak-check=full",
                   "--errors-for-leak-kinds=definite", "--track-fds=yes", CHROMALOOM_BINARY, in.red,
                   in.green, in.blue, "1.3", "1", "1.63", dir.file("rgb.tif")},
                  options);
  EXPECT_EQ(run.exit_status, e.exit_status) << run.err;
  EXPECT_NE(run.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("definitely lost"), std::string::npos) << run.err;
  EXPECT_EQ(descriptors_left_open(run.err), std::vector<std::string>{}) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Endings, NormalEnd,
                         ::testing::Values(Ending{"success", 0}, Ending{"truncated_input", 107},
                                           Ending{"no_data", 107},
                                           Ending{"zero_height", 0},
                                           Ending{"disk_full_at_the_end", 255}),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace chromaloom::testing
