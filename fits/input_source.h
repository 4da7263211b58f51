#pragma once

#include <string>

namespace chromaloom {

// Where CFITSIO takes an input plane from, worked out from its name the way CFITSIO's own drivers
// do, without opening anything: the disk file it reads (after its fallbacks to compressed
// neighbours and its ~ expansion), or standard input, and the file it writes a copy to while
// opening when the name asks for one ("in.fits.gz(copy.fits)").
struct InputSource {
  enum class Origin {
    kDiskFile,       // a local file, read in place or unpacked into memory
    kStandardInput,  // "-", "stdin", stdin://, stdinfile://, stream://
    kElsewhere,      // memory, shared memory or the network: no local file
    kUnparsable,     // a name CFITSIO cannot parse, and so fails to open
  };
  Origin origin = Origin::kUnparsable;
  std::string disk_file;  // kDiskFile: the file read, as CFITSIO will name it
  // kDiskFile: whether the file holds FITS (plain or compressed), rather than an IRAF image or raw
  // pixels that CFITSIO wraps in a header of its own making.
  bool holds_fits = false;

  // A home directory (~user) that does not exist. CFITSIO cannot handle it and crashes, so such a
  // name must not reach it.
  bool unknown_home = false;

  // The file CFITSIO creates while opening (for a copy of the input, or of standard input), with
  // any "!" (replace an existing file) and "file://" removed; empty when there is none or it is in
  // memory.
  std::string copy_file;

  // The HDU selection and filters, as CFITSIO parses them out of the name.
  std::string extension_spec;
  // A row filter, binning or column filter: with no HDU selected, CFITSIO then moves past a
  // primary array without pixels to the first HDU with data.
  bool has_filter = false;
};

InputSource resolve_input(const char* name);

}  // namespace chromaloom
