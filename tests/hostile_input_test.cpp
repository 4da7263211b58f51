// Runs set up the way a hostile user, a crafted file or a careless caller would: a link planted
// between the check of the output and its creation, memory that runs out once the output is
// about to be written, standard streams closed at the start, and headers with more axes than
// CFITSIO can hold. Each case checks the output, the exit status and that no input changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/expected_output.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace chromaloom::testing {
namespace {

// AddressSanitizer must be the first library loaded and reserves terabytes of address space, so
// preloading a library or limiting the address space only works with the plain build.
#ifdef CHROMALOOM_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string gzip(const std::string& bytes) {
  TempDir dir;
  const std::string path = dir.file("packed.gz");
  gzFile file = gzopen(path.c_str(), "wb");
  gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size()));
  gzclose(file);
  return read_file(path);
}

std::vector<double> ramp(std::size_t count) {
  std::vector<double> pixels(count);
  for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<double>(i % 4000);
  return pixels;
}

// ---------------------------------------------------------------------------------------------
// A link planted between the check of the output name and the creation of the file.

class PlantedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kSanitized) GTEST_SKIP() << "preloading needs the plain build; it runs these cases";
    const PlaneSpec spec = plane(5, 4, ramp(20), 16);
    in_ = write_planes(dir_.path(), spec, spec, spec);
  }

  // Runs with the output name swapped for a link to `target` at the moment it is created.
  RunResult run_with_link_to(const std::string& target) {
    RunOptions options;
    options.environment = {"LD_PRELOAD=" CHROMALOOM_LINK_SWAP_SHIM,
                           "CHROMALOOM_SWAP_PATH=" + out(), "CHROMALOOM_SWAP_TARGET=" + target};
    return run_chromaloom({in_.red, in_.green, in_.blue, "1", "1", "1", out()}, options);
  }
  std::string out() const { return dir_.file("rgb.tif"); }

  TempDir dir_;
  PlanePaths in_;
};

TEST_F(PlantedLink, ToAnInputIsRefusedOnceOpenedAndTheInputIsKept) {
  for (const std::string& target : {in_.red, in_.green, in_.blue}) {
    SCOPED_TRACE(target);
    const std::string before = read_file(target);
    const RunResult run = run_with_link_to(target);
    EXPECT_EQ(run.out, kSameFileWhenOpened);
    EXPECT_EQ(run.exit_status, kMinusOne) << run.err;
    EXPECT_EQ(read_file(target), before);
    unlink(out().c_str());
  }
}

TEST_F(PlantedLink, ToAnotherFileIsFollowedAsBefore) {
  const std::string elsewhere = dir_.file("elsewhere.tif");
  write_file(elsewhere, "old content");
  const RunResult run = run_with_link_to(elsewhere);
  EXPECT_EQ(run.out, kSuccessOutput);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(read_tiff(elsewhere).rows_readable);
}

// ---------------------------------------------------------------------------------------------
// Memory that runs out after the row buffers: nothing may have touched the output by then.

TEST(MemoryRunsOut, BeforeTheOutputIsOpened) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit needs the plain build; it runs this";
  // 2e8 pixels a row of doubles: three row buffers of 1.6 GB fit under the limit (as `ulimit -v
  // 5300000`); the output's strip of 1.2 GB does not. The planes are headers only: nothing is
  // read before the buffers are had.
  TempDir dir;
  const std::string header = raw_header(
      {card("SIMPLE", "T"), card("BITPIX", "-64"), card("NAXIS", "2"), card("NAXIS1", "200000000"),
       card("NAXIS2", "1"), card("CBLACK", "0"), card("CWHITE", "255")});
  const std::string path = dir.file("wide.fits");
  write_file(path, header);
  write_file(dir.file("out.tif"), "precious");
  RunOptions options;
  options.address_space_limit = 5300000LL * 1024;
  const RunResult run = run_chromaloom({path, path, path, "1", "1", "1", dir.file("out.tif")},
                                       options);
  EXPECT_EQ(run.out, kNoMemoryForOutput);
  EXPECT_EQ(run.exit_status, kNoMemoryStatus) << run.err;
  EXPECT_EQ(read_file(dir.file("out.tif")), "precious");
  EXPECT_EQ(read_file(path), header);
}

// ---------------------------------------------------------------------------------------------
// Standard streams closed at the start. CFITSIO closes gzip inputs once it has unpacked them, so
// the output would be given the lowest free descriptor, and whatever went to that stream (here
// CFITSIO's report of a failed row read) would land in the TIFF.

class ClosedStream : public ::testing::TestWithParam<int> {};

