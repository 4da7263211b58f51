#pragma once

#include "fits/input_source.h"

namespace chromaloom {

// CFITSIO keeps at most this many axis lengths of an image; it fills them from a header without a
// bound, so a header with more axes (the FITS standard allows 999) corrupts its memory.
inline constexpr long kMaxCfitsioAxes = 99;

// Checks what CFITSIO would read on the way to a plane's image before the plane is handed to it,
// and fails the plane the way CFITSIO fails an illegal file: the status set, messages on
// CFITSIO's error stack. Does nothing when the status is already set.
//
// - An image header with more than 99 axes among the headers CFITSIO parses to reach the selected
//   HDU (every header up to it, in a plain or gzip-compressed file): BAD_NAXIS.
// - A name in the home directory of a user that does not exist: FILE_NOT_OPENED.
void guard_plane(const InputSource& source, int& status);

}  // namespace chromaloom
