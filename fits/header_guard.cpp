#include "fits/header_guard.h"

#include <fitsio.h>
// CFITSIO's internal header, for its value parsers; it does not declare them for C++ itself.
extern "C" {
#include <fitsio2.h>
}
#include <strings.h>
#include <zlib.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace chromaloom {

namespace {

constexpr long long kBlock = 2880;
constexpr int kCard = 80;

// What the walk needs of one header: the keywords that give its kind, its name and the size of
// its data.
struct Header {
  enum class Kind { kImage, kAsciiTable, kBinaryTable };
  Kind kind = Kind::kImage;
  long bitpix = 0;
  long axis_count = 0;
  std::vector<long long> axes;
  long long pcount = 0, gcount = 1;
  bool groups = false;
  bool compressed_image = false;  // a binary table holding a tile-compressed image
  long compressed_axis_count = 0;
  std::optional<std::string> extname, hduname;
  long extver = 1;

  // The kind CFITSIO reports: a tile-compressed image counts as an image.
  bool is_image() const { return kind == Kind::kImage || compressed_image; }
  long image_axis_count() const { return compressed_image ? compressed_axis_count : axis_count; }
};

// A card's keyword, in capitals and without trailing blanks.
std::string keyword_of(const char* card) {
  std::string keyword(card, 8);
  keyword.erase(keyword.find_last_not_of(' ') + 1);
  for (char& c : keyword) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return keyword;
}

// The value text of a card, as CFITSIO splits it off.
std::string value_of(const char* card) {
  char text[FLEN_CARD] = {}, value[FLEN_VALUE] = {}, comment[FLEN_COMMENT] = {};
  std::memcpy(text, card, kCard);
  int status = 0;
  ffpsvc(text, value, comment, &status);
  return status == 0 ? value : "";
}

std::optional<long> integer_of(const char* card) {
  long number = 0;
  int status = 0;
  ffc2ii(value_of(card).c_str(), &number, &status);
  if (status != 0) return std::nullopt;
  return number;
}

std::optional<std::string> string_of(const char* card) {
  char text[FLEN_VALUE] = {};
  int status = 0;
  ffc2s(value_of(card).c_str(), text, &status);
  if (status != 0) return std::nullopt;
  return std::string(text);
}

bool logical_of(const char* card) { return value_of(card) == "T"; }

// Reads a FITS file's headers in order, plain or gzip-compressed alike.
class HeaderWalk {
 public:
  explicit HeaderWalk(const std::string& path) : file_(gzopen(path.c_str(), "rb")) {}
  ~HeaderWalk() {
    if (file_ != nullptr) gzclose(file_);
  }
  HeaderWalk(const HeaderWalk&) = delete;
  HeaderWalk& operator=(const HeaderWalk&) = delete;

  enum class Step { kHeader, kTooManyAxes, kStop };

  // Reads the next header. kStop: the file ends, or CFITSIO would fail on this header before
  // going past it, so nothing after it is read either.
  Step next(Header& header) {
    if (file_ == nullptr || (next_start_ != 0 && gzseek(file_, next_start_, SEEK_SET) < 0)) {
      return Step::kStop;
    }
    const bool primary = next_start_ == 0;
    header = Header();
    std::vector<char> block(kBlock);
    long long position = next_start_;
    for (long long card_number = 1;; ++card_number) {
      const long long in_block = (card_number - 1) % (kBlock / kCard);
      if (in_block == 0) {
        if (gzread(file_, block.data(), kBlock) != kBlock) return Step::kStop;
        position += kBlock;
      }
      const char* card = block.data() + in_block * kCard;
      const std::string keyword = keyword_of(card);
      if (card_number == 1) {
        if (!read_kind(primary, keyword, card, header)) return Step::kStop;
        continue;
      }
      if (keyword == "END") break;
      if (header.kind == Header::Kind::kImage && card_number <= 3) {
        // CFITSIO wants BITPIX and NAXIS in this order, with legal values, before anything else.
        const std::optional<long> value = integer_of(card);
        if (card_number == 2) {
          if (keyword != "BITPIX" || !value || !legal_bitpix(*value)) return Step::kStop;
          header.bitpix = *value;
        } else {
          if (keyword != "NAXIS" || !value || *value < 0 || *value > 999) return Step::kStop;
          if (*value > kMaxCfitsioAxes) {
            header.axis_count = *value;
            return Step::kTooManyAxes;
          }
          header.axis_count = *value;
          header.axes.assign(static_cast<std::size_t>(*value), -1);
        }
        continue;
      }
      read_keyword(keyword, card, header);
    }
    const std::optional<long long> data = data_bytes(header);
    if (!data) return Step::kStop;
    next_start_ = position + (*data + kBlock - 1) / kBlock * kBlock;
    ++index_;
    return Step::kHeader;
  }

