// The strip layout the writer plans before the file exists: libtiff's own strip height, and the
// exact size of the classic TIFF libtiff writes, which decides when BigTIFF is needed. Checked
// against libtiff itself, writing to a sink that keeps no bytes, right at the 4 GiB boundary.
#include "tiff/strip_layout.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/support/tiff_readback.h"

namespace chromaloom {
namespace {

TEST(DefaultStripRows, IsLibtiffsOwnForEveryKindOfWidth) {
  for (const std::uint32_t width :
       {0u, 1u, 2u, 100u, 1364u, 1365u, 1366u, 1367u, 6000u, 27000u, 4000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(width);
    EXPECT_EQ(default_strip_rows(width), testing::default_rows_per_strip(width, 10));
  }
}

// A file that keeps nothing but its size: libtiff writes into it as into a disk file.
struct Sink {
  std::uint64_t position = 0, size = 0;
};

tmsize_t sink_read(thandle_t, void*, tmsize_t) { return 0; }
tmsize_t sink_write(thandle_t handle, void*, tmsize_t bytes) {
  Sink& sink = *static_cast<Sink*>(handle);
  sink.position += static_cast<std::uint64_t>(bytes);
  sink.size = std::max(sink.size, sink.position);
  return bytes;
}
toff_t sink_seek(thandle_t handle, toff_t offset, int whence) {
  Sink& sink = *static_cast<Sink*>(handle);
  sink.position = whence == SEEK_SET ? offset : whence == SEEK_CUR ? sink.position + offset
                                                                   : sink.size + offset;
  return sink.position;
}
int sink_close(thandle_t) { return 0; }
toff_t sink_size(thandle_t handle) { return static_cast<Sink*>(handle)->size; }
int sink_map(thandle_t, void**, toff_t*) { return 0; }
void sink_unmap(thandle_t, void*, toff_t) {}

// Writes a classic TIFF of this geometry as chromaloom does (same tags, default strips, strips
// appended in order) into a sink. Returns its size, or 0 when libtiff could not finish it.
std::uint64_t libtiff_classic_bytes(std::uint32_t width, std::uint32_t height) {
  Sink sink;
  TIFFSetErrorHandler(nullptr);
  TIFF* tiff = TIFFClientOpen("sink", "w", &sink, sink_read, sink_write, sink_seek, sink_close,
                              sink_size, sink_map, sink_unmap);
  testing::set_rgb_tags(tiff, width, height);
  const std::uint32_t strip_rows = TIFFDefaultStripSize(tiff, 0xFFFFFFFFu);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, strip_rows);
  const std::uint64_t row_bytes = std::uint64_t{width} * 6;
  const std::vector<unsigned char> strip(row_bytes * std::min(strip_rows, height));
  bool written = true;
  for (std::uint32_t row = 0, index = 0; row < height && written; row += strip_rows, ++index) {
    const std::uint64_t rows = std::min<std::uint64_t>(strip_rows, height - row);
    written = TIFFWriteRawStrip(tiff, index, const_cast<unsigned char*>(strip.data()),
                                static_cast<tmsize_t>(rows * row_bytes)) >= 0;
  }
  written = written && TIFFFlush(tiff) != 0;
  TIFFClose(tiff);
  return written ? sink.size : 0;
}

// The tallest image of this width that a classic TIFF holds, by the planned layout.
std::uint32_t tallest_classic(std::uint32_t width) {
  std::uint64_t low = 1, high = 0xFFFFFFFFu;
  while (low < high) {
    const std::uint64_t middle = (low + high + 1) / 2;
    if (needs_bigtiff(width, static_cast<std::uint32_t>(middle))) {
      high = middle - 1;
    } else {
      low = middle;
    }
  }
  return static_cast<std::uint32_t>(low);
}

TEST(ClassicTiffBytes, AreWhatLibtiffWrites) {
  for (const auto& [width, height] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {5, 3}, {1366, 3}, {1, 1366}, {1, 2731}, {3, 5000}, {10922, 2}, {10923, 2}, {100, 40}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    EXPECT_EQ(classic_tiff_bytes(width, height), libtiff_classic_bytes(width, height));
  }
}

// Around the boundary: the tallest image the plan keeps classic is one libtiff writes, and one row
// more is one libtiff refuses ("Maximum TIFF file size exceeded"). Widths with strips of many rows
// and SHORT byte counts, of one row with SHORT or with LONG counts, and a mosaic's.
TEST(NeedsBigtiff, ExactlyWhereClassicTiffEnds) {
  for (const std::uint32_t width : {1u, 3u, 1365u, 1366u, 10922u, 10923u, 27000u}) {
    SCOPED_TRACE(width);
    const std::uint32_t tallest = tallest_classic(width);
    EXPECT_EQ(libtiff_classic_bytes(width, tallest), classic_tiff_bytes(width, tallest));
    EXPECT_LE(classic_tiff_bytes(width, tallest), 0xFFFFFFFFu);
    EXPECT_TRUE(needs_bigtiff(width, tallest + 1));
    EXPECT_EQ(libtiff_classic_bytes(width, tallest + 1), 0u);
  }
}

}  // namespace
}  // namespace chromaloom
