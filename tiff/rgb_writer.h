#pragma once

#include <tiffio.h>

#include <cstdint>

namespace chromaloom {

// An uncompressed 16-bit RGB TIFF being written one row at a time. The scanline holds one row:
// pixel i at bytes 6i..6i+5, red, green, blue, each sample low byte first. The strip buffer is
// where libtiff gathers rows into strips; it is ours, so that it exists before the file is touched.
struct RgbTiff {
  TIFF* handle = nullptr;
  unsigned char* scanline = nullptr;
  void* strip_buffer = nullptr;
  tmsize_t strip_buffer_size = 0;
};

// Allocates the scanline (width * 6 bytes) and the strip buffer, sized as libtiff would size its
// own, before anything is done to the output file. False when either cannot be had.
bool allocate_rgb_buffers(std::uint32_t width, std::uint32_t height, RgbTiff& tiff);

// Opens the output for writing without truncating it, creating it (mode 0666 less the umask) if
// it does not exist, so that the open file can be checked before anything is written. Returns the
// descriptor, or -1 with the reason on standard error.
int open_rgb_output(const char* file_name);

enum class CreateResult { kOk, kCannotCreate, kNoScanline };

// Truncates the opened output, hands it to libtiff (as BigTIFF when a classic TIFF cannot hold
// the image, as a classic TIFF otherwise), sets the tags and gives libtiff the strip buffer. kCannotCreate: the file could not be truncated or libtiff could not start it (its
// reason is on standard error). kNoScanline: libtiff's row is not the scanline's size.
CreateResult create_rgb_tiff(int fd, const char* file_name, std::uint32_t width,
                             std::uint32_t height, RgbTiff& tiff);

// Hands the scanline to libtiff as row `row`. False when libtiff refuses it.
bool write_rgb_row(RgbTiff& tiff, std::uint32_t row);

// Writes what libtiff still holds (the last strip and the image directory), closes the file and
// releases the buffers. False when the file could not be finished: the output is then unusable.
bool finish_rgb_tiff(RgbTiff& tiff);

}  // namespace chromaloom
