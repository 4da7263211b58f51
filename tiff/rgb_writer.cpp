#include "tiff/rgb_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "tiff/strip_layout.h"

namespace chromaloom {

namespace {

constexpr std::uint64_t kBytesPerPixel = 6;  // three 16-bit samples
// Writes reach the file a mebibyte at a time.
constexpr std::size_t kOutputBufferBytes = std::size_t{1} << 20;

void report_errno(const char* file_name) {
  std::fprintf(stderr, "chromaloom: %s: %s\n", file_name, std::strerror(errno));
}

// The rows of strip `index` held in the strip buffer, to libtiff.
bool write_strip(RgbTiff& tiff, std::uint32_t index) {
  const std::uint64_t first_row = std::uint64_t{index} * tiff.rows_per_strip;
  const std::uint64_t rows =
      std::min<std::uint64_t>(tiff.rows_per_strip, tiff.height - first_row);
  return TIFFWriteRawStrip(tiff.handle, index, tiff.strip,
                           static_cast<tmsize_t>(rows * tiff.row_bytes)) >= 0;
}

}  // namespace

bool allocate_rgb_buffers(std::uint32_t width, std::uint32_t height, RgbTiff& tiff) {
  tiff.row_bytes = width * kBytesPerPixel;
  tiff.height = height;
  tiff.rows_per_strip = default_strip_rows(width);
  const std::uint64_t strip_rows = tiff.rows_per_strip < height ? tiff.rows_per_strip : height;
  // A strip of no bytes (width or height 0) needs no memory; libtiff hands out none for it.
  const std::uint64_t strip_bytes = strip_rows * tiff.row_bytes;
  if (strip_bytes > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
  tiff.strip = static_cast<unsigned char*>(_TIFFmalloc(static_cast<tmsize_t>(strip_bytes)));
  if (tiff.strip == nullptr && strip_bytes != 0) return false;
  tiff.output.reset(new (std::nothrow) OutputFile);
  return tiff.output != nullptr && tiff.output->allocate(kOutputBufferBytes);
}

int open_rgb_output(const char* file_name) {
  const int fd = open(file_name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) report_errno(file_name);
  return fd;
}

CreateResult create_rgb_tiff(int fd, const char* file_name, std::uint32_t width,
                             std::uint32_t height, RgbTiff& tiff) {
  if (ftruncate(fd, 0) != 0) {
    report_errno(file_name);
    return CreateResult::kCannotCreate;
  }
  tiff.handle =
      tiff.output->open_tiff(fd, file_name, needs_bigtiff(width, height) ? "w8" : "w");
  // libtiff writes the header as it opens the file: that write is not left in the buffer, so
  // that a file that cannot take even the header is one that cannot be created.
  if (tiff.handle == nullptr || !tiff.output->flush()) return CreateResult::kCannotCreate;

  // libtiff derives the row size and the default strip height from these, so they come first.
  TIFFSetField(tiff.handle, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff.handle, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff.handle, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff.handle, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff.handle, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff.handle, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff.handle, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);

  // Every row fills width * 6 bytes of the strip, and libtiff counts that many for it.
  if (width != 0 && TIFFScanlineSize64(tiff.handle) != tiff.row_bytes) {
    return CreateResult::kLayoutMismatch;
  }
  const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tiff.handle, 0xFFFFFFFFu);
  TIFFSetField(tiff.handle, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  // The strip buffer was sized from the planned height: libtiff must agree with it.
  if (rows_per_strip != tiff.rows_per_strip) return CreateResult::kLayoutMismatch;
  return CreateResult::kOk;
}

unsigned char* rgb_row(RgbTiff& tiff, std::uint32_t row) {
  const std::uint32_t in_strip = row % tiff.rows_per_strip;
  if (row == 0) {
    // libtiff checks the image can be written at its first row (it cannot when the width is 0).
    if (!TIFFWriteCheck(tiff.handle, 0, "rgb_row")) return nullptr;
  } else if (in_strip == 0 && !write_strip(tiff, row / tiff.rows_per_strip - 1)) {
    return nullptr;
  }
  return tiff.strip + in_strip * tiff.row_bytes;
}

bool flush_rgb_rows(RgbTiff& tiff) { return tiff.output->flush(); }

bool finish_rgb_tiff(RgbTiff& tiff) {
  bool finished = true;
  if (tiff.height > 0) finished = write_strip(tiff, (tiff.height - 1) / tiff.rows_per_strip);
  // TIFFClose writes the directory but cannot say whether that worked; the flushes can.
  finished = finished && TIFFFlush(tiff.handle) != 0 && tiff.output->flush();
  TIFFClose(tiff.handle);
  tiff.handle = nullptr;
  _TIFFfree(tiff.strip);
  tiff.strip = nullptr;
  tiff.output.reset();
  return finished;
}

}  // namespace chromaloom
