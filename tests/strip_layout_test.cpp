// The strip height the writer plans with before the file exists is the one libtiff then chooses.
#include <gtest/gtest.h>

#include <cstdint>

#include "tests/support/tiff_readback.h"
#include "tiff/rgb_writer.h"

namespace chromaloom {
namespace {

TEST(DefaultStripRows, IsLibtiffsOwnForEveryKindOfWidth) {
  for (const std::uint32_t width :
       {0u, 1u, 2u, 100u, 1364u, 1365u, 1366u, 1367u, 6000u, 27000u, 4000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(width);
    EXPECT_EQ(default_strip_rows(width), testing::default_rows_per_strip(width, 10));
  }
}

}  // namespace
}  // namespace chromaloom
