#pragma once

#include <fitsio.h>

#include <optional>
#include <string>
#include <vector>

namespace chromaloom::testing {

// One FITS plane for a test, written through CFITSIO.
struct PlaneSpec {
  int bitpix = -64;
  std::vector<long> axes = {1, 1};
  // Physical values (after BSCALE and BZERO), in FITS order: row 1 first.
  std::vector<double> pixels;
  double bscale = 1.0;
  double bzero = 0.0;
  // Value texts of the cards as they stand in the header; nullopt leaves the card out.
  std::optional<std::string> cblack = "0";
  std::optional<std::string> cwhite = "65535";
  std::vector<std::string> extra_cards;  // whole 80-column cards, written as they are
};

// Writes the plane, replacing any file of that name. Throws on a CFITSIO failure.
void write_plane(const std::string& path, const PlaneSpec& spec);

// Adds the plane as the next image extension of an existing FITS file.
void append_plane(const std::string& path, const PlaneSpec& spec);

// How compress_plane tiles and compresses an image.
struct Tiling {
  long width = 0, height = 0;  // 0 x 0: CFITSIO's default, one row a tile
  int compression = RICE_1;
  bool lossless_floats = false;  // floats stored exactly (no quantisation)
};

// Writes `source`'s primary image to `dest` as a tile-compressed image extension (HDU 1), or
// appends it as the next extension when `append` is true.
void compress_plane(const std::string& source, const std::string& dest, const Tiling& tiling = {},
                    bool append = false);

// A plane of width x height physical values given row by row (FITS row 1 first).
PlaneSpec plane(long width, long height, std::vector<double> pixels, int bitpix = -64);

// The value of every pixel, as CFITSIO reads it back scaled.
std::vector<double> read_plane_pixels(const std::string& path);

// A FITS header block by hand, for headers CFITSIO would refuse to write or would pad with a
// huge data unit: the cards, END, padded to 2880 bytes. With `end` false the END card is left out.
std::string raw_header(const std::vector<std::string>& cards, bool end = true);

// One 80-column card "KEY     = value".
std::string card(const std::string& keyword, const std::string& value);

}  // namespace chromaloom::testing

namespace chromaloom::testing {

// Writes red.fits, green.fits and blue.fits into `directory` and returns their paths.
struct PlanePaths {
  std::string red, green, blue;
};
PlanePaths write_planes(const std::string& directory, const PlaneSpec& red, const PlaneSpec& green,
                        const PlaneSpec& blue);

}  // namespace chromaloom::testing
