#pragma once

#include <cstdint>

namespace chromaloom {

// Turns the value text of a CBLACK card into a black level: the signed decimal
// integer at the start of the text (after white space and one optional sign),
// taken modulo 65536. Anything after the digits is ignored, so "100.7" is 100,
// a quoted string or a logical value is 0, and "-1" is 65535.
std::uint16_t parse_black_level(const char* value_text);

}  // namespace chromaloom
