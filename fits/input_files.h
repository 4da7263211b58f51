#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <vector>

#include "fits/plane_reader.h"

namespace chromaloom {

// The files on disk behind the three input names, so that the output can never be one of them:
// creating it would truncate an input while it is still being read.
class InputFiles {
 public:
  // Call before opening the planes: descriptors already open belong to someone else.
  void note_descriptors_before_open();

  // Call after opening the planes. Remembers every file CFITSIO holds open, and the disk file
  // each name resolves to once CFITSIO's extended syntax (an HDU selector, a filter) is stripped,
  // including the compressed file CFITSIO falls back to when the plain name does not exist.
  void note_opened(const PlaneNames& names);

  // Whether `path` names an existing file that is one of the inputs (links and other spellings
  // of the same file included).
  bool includes(const char* path) const;

 private:
  struct Identity {
    dev_t device;
    ino_t inode;
  };
  void remember(const struct stat& info);

  std::vector<int> descriptors_before_;
  std::vector<Identity> files_;
};

}  // namespace chromaloom
