#include "fits/input_files.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

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

// What a path will be once a file of that name exists: the file itself when it exists already,
// otherwise its name within its directory.
struct FileKey {
  dev_t device;
  ino_t inode;
  std::string name;  // empty for an existing file

  bool operator==(const FileKey& other) const {
    return device == other.device && inode == other.inode && name == other.name;
  }
};

std::optional<FileKey> key_of(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return FileKey{info.st_dev, info.st_ino, ""};
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || stat(directory.c_str(), &info) != 0) return std::nullopt;
  return FileKey{info.st_dev, info.st_ino, name};
}

}  // namespace

void InputFiles::note_names(const PlaneNames& names) {
  for (std::size_t c = 0; c < names.size(); ++c) sources_[c] = resolve_input(names[c]);
  descriptors_before_ = open_descriptors();
}

bool InputFiles::copies_over_an_input_or(const char* output) const {
  std::vector<FileKey> protected_files;
  for (const InputSource& source : sources_) {
    if (source.origin != InputSource::Origin::kDiskFile) continue;
    if (const auto key = key_of(source.disk_file)) protected_files.push_back(*key);
  }
  if (const auto key = key_of(output)) protected_files.push_back(*key);
  const bool reads_standard_input =
      std::any_of(sources_.begin(), sources_.end(), [](const InputSource& source) {
        return source.origin == InputSource::Origin::kStandardInput;
      });
  struct stat standard_input;
  if (reads_standard_input && fstat(STDIN_FILENO, &standard_input) == 0) {
    protected_files.push_back({standard_input.st_dev, standard_input.st_ino, ""});
  }
  return std::any_of(sources_.begin(), sources_.end(), [&](const InputSource& source) {
    if (source.copy_file.empty()) return false;
    const auto key = key_of(source.copy_file);
    return key && std::find(protected_files.begin(), protected_files.end(), *key) !=
                      protected_files.end();
  });
}

void InputFiles::note_opened() {
  for (const int fd : open_descriptors()) {
    if (std::find(descriptors_before_.begin(), descriptors_before_.end(), fd) !=
        descriptors_before_.end()) {
      continue;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) remember(info);
  }
  for (const InputSource& source : sources_) {
    struct stat info;
    if (source.origin == InputSource::Origin::kDiskFile &&
        stat(source.disk_file.c_str(), &info) == 0) {
      remember(info);
    }
    if (source.origin == InputSource::Origin::kStandardInput && fstat(STDIN_FILENO, &info) == 0) {
      remember(info);
    }
  }
}

void InputFiles::remember(const struct stat& info) { files_.push_back({info.st_dev, info.st_ino}); }

bool InputFiles::includes_file(const struct stat& info) const {
  return std::any_of(files_.begin(), files_.end(), [&](const Identity& file) {
    return file.device == info.st_dev && file.inode == info.st_ino;
  });
}

bool InputFiles::includes(const char* path) const {
  struct stat info;
  return stat(path, &info) == 0 && includes_file(info);
}

bool InputFiles::includes_descriptor(int fd) const {
  struct stat info;
  return fstat(fd, &info) == 0 && includes_file(info);
}

}  // namespace chromaloom
