// The sample-plane generator's planes, converted and read back by another program: libtiff's own
// tiffinfo.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/reference_rule.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace chromaloom::testing {
namespace {

struct Header {
  int bitpix = 0;
  double bzero = 0;
  long black = -1, white = -1;
};

Header header_of(const std::string& path) {
  Header h;
  int status = 0;
  fitsfile* file = nullptr;
  ffopen(&file, path.c_str(), READONLY, &status);
  ffgky(file, TINT, "BITPIX", &h.bitpix, nullptr, &status);
  ffgky(file, TDOUBLE, "BZERO", &h.bzero, nullptr, &status);
  ffgky(file, TLONG, "CBLACK", &h.black, nullptr, &status);
  ffgky(file, TLONG, "CWHITE", &h.white, nullptr, &status);
  ffclos(file, &status);
  EXPECT_EQ(status, 0) << path;
  return h;
}

class SamplePlanes : public ::testing::Test {
 protected:
  void generate(long width, long height) {
    const RunResult made = run_program({CHROMALOOM_PLANEGEN, "--width", std::to_string(width),
                                        "--height", std::to_string(height), dir_.path()});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const RunResult run = run_chromaloom({dir_.file("red.fits"), dir_.file("green.fits"),
                                          dir_.file("blue.fits"), "1.3", "1.0", "1.63", out()});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  }
  std::string out() const { return dir_.file("rgb.tif"); }

  // What every sample of the TIFF must be, from the planes as CFITSIO reads them.
  std::vector<std::uint16_t> expected_samples() const {
    const double ratios[3] = {1.3, 1.0, 1.63};
    std::vector<std::vector<double>> planes;
    std::vector<double> blacks;
    for (const char* name : {"red.fits", "green.fits", "blue.fits"}) {
      planes.push_back(read_plane_pixels(dir_.file(name)));
      blacks.push_back(static_cast<double>(header_of(dir_.file(name)).black));
    }
    std::vector<std::uint16_t> samples;
    for (std::size_t i = 0; i < planes[0].size(); ++i) {
      for (int c = 0; c < 3; ++c)
        samples.push_back(reference_sample(planes[c][i], blacks[c], ratios[c]));
    }
    return samples;
  }

  TempDir dir_;
};

TEST_F(SamplePlanes, AreCameraLikeAndConvertExactly) {
  generate(300, 200);
  for (const char* name : {"red.fits", "green.fits", "blue.fits"}) {
    const Header h = header_of(dir_.file(name));
    EXPECT_EQ(h.bitpix, 16) << name;
    EXPECT_EQ(h.bzero, 32768) << name;  // unsigned 16-bit pixels, as cameras store them
    EXPECT_GT(h.black, 0) << name;
    EXPECT_GT(h.white, h.black) << name;
  }
  const TiffImage image = read_tiff(out());
  ASSERT_TRUE(image.rows_readable);
  EXPECT_EQ(image.width, 300u);
  EXPECT_EQ(image.height, 200u);
  EXPECT_EQ(image.samples, expected_samples());
}

TEST_F(SamplePlanes, TiffinfoReadsTheTagsAndEveryPixel) {
  constexpr const char* kTiffinfo = "/usr/bin/tiffinfo";
  ASSERT_EQ(access(kTiffinfo, X_OK), 0) << "tiffinfo is missing: install libtiff-tools";
  generate(40, 30);
  const RunResult info = run_program({kTiffinfo, "-d", out()});
  ASSERT_EQ(info.exit_status, 0) << info.err;
  EXPECT_EQ(info.err, "");  // not even a warning
  for (const char* line : {"Image Width: 40 Image Length: 30", "Bits/Sample: 16",
                           "Compression Scheme: None", "Photometric Interpretation: RGB color",
                           "Samples/Pixel: 3", "Planar Configuration: single image plane"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
  EXPECT_EQ(info.out.find("TIFF directory 1"), std::string::npos);  // one image only

  // The strips as tiffinfo dumps them: hexadecimal bytes, samples low byte first.
  std::vector<std::uint16_t> dumped;
  std::istringstream lines(info.out.substr(info.out.find("Strip 0:")));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Strip", 0) == 0) continue;
    std::istringstream bytes(line);
    std::string low, high;
    while (bytes >> low >> high) {
      dumped.push_back(static_cast<std::uint16_t>(std::stoi(high, nullptr, 16) << 8 |
                                                  std::stoi(low, nullptr, 16)));
    }
  }
  EXPECT_EQ(dumped, expected_samples());
}

TEST_F(SamplePlanes, ImageMagickReadsEveryPixel) {
  constexpr const char* kConvert = "/usr/bin/convert";
  if (access(kConvert, X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
  generate(40, 30);
  const std::string raw = dir_.file("rgb.raw");
  const RunResult run =
      run_program({kConvert, out(), "-endian", "LSB", "-depth", "16", "rgb:" + raw});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string bytes = read_file(raw);
  std::vector<std::uint16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                            static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
  EXPECT_EQ(samples, expected_samples());
}

}  // namespace
}  // namespace chromaloom::testing
