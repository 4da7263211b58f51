#include "fits/plane_reader.h"

#include <cstdio>
#include <cstring>

#include "fits/black_level.h"
#include "fits/header_guard.h"

namespace chromaloom {

namespace {

// Reads one header card and splits out its value text. The value buffer is emptied first so that
// a card CFITSIO cannot find never leaves an earlier card's text behind.
void read_card_value(fitsfile* file, const char* keyword, char (&value)[FLEN_VALUE], int& status) {
  char card[FLEN_CARD] = {};
  char comment[FLEN_COMMENT] = {};
  std::memset(value, 0, sizeof value);
  ffgcrd(file, keyword, card, &status);
  ffpsvc(card, value, comment, &status);
}

}  // namespace

void open_planes(InputPlanes& planes, const PlaneNames& names, const PlaneSources& sources,
                 int& status) {
  for (std::size_t c = 0; c < planes.size(); ++c) {
    guard_plane(sources[c], status);
    ffopen(&planes[c].file, names[c], READONLY, &status);
  }
}

void read_levels(InputPlanes& planes, int& status) {
  char value[FLEN_VALUE];
  for (InputPlane& plane : planes) {
    read_card_value(plane.file, "CBLACK", value, status);
    plane.black_level = parse_black_level(value);
    // The white level plays no part in the output, but a plane must carry one.
    read_card_value(plane.file, "CWHITE", value, status);
  }
}

void read_geometry(InputPlanes& planes, int& status) {
  for (InputPlane& plane : planes) {
    ffgidm(plane.file, &plane.axis_count, &status);
    ffgisz(plane.file, 2, plane.axes, &status);
  }
}

void report_status(int status) { ffrprt(stderr, status); }

GeometryFault check_geometry(const InputPlanes& planes) {
  const InputPlane& red = planes[0];
  const InputPlane& green = planes[1];
  const InputPlane& blue = planes[2];
  if (red.axis_count > 2 || blue.axis_count > 2 || green.axis_count > 2) {
    return GeometryFault::kTooManyAxes;
  }
  if (red.width() != blue.width() || blue.width() != green.width() ||
      red.height() != blue.height() || blue.height() != green.height()) {
    return GeometryFault::kUnequalSizes;
  }
  return GeometryFault::kNone;
}

void read_row(InputPlanes& planes, std::uint32_t row, long width, int& status) {
  long first_pixel[2] = {1, static_cast<long>(row) + 1};
  for (InputPlane& plane : planes) {
    ffgpxv(plane.file, TDOUBLE, first_pixel, width, nullptr, plane.row, nullptr, &status);
  }
}

void close_planes(InputPlanes& planes, int& status) {
  for (InputPlane& plane : planes) ffclos(plane.file, &status);
  if (status != 0) report_status(status);
}

}  // namespace chromaloom
