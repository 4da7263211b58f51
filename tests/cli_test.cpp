// End-to-end runs of the built binary on FITS planes written here, the TIFF read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Builds the sample a channel should have at every pixel and checks the TIFF holds exactly that.
void expect_pixels(const TiffImage& image, const std::vector<std::vector<double>>& planes,
                   const std::vector<double>& blacks, const std::vector<double>& ratios) {
  ASSERT_TRUE(image.rows_readable);
  int mismatches = 0;
  for (std::uint32_t row = 0; row < image.height; ++row) {
    for (std::uint32_t column = 0; column < image.width; ++column) {
      for (int c = 0; c < 3; ++c) {
        const double x = planes[c][static_cast<std::size_t>(row) * image.width + column];
        const std::uint16_t expected = reference_sample(x, blacks[c], ratios[c]);
        if (image.sample(row, column, c) != expected && ++mismatches <= 10) {
          ADD_FAILURE() << "row " << row << " column " << column << " channel " << c << ": input "
                        << x << " gave " << image.sample(row, column, c) << ", expected "
                        << expected;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

void expect_tags(const TiffImage& image, std::uint32_t width, std::uint32_t height) {
  ASSERT_TRUE(image.opened);
  EXPECT_EQ(image.directories, 1);
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_EQ(image.bits_per_sample, 16);
  EXPECT_EQ(image.samples_per_pixel, 3);
  EXPECT_EQ(image.compression, 1);
  EXPECT_EQ(image.photometric, 2);
  EXPECT_EQ(image.planar_config, 1);
  EXPECT_EQ(image.sample_format, 1);  // unsigned integers, by default
  EXPECT_EQ(image.orientation, 1);    // row 0 at the top, by default
  EXPECT_EQ(image.rows_per_strip, default_rows_per_strip(width, height));
}

// ---------------------------------------------------------------------------------------------
// Pixel types: every BITPIX, with and without scaling, converts bit for bit.

struct PixelType {
  const char* name;
  int bitpix;
  double bscale, bzero;
  double stored_min, stored_max;  // range of the stored numbers
};

void PrintTo(const PixelType& t, std::ostream* os) { *os << t.name; }

bool is_float(const PixelType& t) { return t.bitpix < 0; }

// Whether CFITSIO can store this physical value exactly in the type.
bool representable(const PixelType& t, double physical) {
  if (t.bitpix == -64) return true;
  if (t.bitpix == -32) return std::isnan(physical) || static_cast<float>(physical) == physical;
  if (!std::isfinite(physical)) return false;
  const double stored = (physical - t.bzero) / t.bscale;
  return stored == std::floor(stored) && stored >= t.stored_min && stored <= t.stored_max &&
         stored * t.bscale + t.bzero == physical;
}

std::vector<double> values_for(const PixelType& t, std::size_t count, unsigned seed) {
  // The worked examples and the edges of the rule, wherever the type can hold them.
  const std::vector<double> interesting = {70,      1000,     40100, 300,   100,   99.5,   149.5,
                                           0,       65485,    65486, 65584, 1e12,  -1e12,  -3.25,
                                           65484.5, 65534.75, kNaN,  kInf,  -kInf, 1e-300, 2e15};
  std::vector<double> values;
  for (double v : interesting) {
    if (representable(t, v)) values.push_back(v);
  }
  std::mt19937_64 random(seed);
  while (values.size() < count) {
    if (is_float(t)) {
      std::uniform_real_distribution<double> spread(-2000.0, 70000.0);
      double v = spread(random);
      if (t.bitpix == -32) v = static_cast<float>(v);
      values.push_back(v);
    } else {
      std::uniform_real_distribution<double> spread(t.stored_min, t.stored_max);
      values.push_back(std::floor(spread(random)) * t.bscale + t.bzero);
    }
  }
  values.resize(count);
  return values;
}

class PixelTypes : public ::testing::TestWithParam<PixelType> {};

TEST_P(PixelTypes, ConvertsEveryPixelByTheRule) {
  const PixelType t = GetParam();
  const long width = 9, height = 7;
  const std::size_t count = static_cast<std::size_t>(width * height);
  TempDir dir;
  std::vector<std::vector<double>> values;
  std::vector<PlaneSpec> specs;
  const std::vector<std::string> blacks = {"100", "0", "100"};
  for (unsigned c = 0; c < 3; ++c) {
    values.push_back(values_for(t, count, c + 1));
    // Distinct rows so that an upside-down or shifted image cannot pass.
    PlaneSpec spec = plane(width, height, values.back(), t.bitpix);
    spec.bscale = t.bscale;
    spec.bzero = t.bzero;
    spec.cblack = blacks[c];
    specs.push_back(spec);
  }
  const PlanePaths in = write_planes(dir.path(), specs[0], specs[1], specs[2]);
  for (const auto& [path, expected] :
       {std::pair{in.red, values[0]}, {in.green, values[1]}, {in.blue, values[2]}}) {
    const std::vector<double> stored = read_plane_pixels(path);
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(stored[i] == expected[i] || (std::isnan(stored[i]) && std::isnan(expected[i])))
          << "the fixture did not store " << expected[i] << " exactly";
    }
  }

  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1.3", "1.0", "1.63", out});
  EXPECT_EQ(run.out, kSuccessOutput);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  const TiffImage image = read_tiff(out);
  expect_tags(image, width, height);
  expect_pixels(image, values, {100, 0, 100}, {1.3, 1.0, 1.63});
}

INSTANTIATE_TEST_SUITE_P(
    Types, PixelTypes,
    ::testing::Values(PixelType{"uint8", 8, 1, 0, 0, 255}, PixelType{"int8", 8, 1, -128, 0, 255},
                      PixelType{"uint8_scaled", 8, 200, 0, 0, 255},
                      PixelType{"int16", 16, 1, 0, -32768, 32767},
                      PixelType{"uint16", 16, 1, 32768, -32768, 32767},
                      PixelType{"int16_scaled", 16, 0.25, 1000.5, -32768, 32767},
                      PixelType{"int32", 32, 1, 0, -2147483648.0, 2147483647.0},
                      PixelType{"uint32", 32, 1, 2147483648.0, -2147483648.0, 2147483647.0},
                      PixelType{"int64", 64, 1, 0, -1e15, 1e15},
                      PixelType{"float32", -32, 1, 0, 0, 0}, PixelType{"float64", -64, 1, 0, 0, 0}),
    [](const ::testing::TestParamInfo<PixelType>& info) { return std::string(info.param.name); });

TEST(Conversion, WorkedExamplesComeOutAsStated) {
  TempDir dir;
  PlaneSpec red = plane(2, 1, {70, 1000}), green = plane(2, 1, {100, 100}),
            blue = plane(2, 1, {40100, 300});
  red.cblack = "100";
  green.cblack = "100";
  blue.cblack = "100";
  const PlanePaths in = write_planes(dir.path(), red, green, blue);
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1.3", "1.0", "1.63", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const TiffImage image = read_tiff(out);
  ASSERT_TRUE(image.rows_readable);
  EXPECT_EQ(image.samples, (std::vector<std::uint16_t>{11, 50, 65249, 1220, 50, 376}));
}

TEST(Conversion, RatioArgumentsFollowTheDecimalRules) {
  TempDir dir;
  PlaneSpec red = plane(1, 1, {1100}), green = plane(1, 1, {1100}), blue = plane(1, 1, {1100});
  red.cblack = green.cblack = blue.cblack = "100";
  const PlanePaths in = write_planes(dir.path(), red, green, blue);
  const std::string out = dir.file("rgb.tif");
  // Letters only: ratio 0; a number with trailing text: the number; leading blanks skipped.
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "abc", "1.5xyz", "  2", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_tiff(out).samples, (std::vector<std::uint16_t>{50, 1550, 2050}));
}

TEST(Conversion, BlackLevelCardFormsAreReadAsIntegers) {
  TempDir dir;
  // 100.7 acts as 100, a string as 0, -1 as 65535, 70000 as 4464.
  PlaneSpec red = plane(1, 1, {200}), green = plane(1, 1, {200}), blue = plane(2, 1, {0, 0});
  red.cblack = "100.7";
  green.cblack = "'100'";
  const PlanePaths first = write_planes(dir.path(), red, green, red);
  const std::string out = dir.file("rgb.tif");
  RunResult run = run_chromaloom({first.red, first.green, first.blue, "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_tiff(out).samples, (std::vector<std::uint16_t>{150, 250, 150}));

  PlaneSpec minus_one = plane(1, 1, {0}), wrapped = plane(1, 1, {4464});
  minus_one.cblack = "-1";
  wrapped.cblack = "70000";
  const PlanePaths second = write_planes(dir.path(), minus_one, wrapped, wrapped);
  run = run_chromaloom({second.red, second.green, second.blue, "-1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  // -1 x (0 - 65535) + 50 clamps to 65535; 4464 - 4464 leaves the pedestal.
  EXPECT_EQ(read_tiff(out).samples, (std::vector<std::uint16_t>{65535, 50, 50}));
}

// ---------------------------------------------------------------------------------------------
// Geometry that is allowed.

TEST(Geometry, OneAxisPlanesMatchTwoAxisPlanesOfOneRow) {
  TempDir dir;
  PlaneSpec line = plane(3, 1, {1, 2, 3});
  line.axes = {3};
  const PlanePaths in = write_planes(dir.path(), line, plane(3, 1, {4, 5, 6}), line);
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const TiffImage image = read_tiff(out);
  expect_tags(image, 3, 1);
  EXPECT_EQ(image.samples, (std::vector<std::uint16_t>{51, 54, 51, 52, 55, 52, 53, 56, 53}));
}

TEST(Geometry, ZeroHeightWritesAnEmptyImage) {
  TempDir dir;
  const PlaneSpec empty = plane(4, 0, {});
  const PlanePaths in = write_planes(dir.path(), empty, empty, empty);
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", out});
  EXPECT_EQ(run.out, kSuccessOutput);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  // libtiff writes the directory of an image without rows but no strips, which its own reader
  // then refuses; the tags are there.
  const std::map<int, std::uint32_t> tags = raw_tiff_tags(out);
  EXPECT_EQ(tags.at(256), 4u);
  EXPECT_EQ(tags.at(257), 0u);
  EXPECT_EQ(tags.at(262), 2u);
  EXPECT_EQ(tags.at(277), 3u);
}

// ---------------------------------------------------------------------------------------------
// CFITSIO's extended file names reach it unchanged.

TEST(FileNames, HduSelectorPicksTheExtension) {
  TempDir dir;
  const std::string path = dir.file("multi.fits");
  // The primary HDU holds a decoy plane; extension 1 holds the real one.
  PlaneSpec decoy = plane(2, 1, {9000, 9000});
  write_plane(path, decoy);
  PlaneSpec real = plane(2, 1, {110, 210});
  real.cblack = "10";
  append_plane(path, real);

  const std::string selected = path + "[1]";
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({selected, selected, selected, "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_tiff(out).samples, (std::vector<std::uint16_t>{150, 150, 150, 250, 250, 250}));
}

TEST(FileNames, GzipAndTileCompressedPlanesAreRead) {
  TempDir dir;
  const std::vector<double> pixels = {100, 200, 300, 400, 500, 600};
  PlaneSpec spec = plane(3, 2, pixels, 16);
  write_plane(dir.file("red.fits.gz"), spec);  // CFITSIO gzips a name ending in .gz
  write_plane(dir.file("green.fits"), spec);
  compress_plane(dir.file("green.fits"), dir.file("blue.fz"));  // Rice tiles, lossless
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({dir.file("red.fits.gz"), dir.file("green.fits"),
                                        dir.file("blue.fz[1]"), "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const TiffImage image = read_tiff(out);
  expect_tags(image, 3, 2);
  expect_pixels(image, {pixels, pixels, pixels}, {0, 0, 0}, {1, 1, 1});
}

TEST(FileNames, ImageSectionTurnsThePictureOver) {
  // FITS row 1 becomes the TIFF's top row; CFITSIO's section [*,-*] gives the other orientation.
  TempDir dir;
  const std::vector<double> pixels = {1, 2, 3, 4, 5, 6};  // rows {1, 2}, {3, 4}, {5, 6}
  const PlanePaths in =
      write_planes(dir.path(), plane(2, 3, pixels), plane(2, 3, pixels), plane(2, 3, pixels));
  const std::string out = dir.file("rgb.tif");
  RunResult run = run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  TiffImage image = read_tiff(out);
  EXPECT_EQ(image.sample(0, 0, 0), 51);
  EXPECT_EQ(image.sample(2, 1, 0), 56);

  run = run_chromaloom(
      {in.red + "[*,-*]", in.green + "[*,-*]", in.blue + "[*,-*]", "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  image = read_tiff(out);
  EXPECT_EQ(image.sample(0, 0, 0), 55);
  EXPECT_EQ(image.sample(2, 1, 0), 52);
}

// ---------------------------------------------------------------------------------------------
// Every ending before the output is created: exact output, exit status, the output untouched.

TEST(EarlyEndings, WrongArgumentCountsPrintTheUsageAndTouchNothing) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"a.fits", "b.fits", "c.fits", "1", "1", "1"},
           {"a.fits", "b.fits", "c.fits", "1", "1", "1", "out.tif", "x"}}) {
    SCOPED_TRACE(std::to_string(args.size()) + " arguments");
    TempDir dir;
    const RunResult run = run_chromaloom(args, in_directory(dir.path()));
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

// One plane with a fault, the other two sound: every fault meets every plane, so that no plane's
// check can go missing unnoticed.
struct PlaneFault {
  const char* name;
  const char* file;  // the faulty plane, written by the fixture below
  std::string out;   // exact standard output
  int exit_status;
  bool cfitsio_report;  // whether CFITSIO's report is expected on standard error
};

void PrintTo(const PlaneFault& f, std::ostream* os) { *os << f.name; }

const char* const kPlaneNames[] = {"red", "green", "blue"};

class EarlyEndings : public ::testing::TestWithParam<std::tuple<PlaneFault, int>> {
 protected:
  void SetUp() override {
    PlaneSpec good = plane(4, 3, std::vector<double>(12, 500));
    write_plane(dir_.file("good.fits"), good);
    PlaneSpec no_cwhite = good;
    no_cwhite.cwhite.reset();
    write_plane(dir_.file("no_cwhite.fits"), no_cwhite);
    PlaneSpec no_cblack = good;
    no_cblack.cblack.reset();
    write_plane(dir_.file("no_cblack.fits"), no_cblack);
    PlaneSpec cube = plane(4, 3, std::vector<double>(12, 500));
    cube.axes = {4, 3, 1};
    write_plane(dir_.file("cube.fits"), cube);
    cube.cblack.reset();
    write_plane(dir_.file("cube_no_cblack.fits"), cube);
    write_plane(dir_.file("taller.fits"), plane(4, 4, std::vector<double>(16, 500)));
    write_plane(dir_.file("wider.fits"), plane(5, 3, std::vector<double>(15, 500)));
    write_file(dir_.file("notfits.fits"), std::string(2880, 'x'));
    write_file(dir_.file("out.tif"), "precious");
  }
  TempDir dir_;
};

TEST_P(EarlyEndings, EndBeforeTouchingTheOutput) {
  const auto& [fault, faulty_plane] = GetParam();
  std::vector<std::string> args;
  for (int c = 0; c < 3; ++c) args.push_back(dir_.file(c == faulty_plane ? fault.file : "good.fits"));
  for (const char* ratio : {"1", "1", "1"}) args.push_back(ratio);
  args.push_back(dir_.file("out.tif"));
  const RunResult run = run_chromaloom(args);
  EXPECT_EQ(run.out, fault.out);
  EXPECT_EQ(run.exit_status, fault.exit_status);
  if (fault.cfitsio_report) {
    EXPECT_NE(run.err, "");
  } else {
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(read_file(dir_.file("out.tif")), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyEndings,
    ::testing::Combine(
        ::testing::Values(
            PlaneFault{"missing_file", "absent.fits", kOpening, kFileNotOpened, true},
            PlaneFault{"not_fits", "notfits.fits", kOpening, 252, true},
            PlaneFault{"without_cwhite", "no_cwhite.fits", kOpening, kKeywordNotFound, true},
            PlaneFault{"without_cblack", "no_cblack.fits", kOpening, kKeywordNotFound, true},
            PlaneFault{"three_axes", "cube.fits", kTooManyAxes, kMinusOne, false},
            // The status check comes before the geometry check.
            PlaneFault{"three_axes_and_no_cblack", "cube_no_cblack.fits", kOpening,
                       kKeywordNotFound, true},
            PlaneFault{"taller", "taller.fits", kUnequal, kMinusOne, false},
            PlaneFault{"wider", "wider.fits", kUnequal, kMinusOne, false}),
        ::testing::Range(0, 3)),
    [](const ::testing::TestParamInfo<std::tuple<PlaneFault, int>>& info) {
      return std::string(std::get<0>(info.param).name) + "_in_" +
             kPlaneNames[std::get<1>(info.param)];
    });

}  // namespace
}  // namespace chromaloom::testing