  // The number of the header last read (0: the primary), or of the one found illegal.
  int index() const { return index_ - 1; }
  int illegal_index() const { return index_; }

 private:
  static bool legal_bitpix(long bitpix) {
    return bitpix == 8 || bitpix == 16 || bitpix == 32 || bitpix == 64 || bitpix == -32 ||
           bitpix == -64;
  }

  static bool read_kind(bool primary, const std::string& keyword, const char* card,
                        Header& header) {
    if (primary) return keyword == "SIMPLE";
    if (keyword != "XTENSION") return false;
    const std::optional<std::string> type = string_of(card);
    if (!type) return false;
    const std::string name = type->substr(type->find_first_not_of(' ') == std::string::npos
                                              ? type->size()
                                              : type->find_first_not_of(' '));
    if (name == "TABLE") {
      header.kind = Header::Kind::kAsciiTable;
    } else if (name == "BINTABLE" || name == "A3DTABLE" || name == "3DTABLE") {
      header.kind = Header::Kind::kBinaryTable;
    } else {
      header.kind = Header::Kind::kImage;  // IMAGE, and any type CFITSIO does not know
    }
    return true;
  }

  // The first of each keyword counts, as CFITSIO finds it.
  static void read_keyword(const std::string& keyword, const char* card, Header& header) {
    if (header.kind != Header::Kind::kImage && (keyword == "BITPIX" || keyword == "NAXIS")) {
      if (const std::optional<long> value = integer_of(card)) {
        if (keyword == "BITPIX") header.bitpix = *value;
        if (keyword == "NAXIS" && *value >= 0 && *value <= 999 && header.axes.empty()) {
          header.axis_count = *value;
          header.axes.assign(static_cast<std::size_t>(*value), -1);
        }
      }
    } else if (keyword.compare(0, 5, "NAXIS") == 0 && keyword.size() > 5) {
      const long axis = std::atol(keyword.c_str() + 5);
      if (axis >= 1 && axis <= header.axis_count && header.axes[axis - 1] < 0) {
        long long length = 0;
        int status = 0;
        ffc2jj(value_of(card).c_str(), &length, &status);
        if (status == 0 && length >= 0) header.axes[axis - 1] = length;
      }
    } else if (keyword == "PCOUNT") {
      if (const auto value = integer_of(card)) header.pcount = *value;
    } else if (keyword == "GCOUNT") {
      if (const auto value = integer_of(card)) header.gcount = *value;
    } else if (keyword == "GROUPS") {
      header.groups = logical_of(card);
    } else if (keyword == "ZIMAGE") {
      header.compressed_image = header.kind == Header::Kind::kBinaryTable && logical_of(card);
    } else if (keyword == "ZNAXIS") {
      if (const auto value = integer_of(card)) header.compressed_axis_count = *value;
    } else if (keyword == "EXTNAME" && !header.extname) {
      header.extname = string_of(card);
    } else if (keyword == "HDUNAME" && !header.hduname) {
      header.hduname = string_of(card);
    } else if (keyword == "EXTVER") {
      if (const auto value = integer_of(card)) header.extver = *value;
    }
  }

  // The size of the data unit: |BITPIX| / 8 x GCOUNT x (PCOUNT + the product of the axes),
  // where random groups leave out the first axis. None when it cannot be worked out.
  static std::optional<long long> data_bytes(const Header& header) {
    if (header.axis_count == 0) return 0;
    if (!legal_bitpix(header.bitpix) || header.pcount < 0 || header.gcount < 0) {
      return std::nullopt;
    }
    unsigned __int128 pixels = 1;
    const bool random_groups = header.groups && header.axes[0] == 0;
    for (std::size_t i = random_groups ? 1 : 0; i < header.axes.size(); ++i) {
      if (header.axes[i] < 0) return std::nullopt;  // a missing axis length: CFITSIO fails
      pixels *= static_cast<unsigned __int128>(header.axes[i]);
      if (pixels > (static_cast<unsigned __int128>(1) << 80)) return std::nullopt;
    }
    const unsigned __int128 bytes = (pixels + static_cast<unsigned __int128>(header.pcount)) *
                                    static_cast<unsigned __int128>(header.gcount) *
                                    static_cast<unsigned __int128>(std::labs(header.bitpix) / 8);
    if (bytes > static_cast<unsigned __int128>(INT64_MAX / 2)) return std::nullopt;
    return static_cast<long long>(bytes);
  }

