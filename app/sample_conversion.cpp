#include "app/sample_conversion.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CHROMALOOM_X86 1
#endif

namespace chromaloom {

namespace {

// Pixels converted per block: small enough that the three channel blocks stay in L1.
constexpr std::size_t kBlock = 256;
using ChannelBlocks = std::uint16_t[3][kBlock];

// Every kernel computes each sample as convert_sample does: subtract, multiply, add, each rounded
// to a double (vector lanes round exactly as scalar code does, and nothing is fused), then clamp
// without a branch, since a clamp branch mispredicts on real data where bright stars and noise mix
// at random. max returns its second operand when either is NaN, so NaN becomes 0; within 0..65535
// the truncating conversion to int32 is exact.

void interleave_portable(const ChannelBlocks& channels, std::size_t n, unsigned char* out) {
  std::size_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // One 8-byte store a pixel: its 6 bytes, then 2 that the next pixel overwrites. The last pixel
  // is written byte by byte so that nothing lands past it.
  for (; i + 1 < n; ++i, out += 6) {
    const std::uint64_t pixel =
        channels[0][i] | std::uint64_t{channels[1][i]} << 16 | std::uint64_t{channels[2][i]} << 32;
    std::memcpy(out, &pixel, sizeof pixel);
  }
#endif
  for (; i < n; ++i, out += 6) {
    for (int c = 0; c < 3; ++c) {
      out[2 * c] = static_cast<unsigned char>(channels[c][i] & 0xFFu);
      out[2 * c + 1] = static_cast<unsigned char>(channels[c][i] >> 8);
    }
  }
}

#ifdef CHROMALOOM_X86

// The pixels from `first` on, after a vector loop: the portable way.
void interleave_rest(const ChannelBlocks& channels, std::size_t first, std::size_t n,
                     unsigned char* out) {
  ChannelBlocks rest;
  for (int c = 0; c < 3; ++c) std::memcpy(rest[c], channels[c] + first, (n - first) * 2);
  interleave_portable(rest, n - first, out);
}

// Baseline x86-64: SSE2, two samples an operation.
void convert_channel_sse2(const double* in, std::size_t n, const ChannelScale& scale,
                          std::uint16_t* out) {
  const __m128d black = _mm_set1_pd(scale.black_level);
  const __m128d ratio = _mm_set1_pd(scale.ratio);
  const __m128d pedestal = _mm_set1_pd(kPedestal);
  const __m128d zero = _mm_setzero_pd();
  const __m128d top = _mm_set1_pd(65535.0);
  const __m128i bias32 = _mm_set1_epi32(32768);
  const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
  auto two = [&](const double* p) {
    const __m128d v = _mm_add_pd(_mm_mul_pd(ratio, _mm_sub_pd(_mm_loadu_pd(p), black)), pedestal);
    return _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(v, zero), top));
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i lo = _mm_unpacklo_epi64(two(in + i), two(in + i + 2));
    const __m128i hi = _mm_unpacklo_epi64(two(in + i + 4), two(in + i + 6));
    // SSE2 packs int32 into int16 with signed saturation: move 0..65535 into int16's range first.
    const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(lo, bias32), _mm_sub_epi32(hi, bias32));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(packed, bias16));
  }
  for (; i < n; ++i) out[i] = convert_sample(in[i], scale);
}

