// The two ways a run could lose data or report a broken file as finished: a disk that fills up
// while the TIFF is written, and an output name that is one of the inputs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace chromaloom::testing {
namespace {

const std::string kSuccessOutput = "Opening FITS file...\nSetting up TIFF file...\n";
constexpr int kMinusOne = 255;

// ---------------------------------------------------------------------------------------------
// A full disk, simulated with a file size limit on the run.

class DiskFull : public ::testing::Test {
 protected:
  // 100 pixels a row make 600-byte rows; libtiff's default strips of 8 KiB hold 13 of them, so
  // 40 rows make four strips: 13, 13, 13 and 1 rows.
  static constexpr long kWidth = 100, kHeight = 40;
  static constexpr long long kHeader = 8, kRow = 600, kStrip = 13 * kRow;

  void SetUp() override {
    std::vector<double> pixels(kWidth * kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<double>(i);
    const PlaneSpec spec = plane(kWidth, kHeight, pixels, 16);
    in_ = write_planes(dir_.path(), spec, spec, spec);
    ASSERT_EQ(default_rows_per_strip(kWidth, kHeight), 13u);
    // The size of a finished file, measured on an unlimited run.
    const RunResult unlimited = run(-1);
    ASSERT_EQ(unlimited.exit_status, 0) << unlimited.out << unlimited.err;
    full_size_ = static_cast<long long>(read_file(out()).size());
    ASSERT_GT(full_size_, kHeader + kHeight * kRow);
  }

  std::string out() const { return dir_.file("rgb.tif"); }
  RunResult run(long long limit) {
    return run_chromaloom({in_.red, in_.green, in_.blue, "1", "1", "1", out()}, {limit, ""});
  }

  TempDir dir_;
  PlanePaths in_;
  long long full_size_ = 0;
};

TEST_F(DiskFull, NoLimitReachedMeansSuccess) {
  const RunResult result = run(full_size_);
  EXPECT_EQ(result.out, kSuccessOutput);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(read_tiff(out()).rows_readable);
}

TEST_F(DiskFull, EveryFailedWriteEndsWithMinusOne) {
  struct Limit {
    const char* where;
    long long bytes;
  };
  const std::vector<Limit> limits = {
      {"inside the first strip", kHeader + 100},
      {"at the end of the first strip", kHeader + kStrip},
      {"inside a middle strip", kHeader + kStrip + 5 * kRow},
      {"inside the last strip", kHeader + 3 * kStrip + kRow / 2},
      {"after the last strip, in the directory", kHeader + kHeight * kRow + 20},
      {"one byte short of the whole file", full_size_ - 1},
  };
  for (const Limit& limit : limits) {
    SCOPED_TRACE(limit.where);
    const RunResult result = run(limit.bytes);
    EXPECT_EQ(result.out, kSuccessOutput);
    EXPECT_EQ(result.exit_status, kMinusOne) << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_NE(result.err, "");  // libtiff's own word on it
    EXPECT_FALSE(read_tiff(out()).rows_readable);
  }
}

// ---------------------------------------------------------------------------------------------
// The output named as one of the inputs, in every spelling: refused before anything is written.

class OutputIsInput : public ::testing::Test {
 protected:
  void SetUp() override {
    const PlaneSpec spec = plane(3, 2, {1, 2, 3, 4, 5, 6}, 16);
    in_ = write_planes(dir_.path(), spec, spec, spec);
    write_plane(dir_.file("packed.fits.gz"), spec);
    ASSERT_EQ(symlink(in_.green.c_str(), dir_.file("link.tif").c_str()), 0);
    ASSERT_EQ(link(in_.blue.c_str(), dir_.file("hard.tif").c_str()), 0);
    for (const char* name : {"red.fits", "green.fits", "blue.fits", "packed.fits.gz"}) {
      originals_.push_back(read_file(dir_.file(name)));
    }
  }

  void expect_inputs_unchanged() {
    int i = 0;
    for (const char* name : {"red.fits", "green.fits", "blue.fits", "packed.fits.gz"}) {
      EXPECT_EQ(read_file(dir_.file(name)), originals_[i++]) << name << " was altered";
    }
  }

  TempDir dir_;
  PlanePaths in_;
  std::vector<std::string> originals_;
};

TEST_F(OutputIsInput, IsRefusedInEverySpelling) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  // Runs start in the planes' directory, so relative names work.
  const std::vector<Case> cases = {
      {"same path", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}},
      {"absolute against relative",
       {"red.fits", "green.fits", "blue.fits", "1", "1", "1", dir_.file("green.fits")}},
      {"./ form", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "./blue.fits"}},
      {".. form",
       {"red.fits", "green.fits", "blue.fits", "1", "1", "1",
        "../" + dir_.path().substr(dir_.path().rfind('/') + 1) + "/red.fits"}},
      {"symbolic link", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "link.tif"}},
      {"hard link", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "hard.tif"}},
      {"HDU selector", {"red.fits[0]", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}},
      {"gzip file under its plain name",
       {"packed.fits", "green.fits", "blue.fits", "1", "1", "1", "packed.fits.gz"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult result = run_chromaloom(c.args, {-1, dir_.path()});
    EXPECT_EQ(result.out,
              "Opening FITS file...\nError: output file must not be one of the input files\n");
    EXPECT_EQ(result.exit_status, kMinusOne);
    expect_inputs_unchanged();
  }
}

TEST_F(OutputIsInput, AnotherFileBesideTheInputsIsWritten) {
  const RunResult result = run_chromaloom(
      {"packed.fits", "green.fits[0]", "blue.fits", "1", "1", "1", "rgb.tif"}, {-1, dir_.path()});
  EXPECT_EQ(result.out, kSuccessOutput);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(read_tiff(dir_.file("rgb.tif")).rows_readable);
  expect_inputs_unchanged();
}

}  // namespace
}  // namespace chromaloom::testing
