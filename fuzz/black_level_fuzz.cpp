// Differential fuzz of the black-level parser against strtoll where it does not overflow, and
// against 64-bit wrapping accumulation where it does.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fits/black_level.h"
#include "fuzz/fuzz_check.h"

namespace {

// The leading signed integer modulo 2^64, by a different width than the parser's.
std::uint64_t wrapped(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<std::uint64_t>(*p - '0');
  return negative ? 0 - value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::uint16_t level = chromaloom::parse_black_level(text.c_str());
  FUZZ_CHECK(level == static_cast<std::uint16_t>(wrapped(text.c_str())));
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == 0) {
    FUZZ_CHECK(level == static_cast<std::uint16_t>(static_cast<std::uint64_t>(value)));
  }
  return 0;
}
