// Planes are read in the narrowest type that holds their values exactly (their own pixel type where
// there is no other scaling than the usual unsigned offset), and tile-compressed ones a band of
// tiles at a time. Every sample must come out as CFITSIO's plain read of the same plane as doubles,
// row by row, gives it: for every pixel type and scaling, uncompressed and every tiling, values at
// the type's limits, the clamp's neighbours, NaN and infinities.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
constexpr long kWidth = 7, kHeight = 5;

struct Family {
  const char* name;
  int bitpix;
  double bscale, bzero;
  std::vector<double> limits;  // physical values at the edges of the type, and the rule's
  bool lossless_floats = false;
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

// kWidth x kHeight values: the limits first, then a ramp through the type's range.
std::vector<double> values_of(const Family& f) {
  std::vector<double> values = f.limits;
  const double low = f.limits[0], high = f.limits[1];
  for (std::size_t i = values.size(); i < static_cast<std::size_t>(kWidth * kHeight); ++i) {
    const double t = static_cast<double>(i * 37 % 101) / 100.0;
    double v = std::floor(low + (high - low) * t);
    if (f.bitpix < 0) v = low + (high - low) * t + 0.25;
    if (f.bitpix > 0) v = std::floor((v - f.bzero) / f.bscale) * f.bscale + f.bzero;
    values.push_back(v);
  }
  return values;
}

struct Tile {
  const char* name;
  long width, height;  // 0 x 0: CFITSIO's default, one row a tile; -1: not compressed
};

void PrintTo(const Tile& t, std::ostream* os) { *os << t.name; }

class ReadPaths : public ::testing::TestWithParam<std::tuple<Family, Tile>> {};

TEST_P(ReadPaths, ConvertAsTheirDoublesDo) {
  const auto& [family, tile] = GetParam();
  TempDir dir;
  PlaneSpec spec = plane(kWidth, kHeight, values_of(family), family.bitpix);
  spec.bscale = family.bscale;
  spec.bzero = family.bzero;
  spec.cblack = "100";
  write_plane(dir.file("plain.fits"), spec);
  Tiling tiling;
  tiling.width = tile.width;
  tiling.height = tile.height;
  tiling.lossless_floats = family.lossless_floats;
  if (family.lossless_floats) tiling.compression = GZIP_1;
  // One file named three times, and three extensions of one file.
  if (tile.width < 0) {
    write_plane(dir.file("tiled.fits"), spec);
    for (int extension = 1; extension <= 3; ++extension) append_plane(dir.file("tiled.fits"), spec);
  } else {
    compress_plane(dir.file("plain.fits"), dir.file("tiled.fits"), tiling);
    compress_plane(dir.file("plain.fits"), dir.file("tiled.fits"), tiling, true);
    compress_plane(dir.file("plain.fits"), dir.file("tiled.fits"), tiling, true);
  }

  // And three files, whose bands are decompressed side by side.
  for (const char* copy : {"red.fits", "green.fits", "blue.fits"}) {
    write_file(dir.file(copy), read_file(dir.file("tiled.fits")));
  }

  const std::vector<double> ratios = {1.3, 1.0, 1.63};
  for (const std::vector<std::string>& names :
       {std::vector<std::string>{"tiled.fits[1]", "tiled.fits[1]", "tiled.fits[1]"},
        std::vector<std::string>{"tiled.fits[1]", "tiled.fits[2]", "tiled.fits[3]"},
        std::vector<std::string>{"red.fits[1]", "green.fits[2]", "blue.fits[3]"}}) {
    SCOPED_TRACE(names[1]);
    const RunResult run = run_chromaloom(
        {names[0], names[1], names[2], "1.3", "1.0", "1.63", "rgb.tif"}, in_directory(dir.path()));
    ASSERT_EQ(run.out, kSuccessOutput);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // Each extension as CFITSIO reads it as doubles (quantisation dithers each one its own way).
    std::vector<std::vector<double>> pixels;
    for (const std::string& name : names) pixels.push_back(read_plane_pixels(dir.file(name)));
    const TiffImage image = read_tiff(dir.file("rgb.tif"));
    ASSERT_TRUE(image.rows_readable);
    ASSERT_EQ(image.width, static_cast<std::uint32_t>(kWidth));
    ASSERT_EQ(image.height, static_cast<std::uint32_t>(kHeight));
    for (std::size_t i = 0; i < pixels[0].size(); ++i) {
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(image.samples[3 * i + c], reference_sample(pixels[c][i], 100, ratios[c]))
            << "pixel " << i << " (" << pixels[c][i] << "), channel " << c;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadPaths,
    ::testing::Combine(
        ::testing::Values(
            Family{"uint8", 8, 1, 0, {0, 255, 100, 150}},
            Family{"int8", 8, 1, -128, {-128, 127, 0, 99, 100}},
            Family{"int16", 16, 1, 0, {-32768, 32767, 0, 49, 65485 - 65536}},
            Family{"uint16", 16, 1, 32768, {0, 65535, 65485, 65486, 100, 99}},
            Family{"int16_scaled", 16, 0.25, 1000.5, {-32768 * 0.25 + 1000.5, 32767 * 0.25 + 1000.5}},
            Family{"int32", 32, 1, 0, {-2147483648.0, 2147483647.0, 65485, 65486}},
            Family{"uint32", 32, 1, 2147483648.0, {0, 4294967295.0, 65485, 65584}},
            Family{"float32_quantised", -32, 1, 0, {-2000, 70000, 100.5, 65534.75}},
            Family{"float32_lossless", -32, 1, 0, {-2000, 70000, kNaN, kInf, -kInf, 65534.75},
                   true},
            Family{"float64_lossless", -64, 1, 0, {-1e12, 1e12, kNaN, kInf, -kInf, 49.999999},
                   true}),
        ::testing::Values(Tile{"uncompressed", -1, -1}, Tile{"whole_image", kWidth, kHeight},
                          Tile{"tiles_3x2", 3, 2}, Tile{"rows", kWidth, 1},
                          Tile{"default", 0, 0})),
    [](const ::testing::TestParamInfo<std::tuple<Family, Tile>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// Scaled floats (which CFITSIO does not tile-compress) are read as doubles.
INSTANTIATE_TEST_SUITE_P(
    Uncompressed, ReadPaths,
    ::testing::Combine(::testing::Values(Family{"float32_scaled", -32, 2, 1,
                                                {-2000, 70000, kNaN, 65534.75}}),
                       ::testing::Values(Tile{"uncompressed", -1, -1})),
    [](const ::testing::TestParamInfo<std::tuple<Family, Tile>>& info) {
      return std::string(std::get<0>(info.param).name);
    });

// A band is a row buffer: one that cannot be had ends the run before the output is touched. A
// tile of 100000 x 100000 16-bit pixels makes a band of 20 GB a plane; the file is headers only.
TEST(TiledBands, ThatCannotBeAllocatedEndLikeARowBuffer) {
#ifdef CHROMALOOM_SANITIZED
  GTEST_SKIP() << "an address-space limit needs the plain build; it runs this";
#endif
  TempDir dir;
  const std::string file =
      raw_header({card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"),
                  card("EXTEND", "T")}) +
      raw_header({card("XTENSION", "'BINTABLE'"), card("BITPIX", "8"), card("NAXIS", "2"),
                  card("NAXIS1", "8"), card("NAXIS2", "1"), card("PCOUNT", "0"),
                  card("GCOUNT", "1"), card("TFIELDS", "1"), card("TTYPE1", "'COMPRESSED_DATA'"),
                  card("TFORM1", "'1PB(0)'"), card("ZIMAGE", "T"), card("ZBITPIX", "16"),
                  card("ZNAXIS", "2"), card("ZNAXIS1", "100000"), card("ZNAXIS2", "100000"),
                  card("ZTILE1", "100000"), card("ZTILE2", "100000"),
                  card("ZCMPTYPE", "'RICE_1'"), card("ZNAME1", "'BLOCKSIZE'"),
                  card("ZVAL1", "32"), card("ZNAME2", "'BYTEPIX'"), card("ZVAL2", "2"),
                  card("BZERO", "32768"), card("CBLACK", "0"), card("CWHITE", "1")}) +
      std::string(2880, '\0');
  write_file(dir.file("huge.fits"), file);
  write_file(dir.file("out.tif"), "precious");
  RunOptions options;
  options.address_space_limit = 2LL << 30;
  const std::string plane = dir.file("huge.fits[1]");
  const RunResult run =
      run_chromaloom({plane, plane, plane, "1", "1", "1", dir.file("out.tif")}, options);
  EXPECT_EQ(run.out, kNoMemoryForRows);
  EXPECT_EQ(run.exit_status, kNoMemoryStatus) << run.err;
  EXPECT_EQ(read_file(dir.file("out.tif")), "precious");
}

// Tiled planes in files of their own are decompressed side by side, a band at a time. A band that
// cannot be read fails the run as a row read does, in the order red, green, blue, while every row
// is still written: its rows are zeros, every other row is whole.
TEST(TiledBands, ThatFailSideBySideEndInPlaneOrder) {
  const long width = 40, height = 30;
  TempDir dir;
  std::vector<double> values(width * height);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i * 37 % 5000);
  write_plane(dir.file("plain.fits"), plane(width, height, values, 16));
  Tiling tiling;
  tiling.width = width;
  tiling.height = 10;  // three bands
  for (const char* name : {"red.fits", "green.fits", "blue.fits"}) {
    compress_plane(dir.file("plain.fits"), dir.file(name), tiling);
  }
  // The last tile's descriptor in the tile table (its third row, after the empty primary array
  // and the table's header) points far past the end of the file: that band cannot be read.
  std::string cut = read_file(dir.file("blue.fits"));
  const std::size_t table_header = 2880;
  const std::size_t table_end = cut.find("END     ", table_header) / 2880 * 2880 + 2880;
  cut.replace(table_end + 2 * 8 + 4, 4, std::string("\x7f\xff\x00\x00", 4));
  struct Case {
    const char* what;
    std::vector<const char*> cut_planes;
    int failing_channel;
  };
  for (const Case& c : {Case{"blue cut", {"blue.fits"}, 2},
                        Case{"green and blue cut", {"green.fits", "blue.fits"}, 1}}) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"red.fits", "green.fits", "blue.fits"}) {
      compress_plane(dir.file("plain.fits"), dir.file(name), tiling);
    }
    for (const char* name : c.cut_planes) write_file(dir.file(name), cut);
    const RunResult run = run_chromaloom(
        {"red.fits[1]", "green.fits[1]", "blue.fits[1]", "1", "1", "1", "rgb.tif"},
        in_directory(dir.path()));
    EXPECT_EQ(run.out, kSuccessOutput);
    EXPECT_EQ(run.exit_status, 107) << run.err;  // the band's tile lies past the end of the file
    EXPECT_NE(run.err, "");
    const TiffImage image = read_tiff(dir.file("rgb.tif"));
    ASSERT_TRUE(image.rows_readable);
    for (std::uint32_t row = 0; row < height; ++row) {
      for (std::uint32_t column = 0; column < width; ++column) {
        const double value = values[row * width + column];
        for (int channel = 0; channel < 3; ++channel) {
          const bool lost = row >= 20 && channel >= c.failing_channel;
          ASSERT_EQ(image.sample(row, column, channel), reference_sample(lost ? 0 : value, 0, 1))
              << "row " << row << " column " << column << " channel " << channel;
        }
      }
    }
  }
}

}  // namespace
}  // namespace chromaloom::testing
