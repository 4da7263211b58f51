// A picture whose TIFF passes 4 GiB is written as BigTIFF, and reads back exactly on both sides of
// the 4 GiB mark. The input planes are sparse files and cost no disk; the output costs 4.3 GB.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/expected_output.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace chromaloom::testing {
namespace {

constexpr std::uint32_t kWidth = 27000, kHeight = 26600;  // 4.31 GB of samples
constexpr std::uint64_t kRowBytes = std::uint64_t{kWidth} * 6;

// The value of pixel `column` in FITS row `row` (counted from 0) of plane `plane`, for the rows
// the test writes; every other row is sparse, all zeros.
std::uint8_t written_value(int plane, std::uint32_t row, std::uint32_t column) {
  return static_cast<std::uint8_t>((column * 7 + row * 3 + plane * 50) % 200 + 1);
}

// The rows with data: the first, those whose TIFF strips lie on either side of the 4 GiB mark,
// and the last.
std::vector<std::uint32_t> written_rows() {
  const auto across = static_cast<std::uint32_t>(((std::uint64_t{1} << 32) - 8) / kRowBytes);
  return {0, across - 1, across, across + 1, kHeight - 1};
}

void write_sparse_plane(const std::string& path, int plane) {
  const std::string header =
      raw_header({card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "2"),
                  card("NAXIS1", std::to_string(kWidth)), card("NAXIS2", std::to_string(kHeight)),
                  card("CBLACK", "0"), card("CWHITE", "255")});
  std::ofstream file(path, std::ios::binary);
  file.write(header.data(), static_cast<std::streamsize>(header.size()));
  std::vector<char> row(kWidth);
  for (const std::uint32_t r : written_rows()) {
    for (std::uint32_t x = 0; x < kWidth; ++x) row[x] = static_cast<char>(written_value(plane, r, x));
    file.seekp(static_cast<std::streamoff>(header.size() + std::uint64_t{r} * kWidth));
    file.write(row.data(), kWidth);
  }
  file.close();
  const std::uint64_t data = std::uint64_t{kWidth} * kHeight;
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size() + (data + 2879) / 2880 * 2880)),
            0);
}

TEST(BigPicture, IsWrittenAsBigTiffAndReadsBackPastFourGiB) {
#ifdef CHROMALOOM_SANITIZED
  GTEST_SKIP() << "4.3 GB through the sanitizer build would take minutes; the plain build runs it";
#endif
  TempDir dir;
  struct statvfs disk {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &disk), 0);
  const double free_gb = static_cast<double>(disk.f_bavail) * disk.f_frsize / 1e9;
  if (free_gb < 10) {
    GTEST_SKIP() << "needs 10 GB of free disk for a 4.3 GB TIFF; " << free_gb << " GB free here";
  }
  std::vector<std::string> args;
  for (int plane = 0; plane < 3; ++plane) {
    args.push_back(dir.file("plane" + std::to_string(plane) + ".fits"));
    write_sparse_plane(args.back(), plane);
  }
  for (const char* ratio : {"1", "1", "1"}) args.push_back(ratio);
  const std::string out = dir.file("mosaic.tif");
  args.push_back(out);

  const RunResult run = run_chromaloom(args);
  ASSERT_EQ(run.out, kSuccessOutput);
  ASSERT_EQ(run.exit_status, 0) << run.err;

  TIFFSetErrorHandler(nullptr);
  TIFF* tiff = TIFFOpen(out.c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  EXPECT_TRUE(TIFFIsBigTIFF(tiff));
  std::uint32_t width = 0, height = 0, strip_rows = 0;
  std::uint16_t bits = 0, samples = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &strip_rows);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);
  EXPECT_EQ(strip_rows, 1u);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(samples, 3);
  // The last strip ends past 4 GiB.
  EXPECT_GT(TIFFGetStrileOffset(tiff, kHeight - 1), std::uint64_t{1} << 32);

  std::vector<std::uint16_t> row(kWidth * 3);
  std::vector<std::uint32_t> checked = written_rows();
  checked.push_back(1);  // a sparse row: every sample the pedestal
  for (const std::uint32_t r : checked) {
    SCOPED_TRACE("row " + std::to_string(r));
    ASSERT_EQ(TIFFReadScanline(tiff, row.data(), r, 0), 1);
    const bool written = r != 1;
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int expected = written ? written_value(c, r, x) + 50 : 50;
        ASSERT_EQ(row[3 * x + c], expected) << "column " << x << " channel " << c;
      }
    }
  }
  TIFFClose(tiff);
}

}  // namespace
}  // namespace chromaloom::testing
