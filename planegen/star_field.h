#pragma once

#include <cstdint>
#include <string>

namespace chromaloom::planegen {

struct FieldOptions {
  long width = 1200;
  long height = 800;
  int bitpix = 16;  // 16 is stored with BZERO 32768, as cameras store unsigned pixels
  std::uint32_t seed = 1;
  int black_level = 512;  // the camera's bias offset, written as CBLACK
  int white_level = 65535;
  // When both are above 0, each plane is tile-compressed (Rice; floats quantised as CFITSIO does by
  // default) in tiles of this many pixels and rows, as extension 1 after an empty primary array.
  long tile_width = 0;
  long tile_height = 0;
};

// Writes red.fits, green.fits and blue.fits of one synthetic star field into `directory`:
// stars of different colours with a Moffat profile, a faint nebula, a sky background with a
// gradient, and noise, plus CBLACK and CWHITE cards. Rows are made one at a time, so memory does
// not grow with the height. Returns CFITSIO's status (0 on success).
int write_star_field(const std::string& directory, const FieldOptions& options);

}  // namespace chromaloom::planegen
