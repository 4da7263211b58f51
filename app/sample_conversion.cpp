#include "app/sample_conversion.h"

namespace chromaloom {

void convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                 const ChannelScales& scales, unsigned char* scanline) {
  for (std::size_t c = 0; c < 3; ++c) {
    const double* in = rows[c];
    const ChannelScale scale = scales[c];
    unsigned char* out = scanline + 2 * c;
    for (std::size_t i = 0; i < width; ++i, out += 6) {
      const std::uint16_t s = convert_sample(in[i], scale);
      out[0] = static_cast<unsigned char>(s & 0xFFu);
      out[1] = static_cast<unsigned char>(s >> 8);
    }
  }
}

}  // namespace chromaloom
