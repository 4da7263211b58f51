#include "tiff/strip_layout.h"

namespace chromaloom {

namespace {

constexpr std::uint64_t kBytesPerPixel = 6;  // three 16-bit samples
// libtiff aims its default strips at this many bytes.
constexpr std::uint64_t kDefaultStripBytes = 8192;

constexpr std::uint64_t kHeaderBytes = 8;
// The image directory: an entry count, ten entries of 12 bytes (width, length, bits per sample,
// compression, photometric, strip offsets, samples per pixel, rows per strip, strip byte counts,
// planar configuration) and the next directory's offset.
constexpr std::uint64_t kDirectoryBytes = 2 + 10 * 12 + 4;
constexpr std::uint64_t kBitsPerSampleBytes = 3 * 2;  // three SHORTs: too long to sit in the entry

}  // namespace

std::uint32_t default_strip_rows(std::uint32_t width) {
  // As libtiff works it out; a row of no bytes counts as one byte.
  const std::uint64_t row_bytes = width == 0 ? 1 : width * kBytesPerPixel;
  const std::uint64_t rows = kDefaultStripBytes / row_bytes;
  return rows == 0 ? 1 : static_cast<std::uint32_t>(rows);
}

std::uint64_t classic_tiff_bytes(std::uint32_t width, std::uint32_t height) {
  const std::uint64_t row_bytes = width * kBytesPerPixel;
  const std::uint64_t strip_rows = default_strip_rows(width);
  const std::uint64_t strips = (height + strip_rows - 1) / strip_rows;
  // libtiff writes the directory after the strips, at the next even offset, then the arrays too
  // long to sit in their entries (more than 4 bytes).
  const std::uint64_t directory = (kHeaderBytes + row_bytes * height + 1) & ~std::uint64_t{1};
  std::uint64_t end = directory + kDirectoryBytes + kBitsPerSampleBytes;
  if (strips > 1) {
    end += 4 * strips;  // strip offsets, LONG
    // Byte counts are SHORTs when a whole strip fits in 16 bits.
    const std::uint64_t strip_bytes = (strip_rows < height ? strip_rows : height) * row_bytes;
    const std::uint64_t count_bytes = (strip_bytes <= 0xFFFF ? 2 : 4) * strips;
    if (count_bytes > 4) end += count_bytes;
  }
  return end;
}

bool needs_bigtiff(std::uint32_t width, std::uint32_t height) {
  return classic_tiff_bytes(width, height) > 0xFFFFFFFFu;
}

}  // namespace chromaloom
