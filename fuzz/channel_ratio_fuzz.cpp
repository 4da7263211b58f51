// Differential fuzz of the channel-ratio parser against std::from_chars, an independent
// correctly rounded decimal parser, on every input both define the same way.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/channel_ratio.h"
#include "fuzz/fuzz_check.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // stops at a NUL below
  const char* p = text.c_str();
  const double parsed = chromaloom::parse_channel_ratio(p);

  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p == '+' || *p == '-') {  // from_chars would take a second sign; no number has one
    FUZZ_CHECK(parsed == 0.0);
    return 0;
  }
  // Hexadecimal forms are accepted by the parser as an extension; from_chars reads them otherwise.
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return 0;
  const char* end = p + std::strlen(p);
  double value = 0.0;
  const auto [stop, error] = std::from_chars(p, end, value, std::chars_format::general);
  if (error == std::errc::invalid_argument) {
    FUZZ_CHECK(parsed == 0.0);  // no number: 0
    return 0;
  }
  if (error == std::errc::result_out_of_range) {
    // Too large gives an infinity, too small a zero or the nearest subnormal, of the right sign.
    FUZZ_CHECK(std::signbit(parsed) == negative);
    FUZZ_CHECK(std::isinf(parsed) || std::fabs(parsed) < 2.3e-308);
    return 0;
  }
  FUZZ_CHECK(same(parsed, negative ? -value : value));
  return 0;
}
