#pragma once

#include <tiffio.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace chromaloom::testing {

// A TIFF as libtiff reads it back: its tags, its directories and every sample of image 0.
struct TiffImage {
  bool opened = false;
  int directories = 0;
  std::uint32_t width = 0, height = 0, rows_per_strip = 0;
  std::uint16_t bits_per_sample = 0, samples_per_pixel = 0, compression = 0, photometric = 0,
                planar_config = 0, sample_format = 0, orientation = 0;
  bool rows_readable = false;
  std::vector<std::uint16_t> samples;  // row by row, pixel by pixel, red green blue

  std::uint16_t sample(std::uint32_t row, std::uint32_t column, int channel) const {
    return samples[(static_cast<std::size_t>(row) * width + column) * 3 + channel];
  }
};

// Reads the file with libtiff, with libtiff's warnings and errors kept off the test output.
TiffImage read_tiff(const std::string& path);

// The first value of every tag of the first directory, read from the bytes of a little-endian
// TIFF without libtiff (which refuses some files it writes itself, such as an image of no rows).
std::map<int, std::uint32_t> raw_tiff_tags(const std::string& path);

// Sets the seven tags chromaloom sets on its TIFFs (all but the strip height), in its order.
void set_rgb_tags(TIFF* tiff, std::uint32_t width, std::uint32_t height);

// libtiff's default strip height for an uncompressed 16-bit RGB image of this width.
std::uint32_t default_rows_per_strip(std::uint32_t width, std::uint32_t height);

}  // namespace chromaloom::testing