// 16-bit samples, widened in the registers: each value is (its bits XOR `flip`, as an unsigned
// number) + `offset`, both exact in a double, then converted as above.
void convert_channel16_sse2(const std::uint16_t* in, std::size_t n, const ChannelScale& scale,
                            std::uint16_t* out, std::uint16_t flip, double offset) {
  const __m128d black = _mm_set1_pd(scale.black_level);
  const __m128d ratio = _mm_set1_pd(scale.ratio);
  const __m128d pedestal = _mm_set1_pd(kPedestal);
  const __m128d shift = _mm_set1_pd(offset);
  const __m128d zero = _mm_setzero_pd();
  const __m128d top = _mm_set1_pd(65535.0);
  const __m128i flips = _mm_set1_epi16(static_cast<short>(flip));
  const __m128i bias32 = _mm_set1_epi32(32768);
  const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
  // Two samples from the low two int32 lanes of `four`.
  auto two = [&](__m128i four) {
    const __m128d x = _mm_add_pd(_mm_cvtepi32_pd(four), shift);
    const __m128d v = _mm_add_pd(_mm_mul_pd(ratio, _mm_sub_pd(x, black)), pedestal);
    return _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(v, zero), top));
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i raw =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), flips);
    const __m128i low = _mm_unpacklo_epi16(raw, _mm_setzero_si128());
    const __m128i high = _mm_unpackhi_epi16(raw, _mm_setzero_si128());
    const __m128i lo = _mm_unpacklo_epi64(two(low), two(_mm_srli_si128(low, 8)));
    const __m128i hi = _mm_unpacklo_epi64(two(high), two(_mm_srli_si128(high, 8)));
    const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(lo, bias32), _mm_sub_epi32(hi, bias32));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(packed, bias16));
  }
  for (; i < n; ++i) {
    out[i] = convert_sample(static_cast<double>(static_cast<std::uint16_t>(in[i] ^ flip)) + offset,
                            scale);
  }
}

// Eight pixels at a time with SSE2: unpacking pairs red with green, then each pair with blue and a
// zero, gives two pixels a register, each in 8 bytes whose last 2 are zero. Each pixel is stored
// as 8 bytes; the 2 zero bytes are overwritten by the next pixel, so the vector loop always leaves
// at least one pixel to the portable tail, and nothing lands past the block.
void interleave_sse2(const ChannelBlocks& channels, std::size_t n, unsigned char* out) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 8 < n; i += 8, out += 48) {
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[0] + i));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[1] + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[2] + i));
    const __m128i rg_low = _mm_unpacklo_epi16(r, g), rg_high = _mm_unpackhi_epi16(r, g);
    const __m128i b_low = _mm_unpacklo_epi16(b, zero), b_high = _mm_unpackhi_epi16(b, zero);
    const __m128i pixels[4] = {_mm_unpacklo_epi32(rg_low, b_low), _mm_unpackhi_epi32(rg_low, b_low),
                               _mm_unpacklo_epi32(rg_high, b_high),
                               _mm_unpackhi_epi32(rg_high, b_high)};
    for (int k = 0; k < 4; ++k) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12 * k), pixels[k]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12 * k + 6), _mm_srli_si128(pixels[k], 8));
    }
  }
  interleave_rest(channels, i, n, out);
}

// Where the processor has AVX2: four samples an operation, and a shuffle-based interleave.
__attribute__((target("avx2"))) inline __m128i four_samples_avx2(__m256d x, __m256d black,
                                                                 __m256d ratio) {
  const __m256d v = _mm256_add_pd(_mm256_mul_pd(ratio, _mm256_sub_pd(x, black)),
                                  _mm256_set1_pd(kPedestal));
  return _mm256_cvttpd_epi32(
      _mm256_min_pd(_mm256_max_pd(v, _mm256_setzero_pd()), _mm256_set1_pd(65535.0)));
}

__attribute__((target("avx2"))) void convert_channel_avx2(const double* in, std::size_t n,
                                                          const ChannelScale& scale,
                                                          std::uint16_t* out) {
  const __m256d black = _mm256_set1_pd(scale.black_level);
  const __m256d ratio = _mm256_set1_pd(scale.ratio);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi32(four_samples_avx2(_mm256_loadu_pd(in + i), black, ratio),
                                      four_samples_avx2(_mm256_loadu_pd(in + i + 4), black, ratio)));
  }
  for (; i < n; ++i) out[i] = convert_sample(in[i], scale);
}