  gzFile file_;
  long long next_start_ = 0;
  int index_ = 0;
};

// Whether CFITSIO's search for an HDU by name stops at this one.
bool matches_name(const Header& header, char* name, int version, int type) {
  const bool type_matches =
      type == ANY_HDU || (type == IMAGE_HDU && header.is_image()) ||
      (type == ASCII_TBL && header.kind == Header::Kind::kAsciiTable) ||
      (type == BINARY_TBL && header.kind == Header::Kind::kBinaryTable);
  if (!type_matches) return false;
  auto same = [&](const std::optional<std::string>& value) {
    if (!value) return false;
    std::string text = *value;
    int match = 0, exact = 0;
    ffcmps(name, &text[0], CASEINSEN, &match, &exact);
    return exact != 0;
  };
  if (!same(header.extname) && !same(header.hduname)) return false;
  return version == 0 || header.extver == version;
}

// Whether CFITSIO, moving past an empty primary array, stops at this HDU: an image with pixels,
// or a table that is not a good-time-interval or observation table.
bool is_interesting(const Header& header) {
  if (header.is_image()) return header.image_axis_count() > 0;
  const std::string name = header.extname.value_or("");
  return name.find("GTI") == std::string::npos && name.find("gti") == std::string::npos &&
         strncasecmp(name.c_str(), "OBSTABLE", 8) != 0;
}

// Which headers CFITSIO reads to reach the HDU a name selects.
class Selection {
 public:
  // False when CFITSIO cannot parse the selection (it then fails before reading the file).
  bool parse(const InputSource& source) {
    filter_ = source.has_filter;
    if (source.extension_spec.empty()) return true;
    std::vector<char> spec(source.extension_spec.begin(), source.extension_spec.end());
    spec.push_back('\0');
    // A trailing # only asks CFITSIO not to copy other HDUs.
    if (spec.size() > 1 && spec[spec.size() - 2] == '#') spec[spec.size() - 2] = '\0';
    const std::size_t size = spec.size() + FLEN_FILENAME;
    name_.assign(size, '\0');
    std::vector<char> column(size, '\0'), row(size, '\0');
    int status = 0;
    ffexts(spec.data(), &number_, name_.data(), &version_, &type_, column.data(), row.data(),
           &status);
    by_spec_ = true;
    return status == 0;
  }

  // Whether the walk ends with this header (the `index`th, 0 the primary).
  bool ends_at(const Header& header, int index) {
    if (by_spec_) {
      if (number_ > 0) return index >= number_;
      if (name_[0] != '\0') return matches_name(header, name_.data(), version_, type_);
      return true;  // [0]: the primary array
    }
    if (index == 0) return !filter_ || header.axis_count > 0;
    return is_interesting(header);
  }

 private:
  bool by_spec_ = false, filter_ = false;
  int number_ = 0, version_ = 0, type_ = ANY_HDU;
  std::vector<char> name_;
};

// Puts a message on CFITSIO's error stack, in pieces of the 80 characters it keeps of each.
void push_message(const std::string& text) {
  for (std::size_t at = 0; at < text.size(); at += FLEN_ERRMSG - 1) {
    ffpmsg(text.substr(at, FLEN_ERRMSG - 1).c_str());
  }
}

// Walks the headers CFITSIO reads on the way to the selected HDU. Returns whether one has more
// axes than CFITSIO can hold, with its axis count and HDU number.
bool walk_to_selected_hdu(const InputSource& source, long& axis_count, int& hdu_number) {
  Selection selection;
  if (!selection.parse(source)) return false;
  HeaderWalk walk(source.disk_file);
  Header header;
  for (;;) {
    switch (walk.next(header)) {
      case HeaderWalk::Step::kStop:
        return false;
      case HeaderWalk::Step::kTooManyAxes:
        axis_count = header.axis_count;
        hdu_number = walk.illegal_index() + 1;
        return true;
      case HeaderWalk::Step::kHeader:
        if (selection.ends_at(header, walk.index())) return false;
        break;
    }
  }
}

}  // namespace

void guard_plane(const InputSource& source, int& status) {
  if (status != 0 || source.origin != InputSource::Origin::kDiskFile) return;
  if (source.unknown_home) {
    push_message("no such user's home directory for this file:");
    push_message(source.disk_file);
    status = FILE_NOT_OPENED;
    return;
  }
  if (!source.holds_fits) return;
  // CFITSIO's parsers may leave messages on its error stack; only a refusal's own belong there.
  long axis_count = 0;
  int hdu_number = 0;
  ffpmrk();
  const bool too_many_axes = walk_to_selected_hdu(source, axis_count, hdu_number);
  ffcmrk();
  if (!too_many_axes) return;
  push_message("NAXIS = " + std::to_string(axis_count) + " in HDU " + std::to_string(hdu_number) +
               " is more than the " + std::to_string(kMaxCfitsioAxes) +
               " axes CFITSIO can hold, in file:");
  push_message(source.disk_file);
  status = BAD_NAXIS;
}

}  // namespace chromaloom
