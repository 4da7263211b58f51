// Differential fuzz of the row conversion against the conversion rule written out plainly, on
// any doubles (NaN, infinities, subnormals), black levels and ratios, and on the same bytes held
// as every other sample type a plane may be read in.
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

// The value a sample of this type holds, as the conversion must see it.
double value_of(chromaloom::SampleType type, const std::uint8_t* bytes) {
  using chromaloom::SampleType;
  auto as = [bytes](auto zero) {
    decltype(zero) v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
  };
  switch (type) {
    case SampleType::kDouble:
      return as(0.0);
    case SampleType::kFloat:
      return as(0.0f);
    case SampleType::kUint8:
      return as(std::uint8_t{0});
    case SampleType::kInt8:
      return as(std::int8_t{0});
    case SampleType::kInt16:
      return as(std::int16_t{0});
    case SampleType::kUint16:
      return as(std::uint16_t{0});
    case SampleType::kOffsetInt16:
      return as(std::int16_t{0}) + 32768.0;
    case SampleType::kInt32:
      return as(std::int32_t{0});
    case SampleType::kUint32:
      return as(std::uint32_t{0});
  }
  return 0;
}

// The same pixel bytes read as rows of every sample type, each channel its own type, on a path.
void check_types(chromaloom::KernelPath path, const std::uint8_t* pixels, std::size_t size,
                 const chromaloom::ChannelScales& scales, unsigned rotation) {
  using chromaloom::SampleType;
  constexpr SampleType kTypes[] = {SampleType::kDouble,  SampleType::kFloat,  SampleType::kUint8,
                                   SampleType::kInt8,    SampleType::kInt16,  SampleType::kUint16,
                                   SampleType::kOffsetInt16, SampleType::kInt32, SampleType::kUint32};
  constexpr std::size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
  const SampleType types[3] = {kTypes[rotation % kTypeCount], kTypes[(rotation + 1) % kTypeCount],
                               kTypes[(rotation + 2) % kTypeCount]};
  const std::size_t pixel_bytes = chromaloom::sample_bytes(types[0]) + chromaloom::sample_bytes(types[1]) + chromaloom::sample_bytes(types[2]);
  const std::size_t width = size / pixel_bytes;
  std::vector<std::uint8_t> rows[3];
  const std::uint8_t* next = pixels;
  for (int c = 0; c < 3; ++c) {
    rows[c].assign(next, next + width * chromaloom::sample_bytes(types[c]));
    next += width * chromaloom::sample_bytes(types[c]);
  }
  std::vector<unsigned char> scanline(width * 6 + 1, 0xA5);
  chromaloom::convert_sample_rows_with(path,
                                       {{{rows[0].data(), types[0]},
                                         {rows[1].data(), types[1]},
                                         {rows[2].data(), types[2]}}},
                                       width, scales, scanline.data());
  for (std::size_t i = 0; i < width; ++i) {
    for (int c = 0; c < 3; ++c) {
      const double x = value_of(types[c], rows[c].data() + i * chromaloom::sample_bytes(types[c]));
      const std::uint16_t expected =
          chromaloom::testing::reference_sample(x, scales[c].black_level, scales[c].ratio);
      const unsigned char* sample = &scanline[6 * i + 2 * c];
      FUZZ_CHECK((sample[0] | sample[1] << 8) == expected);
    }
  }
  FUZZ_CHECK(scanline[width * 6] == 0xA5);
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
  // Every code path the processor runs, each held to the rule, on doubles and on the same bytes
  // read as every other sample type (the black levels' bytes pick which types meet).
  for (const auto path : {chromaloom::KernelPath::kBaseline, chromaloom::KernelPath::kAvx2}) {
    if (!chromaloom::kernel_available(path)) continue;
    check_path(path, rows, width, scales);
    check_types(path, data + kParams, size - kParams, scales, data[24]);
  }
  return 0;
}