TEST_P(ClosedStream, NeverReachesTheOutput) {
  TempDir dir;
  const long width = 40, height = 30;
  const PlaneSpec spec = plane(width, height, ramp(width * height), 16);
  const PlanePaths plain = write_planes(dir.path(), spec, spec, spec);
  // Green ends inside its data: a row read fails and CFITSIO's report follows the closes.
  const std::vector<std::string> contents = {read_file(plain.red),
                                             read_file(plain.green).substr(0, 2880 + 1000),
                                             read_file(plain.blue)};
  std::vector<std::string> args;
  for (std::size_t c = 0; c < 3; ++c) {
    const std::string path = dir.file("plane" + std::to_string(c) + ".fits.gz");
    write_file(path, gzip(contents[c]));
    args.push_back(path);
  }
  for (const char* ratio : {"1", "1", "1"}) args.push_back(ratio);
  args.push_back(dir.file("rgb.tif"));

  const RunResult reference = run_chromaloom(args);
  ASSERT_EQ(reference.out, kSuccessOutput);
  ASSERT_NE(reference.exit_status, 0);
  ASSERT_NE(reference.err, "");
  const std::string expected_tiff = read_file(dir.file("rgb.tif"));
  unlink(dir.file("rgb.tif").c_str());

  RunOptions options;
  options.closed_descriptors = {GetParam()};
  const RunResult run = run_chromaloom(args, options);
  EXPECT_EQ(run.exit_status, reference.exit_status);
  EXPECT_EQ(read_file(dir.file("rgb.tif")), expected_tiff);
}

const char* const kStreamNames[] = {"stdin", "stdout", "stderr"};

INSTANTIATE_TEST_SUITE_P(Descriptors, ClosedStream, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kStreamNames[info.param]);
                         });

// ---------------------------------------------------------------------------------------------
// Headers with more than 99 axes. CFITSIO keeps at most 99 axis lengths of an image and writes
// past them; such a header must never reach it. The files are written byte by byte: CFITSIO
// itself cannot write them without corrupting its own memory.

// An image header of `axis_count` axes, 4 x 3 and every further axis of length 1, with its data.
std::string plane_with_axes(int axis_count, int bitpix = 8) {
  std::vector<std::string> cards = {card("SIMPLE", "T"), card("BITPIX", std::to_string(bitpix)),
                                    card("NAXIS", std::to_string(axis_count))};
  for (int axis = 1; axis <= axis_count; ++axis) {
    cards.push_back(card("NAXIS" + std::to_string(axis), axis == 1 ? "4" : axis == 2 ? "3" : "1"));
  }
  cards.push_back(card("CBLACK", "0"));
  cards.push_back(card("CWHITE", "255"));
  return raw_header(cards) + std::string(2880, '\0');
}

// An image extension of 4 x 3 pixels of value `value`, with its levels.
std::string image_extension(const std::string& name, int axis_count = 2, char value = 7) {
  std::vector<std::string> cards = {card("XTENSION", "'IMAGE   '"), card("BITPIX", "8"),
                                    card("NAXIS", std::to_string(axis_count))};
  for (int axis = 1; axis <= axis_count; ++axis) {
    cards.push_back(card("NAXIS" + std::to_string(axis), axis == 1 ? "4" : axis == 2 ? "3" : "1"));
  }
  for (const std::string& c : {card("PCOUNT", "0"), card("GCOUNT", "1"),
                               card("EXTNAME", "'" + name + "'"), card("CBLACK", "0"),
                               card("CWHITE", "255")}) {
    cards.push_back(c);
  }
  std::string data(12, value);
  data.resize(2880, '\0');
  return raw_header(cards) + data;
}

std::string null_primary() {
  return raw_header({card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"),
                     card("EXTEND", "T")});
}

const char* const kPlaneNames[] = {"red", "green", "blue"};

