// Differential fuzz of the row conversion against the conversion rule written out plainly, on
// any doubles (NaN, infinities, subnormals), black levels and ratios.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/sample_conversion.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/reference_rule.h"

namespace {

void check_path(chromaloom::KernelPath path, const std::vector<double> (&rows)[3],
                std::size_t width, const chromaloom::ChannelScales& scales) {
  std::vector<unsigned char> scanline(width * 6 + 1, 0xA5);
  chromaloom::convert_row_with(path, {rows[0].data(), rows[1].data(), rows[2].data()}, width,
                               scales, scanline.data());
  for (std::size_t i = 0; i < width; ++i) {
    for (int c = 0; c < 3; ++c) {
      const std::uint16_t expected =
          chromaloom::testing::reference_sample(rows[c][i], scales[c].black_level, scales[c].ratio);
      const unsigned char* sample = &scanline[6 * i + 2 * c];
      FUZZ_CHECK((sample[0] | sample[1] << 8) == expected);
    }
  }
  FUZZ_CHECK(scanline[width * 6] == 0xA5);  // nothing written past the row
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Three ratios (doubles) and three black levels (16-bit), then the pixels, red green blue.
  constexpr std::size_t kParams = 3 * 8 + 3 * 2;
  if (size < kParams) return 0;
  chromaloom::ChannelScales scales;
  for (int c = 0; c < 3; ++c) {
    std::uint16_t black;
    std::memcpy(&scales[c].ratio, data + 8 * c, 8);
    std::memcpy(&black, data + 24 + 2 * c, 2);
    scales[c].black_level = black;
  }
  const std::size_t width = (size - kParams) / 24;
  std::vector<double> rows[3];
  for (int c = 0; c < 3; ++c) {
    rows[c].resize(width);
    for (std::size_t i = 0; i < width; ++i) {
      std::memcpy(&rows[c][i], data + kParams + 8 * (3 * i + c), 8);
    }
  }
  // Every code path the processor runs, each held to the rule.
  for (const auto path : {chromaloom::KernelPath::kBaseline, chromaloom::KernelPath::kAvx2}) {
    if (chromaloom::kernel_available(path)) check_path(path, rows, width, scales);
  }
  return 0;
}