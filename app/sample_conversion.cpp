#include "app/sample_conversion.h"


#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace chromaloom {

namespace {

// Pixels converted per block: small enough that the three channel blocks stay in L1.
constexpr std::size_t kBlock = 256;

// Converts n samples of one channel into 16-bit values, without a branch per sample: a clamp
// branch would mispredict on real data, where bright stars and noise mix at random.
void convert_channel(const double* in, std::size_t n, const ChannelScale& scale,
                     std::uint16_t* out) {
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128d black = _mm_set1_pd(scale.black_level);
  const __m128d ratio = _mm_set1_pd(scale.ratio);
  const __m128d pedestal = _mm_set1_pd(kPedestal);
  const __m128d zero = _mm_setzero_pd();
  const __m128d top = _mm_set1_pd(65535.0);
  const __m128i bias32 = _mm_set1_epi32(32768);
  const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
  // One to four pairs of samples: subtract, multiply, add (each rounded, as scalar code is),
  // then clamp. maxpd returns its second operand when either is NaN, so NaN becomes 0. In
  // 0..65535 the truncating conversion to int32 is exact.
  auto four = [&](const double* p) {
    __m128d a = _mm_add_pd(_mm_mul_pd(ratio, _mm_sub_pd(_mm_loadu_pd(p), black)), pedestal);
    __m128d b = _mm_add_pd(_mm_mul_pd(ratio, _mm_sub_pd(_mm_loadu_pd(p + 2), black)), pedestal);
    a = _mm_min_pd(_mm_max_pd(a, zero), top);
    b = _mm_min_pd(_mm_max_pd(b, zero), top);
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(a), _mm_cvttpd_epi32(b));
  };
  for (; i + 8 <= n; i += 8) {
    // SSE2 packs int32 to int16 with signed saturation: shift 0..65535 into int16's range and back.
    const __m128i lo = _mm_sub_epi32(four(in + i), bias32);
    const __m128i hi = _mm_sub_epi32(four(in + i + 4), bias32);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_xor_si128(_mm_packs_epi32(lo, hi), bias16));
  }
#endif
  for (; i < n; ++i) out[i] = convert_sample(in[i], scale);
}

// Lays the three channel blocks out as pixels: red, green, blue, each low byte first.
void interleave(const std::uint16_t (&channels)[3][kBlock], std::size_t n, unsigned char* out) {
  for (std::size_t i = 0; i < n; ++i, out += 6) {
    for (int c = 0; c < 3; ++c) {
      out[2 * c] = static_cast<unsigned char>(channels[c][i] & 0xFFu);
      out[2 * c + 1] = static_cast<unsigned char>(channels[c][i] >> 8);
    }
  }
}

}  // namespace

void convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                 const ChannelScales& scales, unsigned char* scanline) {
  std::uint16_t channels[3][kBlock];
  for (std::size_t start = 0; start < width; start += kBlock) {
    const std::size_t n = width - start < kBlock ? width - start : kBlock;
    for (int c = 0; c < 3; ++c) convert_channel(rows[c] + start, n, scales[c], channels[c]);
    interleave(channels, n, scanline + 6 * start);
  }
}

}  // namespace chromaloom
