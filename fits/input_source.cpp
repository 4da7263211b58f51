#include "fits/input_source.h"

#include <fitsio.h>
#include <pwd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace chromaloom {

namespace {

// CFITSIO's drivers by what they read, as registered in its driver table.
bool reads_disk_file(const std::string& url_type) {
  for (const char* type : {"file://", "compress://", "compressmem://", "compressfile://",
                           "irafmem://", "rawfile://"}) {
    if (url_type == type) return true;
  }
  return false;
}

bool reads_standard_input(const std::string& url_type) {
  return url_type == "stdin://" || url_type == "stdinfile://" || url_type == "stream://";
}

// CFITSIO opens disk files with ~ and ~user standing for home directories. Returns false for a
// user without one.
bool expand_home(std::string& path) {
  if (path.empty() || path[0] != '~') return true;
  const std::size_t slash = path.find('/');
  const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  if (slash == 1) {
    // Without HOME, CFITSIO keeps the name as it is.
    if (const char* home = std::getenv("HOME")) path = home + rest;
    return true;
  }
  // "~user/..." and "~" alone (the user named "") are looked up.
  const passwd* entry = getpwnam(path.substr(1, slash == std::string::npos ? slash : slash - 1).c_str());
  if (entry == nullptr) return false;
  path = entry->pw_dir + rest;
  return true;
}

bool can_open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// When a disk file does not exist, CFITSIO tries these compressed neighbours, in this order.
std::string with_compressed_fallback(const std::string& path) {
  if (can_open(path)) return path;
  for (const char* suffix : {".gz", ".bz2", ".Z", ".z", ".zip", "-z", "-gz"}) {
    if (can_open(path + suffix)) return path + suffix;
  }
  return path;
}

std::string without_prefix(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  return text.compare(0, length, prefix) == 0 ? text.substr(length) : text;
}

}  // namespace

InputSource resolve_input(const char* name) {
  // Every part CFITSIO parses out is at most as long as the name, or one of its own defaults.
  const std::size_t size = std::strlen(name) + FLEN_FILENAME;
  std::vector<char> url(name, name + std::strlen(name) + 1);
  std::vector<std::vector<char>> parts(9, std::vector<char>(size, '\0'));
  enum { kUrlType, kInFile, kOutFile, kExtSpec, kRowFilter, kBinSpec, kColSpec, kPixFilter };
  int status = 0;
  ffpmrk();  // a name CFITSIO cannot parse is reported when CFITSIO opens it, not here
  ffifile2(url.data(), parts[kUrlType].data(), parts[kInFile].data(), parts[kOutFile].data(),
           parts[kExtSpec].data(), parts[kRowFilter].data(), parts[kBinSpec].data(),
           parts[kColSpec].data(), parts[kPixFilter].data(), parts[8].data(), &status);
  ffcmrk();
  InputSource source;
  if (status != 0) return source;

  const std::string url_type = parts[kUrlType].data();
  std::string in_file = parts[kInFile].data();
  source.extension_spec = parts[kExtSpec].data();
  source.has_filter = parts[kRowFilter][0] != '\0' || parts[kBinSpec][0] != '\0' ||
                      parts[kColSpec][0] != '\0';

  const std::string out_file = parts[kOutFile].data();
  if (!out_file.empty() && out_file.compare(0, 4, "mem:") != 0) {
    source.copy_file = without_prefix(without_prefix(out_file, "!"), "file://");
  }

  if (reads_standard_input(url_type)) {
    source.origin = InputSource::Origin::kStandardInput;
    return source;
  }
  if (!reads_disk_file(url_type)) {
    source.origin = InputSource::Origin::kElsewhere;
    return source;
  }
  source.origin = InputSource::Origin::kDiskFile;
  source.holds_fits = url_type != "irafmem://" && url_type != "rawfile://";
  // A raw binary file carries its layout in brackets after its name.
  if (url_type == "rawfile://") in_file = in_file.substr(0, in_file.find('['));
  source.unknown_home = !expand_home(in_file);
  // Only the plain file driver looks for compressed neighbours.
  source.disk_file = url_type == "file://" ? with_compressed_fallback(in_file) : in_file;
  return source;
}

}  // namespace chromaloom
