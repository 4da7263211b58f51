#pragma once

#include <fitsio.h>

#include <array>
#include <cstdint>

#include "app/sample_conversion.h"
#include "fits/input_source.h"

namespace chromaloom {

// One of the three monochrome inputs. Every CFITSIO call of a run shares one status value:
// after the first failure every later call does nothing (closing excepted), so the first
// failure is the one reported and the one the run ends with.
struct InputPlane {
  fitsfile* file = nullptr;
  std::uint16_t black_level = 0;
  int axis_count = 0;
  // Width then height. A missing axis counts as length 1, so they start at 1.
  long axes[2] = {1, 1};
  // How the plane is read: band_rows rows at a time (the tile height of a tile-compressed image,
  // so that each tile is decompressed and copied once; 1 for every other image), each sample held
  // as `sample_type`, the narrowest type its values are exact in (doubles unless the band is of
  // integers that fit a narrower one).
  long band_rows = 1;
  SampleType sample_type = SampleType::kDouble;
  // Whether its tiles can be decompressed while another plane's are: integer tiles in a
  // compression whose CFITSIO decoder keeps no state of its own (Rice, gzip).
  bool tiles_decompress_apart = false;
  void* band = nullptr;        // band_rows rows of width samples, owned by the run
  const void* row = nullptr;  // the current row, within the band

  std::size_t sample_bytes() const;

  long width() const { return axes[0]; }
  long height() const { return axes[1]; }
};

// Red, green, blue: every loop over the planes runs in that order.
using InputPlanes = std::array<InputPlane, 3>;
using PlaneNames = std::array<const char*, 3>;
using PlaneSources = std::array<InputSource, 3>;

// Opens the planes read-only; the names go to CFITSIO unchanged, so its extended file names
// (HDU selectors, compressed files) work. Each plane's file is checked first for what CFITSIO
// cannot read safely (`sources`: where each name is read from), and fails like an illegal file.
void open_planes(InputPlanes& planes, const PlaneNames& names, const PlaneSources& sources,
                 int& status);

// Reads each plane's black level from CBLACK and requires a CWHITE card.
void read_levels(InputPlanes& planes, int& status);

// Reads each plane's axis count and its first two axis lengths.
void read_geometry(InputPlanes& planes, int& status);

// Writes CFITSIO's report of a failure to standard error.
void report_status(int status);

enum class GeometryFault { kNone, kTooManyAxes, kUnequalSizes };

// Which rule on the planes' geometry, if any, they break.
GeometryFault check_geometry(const InputPlanes& planes);

// Finds how each plane is best read: as the narrowest type that holds its values exactly (see
// SampleType), and, for a tile-compressed plane, in bands of its tile height (ZTILE2, one row when
// absent; at most the image height) so that each tile is decompressed once; every other plane a
// row at a time. Touches no shared status: a missing card is no failure. Call after the geometry
// check.
void plan_reading(InputPlanes& planes);

// Makes image row `row` (counted from 0; FITS row row + 1) of each plane its current row, `width`
// samples scaled by BSCALE and BZERO. A plane read one row at a time reads it now; a banded plane
// reads its whole band (up to `height`) at the band's first row.
void read_row(InputPlanes& planes, std::uint32_t row, long width, long height, int& status);

// Closes the planes whatever the status holds, then reports a failure if there was one.
void close_planes(InputPlanes& planes, int& status);

}  // namespace chromaloom
