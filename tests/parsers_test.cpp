#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "app/channel_ratio.h"
#include "fits/black_level.h"

namespace chromaloom {
namespace {

struct RatioCase {
  const char* text;
  double expected;
};

void PrintTo(const RatioCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ChannelRatio : public ::testing::TestWithParam<RatioCase> {};

TEST_P(ChannelRatio, ParsesLikeAtofInTheCLocale) {
  const RatioCase c = GetParam();
  const double parsed = parse_channel_ratio(c.text);
  EXPECT_EQ(parsed, c.expected) << '"' << c.text << '"';
  EXPECT_EQ(std::signbit(parsed), std::signbit(c.expected)) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelRatio,
    ::testing::Values(RatioCase{"1.3", 1.3}, RatioCase{"1.63", 1.63}, RatioCase{"-.5", -0.5},
                      RatioCase{"+2", 2.0}, RatioCase{"1e2", 100.0}, RatioCase{"1E-2", 0.01},
                      RatioCase{"1e", 1.0}, RatioCase{"1e+", 1.0}, RatioCase{"1,5", 1.0},
                      RatioCase{"1.5xyz", 1.5}, RatioCase{" \t\n\v\f\r2.5", 2.5},
                      RatioCase{"abc", 0.0}, RatioCase{"", 0.0}, RatioCase{".", 0.0},
                      RatioCase{"-", 0.0}, RatioCase{"5.", 5.0}, RatioCase{"-0", -0.0},
                      RatioCase{"1e999", std::numeric_limits<double>::infinity()},
                      RatioCase{"-1e999", -std::numeric_limits<double>::infinity()},
                      RatioCase{"1e-999", 0.0},
                      RatioCase{"0.1000000000000000055511151231257827", 0.1}));

TEST(ChannelRatio, KeepsTheFullStopWhateverTheLocale) {
  // A locale with a decimal comma must not turn "1.5" into 1 or "1,5" into 1.5.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "C.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      switched = true;
      break;
    }
  }
  EXPECT_EQ(parse_channel_ratio("1.5"), 1.5);
  EXPECT_EQ(parse_channel_ratio("1,5"), 1.0);
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!switched) GTEST_SKIP() << "no other locale installed; checked in the C locale only";
}

struct LevelCase {
  const char* text;
  std::uint16_t expected;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class BlackLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(BlackLevel, IsTheLeadingIntegerModulo65536) {
  const LevelCase c = GetParam();
  EXPECT_EQ(parse_black_level(c.text), c.expected) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlackLevel,
    ::testing::Values(LevelCase{"100", 100}, LevelCase{"+12", 12}, LevelCase{"0", 0},
                      LevelCase{"-1", 65535}, LevelCase{"65536", 0}, LevelCase{"70000", 4464},
                      LevelCase{"-70000", 61072}, LevelCase{"100.7", 100}, LevelCase{"1.5E3", 1},
                      LevelCase{"'100'", 0}, LevelCase{"T", 0}, LevelCase{"", 0},
                      LevelCase{"  \t42", 42}, LevelCase{"+-5", 0}, LevelCase{"- 5", 0},
                      // Past 32 bits the digits wrap, which leaves the value modulo 65536 intact.
                      LevelCase{"4294967296", 0}, LevelCase{"4294967397", 101},
                      LevelCase{"-4294967297", 65535},
                      LevelCase{"123456789012345678901234567890", 2770}));

}  // namespace
}  // namespace chromaloom
