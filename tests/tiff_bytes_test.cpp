// The TIFF chromaloom writes, byte for byte, is the one libtiff writes on its own from the same
// samples, scanline by scanline: same header, strips, offsets and directory. Whatever way the
// writer hands libtiff its strips and gets them to the disk (in buffers of a mebibyte, a thread
// writing one while the next fills), nothing of that may show in the file.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
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

// The classic TIFF libtiff itself makes of these samples (row by row, red green blue).
std::string libtiff_bytes(const std::string& path, std::uint32_t width, std::uint32_t height,
                          const std::vector<std::uint16_t>& samples) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  set_rgb_tags(tiff, width, height);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0xFFFFFFFFu));
  std::vector<std::uint16_t> row(std::size_t{width} * 3);
  for (std::uint32_t r = 0; r < height; ++r) {
    std::copy(samples.begin() + std::size_t{r} * width * 3,
              samples.begin() + std::size_t{r + 1} * width * 3, row.begin());
    EXPECT_GE(TIFFWriteScanline(tiff, row.data(), r, 0), 0);
  }
  TIFFClose(tiff);
  return read_file(path);
}

struct Geometry {
  std::uint32_t width, height;
};

void PrintTo(const Geometry& g, std::ostream* os) { *os << g.width << " x " << g.height; }

class TiffBytes : public ::testing::TestWithParam<Geometry> {};

TEST_P(TiffBytes, AreLibtiffsOwn) {
  const auto [width, height] = GetParam();
  TempDir dir;
  std::vector<std::vector<double>> planes(3);
  for (int c = 0; c < 3; ++c) {
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
      planes[c].push_back(static_cast<double>((i * 7919 + c * 104729) % 65536));
    }
  }
  PlaneSpec specs[3];
  for (int c = 0; c < 3; ++c) {
    specs[c] = plane(width, height, planes[c], 16);
    specs[c].bzero = 32768;
  }
  const PlanePaths in = write_planes(dir.path(), specs[0], specs[1], specs[2]);
  const RunResult run =
      run_chromaloom({in.red, in.green, in.blue, "1.3", "1.0", "1.63", dir.file("rgb.tif")});
  ASSERT_EQ(run.out, kSuccessOutput);
  ASSERT_EQ(run.exit_status, 0) << run.err;

  const double ratios[3] = {1.3, 1.0, 1.63};
  std::vector<std::uint16_t> samples;
  for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
    for (int c = 0; c < 3; ++c) samples.push_back(reference_sample(planes[c][i], 0, ratios[c]));
  }
  const std::string expected = libtiff_bytes(dir.file("libtiff.tif"), width, height, samples);
  const std::string written = read_file(dir.file("rgb.tif"));
  ASSERT_EQ(written.size(), expected.size());
  std::size_t first_difference = 0;
  while (first_difference < written.size() && written[first_difference] == expected[first_difference]) {
    ++first_difference;
  }
  EXPECT_EQ(first_difference, written.size()) << "the files differ from byte " << first_difference;
}

// One strip; strips of many rows; one row a strip; and outputs of several mebibytes, so that the
// writer's buffers fill and take turns many times, at row and strip boundaries and inside them.
INSTANTIATE_TEST_SUITE_P(Geometries, TiffBytes,
                         ::testing::Values(Geometry{5, 3}, Geometry{100, 40}, Geometry{1366, 7},
                                           Geometry{700, 2000}, Geometry{3000, 300},
                                           Geometry{174763, 3}));

}  // namespace
}  // namespace chromaloom::testing
