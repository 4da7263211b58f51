// chromaloom-planegen: writes three FITS planes of a synthetic star field to try chromaloom on.
#include <fitsio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "planegen/star_field.h"

namespace {

void print_usage() {
  std::printf(
      "Usage: chromaloom-planegen [--width N] [--height N] [--bitpix 16|32|-32|-64] [--seed N] "
      "[--tile WxH] DIRECTORY\n"
      "Writes DIRECTORY/red.fits, green.fits and blue.fits of one synthetic star field.\n"
      "With --tile, each plane is Rice tile-compressed in tiles of W x H pixels, in extension 1\n"
      "(name it red.fits[1]).\n");
}

}  // namespace

int main(int argc, char** argv) {
  chromaloom::planegen::FieldOptions options;
  const char* directory = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--width") == 0 && has_value) {
      options.width = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--height") == 0 && has_value) {
      options.height = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--bitpix") == 0 && has_value) {
      options.bitpix = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--tile") == 0 && has_value) {
      char* end = nullptr;
      options.tile_width = std::strtol(argv[++i], &end, 10);
      options.tile_height = *end == 'x' ? std::strtol(end + 1, nullptr, 10) : 0;
      if (options.tile_width <= 0 || options.tile_height <= 0) {
        print_usage();
        return 2;
      }
    } else if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
      options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (argv[i][0] != '-' && directory == nullptr) {
      directory = argv[i];
    } else {
      print_usage();
      return 2;
    }
  }
  const bool bitpix_ok = options.bitpix == 16 || options.bitpix == 32 || options.bitpix == -32 ||
                         options.bitpix == -64;
  if (directory == nullptr || options.width <= 0 || options.height <= 0 || !bitpix_ok) {
    print_usage();
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", directory, error.message().c_str());
    return 1;
  }
  const int status = chromaloom::planegen::write_star_field(directory, options);
  if (status != 0) {
    fits_report_error(stderr, status);
    return 1;
  }
  return 0;
}
