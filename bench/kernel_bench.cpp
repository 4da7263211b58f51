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

// The rule as one would first write it: a sample at a time, branching to clamp.
void plain_convert_row(const std::array<const double*, 3>& rows, std::size_t width,
                       const ChannelScales& scales, unsigned char* scanline) {
  for (std::size_t i = 0; i < width; ++i) {
    for (int c = 0; c < 3; ++c) {
      const double v = scales[c].ratio * (rows[c][i] - scales[c].black_level) + 50.0;
      std::uint16_t s;
      if (std::isnan(v) || v <= 0) {
        s = 0;
      } else if (v >= 65535) {
        s = 65535;
      } else {
        s = static_cast<std::uint16_t>(v);
      }
      scanline[6 * i + 2 * c] = static_cast<unsigned char>(s & 0xFF);
      scanline[6 * i + 2 * c + 1] = static_cast<unsigned char>(s >> 8);
    }
  }
}

struct Rows {
  std::vector<double> planes[3];
  std::vector<unsigned char> scanline = std::vector<unsigned char>(kWidth * 6);
  ChannelScales scales = {{{512, 1.3}, {512, 1.0}, {512, 1.63}}};
  Rows() {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> spread(0.0, 60000.0);
    for (auto& plane : planes) {
      plane.resize(kWidth);
      for (double& x : plane) x = spread(random);  // about a third clamps high, some low
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

BENCHMARK(convert<chromaloom::convert_row>)->Name("kernel")->MinTime(1.0);
BENCHMARK(convert<plain_convert_row>)->Name("plain_scalar")->MinTime(1.0);

// Keeps each benchmark's time per sample to print the comparison at the end.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      ns_per_sample[run.benchmark_name()] =
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
  const double kernel = summary.ns_per_sample["kernel"];
  const double plain = summary.ns_per_sample["plain_scalar"];
  if (kernel > 0 && plain > 0) {
    std::printf(
        "\nconversion kernel: %.3f ns/sample; plain scalar rule: %.3f ns/sample; "
        "kernel is %.2f x faster\n",
        kernel, plain, plain / kernel);
  }
  return 0;
}
