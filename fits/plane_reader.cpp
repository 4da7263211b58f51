#include "fits/plane_reader.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

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

namespace {

// The narrowest type that holds every scaled value of an image exactly, so that reading into it
// gives the very numbers a read as doubles would. Tile-compressed floats stay doubles: quantised
// tiles are scaled tile by tile, and CFITSIO would round them to floats.
SampleType held_type_of(int bitpix, double bscale, double bzero, bool tile_compressed) {
  if (bscale != 1.0) return SampleType::kDouble;
  switch (bitpix) {
    case FLOAT_IMG:
      if (bzero == 0.0 && !tile_compressed) return SampleType::kFloat;
      break;
    case BYTE_IMG:
      if (bzero == 0.0) return SampleType::kUint8;
      if (bzero == -128.0) return SampleType::kInt8;
      break;
    case SHORT_IMG:
      if (bzero == 0.0) return SampleType::kInt16;
      if (bzero == 32768.0) return SampleType::kUint16;
      break;
    case LONG_IMG:
      if (bzero == 0.0) return SampleType::kInt32;
      if (bzero == 2147483648.0) return SampleType::kUint32;
      break;
  }
  return SampleType::kDouble;
}

int cfitsio_type_of(SampleType type) {
  switch (type) {
    case SampleType::kFloat:
      return TFLOAT;
    case SampleType::kUint8:
      return TBYTE;
    case SampleType::kInt8:
      return TSBYTE;
    case SampleType::kInt16:
    case SampleType::kOffsetInt16:  // the stored numbers, with CFITSIO's scaling turned off
      return TSHORT;
    case SampleType::kUint16:
      return TUSHORT;
    case SampleType::kInt32:
      return TINT;
    case SampleType::kUint32:
      return TUINT;
    case SampleType::kDouble:
      break;
  }
  return TDOUBLE;
}

// Whether every block of the plane's data unit is in the file, so that no row read can run off
// its end. Asked without reading: a read that fails changes what CFITSIO leaves in later buffers.
bool data_complete(fitsfile* file) {
  LONGLONG header_start = 0, data_start = 0, data_end = 0;
  int own_status = 0;
  ffghadll(file, &header_start, &data_start, &data_end, &own_status);
  return own_status == 0 && data_end <= file->Fptr->logfilesize;
}

}  // namespace

std::size_t InputPlane::sample_bytes() const { return chromaloom::sample_bytes(sample_type); }

namespace {

// Reads the band of a banded plane that starts at image row `row` (counted from 0). Returns how
// many rows it holds.
std::size_t read_band(InputPlane& plane, std::uint32_t row, long width, long height,
                      int& status) {
  // One read of the whole band decompresses each of its tiles once; row by row, CFITSIO would
  // copy every tile a row crosses once for each of the tile's rows.
  const long first_row = static_cast<long>(row) + 1;
  long first_pixel[2] = {1, first_row};
  long last_pixel[2] = {width, std::min(height, first_row + plane.band_rows - 1)};
  long step[2] = {1, 1};
  ffgsv(plane.file, cfitsio_type_of(plane.sample_type), first_pixel, last_pixel, step, nullptr,
        plane.band, nullptr, &status);
  return static_cast<std::size_t>(last_pixel[1] - first_pixel[1] + 1);
}

// A read that fails has CFITSIO convert a buffer it never filled (uninitialised memory) into the
// rows: the rows it was to give are zeros instead, as before any read.
void clear_failed_rows(InputPlane& plane, std::size_t rows, long width) {
  std::memset(plane.band, 0, rows * static_cast<std::size_t>(width) * plane.sample_bytes());
}

// Whether the three planes' bands can be decompressed side by side: all banded alike, in tiles
// whose decoder keeps no state of its own (not quantised floats: their dithering shares a table
// CFITSIO fills on first use; not the H-compress decoder's), each its own file to CFITSIO (one
// file named twice shares its state), and a CFITSIO built for threads.
bool bands_side_by_side(const InputPlanes& planes) {
  for (const InputPlane& plane : planes) {
    if (plane.band_rows < 2 || plane.band_rows != planes[0].band_rows ||
        !plane.tiles_decompress_apart) {
      return false;
    }
  }
  return planes[0].file->Fptr != planes[1].file->Fptr &&
         planes[0].file->Fptr != planes[2].file->Fptr &&
         planes[1].file->Fptr != planes[2].file->Fptr && fits_is_reentrant() != 0;
}

// A thread of the run's that decompresses one band at a time, so that reading bands side by side
// starts no thread in the row loop.
class BandWorker {
 public:
  BandWorker() {
    try {
      thread_ = std::thread(&BandWorker::run, this);
    } catch (const std::system_error&) {
      // No thread: the bands are read one after another.
    }
  }
  ~BandWorker() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  BandWorker(const BandWorker&) = delete;
  BandWorker& operator=(const BandWorker&) = delete;

