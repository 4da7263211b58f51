#include "tests/support/fits_fixture.h"

#include <fitsio.h>

#include <cstdio>
#include <stdexcept>

namespace chromaloom::testing {

namespace {

void check(int status, const std::string& what) {
  if (status == 0) return;
  char text[FLEN_STATUS];
  ffgerr(status, text);
  throw std::runtime_error(what + ": CFITSIO status " + std::to_string(status) + " " + text);
}

}  // namespace

std::string card(const std::string& keyword, const std::string& value) {
  char text[81];
  std::snprintf(text, sizeof text, "%-8.8s= %-70.70s", keyword.c_str(), value.c_str());
  return text;
}

namespace {

// Adds the plane as a new image HDU of an open file.
void add_image(fitsfile* file, const PlaneSpec& spec, int& status) {
  std::vector<long> axes = spec.axes;
  ffcrim(file, spec.bitpix, static_cast<int>(axes.size()), axes.data(), &status);
  if (spec.bscale != 1.0 || spec.bzero != 0.0) {
    ffukyd(file, "BSCALE", spec.bscale, -17, nullptr, &status);
    ffukyd(file, "BZERO", spec.bzero, -17, nullptr, &status);
    ffpscl(file, spec.bscale, spec.bzero, &status);  // write physical values through the scaling
  }
  if (spec.cblack) ffprec(file, card("CBLACK", *spec.cblack).c_str(), &status);
  if (spec.cwhite) ffprec(file, card("CWHITE", *spec.cwhite).c_str(), &status);
  for (const std::string& extra : spec.extra_cards) ffprec(file, extra.c_str(), &status);
  if (!spec.pixels.empty()) {
    std::vector<double> pixels = spec.pixels;
    ffpprd(file, 0, 1, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
  }
}

}  // namespace

void write_plane(const std::string& path, const PlaneSpec& spec) {
  int status = 0;
  fitsfile* file = nullptr;
  const std::string name = "!" + path;  // "!" replaces an existing file
  ffinit(&file, name.c_str(), &status);
  add_image(file, spec, status);
  ffclos(file, &status);
  check(status, "write " + path);
}

void append_plane(const std::string& path, const PlaneSpec& spec) {
  int status = 0;
  fitsfile* file = nullptr;
  ffopen(&file, path.c_str(), READWRITE, &status);
  add_image(file, spec, status);
  ffclos(file, &status);
  check(status, "append to " + path);
}

void compress_plane(const std::string& source, const std::string& dest, const Tiling& tiling,
                    bool append) {
  int status = 0;
  fitsfile* in = nullptr;
  fitsfile* out = nullptr;
  ffopen(&in, source.c_str(), READONLY, &status);
  if (append) {
    ffopen(&out, dest.c_str(), READWRITE, &status);
  } else {
    ffinit(&out, ("!" + dest).c_str(), &status);
  }
  fits_set_compression_type(out, tiling.compression, &status);
  if (tiling.width > 0 && tiling.height > 0) {
    long tile[2] = {tiling.width, tiling.height};
    fits_set_tile_dim(out, 2, tile, &status);
  }
  if (tiling.lossless_floats) fits_set_quantize_level(out, 0.0f, &status);
  fits_img_compress(in, out, &status);
  ffclos(out, &status);
  ffclos(in, &status);
  check(status, "compress " + source);
}

PlaneSpec plane(long width, long height, std::vector<double> pixels, int bitpix) {
  PlaneSpec spec;
  spec.bitpix = bitpix;
  spec.axes = {width, height};
  spec.pixels = std::move(pixels);
  return spec;
}

std::vector<double> read_plane_pixels(const std::string& path) {
  int status = 0, axis_count = 0;
  long axes[2] = {1, 1};
  fitsfile* file = nullptr;
  ffopen(&file, path.c_str(), READONLY, &status);
  ffgidm(file, &axis_count, &status);
  ffgisz(file, 2, axes, &status);
  check(status, "open " + path);
  std::vector<double> pixels(static_cast<std::size_t>(axes[0] * axes[1]));
  ffgpvd(file, 0, 1, static_cast<LONGLONG>(pixels.size()), 0.0, pixels.data(), nullptr, &status);
  ffclos(file, &status);
  check(status, "read " + path);
  return pixels;
}

std::string raw_header(const std::vector<std::string>& cards, bool end) {
  std::string header;
  for (const std::string& c : cards) {
    std::string padded = c.substr(0, 80);
    padded.resize(80, ' ');
    header += padded;
  }
  if (end) header += std::string("END").append(77, ' ');
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  return header;
}

}  // namespace chromaloom::testing

namespace chromaloom::testing {

PlanePaths write_planes(const std::string& directory, const PlaneSpec& red, const PlaneSpec& green,
                        const PlaneSpec& blue) {
  PlanePaths paths{directory + "/red.fits", directory + "/green.fits", directory + "/blue.fits"};
  write_plane(paths.red, red);
  write_plane(paths.green, green);
  write_plane(paths.blue, blue);
  return paths;
}

}  // namespace chromaloom::testing
