#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <string>
#include <vector>

#include "fits/input_source.h"
#include "fits/plane_reader.h"

namespace chromaloom {

// The files on disk behind the three input names, so that the output can never be one of them:
// creating it would truncate an input while it is still being read.
class InputFiles {
 public:
  // Call before opening the planes: works out where each name is read from, and notes the
  // descriptors already open, which belong to someone else.
  void note_names(const PlaneNames& names);

  const PlaneSources& sources() const { return sources_; }

  // Whether a name asks CFITSIO to write a copy of its input, while opening it, over one of the
  // inputs or over `output` (existing or not).
  bool copies_over_an_input_or(const char* output) const;

  // Call after opening the planes. Remembers every file CFITSIO holds open, the disk file behind
  // each name (which CFITSIO may have read whole and closed, as it does with compressed files),
  // and the file standard input is when a plane is read from it.
  void note_opened();

  // Whether `path` names an existing file that is one of the inputs (links and other spellings
  // of the same file included).
  bool includes(const char* path) const;

  // Whether the open file `fd` is one of the inputs.
  bool includes_descriptor(int fd) const;

 private:
  struct Identity {
    dev_t device;
    ino_t inode;
  };
  void remember(const struct stat& info);
  bool includes_file(const struct stat& info) const;

  PlaneSources sources_;
  std::vector<int> descriptors_before_;
  std::vector<Identity> files_;
};

}  // namespace chromaloom
