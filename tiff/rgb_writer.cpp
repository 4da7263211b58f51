#include "tiff/rgb_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tiff/strip_layout.h"

namespace chromaloom {

namespace {

constexpr std::uint64_t kBytesPerPixel = 6;  // three 16-bit samples
// libtiff's own strip buffer is at least this big.
constexpr std::uint64_t kMinimumStripBuffer = 8192;

void report_errno(const char* file_name) {
  std::fprintf(stderr, "chromaloom: %s: %s\n", file_name, std::strerror(errno));
}

}  // namespace

bool allocate_rgb_buffers(std::uint32_t width, std::uint32_t height, RgbTiff& tiff) {
  const auto row_bytes = static_cast<tmsize_t>(width * kBytesPerPixel);
  // A width of 0 needs no scanline, and libtiff hands out none for a request of 0 bytes.
  tiff.scanline = static_cast<unsigned char*>(_TIFFmalloc(row_bytes));
  if (tiff.scanline == nullptr && width != 0) return false;

  // libtiff's own buffer would hold one strip and a tenth more, and at least 8 KiB. The size only
  // sets how often libtiff writes; the bytes written are the same.
  std::uint32_t strip_rows = default_strip_rows(width);
  if (strip_rows > height) strip_rows = height;
  const tmsize_t strip_bytes = static_cast<tmsize_t>(strip_rows) * row_bytes;
  tiff.strip_buffer_size = strip_bytes + strip_bytes / 10;
  if (tiff.strip_buffer_size < static_cast<tmsize_t>(kMinimumStripBuffer)) {
    tiff.strip_buffer_size = kMinimumStripBuffer;
  }
  tiff.strip_buffer = _TIFFmalloc(tiff.strip_buffer_size);
  return tiff.strip_buffer != nullptr;
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
  tiff.handle = TIFFFdOpen(fd, file_name, needs_bigtiff(width, height) ? "w8" : "w");
  if (tiff.handle == nullptr) return CreateResult::kCannotCreate;

  // libtiff derives the row size and the default strip height from these, so they come first.
  TIFFSetField(tiff.handle, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff.handle, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff.handle, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff.handle, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff.handle, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff.handle, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff.handle, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);

  // Every row fills width * 6 bytes of the scanline, and libtiff takes that many from it.
  if (width != 0 && TIFFScanlineSize(tiff.handle) != static_cast<tmsize_t>(width * kBytesPerPixel)) {
    return CreateResult::kNoScanline;
  }

  const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tiff.handle, 0xFFFFFFFFu);
  TIFFSetField(tiff.handle, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  TIFFWriteBufferSetup(tiff.handle, tiff.strip_buffer, tiff.strip_buffer_size);
  return CreateResult::kOk;
}

bool write_rgb_row(RgbTiff& tiff, std::uint32_t row) {
  return TIFFWriteScanline(tiff.handle, tiff.scanline, row, 0) >= 0;
}

bool finish_rgb_tiff(RgbTiff& tiff) {
  // TIFFClose writes the last strip and the directory but cannot say whether that worked, so the
  // flush is what tells a full disk or an over-long file from a finished TIFF.
  const bool flushed = TIFFFlush(tiff.handle) != 0;
  TIFFClose(tiff.handle);
  tiff.handle = nullptr;
  _TIFFfree(tiff.scanline);
  tiff.scanline = nullptr;
  _TIFFfree(tiff.strip_buffer);
  tiff.strip_buffer = nullptr;
  return flushed;
}

}  // namespace chromaloom
