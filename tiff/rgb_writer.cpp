#include "tiff/rgb_writer.h"

namespace chromaloom {

CreateResult create_rgb_tiff(const char* file_name, std::uint32_t width, std::uint32_t height,
                             RgbTiff& tiff) {
  tiff.handle = TIFFOpen(file_name, "w");
  if (tiff.handle == nullptr) return CreateResult::kCannotCreate;

  // libtiff derives the row size and the default strip height from these, so they come first.
  TIFFSetField(tiff.handle, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff.handle, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff.handle, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff.handle, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff.handle, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff.handle, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff.handle, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);

  const tmsize_t row_size = TIFFScanlineSize(tiff.handle);
  tiff.scanline = static_cast<unsigned char*>(_TIFFmalloc(row_size));
  // Every row fills width * 6 bytes; a smaller buffer would be overrun. A width of 0 needs no
  // buffer at all, and libtiff hands out none for a request of 0 bytes.
  const tmsize_t needed = static_cast<tmsize_t>(width) * 6;
  if (width != 0 && (tiff.scanline == nullptr || row_size < needed)) {
    return CreateResult::kNoScanline;
  }

  const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tiff.handle, 0xFFFFFFFFu);
  TIFFSetField(tiff.handle, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
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
  return flushed;
}

}  // namespace chromaloom
