// chromaloom: three monochrome FITS planes in, one 16-bit RGB TIFF out, streamed row by row.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/channel_ratio.h"
#include "app/sample_conversion.h"
#include "fits/input_files.h"
#include "fits/plane_reader.h"
#include "tiff/rgb_writer.h"

namespace {

using chromaloom::ChannelScales;
using chromaloom::InputPlanes;

constexpr int kExitFailure = -1;
constexpr int kExitNoMemory = 1;

// A standard descriptor that was closed when the program started would be handed to the next file
// opened, and what went to that stream (CFITSIO's report, the progress lines) would land in it:
// in the output, if that came first. Closed ones are opened on /dev/null.
void open_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd < 0) std::exit(kExitFailure);  // nothing safe can be done without them
    if (null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

int refuse_output_as_input() {
  std::printf("Error: output file must not be one of the input files\n");
  return kExitFailure;
}

void print_usage() {
  std::printf("Usage:\n");
  std::printf(
      "Chromaloom <Red File Name> <Green File Name> <Blue File Name> <Red Ratio> <Green Ratio> "
      "<Blue Ratio> <Output File Name>\n\n");
  std::printf("eg:\n");
  std::printf("Chromaloom red.fit green.fit blue.fit 1.3 1.0 1.63 RGB.tif\n");
}

// A row buffer per plane (a band of rows for a tile-compressed plane), zeroed so that a row whose
// read did nothing converts zeros rather than garbage. Width 0 needs no memory and is no failure.
bool allocate_rows(InputPlanes& planes, std::uint64_t width) {
  for (auto& plane : planes) {
    const auto rows = static_cast<std::uint64_t>(plane.band_rows);
    if (width > SIZE_MAX / plane.sample_bytes() / rows) return false;
    plane.band = std::calloc(width * rows, plane.sample_bytes());
    if (plane.band == nullptr && width != 0) return false;
    plane.row = plane.band;
  }
  return true;
}

// Whether an output row (width * 6 bytes) has a size the machine can express at all.
bool row_sizes_representable(std::uint64_t width) { return width <= PTRDIFF_MAX / 6; }

int run(int argc, char** argv) {
  if (argc != 8) {
    print_usage();
    return 0;
  }
  const chromaloom::PlaneNames names = {argv[1], argv[2], argv[3]};
  const char* output_name = argv[7];

  int status = 0;
  InputPlanes planes;
  chromaloom::InputFiles input_files;

  std::printf("Opening FITS file...\n");
  input_files.note_names(names);
  // A name may ask CFITSIO to write a copy of its input while opening it: never over an input.
  if (input_files.copies_over_an_input_or(output_name)) return refuse_output_as_input();
  chromaloom::open_planes(planes, names, input_files.sources(), status);
  chromaloom::read_levels(planes, status);
  chromaloom::read_geometry(planes, status);
  if (status != 0) {
    chromaloom::report_status(status);
    return status;
  }

  switch (chromaloom::check_geometry(planes)) {
    case chromaloom::GeometryFault::kTooManyAxes:
      std::printf("Error: images with > 2 dimensions are not supported\n");
      return kExitFailure;
    case chromaloom::GeometryFault::kUnequalSizes:
      std::printf("Error: images must have the same dimensions\n");
      return kExitFailure;
    case chromaloom::GeometryFault::kNone:
      break;
  }
  // Read as unsigned, a negative length is too large for anything below.
  const auto width = static_cast<std::uint64_t>(planes[0].width());
  const auto height = static_cast<std::uint64_t>(planes[0].height());

  chromaloom::plan_reading(planes);
  if (!row_sizes_representable(width) || !allocate_rows(planes, width)) {
    std::printf("Memory allocation error\n");
    return kExitNoMemory;
  }
  if (width > UINT32_MAX || height > UINT32_MAX) {
    std::printf("Error: image is too large for TIFF\n");
    return kExitFailure;
  }
  input_files.note_opened();
  if (input_files.includes(output_name)) return refuse_output_as_input();

  std::printf("Setting up TIFF file...\n");
  // Everything that can fail short of writing is done before the output is touched: the buffers,
  // then the open file itself checked (a link to an input may have been planted after the name
  // was), and only then is it truncated.
  chromaloom::RgbTiff tiff;
  if (!chromaloom::allocate_rgb_buffers(static_cast<std::uint32_t>(width),
                                        static_cast<std::uint32_t>(height), tiff)) {
    std::printf("Memory allocation error\n");
    return kExitNoMemory;
  }
  const int output_fd = chromaloom::open_rgb_output(output_name);
  if (output_fd < 0) {
    std::printf("Error: cannot create the TIFF file\n");
    return kExitFailure;
  }
  if (input_files.includes_descriptor(output_fd)) return refuse_output_as_input();
  switch (chromaloom::create_rgb_tiff(output_fd, output_name, static_cast<std::uint32_t>(width),
                                      static_cast<std::uint32_t>(height), tiff)) {
    case chromaloom::CreateResult::kCannotCreate:
      std::printf("Error: cannot create the TIFF file\n");
      return kExitFailure;
    case chromaloom::CreateResult::kLayoutMismatch:
      std::printf("Memory allocation error\n");
      return kExitNoMemory;
    case chromaloom::CreateResult::kOk:
      break;
  }

  const ChannelScales scales = {{
      {static_cast<double>(planes[0].black_level), chromaloom::parse_channel_ratio(argv[4])},
      {static_cast<double>(planes[1].black_level), chromaloom::parse_channel_ratio(argv[5])},
      {static_cast<double>(planes[2].black_level), chromaloom::parse_channel_ratio(argv[6])},
  }};

  // A failed read is noticed only at the end: the rows it was to give are zeros, later reads do
  // nothing (their buffers keep what they last held), and every row is still written.
  for (std::uint32_t r = 0; r < height; ++r) {
    chromaloom::read_row(planes, r, static_cast<long>(width), static_cast<long>(height), status);
    unsigned char* const out = chromaloom::rgb_row(tiff, r);
    if (out == nullptr) return kExitFailure;
    chromaloom::convert_sample_rows({{{planes[0].row, planes[0].sample_type},
                                      {planes[1].row, planes[1].sample_type},
                                      {planes[2].row, planes[2].sample_type}}},
                                    width, scales, out);
  }
  // Every strip but the last has been handed over: a write that fails ends the run here, as it
  // would have at its row.
  if (!chromaloom::flush_rgb_rows(tiff)) return kExitFailure;

  chromaloom::close_planes(planes, status);
  for (auto& plane : planes) std::free(plane.band);
  const bool finished = chromaloom::finish_rgb_tiff(tiff);
  if (!finished && status == 0) return kExitFailure;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  open_closed_standard_descriptors();
  return run(argc, argv);
}
