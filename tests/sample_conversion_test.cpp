#include "app/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/reference_rule.h"

namespace chromaloom {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct SampleCase {
  double ratio;
  double sample;
  double black;
  std::uint16_t expected;
};

void PrintTo(const SampleCase& c, std::ostream* os) {
  *os << "ratio " << c.ratio << ", sample " << c.sample << ", black " << c.black;
}

class ConvertSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(ConvertSample, FollowsTheRule) {
  const SampleCase c = GetParam();
  EXPECT_EQ(convert_sample(c.sample, {c.black, c.ratio}), c.expected)
      << "ratio " << c.ratio << ", sample " << c.sample << ", black " << c.black;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertSample,
    ::testing::Values(
        // Each step rounded to a double: a fused or widened computation gives 10, 65250 and 375.
        SampleCase{1.3, 70, 100, 11}, SampleCase{1.63, 40000, 0, 65249},
        SampleCase{1.63, 300, 100, 376}, SampleCase{1.3, 1000, 100, 1220},
        // At the black level only the pedestal remains.
        SampleCase{123.456, 100, 100, 50}, SampleCase{-7.0, 4000, 4000, 50},
        // Truncation toward zero, never rounding.
        SampleCase{1, 99.5, 100, 49}, SampleCase{1, 49.5, 100, 0}, SampleCase{1, 10, 100, 0},
        SampleCase{1, 99.999999, 100, 49}, SampleCase{1, 0.999999, 0, 50},
        // Negative ratios.
        SampleCase{-1, 80, 100, 70}, SampleCase{-1, 200, 100, 0},
        // Clamping at both ends.
        SampleCase{1, 65485, 0, 65535}, SampleCase{1, 65484.999, 0, 65534},
        SampleCase{1, 65486, 0, 65535}, SampleCase{1, 70000, 0, 65535},
        SampleCase{1, 1e12, 0, 65535}, SampleCase{1, -1e12, 0, 0}, SampleCase{0, 1e300, 0, 50},
        // Non-finite values.
        SampleCase{1, kNaN, 0, 0}, SampleCase{1, kInf, 0, 65535}, SampleCase{1, -kInf, 0, 0},
        SampleCase{-1, kInf, 0, 0}, SampleCase{0, kInf, 0, 0},  // 0 x inf is NaN
        SampleCase{kInf, 1, 0, 65535}, SampleCase{kNaN, 1, 0, 0}));

TEST(ConvertRow, LaysOutPixelsRedGreenBlueLowByteFirst) {
  // Ratio 1 with a black level of 50 cancels the pedestal: each sample passes through unchanged.
  const std::vector<double> red = {258, 0, 65535};
  const std::vector<double> green = {0, 256, 0};
  const std::vector<double> blue = {65535, 0x1234, kNaN};
  const ChannelScales scales = {{{50, 1}, {50, 1}, {50, 1}}};
  std::vector<unsigned char> scanline(3 * 6 + 1, 0xAA);
  convert_row({red.data(), green.data(), blue.data()}, 3, scales, scanline.data());
  const std::vector<unsigned char> expected = {2,    1,    0, 0, 255,  255,   // 258, 0, 65535
                                               0,    0,    0, 1, 0x34, 0x12,  // 0, 256, 0x1234
                                               0xFF, 0xFF, 0, 0, 0,    0,     // 65535, 0, NaN
                                               0xAA};  // nothing past the row is touched
  EXPECT_EQ(scanline, expected);
}

TEST(ConvertRow, UsesEachChannelsOwnScale) {
  const double red = 1000, green = 1000, blue = 1000;
  const ChannelScales scales = {{{100, 1.3}, {0, 1.0}, {1000, 2.0}}};
  unsigned char scanline[6];
  convert_row({&red, &green, &blue}, 1, scales, scanline);
  EXPECT_EQ(scanline[0] | scanline[1] << 8, 1220);
  EXPECT_EQ(scanline[2] | scanline[3] << 8, 1050);
  EXPECT_EQ(scanline[4] | scanline[5] << 8, 50);
}

TEST(ConvertRow, ZeroWidthWritesNothing) {
  unsigned char scanline[1] = {0xAA};
  convert_row({nullptr, nullptr, nullptr}, 0, {{{0, 1}, {0, 1}, {0, 1}}}, scanline);
  EXPECT_EQ(scanline[0], 0xAA);
}

}  // namespace
}  // namespace chromaloom

