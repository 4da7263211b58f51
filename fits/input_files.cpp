#include "fits/input_files.h"

#include <dirent.h>
#include <fitsio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace chromaloom {

namespace {

// The descriptors this process holds, as listed by the kernel.
std::vector<int> open_descriptors() {
  std::vector<int> descriptors;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return descriptors;
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) descriptors.push_back(fd);
  }
  closedir(dir);
  return descriptors;
}

// The disk file behind a CFITSIO file name, or "" when the name is no local file.
std::string disk_file_of(const char* name) {
  // Every part ffiurl fills is at most as long as the name itself (or a CFITSIO default).
  const std::size_t size = std::strlen(name) + FLEN_FILENAME;
  std::string url_type(size, '\0'), in_file(size, '\0'), out_file(size, '\0'), ext_spec(size, '\0'),
      row_filter(size, '\0'), bin_spec(size, '\0'), col_spec(size, '\0');
  std::string url(name);
  int status = 0;
  ffiurl(&url[0], &url_type[0], &in_file[0], &out_file[0], &ext_spec[0], &row_filter[0],
         &bin_spec[0], &col_spec[0], &status);
  if (status != 0) return "";
  if (std::strcmp(url_type.c_str(), "file://") != 0 && url_type[0] != '\0') return "";
  return in_file.c_str();
}

}  // namespace

void InputFiles::note_descriptors_before_open() { descriptors_before_ = open_descriptors(); }

void InputFiles::note_opened(const PlaneNames& names) {
  for (const int fd : open_descriptors()) {
    if (std::find(descriptors_before_.begin(), descriptors_before_.end(), fd) !=
        descriptors_before_.end()) {
      continue;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) remember(info);
  }
  // CFITSIO reads a gzip file whole into memory and closes it, so the names matter too.
  for (const char* name : names) {
    const std::string disk_file = disk_file_of(name);
    if (disk_file.empty()) continue;
    struct stat info;
    if (stat(disk_file.c_str(), &info) == 0) {
      remember(info);
      continue;
    }
    // The compressed forms CFITSIO tries, in its order, when the plain name does not exist.
    for (const char* suffix : {".gz", ".Z", ".z", ".zip"}) {
      const std::string candidate = disk_file + suffix;
      if (stat(candidate.c_str(), &info) == 0) {
        remember(info);
        break;
      }
    }
  }
}

void InputFiles::remember(const struct stat& info) { files_.push_back({info.st_dev, info.st_ino}); }

bool InputFiles::includes(const char* path) const {
  struct stat info;
  if (stat(path, &info) != 0) return false;
  return std::any_of(files_.begin(), files_.end(), [&](const Identity& file) {
    return file.device == info.st_dev && file.inode == info.st_ino;
  });
}

}  // namespace chromaloom
