#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>

#include "tiff/output_file.h"

namespace chromaloom {

// An uncompressed 16-bit RGB TIFF being written in strips of libtiff's default height. Rows are
// converted straight into the strip being filled: row r at bytes (r mod rows_per_strip) × width ×
// 6 of `strip`, pixel i at 6i..6i+5 of its row, red, green, blue, each sample low byte first.
// A full strip goes to libtiff whole when the next row begins (the last one when the TIFF is
// finished), as libtiff itself writes strips from its scanlines.
struct RgbTiff {
  TIFF* handle = nullptr;
  std::unique_ptr<OutputFile> output;
  unsigned char* strip = nullptr;
  std::uint32_t rows_per_strip = 1;
  std::uint64_t row_bytes = 0;
  std::uint32_t height = 0;
};

// Allocates the strip and the output's write buffer before anything is done to the output file.
// False when either cannot be had.
bool allocate_rgb_buffers(std::uint32_t width, std::uint32_t height, RgbTiff& tiff);

// Opens the output for writing without truncating it, creating it (mode 0666 less the umask) if
// it does not exist, so that the open file can be checked before anything is written. Returns the
// descriptor, or -1 with the reason on standard error.
int open_rgb_output(const char* file_name);

enum class CreateResult { kOk, kCannotCreate, kLayoutMismatch };

// Truncates the opened output, hands it to libtiff (as BigTIFF when a classic TIFF cannot hold
// the image, as a classic TIFF otherwise), writes the header through and sets the tags.
// kCannotCreate: the file could not be truncated, or libtiff could not start it or its header
// could not be written (the reason is on standard error). kLayoutMismatch: libtiff's row is not
// width * 6 bytes, or its strip height is not the one the strip buffer was sized for.
CreateResult create_rgb_tiff(int fd, const char* file_name, std::uint32_t width,
                             std::uint32_t height, RgbTiff& tiff);

// Where row `row` goes, rows in increasing order from 0. When `row` begins a strip, the strip
// before it goes to libtiff first. Null when libtiff refuses that strip (a full disk).
unsigned char* rgb_row(RgbTiff& tiff, std::uint32_t row);

// Sends everything libtiff was handed to the file. False when that fails.
bool flush_rgb_rows(RgbTiff& tiff);

// Writes the last strip and the image directory, closes the file and releases the buffers. False
// when the file could not be finished: the output is then unusable.
bool finish_rgb_tiff(RgbTiff& tiff);

}  // namespace chromaloom