namespace chromaloom {
namespace {

// Random rows through the row conversion and through the plain rule, sample by sample: any width
// (blocks, vector lanes and their remainders), any ratio and black level, and the values where a
// fast kernel could differ: NaN, infinities, signed zeros, subnormals, and the neighbours of 0,
// 65535 and of the integers where truncation changes.
class ConvertRowPaths : public ::testing::TestWithParam<KernelPath> {};

TEST_P(ConvertRowPaths, MatchesThePlainRuleOnRandomRows) {
  const KernelPath path = GetParam();
  if (!kernel_available(path)) GTEST_SKIP() << "this processor cannot run this path";
  std::mt19937_64 random(20261211);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::uniform_real_distribution<double> spread(-10000.0, 80000.0);
  const double specials[] = {kNaN,
                             -kNaN,
                             kInf,
                             -kInf,
                             0.0,
                             -0.0,
                             5e-324,
                             -5e-324,
                             1e308,
                             -1e308,
                             65535.0,
                             65534.999999999993,
                             65535.000000000007,
                             65485,
                             65486,
                             50,
                             49.999999999999993,
                             0.5,
                             1.0,
                             -49.999999999999993,
                             1e-300};
  auto sample = [&]() -> double {
    switch (pick(4)) {
      case 0:
        return specials[pick(std::size(specials))];
      case 1: {  // just around an integer, where truncation turns
        const double n = std::floor(spread(random));
        return std::nextafter(n, pick(2) ? kInf : -kInf);
      }
      default:
        return spread(random);
    }
  };
  const double ratios[] = {1.0, 1.3, 1.63, -1.0, 0.0, 0.5, 1e-9, 1e9, kInf, kNaN, -0.0};
  int mismatches = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t width = trial < 40 ? static_cast<std::size_t>(trial) : 1 + pick(1200);
    ChannelScales scales;
    std::vector<double> rows[3];
    for (int c = 0; c < 3; ++c) {
      scales[c] = {static_cast<double>(pick(65536)),
                   pick(3) ? std::uniform_real_distribution<double>(-3.0, 3.0)(random)
                           : ratios[pick(std::size(ratios))]};
      rows[c].resize(width);
      for (double& x : rows[c]) x = sample();
    }
    std::vector<unsigned char> scanline(width * 6 + 8, 0xA5);
    convert_row_with(path, {rows[0].data(), rows[1].data(), rows[2].data()}, width, scales,
                     scanline.data());
    for (std::size_t i = 0; i < width; ++i) {
      for (int c = 0; c < 3; ++c) {
        const std::uint16_t expected =
            testing::reference_sample(rows[c][i], scales[c].black_level, scales[c].ratio);
        const int got = scanline[6 * i + 2 * c] | scanline[6 * i + 2 * c + 1] << 8;
        if (got != expected && ++mismatches <= 10) {
          ADD_FAILURE() << "width " << width << " pixel " << i << " channel " << c << ": "
                        << rows[c][i] << " black " << scales[c].black_level << " ratio "
                        << scales[c].ratio << " gave " << got << ", expected " << expected;
        }
      }
    }
    for (std::size_t i = width * 6; i < scanline.size(); ++i) {
      ASSERT_EQ(scanline[i], 0xA5) << "written past the row of width " << width;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// convert_row runs the fastest path this processor has, and gives that path's samples.
TEST(ConvertRow, DispatchesToTheBestAvailablePath) {
  EXPECT_EQ(chosen_kernel_path(),
            kernel_available(KernelPath::kAvx2) ? KernelPath::kAvx2 : KernelPath::kBaseline);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> spread(-1000.0, 70000.0);
  std::vector<double> rows[3];
  for (auto& row : rows) {
    row.resize(1000);
    for (double& x : row) x = spread(random);
  }
  const ChannelScales scales = {{{100, 1.3}, {0, 1.0}, {100, 1.63}}};
  std::vector<unsigned char> scanline(6000);
  convert_row({rows[0].data(), rows[1].data(), rows[2].data()}, 1000, scales, scanline.data());
  for (std::size_t i = 0; i < 1000; ++i) {
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(scanline[6 * i + 2 * c] | scanline[6 * i + 2 * c + 1] << 8,
                testing::reference_sample(rows[c][i], scales[c].black_level, scales[c].ratio))
          << "pixel " << i << " channel " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ConvertRowPaths,
                         ::testing::Values(KernelPath::kBaseline, KernelPath::kAvx2),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return info.param == KernelPath::kBaseline ? "baseline" : "avx2";
                         });

}  // namespace
}  // namespace chromaloom

namespace chromaloom {
namespace {

// Rows held as integers convert as the same values held as doubles, on every path: the widening
// is exact for every value of every type, its limits included.
template <typename T>
std::vector<T> integer_row(std::size_t width, std::mt19937_64& random) {
  const T limits[] = {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T{0}, T{49},
                      T{50}, T{99}, T{100}, T{127}};
  std::vector<T> row;
  for (std::size_t i = 0; i < width; ++i) {
    row.push_back(i < std::size(limits) ? limits[i] : static_cast<T>(random()));
  }
  return row;
}

struct TypedRow {
  SampleType type;
  std::vector<unsigned char> bytes;
  std::vector<double> values;
};

template <typename T>
TypedRow typed_row(SampleType type, std::size_t width, std::mt19937_64& random) {
  const std::vector<T> row = integer_row<T>(width, random);
  TypedRow typed{type, std::vector<unsigned char>(width * sizeof(T)), {}};
  if (width != 0) std::memcpy(typed.bytes.data(), row.data(), width * sizeof(T));
  for (const T v : row) typed.values.push_back(static_cast<double>(v));
  return typed;
}

// Floats: the clamp's neighbours, NaN, infinities, subnormals, and random values.
TypedRow float_row(std::size_t width, std::mt19937_64& random) {
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            65485.0f,
                            65486.0f,
                            49.99f,
                            -0.0f};
  std::uniform_real_distribution<float> spread(-1000.0f, 70000.0f);
  std::vector<float> row;
  for (std::size_t i = 0; i < width; ++i) {
    row.push_back(i < std::size(specials) ? specials[i] : spread(random));
  }
  TypedRow typed{SampleType::kFloat, std::vector<unsigned char>(width * sizeof(float)), {}};
  if (width != 0) std::memcpy(typed.bytes.data(), row.data(), width * sizeof(float));
  for (const float v : row) typed.values.push_back(static_cast<double>(v));
  return typed;
}

TypedRow row_of(SampleType type, std::size_t width, std::mt19937_64& random) {
  switch (type) {
    case SampleType::kUint8:
      return typed_row<std::uint8_t>(type, width, random);
    case SampleType::kInt8:
      return typed_row<std::int8_t>(type, width, random);
    case SampleType::kInt16:
      return typed_row<std::int16_t>(type, width, random);
    case SampleType::kUint16:
      return typed_row<std::uint16_t>(type, width, random);
    case SampleType::kOffsetInt16: {
      // Stored as signed numbers 32768 below the values.
      TypedRow stored = typed_row<std::int16_t>(type, width, random);
      for (double& v : stored.values) v += 32768;
      return stored;
    }
    case SampleType::kInt32:
      return typed_row<std::int32_t>(type, width, random);
    case SampleType::kUint32:
      return typed_row<std::uint32_t>(type, width, random);
    case SampleType::kFloat:
      return float_row(width, random);
    case SampleType::kDouble:
      break;
  }
  TypedRow doubles{type, std::vector<unsigned char>(width * sizeof(double)), {}};
  std::uniform_real_distribution<double> spread(-1000.0, 70000.0);
  for (std::size_t i = 0; i < width; ++i) doubles.values.push_back(spread(random));
  if (width != 0) std::memcpy(doubles.bytes.data(), doubles.values.data(), width * sizeof(double));
  return doubles;
}

class ConvertSampleRows : public ::testing::TestWithParam<std::tuple<SampleType, KernelPath>> {};

TEST_P(ConvertSampleRows, WidenExactlyOnEveryPath) {
  const auto [type, path] = GetParam();
  if (!kernel_available(path)) GTEST_SKIP() << "this processor cannot run this path";
  std::mt19937_64 random(static_cast<unsigned>(type) * 31 + 5);
  const ChannelScales scales = {{{100, 1.3}, {0, 1.0}, {65535, -1.63}}};
  for (const std::size_t width : {0, 1, 7, 255, 256, 257, 1000}) {
    SCOPED_TRACE(width);
    // The type under test in red, the others in green and blue, so that each channel keeps its own.
    const TypedRow rows[3] = {row_of(type, width, random), row_of(SampleType::kDouble, width, random),
                              row_of(SampleType::kUint16, width, random)};
    std::vector<unsigned char> scanline(width * 6 + 1, 0xA5);
    convert_sample_rows_with(path,
                             {{{rows[0].bytes.data(), rows[0].type},
                               {rows[1].bytes.data(), rows[1].type},
                               {rows[2].bytes.data(), rows[2].type}}},
                             width, scales, scanline.data());
    for (std::size_t i = 0; i < width; ++i) {
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(scanline[6 * i + 2 * c] | scanline[6 * i + 2 * c + 1] << 8,
                  testing::reference_sample(rows[c].values[i], scales[c].black_level,
                                            scales[c].ratio))
            << "pixel " << i << " channel " << c << " value " << rows[c].values[i];
      }
    }
    EXPECT_EQ(scanline[width * 6], 0xA5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, ConvertSampleRows,
    ::testing::Combine(::testing::Values(SampleType::kDouble, SampleType::kFloat, SampleType::kUint8,
                                         SampleType::kInt8, SampleType::kInt16,
                                         SampleType::kUint16, SampleType::kOffsetInt16,
                                         SampleType::kInt32,
                                         SampleType::kUint32),
                       ::testing::Values(KernelPath::kBaseline, KernelPath::kAvx2)));

}  // namespace
}  // namespace chromaloom
