#include "planegen/star_field.h"

#include <fitsio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace chromaloom::planegen {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFwhm = 2.6;  // seeing, in pixels
constexpr double kMoffatBeta = 3.0;

// A small, fast generator: the planes need plausible noise, not cryptographic quality.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    const double u = std::max(uniform(), 1e-300), v = uniform();
    const double radius = std::sqrt(-2.0 * std::log(u));
    spare_ = radius * std::sin(2 * kPi * v);
    has_spare_ = true;
    return radius * std::cos(2 * kPi * v);
  }

 private:
  std::uint64_t state_;
  double spare_ = 0;
  bool has_spare_ = false;
};

struct Star {
  double x, y;
  double reach;                // rows and columns beyond which the profile is negligible
  std::array<double, 3> peak;  // per channel, after colour
};

struct Blob {
  double x, y, sigma;
  std::array<double, 3> brightness;
};

// Colour of a star from a rough temperature index, 0 (hot, blue-white) to 1 (cool, orange-red).
std::array<double, 3> star_colour(double t) {
  return {0.70 + 0.30 * t, 0.85 + 0.05 * std::sin(kPi * t), 1.00 - 0.55 * t};
}

std::vector<Star> make_stars(const FieldOptions& o, Random& random) {
  const double alpha = kFwhm / (2.0 * std::sqrt(std::pow(2.0, 1.0 / kMoffatBeta) - 1.0));
  const double area = static_cast<double>(o.width) * static_cast<double>(o.height);
  const auto count = static_cast<std::size_t>(std::max(1.0, area / 1200.0));
  std::vector<Star> stars;
  stars.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Star s;
    s.x = random.uniform() * static_cast<double>(o.width);
    s.y = random.uniform() * static_cast<double>(o.height);
    // Many faint stars, few bright ones: a power law in flux, the brightest ones saturating.
    const double flux = 2000.0 * std::pow(1.0 - random.uniform(), -1.4);
    const double peak = std::min(flux * (kMoffatBeta - 1.0) / (kPi * alpha * alpha), 120000.0);
    const auto colour = star_colour(random.uniform());
    for (int c = 0; c < 3; ++c) s.peak[c] = peak * colour[c];
    s.reach = std::min(alpha * std::sqrt(std::pow(peak / 0.5, 1.0 / kMoffatBeta) - 1.0), 60.0);
    stars.push_back(s);
  }
  std::sort(stars.begin(), stars.end(),
            [](const Star& a, const Star& b) { return a.y - a.reach < b.y - b.reach; });
  return stars;
}

// A nebula as overlapping glows strung along a few curved filaments: mostly hydrogen red, with a
// teal oxygen core.
std::vector<Blob> make_nebula(const FieldOptions& o, Random& random) {
  std::vector<Blob> blobs;
  const double w = static_cast<double>(o.width), h = static_cast<double>(o.height);
  const double size = std::min(w, h);
  for (int filament = 0; filament < 3; ++filament) {
    const double x0 = w * (0.2 + 0.2 * random.uniform()), x1 = w * (0.6 + 0.2 * random.uniform());
    const double y0 = h * (0.2 + 0.6 * random.uniform()), y1 = h * (0.2 + 0.6 * random.uniform());
    const double bend = h * (random.uniform() - 0.5) * 0.5;
    for (int i = 0; i < 18; ++i) {
      const double t = i / 17.0;
      const double glow = 250.0 + 900.0 * random.uniform() * std::sin(kPi * t);
      const bool oxygen = filament == 0 && t > 0.3 && t < 0.7;
      blobs.push_back({x0 + (x1 - x0) * t + size * 0.03 * (random.uniform() - 0.5),
                       y0 + (y1 - y0) * t + bend * std::sin(kPi * t),
                       size * (0.03 + 0.06 * random.uniform()),
                       oxygen ? std::array<double, 3>{0.2 * glow, 0.9 * glow, 0.8 * glow}
                              : std::array<double, 3>{glow, 0.18 * glow, 0.32 * glow}});
    }
  }
  return blobs;
}

}  // namespace

