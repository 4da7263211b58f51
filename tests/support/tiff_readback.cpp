#include "tests/support/tiff_readback.h"

#include <tiffio.h>

#include "tests/support/temp_dir.h"

namespace chromaloom::testing {

namespace {

// Keeps libtiff quiet while a test reads a file it expects may be broken.
class QuietLibtiff {
 public:
  QuietLibtiff() : error_(TIFFSetErrorHandler(nullptr)), warning_(TIFFSetWarningHandler(nullptr)) {}
  ~QuietLibtiff() {
    TIFFSetErrorHandler(error_);
    TIFFSetWarningHandler(warning_);
  }

 private:
  TIFFErrorHandler error_, warning_;
};

}  // namespace

TiffImage read_tiff(const std::string& path) {
  QuietLibtiff quiet;
  TiffImage image;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return image;
  image.opened = true;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &image.height);
  TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &image.rows_per_strip);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &image.bits_per_sample);
  TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &image.samples_per_pixel);
  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &image.compression);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &image.photometric);
  TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &image.planar_config);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &image.sample_format);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &image.orientation);

  image.rows_readable = image.samples_per_pixel == 3 && image.bits_per_sample == 16 &&
                        TIFFScanlineSize(tiff) == static_cast<tmsize_t>(image.width) * 6;
  if (image.rows_readable) {
    image.samples.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    for (std::uint32_t row = 0; row < image.height; ++row) {
      std::uint16_t* dest = image.samples.data() + static_cast<std::size_t>(row) * image.width * 3;
      if (TIFFReadScanline(tiff, dest, row, 0) < 0) {
        image.rows_readable = false;
        break;
      }
    }
  }
  do {
    ++image.directories;
  } while (TIFFReadDirectory(tiff));
  TIFFClose(tiff);
  return image;
}

std::map<int, std::uint32_t> raw_tiff_tags(const std::string& path) {
  const std::string bytes = read_file(path);
  auto at = [&](std::size_t offset, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
      if (offset + i >= bytes.size()) return 0u;
      value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
  };
  std::map<int, std::uint32_t> tags;
  if (bytes.compare(0, 4, std::string("II*\0", 4)) != 0) return tags;
  const std::uint32_t directory = at(4, 4);
  const std::uint32_t count = at(directory, 2);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = directory + 2 + 12 * static_cast<std::size_t>(i);
    const std::uint32_t type = at(entry + 2, 2);
    // A SHORT or LONG held in the entry itself; for longer values this is their offset.
    tags[static_cast<int>(at(entry, 2))] = at(entry + 8, type == 3 ? 2 : 4);
  }
  return tags;
}

void set_rgb_tags(TIFF* tiff, std::uint32_t width, std::uint32_t height) {
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
}

std::uint32_t default_rows_per_strip(std::uint32_t width, std::uint32_t height) {
  TempDir dir;
  TIFF* tiff = TIFFOpen(dir.file("probe.tif").c_str(), "w");
  set_rgb_tags(tiff, width, height);
  const std::uint32_t rows = TIFFDefaultStripSize(tiff, 0xFFFFFFFFu);
  TIFFClose(tiff);
  return rows;
}

}  // namespace chromaloom::testing