  bool running() const { return thread_.joinable(); }

  // Starts reading the band of `plane` that begins at `row`, with a status of its own.
  void start(InputPlane& plane, std::uint32_t row, long width, long height) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = {&plane, row, width, height};
      busy_ = true;
    }
    changed_.notify_all();
  }

  // Waits for the band; returns its rows, and its status in `status`.
  std::size_t finish(int& status) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    status = status_;
    return rows_;
  }

 private:
  struct Job {
    InputPlane* plane;
    std::uint32_t row;
    long width, height;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return busy_ || stopping_; });
      if (!busy_) return;
      const Job job = job_;
      lock.unlock();
      int status = 0;
      const std::size_t rows = read_band(*job.plane, job.row, job.width, job.height, status);
      lock.lock();
      status_ = status;
      rows_ = rows;
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Job job_{};
  int status_ = 0;
  std::size_t rows_ = 0;
  bool busy_ = false, stopping_ = false;
  std::thread thread_;
};

// Green's and blue's band workers, while the planes' bands are read side by side.
std::unique_ptr<BandWorker> band_workers[2];

// Decompresses green's and blue's bands on the band workers while red's is decompressed here,
// each with a status of its own, then takes the statuses in the order red, green, blue, so that
// the first failure is still red's before green's before blue's. A band no worker could take is
// read here afterwards.
void read_bands_side_by_side(InputPlanes& planes, std::uint32_t row, long width, long height,
                             int& status) {
  int statuses[3] = {0, 0, 0};
  std::size_t rows[3] = {0, 0, 0};
  bool working[3] = {false, false, false};
  for (int c = 1; c < 3; ++c) {
    working[c] = band_workers[c - 1] != nullptr && band_workers[c - 1]->running();
    if (working[c]) band_workers[c - 1]->start(planes[c], row, width, height);
  }
  rows[0] = read_band(planes[0], row, width, height, statuses[0]);
  for (int c = 1; c < 3; ++c) {
    rows[c] = working[c] ? band_workers[c - 1]->finish(statuses[c])
                         : read_band(planes[c], row, width, height, statuses[c]);
  }
  for (int c = 0; c < 3; ++c) {
    if (statuses[c] == 0) continue;
    if (status == 0) status = statuses[c];
    clear_failed_rows(planes[c], rows[c], width);
  }
}

}  // namespace

constexpr long kRowTileBandBytes = 1L << 20;

