// The row conversion against the plain scalar rule, on random rows of 6000 pixels (one row of a
// 24-megapixel image). Random data mixes samples below the black level, in range and saturated,
// so the plain rule's clamping branches are as unpredictable as stars and noise make them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/sample_conversion.h"

namespace {

using chromaloom::ChannelScales;

constexpr std::size_t kWidth = 6000;

// The rule as one would first write it, as chromaloom's first version did: a sample at a time,
// branching to clamp. Kept out of line, as it was in its own file, so that it is not specialised
// for the benchmark's constants.
__attribute__((noinline)) void plain_convert_row(const std::array<const double*, 3>& rows,
                                                 std::size_t width, const ChannelScales& scales,
                                                 unsigned char* scanline) {
  for (std::size_t c = 0; c < 3; ++c) {
    const double* in = rows[c];
    const chromaloom::ChannelScale scale = scales[c];
    unsigned char* out = scanline + 2 * c;
    for (std::size_t i = 0; i < width; ++i, out += 6) {
      const double v = scale.ratio * (in[i] - scale.black_level) + 50.0;
      std::uint16_t s;
      if (!(v > 0.0)) {
        s = 0;
      } else if (v >= 65535.0) {
        s = 65535;
      } else {
        s = static_cast<std::uint16_t>(v);
      }
      out[0] = static_cast<unsigned char>(s & 0xFFu);
      out[1] = static_cast<unsigned char>(s >> 8);
    }
  }
}

struct Rows {
  std::vector<double> planes[3];
  std::vector<unsigned char> scanline = std::vector<unsigned char>(kWidth * 6);
  ChannelScales scales = {{{512, 1.3}, {512, 1.0}, {512, 1.63}}};
  Rows() {
    std::mt19937_64 random(7);
    // Roughly a quarter of the samples clamp to 0, a third to 65535, the rest in between, in
    // random order.
    std::uniform_real_distribution<double> spread(-30000.0, 90000.0);
    for (auto& plane : planes) {
      plane.resize(kWidth);
      for (double& x : plane) x = spread(random);
    }
  }
  std::array<const double*, 3> pointers() const {
    return {planes[0].data(), planes[1].data(), planes[2].data()};
  }
};

template <void (*Convert)(const std::array<const double*, 3>&, std::size_t, const ChannelScales&,
                          unsigned char*)>
void convert(benchmark::State& state) {
  Rows rows;
  for (auto _ : state) {
    Convert(rows.pointers(), kWidth, rows.scales, rows.scanline.data());
    benchmark::DoNotOptimize(rows.scanline.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kWidth * 3));
}

void baseline_convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                          const ChannelScales& scales, unsigned char* scanline) {
  chromaloom::convert_row_with(chromaloom::KernelPath::kBaseline, rows, width, scales, scanline);
}

// "kernel" is what chromaloom runs here (AVX2 where the processor has it); "kernel_baseline" is
// the path every x86-64 runs (SSE2).
BENCHMARK(convert<chromaloom::convert_row>)->Name("kernel")->MinTime(1.0);
BENCHMARK(convert<baseline_convert_row>)->Name("kernel_baseline")->MinTime(1.0);
BENCHMARK(convert<plain_convert_row>)->Name("plain_scalar")->MinTime(1.0);

// Keeps each benchmark's time per sample to print the comparison at the end.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      ns_per_sample[run.run_name.function_name] =
          run.GetAdjustedRealTime() / static_cast<double>(kWidth * 3);  // time unit is ns
    }
  }
  std::map<std::string, double> ns_per_sample;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  const double plain = summary.ns_per_sample["plain_scalar"];
  std::printf("\n");
  for (const char* name : {"kernel", "kernel_baseline", "plain_scalar"}) {
    const double ns = summary.ns_per_sample[name];
    std::printf("%-16s %.3f ns/sample, %.2f x the plain scalar rule's speed\n", name, ns,
                ns > 0 ? plain / ns : 0.0);
  }
  std::printf(
      "(kernel runs the %s path on this processor; kernel_baseline is the SSE2 path of "
      "every x86-64)\n",
      chromaloom::kernel_available(chromaloom::KernelPath::kAvx2) ? "AVX2" : "baseline");
  return 0;
}