class TooManyAxes : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(TooManyAxes, FailAsAnIllegalHeaderInPlaneOrder) {
  const auto [axis_count, faulty_plane] = GetParam();
  TempDir dir;
  write_file(dir.file("good.fits"), plane_with_axes(2));
  write_file(dir.file("axes.fits"), plane_with_axes(axis_count));
  write_file(dir.file("out.tif"), "precious");
  std::vector<std::string> args;
  for (int c = 0; c < 3; ++c) args.push_back(dir.file(c == faulty_plane ? "axes.fits" : "good.fits"));
  for (const char* ratio : {"1", "1", "1"}) args.push_back(ratio);
  args.push_back(dir.file("out.tif"));
  const RunResult run = run_chromaloom(args);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.out, kOpening);
  EXPECT_EQ(run.exit_status, kBadNaxis);
  EXPECT_NE(run.err.find(dir.file("axes.fits")), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("99"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(dir.file("out.tif")), "precious");

  // The first failure of the run is still the one reported: a missing plane before it.
  if (faulty_plane > 0) {
    args[0] = dir.file("absent.fits");
    const RunResult earlier = run_chromaloom(args);
    EXPECT_EQ(earlier.exit_status, kFileNotOpened) << earlier.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, TooManyAxes,
                         ::testing::Combine(::testing::Values(100, 104, 999),
                                            ::testing::Range(0, 3)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return "naxis_" + std::to_string(std::get<0>(info.param)) + "_in_" +
                                  kPlaneNames[std::get<1>(info.param)];
                         });

// Which headers count: every one CFITSIO reads on the way to the selected image, and no other.
struct AxesOnTheWay {
  const char* name;
  std::string file;      // written as plane.fits (or plane.fits.gz when gzipped)
  std::string selector;  // appended to the name given to chromaloom
  bool gzipped;
  int exit_status;  // 212 when refused, 0 when the run works
  std::string out = kOpening;
};

void PrintTo(const AxesOnTheWay& c, std::ostream* os) { *os << c.name; }

class AxesOnTheWayToTheImage : public ::testing::TestWithParam<AxesOnTheWay> {};

TEST_P(AxesOnTheWayToTheImage, AreCheckedAndOthersAreNot) {
  const AxesOnTheWay c = GetParam();
  TempDir dir;
  const std::string path = dir.file(c.gzipped ? "plane.fits.gz" : "plane.fits");
  write_file(path, c.gzipped ? gzip(c.file) : c.file);
  write_file(dir.file("good.fits"), plane_with_axes(2));
  const std::string selected = dir.file("plane.fits") + c.selector;
  const RunResult run = run_chromaloom(
      {selected, dir.file("good.fits"), dir.file("good.fits"), "1", "1", "1", dir.file("o.tif")});
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
  EXPECT_EQ(run.out, c.exit_status == 0 ? kSuccessOutput : c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AxesOnTheWayToTheImage,
    ::testing::Values(
        AxesOnTheWay{"primary_before_an_extension_by_number",
                     plane_with_axes(104) + image_extension("SCI"), "[1]", false, kBadNaxis},
        AxesOnTheWay{"extension_selected_by_number",
                     null_primary() + image_extension("SCI", 150), "[1]", false, kBadNaxis},
        AxesOnTheWay{"extension_before_the_one_selected_by_name",
                     null_primary() + image_extension("OTHER", 104) + image_extension("SCI"),
                     "[sci]", false, kBadNaxis},
        AxesOnTheWay{"extension_after_the_one_selected_by_name",
                     null_primary() + image_extension("SCI") + image_extension("OTHER", 104),
                     "[SCI]", false, 0},
        AxesOnTheWay{"extension_after_the_one_selected_by_number",
                     null_primary() + image_extension("SCI") + image_extension("OTHER", 104),
                     "[1]", false, 0},
        AxesOnTheWay{"gzipped_primary", plane_with_axes(104), "", true, kBadNaxis},
        AxesOnTheWay{"gzipped_extension_by_number",
                     null_primary() + image_extension("SCI", 200), "[1]", true, kBadNaxis},
        // A filter moves CFITSIO past a null primary to the first image with pixels.
        AxesOnTheWay{"extension_reached_through_a_filter",
                     null_primary() + image_extension("SCI", 104), "[*,-*]", false, kBadNaxis},
        // 99 axes are CFITSIO's limit, not past it: a legal plane of 4 x 3 (x 1 ... x 1) with more
        // than two axes.
        AxesOnTheWay{"ninety_nine_axes", plane_with_axes(99), "", false, kMinusOne,
                     kTooManyAxes}),
    [](const ::testing::TestParamInfo<AxesOnTheWay>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A name in the home directory of a user that does not exist: CFITSIO dereferences the failed
// look-up, so such a name must fail before it reaches CFITSIO.

TEST(UnknownHome, FailsAsAFileThatCannotBeOpened) {
  TempDir dir;
  write_file(dir.file("good.fits"), plane_with_axes(2));
  for (const std::string& name : {std::string("~no-such-user-of-chromaloom/red.fits"),
                                  std::string("compress://~no-such-user-of-chromaloom/r.fits.gz"),
                                  std::string("~")}) {
    SCOPED_TRACE(name);
    const RunResult run = run_chromaloom(
        {dir.file("good.fits"), name, dir.file("good.fits"), "1", "1", "1", dir.file("o.tif")});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, kOpening);
    EXPECT_EQ(run.exit_status, kFileNotOpened);
    if (name != "~") {
      EXPECT_NE(run.err.find(name.substr(name.find('~'))), std::string::npos) << run.err;
    }
  }
}

}  // namespace
}  // namespace chromaloom::testing
