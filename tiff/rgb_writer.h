#pragma once

#include <tiffio.h>

#include <cstdint>

namespace chromaloom {

// An uncompressed 16-bit RGB TIFF being written one row at a time. The scanline holds one row:
// pixel i at bytes 6i..6i+5, red, green, blue, each sample low byte first.
struct RgbTiff {
  TIFF* handle = nullptr;
  unsigned char* scanline = nullptr;
};

enum class CreateResult { kOk, kCannotCreate, kNoScanline };

// Creates (or replaces) the file, sets its tags and allocates a scanline buffer of width * 6
// bytes. kCannotCreate: libtiff gave no handle. kNoScanline: the buffer could not be had.
CreateResult create_rgb_tiff(const char* file_name, std::uint32_t width, std::uint32_t height,
                             RgbTiff& tiff);

// Hands the scanline to libtiff as row `row`. False when libtiff refuses it.
bool write_rgb_row(RgbTiff& tiff, std::uint32_t row);

// Writes what libtiff still holds (the last strip and the image directory), closes the file and
// releases the scanline. False when the file could not be finished: the output is then unusable.
bool finish_rgb_tiff(RgbTiff& tiff);

}  // namespace chromaloom