// As convert_channel16_sse2, four samples an operation.
__attribute__((target("avx2"))) void convert_channel16_avx2(const std::uint16_t* in, std::size_t n,
                                                            const ChannelScale& scale,
                                                            std::uint16_t* out, std::uint16_t flip,
                                                            double offset) {
  const __m256d black = _mm256_set1_pd(scale.black_level);
  const __m256d ratio = _mm256_set1_pd(scale.ratio);
  const __m256d shift = _mm256_set1_pd(offset);
  const __m128i flips = _mm_set1_epi16(static_cast<short>(flip));
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i wide = _mm256_cvtepu16_epi32(
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), flips));
    const __m256d low = _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(wide)), shift);
    const __m256d high =
        _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(wide, 1)), shift);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi32(four_samples_avx2(low, black, ratio),
                                      four_samples_avx2(high, black, ratio)));
  }
  for (; i < n; ++i) {
    out[i] = convert_sample(static_cast<double>(static_cast<std::uint16_t>(in[i] ^ flip)) + offset,
                            scale);
  }
}

// Eight pixels at a time: each 16-byte output vector gathers its samples from the red, green and
// blue vectors with byte shuffles (-1 leaves a zero) and ORs them together.
__attribute__((target("avx2"))) void interleave_avx2(const ChannelBlocks& channels, std::size_t n,
                                                     unsigned char* out) {
  // For output vector k and source channel c, which source byte goes to each output byte.
  alignas(16) static const signed char kShuffle[3][3][16] = {
      {{0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1},
       {-1, -1, 0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5},
       {-1, -1, -1, -1, 0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1}},
      {{-1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1, 10, 11},
       {-1, -1, -1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1},
       {4, 5, -1, -1, -1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1}},
      {{-1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1, -1, -1},
       {10, 11, -1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1},
       {-1, -1, 10, 11, -1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15}}};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8, out += 48) {
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[0] + i));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[1] + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(channels[2] + i));
    for (int k = 0; k < 3; ++k) {
      const auto* mask = reinterpret_cast<const __m128i*>(kShuffle[k]);
      const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, _mm_load_si128(mask)),
                                                  _mm_shuffle_epi8(g, _mm_load_si128(mask + 1))),
                                     _mm_shuffle_epi8(b, _mm_load_si128(mask + 2)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), v);
    }
  }
  interleave_rest(channels, i, n, out);
}

#else

void convert_channel_portable(const double* in, std::size_t n, const ChannelScale& scale,
                              std::uint16_t* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = convert_sample(in[i], scale);
}

void convert_channel16_portable(const std::uint16_t* in, std::size_t n, const ChannelScale& scale,
                                std::uint16_t* out, std::uint16_t flip, double offset) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = convert_sample(static_cast<double>(static_cast<std::uint16_t>(in[i] ^ flip)) + offset,
                            scale);
  }
}

#endif

struct Kernel {
  void (*channel)(const double*, std::size_t, const ChannelScale&, std::uint16_t*);
  // 16-bit samples: value = (bits XOR flip, unsigned) + offset.
  void (*channel16)(const std::uint16_t*, std::size_t, const ChannelScale&, std::uint16_t*,
                    std::uint16_t, double);
  void (*interleave)(const ChannelBlocks&, std::size_t, unsigned char*);
};

Kernel kernel_for(KernelPath path) {
#ifdef CHROMALOOM_X86
  if (path == KernelPath::kAvx2) return {convert_channel_avx2, convert_channel16_avx2, interleave_avx2};
  return {convert_channel_sse2, convert_channel16_sse2, interleave_sse2};
#else
  (void)path;
  return {convert_channel_portable, convert_channel16_portable, interleave_portable};
#endif
}

// Samples widened to doubles, a block at a time; every value is exact.
template <typename T>
void widen(const void* samples, std::size_t first, std::size_t n, double* out) {
  const T* in = static_cast<const T*>(samples) + first;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(in[i]);
}