int write_star_field(const std::string& directory, const FieldOptions& o) {
  Random random(o.seed);
  const std::vector<Star> stars = make_stars(o, random);
  const std::vector<Blob> nebula = make_nebula(o, random);
  const double alpha = kFwhm / (2.0 * std::sqrt(std::pow(2.0, 1.0 / kMoffatBeta) - 1.0));
  const std::array<const char*, 3> names = {"red", "green", "blue"};
  const std::array<double, 3> sky = {420.0, 380.0, 300.0};  // light pollution is warm
  const int image_type = o.bitpix == 16 ? USHORT_IMG : o.bitpix;

  int status = 0;
  std::array<fitsfile*, 3> files{};
  const bool tiled = o.tile_width > 0 && o.tile_height > 0;
  auto path_of = [&](int c) { return "!" + directory + "/" + names[c] + ".fits"; };  // "!" replaces
  for (int c = 0; c < 3; ++c) {
    // A tiled plane is made whole in memory first: CFITSIO compresses whole tiles.
    const std::string path = tiled ? "mem://" : path_of(c);
    long axes[2] = {o.width, o.height};
    fits_create_file(&files[c], path.c_str(), &status);
    fits_create_img(files[c], image_type, 2, axes, &status);
    int black = o.black_level, white = o.white_level;
    fits_update_key(files[c], TINT, "CBLACK", &black, "bias level of the sensor, ADU", &status);
    fits_update_key(files[c], TINT, "CWHITE", &white, "saturation level, ADU", &status);
    char filter[16];
    snprintf(filter, sizeof filter, "%s", names[c]);
    fits_update_key(files[c], TSTRING, "FILTER", filter, "colour filter", &status);
    double exposure = 120.0;
    fits_update_key(files[c], TDOUBLE, "EXPTIME", &exposure, "exposure time, seconds", &status);
  }
  if (status != 0) return status;

  const auto width = static_cast<std::size_t>(o.width);
  std::array<std::vector<double>, 3> rows;
  for (auto& row : rows) row.resize(width);
  std::vector<const Blob*> nearby;
  std::size_t first_star = 0;
  const double ceiling = std::min(o.white_level, 65535);
  for (long y = 0; y < o.height && status == 0; ++y) {
    const double fy = static_cast<double>(y);
    for (int c = 0; c < 3; ++c) {
      std::fill(rows[c].begin(), rows[c].end(),
                sky[c] * (1.0 + 0.25 * fy / static_cast<double>(o.height)));
    }
    // The nebula: only glows within reach of this row.
    nearby.clear();
    for (const Blob& b : nebula) {
      if (std::fabs(fy - b.y) < 4 * b.sigma) nearby.push_back(&b);
    }
    for (const Blob* b : nearby) {
      const double dy = fy - b->y, reach = 4 * b->sigma;
      const long x0 = std::max(0L, static_cast<long>(b->x - reach));
      const long x1 = std::min(o.width - 1, static_cast<long>(b->x + reach));
      for (long x = x0; x <= x1; ++x) {
        const double dx = static_cast<double>(x) - b->x;
        const double weight = std::exp(-(dx * dx + dy * dy) / (2.0 * b->sigma * b->sigma));
        for (int c = 0; c < 3; ++c)
          rows[c][static_cast<std::size_t>(x)] += weight * b->brightness[c];
      }
    }
    // The stars: sorted by their top edge, so the scan stops at the first one below this row.
    while (first_star < stars.size() && stars[first_star].y + 60.0 < fy) ++first_star;
    for (std::size_t i = first_star; i < stars.size(); ++i) {
      const Star& s = stars[i];
      if (s.y - s.reach > fy) break;
      if (std::fabs(s.y - fy) > s.reach) continue;
      const long x0 = std::max(0L, static_cast<long>(s.x - s.reach));
      const long x1 = std::min(o.width - 1, static_cast<long>(s.x + s.reach));
      for (long x = x0; x <= x1; ++x) {
        const double dx = static_cast<double>(x) - s.x, dy = fy - s.y;
        const double profile = std::pow(1.0 + (dx * dx + dy * dy) / (alpha * alpha), -kMoffatBeta);
        for (int c = 0; c < 3; ++c) rows[c][static_cast<std::size_t>(x)] += s.peak[c] * profile;
      }
    }
    for (int c = 0; c < 3; ++c) {
      for (double& v : rows[c]) {
        // Photon noise grows with the signal; read noise sits on top of the bias.
        const double noisy = o.black_level + v + random.normal() * std::sqrt(v + 25.0);
        v = o.bitpix > 0 ? std::clamp(std::floor(noisy), 0.0, ceiling) : noisy;
      }
      long first_pixel[2] = {1, y + 1};
      fits_write_pix(files[c], TDOUBLE, first_pixel, o.width, rows[c].data(), &status);
    }
  }
  for (int c = 0; c < 3 && tiled; ++c) {
    fitsfile* packed = nullptr;
    long tile[2] = {o.tile_width, o.tile_height};
    fits_create_file(&packed, path_of(c).c_str(), &status);
    fits_set_compression_type(packed, RICE_1, &status);
    fits_set_tile_dim(packed, 2, tile, &status);
    fits_img_compress(files[c], packed, &status);
    fits_close_file(packed, &status);
  }
  for (fitsfile* file : files) fits_close_file(file, &status);
  return status;
}

}  // namespace chromaloom::planegen
