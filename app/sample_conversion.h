#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace chromaloom {

// The pedestal keeps faint pixels, and pixels just below the black level, off zero.
inline constexpr double kPedestal = 50.0;

// What one channel does to its samples: the black level to subtract and the ratio to scale by.
struct ChannelScale {
  double black_level;
  double ratio;
};

// Red, green, blue.
using ChannelScales = std::array<ChannelScale, 3>;

// One sample: subtract the black level, scale, add the pedestal, each step rounded to a double
// (the project builds with -ffp-contract=off so nothing is fused), then truncate toward zero and
// clamp to 0..65535. NaN gives 0.
inline std::uint16_t convert_sample(double x, const ChannelScale& scale) {
  const double d = x - scale.black_level;
  const double p = scale.ratio * d;
  const double v = p + kPedestal;
  if (!(v > 0.0)) return 0;  // NaN and everything at or below zero
  if (v >= 65535.0) return 65535;
  return static_cast<std::uint16_t>(v);  // truncation toward zero
}

// Converts one row of the red, green and blue planes into a scanline of width pixels, 6 bytes
// each: red, green, blue, every sample low byte first. Every sample is exactly convert_sample's;
// the work is vectorised with the widest instructions the processor has.
void convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                 const ChannelScales& scales, unsigned char* scanline);

// What a row's samples are held in: doubles, or the type a plane's values are stored in when that
// holds every one of them exactly (an unscaled float plane, an integer plane with no scaling but
// the usual unsigned offset), which saves CFITSIO's conversion, memory and time. Every such value
// is exactly a double, and is converted as that double.
// kOffsetInt16 holds unsigned 16-bit values as FITS stores them: each as the signed number 32768
// below it, the value being stored + 32768.
enum class SampleType {
  kDouble,
  kFloat,
  kUint8,
  kInt8,
  kInt16,
  kUint16,
  kOffsetInt16,
  kInt32,
  kUint32
};

// The bytes one sample of the type takes.
std::size_t sample_bytes(SampleType type);

struct SampleRow {
  const void* samples;
  SampleType type;
};
using SampleRows = std::array<SampleRow, 3>;

// convert_row for rows of any sample type, each channel its own.
void convert_sample_rows(const SampleRows& rows, std::size_t width, const ChannelScales& scales,
                         unsigned char* scanline);

// The row conversion's code paths, for tests that hold each one to the same rule: the baseline
// runs on every machine (SSE2 on x86-64); AVX2 only where the processor has it.
enum class KernelPath { kBaseline, kAvx2 };
bool kernel_available(KernelPath path);
// The path convert_row takes on this processor: the fastest one it can run.
KernelPath chosen_kernel_path();
void convert_row_with(KernelPath path, const std::array<const double*, 3>& rows, std::size_t width,
                      const ChannelScales& scales, unsigned char* scanline);
void convert_sample_rows_with(KernelPath path, const SampleRows& rows, std::size_t width,
                              const ChannelScales& scales, unsigned char* scanline);

}  // namespace chromaloom
