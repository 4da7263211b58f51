#include "fits/black_level.h"

namespace chromaloom {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::uint16_t parse_black_level(const char* value_text) {
  const char* p = value_text;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulating modulo 65536 gives the same result as 32-bit wrapping
  // arithmetic followed by the reduction, because 65536 divides 2^32.
  std::uint16_t level = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    level = static_cast<std::uint16_t>(level * 10u + static_cast<unsigned>(*p - '0'));
  }
  if (negative) level = static_cast<std::uint16_t>(0u - level);
  return level;
}

}  // namespace chromaloom