void plan_reading(InputPlanes& planes) {
  // What these reads leave on CFITSIO's error stack (a missing card) is no failure of the run's.
  ffpmrk();
  for (InputPlane& plane : planes) {
    plane.band_rows = 1;
    plane.sample_type = SampleType::kDouble;
    plane.tiles_decompress_apart = false;
    int own_status = 0;
    const bool tiled = fits_is_compressed_image(plane.file, &own_status) != 0;
    if (tiled && plane.axis_count >= 2) {
      long tile_height = 1;
      if (ffgky(plane.file, TLONG, "ZTILE2", &tile_height, nullptr, &own_status) != 0) {
        tile_height = 1;  // absent: CFITSIO compresses row by row
        own_status = 0;
      }
      plane.band_rows = std::max(1L, std::min(tile_height, plane.height()));
    }
    int bitpix = 0, scale_status = 0, zero_status = 0;
    double bscale = 1.0, bzero = 0.0;
    ffgidt(plane.file, &bitpix, &own_status);
    ffgky(plane.file, TDOUBLE, "BSCALE", &bscale, nullptr, &scale_status);
    ffgky(plane.file, TDOUBLE, "BZERO", &bzero, nullptr, &zero_status);
    if (own_status == 0) {
      plane.sample_type = held_type_of(bitpix, scale_status == 0 ? bscale : 1.0,
                                       zero_status == 0 ? bzero : 0.0, tiled);
    }
    // A plane whose data end early keeps the reads as doubles, as it always had: what a row read
    // leaves when it runs off the end of the file is not worth a type of its own.
    if (!tiled && !data_complete(plane.file)) plane.sample_type = SampleType::kDouble;
    // Unsigned 16-bit planes, as cameras write them, are read as they are stored: CFITSIO's
    // unscaled read is a copy, and the offset of 32768 is added in the conversion, exactly.
    if (!tiled && plane.sample_type == SampleType::kUint16) {
      int scale_off_status = 0;
      if (ffpscl(plane.file, 1.0, 0.0, &scale_off_status) == 0) {
        plane.sample_type = SampleType::kOffsetInt16;
      }
    }
    if (tiled && plane.sample_type != SampleType::kDouble) {
      char compression[FLEN_VALUE] = {};
      int compression_status = 0;
      ffgky(plane.file, TSTRING, "ZCMPTYPE", compression, nullptr, &compression_status);
      const std::string name = compression_status == 0 ? compression : "";
      plane.tiles_decompress_apart = name == "RICE_1" || name == "GZIP_1" || name == "GZIP_2";
    }
    // Tiles one row high are read in bands too, of about a mebibyte, so that the planes can be
    // decompressed side by side; each tile is still decompressed once.
    if (tiled && plane.axis_count >= 2 && plane.band_rows == 1) {
      const long row_bytes =
          std::max(1L, plane.width()) * static_cast<long>(plane.sample_bytes());
      plane.band_rows = std::max(1L, std::min(kRowTileBandBytes / row_bytes, plane.height()));
    }
  }
  ffcmrk();
  if (bands_side_by_side(planes)) {
    for (auto& worker : band_workers) worker.reset(new (std::nothrow) BandWorker);
  }
}

void read_row(InputPlanes& planes, std::uint32_t row, long width, long height, int& status) {
  const long first_row = static_cast<long>(row) + 1;
  const bool read_together = status == 0 && band_workers[0] != nullptr &&
                             row % planes[0].band_rows == 0;
  if (read_together) read_bands_side_by_side(planes, row, width, height, status);
  for (InputPlane& plane : planes) {
    if (!read_together) {
      const int status_before = status;
      std::size_t read_rows = 0;
      if (plane.band_rows == 1) {
        long first_pixel[2] = {1, first_row};
        ffgpxv(plane.file, cfitsio_type_of(plane.sample_type), first_pixel, width, nullptr,
               plane.band, nullptr, &status);
        read_rows = 1;
      } else if (row % plane.band_rows == 0) {
        read_rows = read_band(plane, row, width, height, status);
      }
      if (status_before == 0 && status != 0) clear_failed_rows(plane, read_rows, width);
    }
    const long in_band = static_cast<long>(row) % plane.band_rows;
    plane.row = static_cast<const unsigned char*>(plane.band) +
                static_cast<std::size_t>(in_band) * static_cast<std::size_t>(width) *
                    plane.sample_bytes();
  }
}

void close_planes(InputPlanes& planes, int& status) {
  for (auto& worker : band_workers) worker.reset();
  for (InputPlane& plane : planes) ffclos(plane.file, &status);
  if (status != 0) report_status(status);
}

}  // namespace chromaloom