// The block of a channel's row from `first` on, as doubles: in place for a row of doubles,
// otherwise widened into `scratch`.
const double* doubles_of(const SampleRow& row, std::size_t first, std::size_t n, double* scratch) {
  switch (row.type) {
    case SampleType::kDouble:
      return static_cast<const double*>(row.samples) + first;
    case SampleType::kFloat:
      widen<float>(row.samples, first, n, scratch);
      break;
    case SampleType::kUint8:
      widen<std::uint8_t>(row.samples, first, n, scratch);
      break;
    case SampleType::kInt8:
      widen<std::int8_t>(row.samples, first, n, scratch);
      break;
    case SampleType::kInt16:
    case SampleType::kUint16:
    case SampleType::kOffsetInt16:
      break;  // converted in the registers (convert_block)
    case SampleType::kInt32:
      widen<std::int32_t>(row.samples, first, n, scratch);
      break;
    case SampleType::kUint32:
      widen<std::uint32_t>(row.samples, first, n, scratch);
      break;
  }
  return scratch;
}

// One block of a channel's samples into 16-bit output samples.
void convert_block(const Kernel& kernel, const SampleRow& row, std::size_t first, std::size_t n,
                   const ChannelScale& scale, std::uint16_t* out) {
  const auto* sixteen = static_cast<const std::uint16_t*>(row.samples) + first;
  switch (row.type) {
    case SampleType::kUint16:
      return kernel.channel16(sixteen, n, scale, out, 0, 0.0);
    case SampleType::kOffsetInt16:  // stored + 32768: the bits with the top one flipped
      return kernel.channel16(sixteen, n, scale, out, 0x8000, 0.0);
    case SampleType::kInt16:  // (bits XOR 0x8000) is the value + 32768
      return kernel.channel16(sixteen, n, scale, out, 0x8000, -32768.0);
    default: {
      double widened[kBlock];
      return kernel.channel(doubles_of(row, first, n, widened), n, scale, out);
    }
  }
}

void convert_row_by(const Kernel& kernel, const SampleRows& rows, std::size_t width,
                    const ChannelScales& scales, unsigned char* scanline) {
  ChannelBlocks channels;
  for (std::size_t start = 0; start < width; start += kBlock) {
    const std::size_t n = width - start < kBlock ? width - start : kBlock;
    for (int c = 0; c < 3; ++c) convert_block(kernel, rows[c], start, n, scales[c], channels[c]);
    kernel.interleave(channels, n, scanline + 6 * start);
  }
}

SampleRows of_doubles(const std::array<const double*, 3>& rows) {
  return {{{rows[0], SampleType::kDouble},
           {rows[1], SampleType::kDouble},
           {rows[2], SampleType::kDouble}}};
}

const Kernel& best_kernel() {
  static const Kernel best = kernel_for(chosen_kernel_path());  // chosen once
  return best;
}

}  // namespace

std::size_t sample_bytes(SampleType type) {
  switch (type) {
    case SampleType::kUint8:
    case SampleType::kInt8:
      return 1;
    case SampleType::kInt16:
    case SampleType::kUint16:
    case SampleType::kOffsetInt16:
      return 2;
    case SampleType::kFloat:
    case SampleType::kInt32:
    case SampleType::kUint32:
      return 4;
    case SampleType::kDouble:
      break;
  }
  return sizeof(double);
}

bool kernel_available(KernelPath path) {
  if (path == KernelPath::kBaseline) return true;
#ifdef CHROMALOOM_X86
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

KernelPath chosen_kernel_path() {
  return kernel_available(KernelPath::kAvx2) ? KernelPath::kAvx2 : KernelPath::kBaseline;
}

void convert_row_with(KernelPath path, const std::array<const double*, 3>& rows, std::size_t width,
                      const ChannelScales& scales, unsigned char* scanline) {
  convert_row_by(kernel_for(path), of_doubles(rows), width, scales, scanline);
}

void convert_sample_rows_with(KernelPath path, const SampleRows& rows, std::size_t width,
                              const ChannelScales& scales, unsigned char* scanline) {
  convert_row_by(kernel_for(path), rows, width, scales, scanline);
}

void convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                 const ChannelScales& scales, unsigned char* scanline) {
  convert_row_by(best_kernel(), of_doubles(rows), width, scales, scanline);
}

void convert_sample_rows(const SampleRows& rows, std::size_t width, const ChannelScales& scales,
                         unsigned char* scanline) {
  convert_row_by(best_kernel(), rows, width, scales, scanline);
}

}  // namespace chromaloom
