#pragma once

#include <cstdint>

namespace chromaloom {

// libtiff's default strip height for an uncompressed 16-bit RGB image of this width: strips of
// about 8 KiB, and at least one row.
std::uint32_t default_strip_rows(std::uint32_t width);

// The size of the classic TIFF libtiff writes for an image of this geometry in strips of the
// default height: header, strips, image directory and its out-of-line arrays.
std::uint64_t classic_tiff_bytes(std::uint32_t width, std::uint32_t height);

// Whether the image needs BigTIFF: a classic TIFF addresses at most 4 GiB less one byte.
bool needs_bigtiff(std::uint32_t width, std::uint32_t height);

}  // namespace chromaloom
