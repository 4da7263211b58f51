// The README's way around a 3-D cube (which chromaloom refuses, image sections included): split
// it into 2-D planes with scripts/split-cube, then convert them. The planes must carry the cube's
// cards and give exactly the values the cube holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/expected_output.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/reference_rule.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace chromaloom::testing {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

struct CubeKind {
  const char* name;
  int bitpix;
  double bscale, bzero;
};

void PrintTo(const CubeKind& k, std::ostream* os) { *os << k.name; }

class SplitCube : public ::testing::TestWithParam<CubeKind> {};

TEST_P(SplitCube, GivesPlanesThatConvertToTheCubesValues) {
  const RunResult astropy = run_program({kPython, "-c", "import astropy.io.fits"});
  if (astropy.exit_status != 0) {
    GTEST_SKIP() << kPython << " has no astropy here (Debian: python3-astropy)";
  }
  const CubeKind kind = GetParam();
  const long width = 5, height = 4;
  std::vector<double> values;
  for (long i = 0; i < width * height * 3; ++i) {
    const double stored = static_cast<double>((i * 2711) % 60000 - 30000);
    values.push_back(kind.bitpix < 0 ? stored * 1.37 + 0.5 : stored * kind.bscale + kind.bzero);
  }
  TempDir dir;
  PlaneSpec cube = plane(width, height, values, kind.bitpix);
  cube.axes = {width, height, 3};
  cube.bscale = kind.bscale;
  cube.bzero = kind.bzero;
  cube.cblack = "100";
  write_plane(dir.file("cube.fits"), cube);

  // The cube itself, even one plane of it, has three axes.
  RunResult run = run_chromaloom({"cube.fits[*,*,2:2]", "cube.fits[*,*,2:2]",
                                  "cube.fits[*,*,2:2]", "1", "1", "1", "rgb.tif"},
                                 in_directory(dir.path()));
  EXPECT_EQ(run.out, kTooManyAxes);

  const RunResult split = run_program(
      {kPython, CHROMALOOM_SOURCE_DIR "/scripts/split-cube", dir.file("cube.fits"),
       dir.file("plane")});
  ASSERT_EQ(split.exit_status, 0) << split.err;
  run = run_chromaloom({"plane1.fits", "plane2.fits", "plane3.fits", "1.3", "1.0", "1.63",
                        "rgb.tif"},
                       in_directory(dir.path()));
  ASSERT_EQ(run.out, kSuccessOutput);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TiffImage image = read_tiff(dir.file("rgb.tif"));
  ASSERT_TRUE(image.rows_readable);
  const double ratios[3] = {1.3, 1.0, 1.63};
  for (long i = 0; i < width * height; ++i) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(image.samples[3 * i + c],
                reference_sample(values[c * width * height + i], 100, ratios[c]))
          << "pixel " << i << " channel " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SplitCube,
                         ::testing::Values(CubeKind{"unsigned_16_bit", 16, 1, 32768},
                                           CubeKind{"scaled_16_bit", 16, 0.25, 1000.5},
                                           CubeKind{"float_32_bit", -32, 1, 0}),
                         [](const ::testing::TestParamInfo<CubeKind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace chromaloom::testing
