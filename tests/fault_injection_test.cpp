// Every way a run can go wrong, on the real binary: a disk that fills up, an output that cannot be
// created or that is one of the inputs, damaged inputs and impossible sizes. Each case checks the
// output, the exit status, the state of the output file, and that no input changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/expected_output.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace chromaloom::testing {
namespace {

// The bytes of a set of files, to show afterwards that a run left them alone.
class Snapshot {
 public:
  explicit Snapshot(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) bytes_[path] = read_file(path);
  }
  void expect_unchanged() const {
    for (const auto& [path, bytes] : bytes_) {
      EXPECT_TRUE(read_file(path) == bytes) << path << " was altered";
    }
  }

 private:
  std::map<std::string, std::string> bytes_;
};

std::vector<std::string> all(const PlanePaths& in) { return {in.red, in.green, in.blue}; }

// ---------------------------------------------------------------------------------------------
// A full disk, simulated with a file size limit on the run.

class DiskFull : public ::testing::Test {
 protected:
  // 100 pixels a row make 600-byte rows; libtiff's default strips of 8 KiB hold 13 of them, so
  // 40 rows make four strips of 13, 13, 13 and 1 rows, after the 8-byte header.
  static constexpr long kWidth = 100, kHeight = 40;
  static constexpr long long kHeader = 8, kRow = 600, kStrip = 13 * kRow;

  void SetUp() override {
    std::vector<double> pixels(kWidth * kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<double>(i);
    const PlaneSpec spec = plane(kWidth, kHeight, pixels, 16);
    in_ = write_planes(dir_.path(), spec, spec, spec);
    ASSERT_EQ(default_rows_per_strip(kWidth, kHeight), 13u);
    const RunResult unlimited = run(-1);
    ASSERT_EQ(unlimited.exit_status, 0) << unlimited.out << unlimited.err;
    full_size_ = static_cast<long long>(read_file(out()).size());
    ASSERT_GT(full_size_, kHeader + kHeight * kRow);
  }

  std::string out() const { return dir_.file("rgb.tif"); }
  RunResult run(long long limit) {
    return run_chromaloom({in_.red, in_.green, in_.blue, "1", "1", "1", out()}, with_file_size_limit(limit));
  }

  TempDir dir_;
  PlanePaths in_;
  long long full_size_ = 0;
};

TEST_F(DiskFull, RoomForTheWholeFileMeansSuccess) {
  const RunResult result = run(full_size_);
  EXPECT_EQ(result.out, kSuccessOutput);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(read_tiff(out()).rows_readable);
}

TEST_F(DiskFull, NoLimitShortOfTheWholeFileEndsInSuccess) {
  const Snapshot inputs(all(in_));
  std::vector<long long> limits = {
      0,
      kHeader / 2,                      // inside the header
      kHeader - 1,                      // one byte short of the header
      kHeader,                          // the header, and no room for a pixel
      kHeader + 100,                    // inside the first strip
      kHeader + kStrip - 1,             // one byte short of the first strip
      kHeader + kStrip,                 // exactly at the first strip boundary
      kHeader + kStrip + 1,             // one byte into the second strip
      kHeader + 2 * kStrip,             // second boundary
      kHeader + 3 * kStrip,             // third boundary: only the last strip is missing
      kHeader + 3 * kStrip + kRow / 2,  // inside the last strip, written only at the end
      kHeader + kHeight * kRow,         // every strip, no directory
      kHeader + kHeight * kRow + 20,    // inside the directory
      full_size_ - 1,                   // one byte short of the whole file
  };
  // And a sweep across the whole file, so that no limit in between is missed.
  for (long long limit = 0; limit < full_size_; limit += 397) limits.push_back(limit);

  for (const long long limit : limits) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    const RunResult result = run(limit);
    // The header is written when the file is created; without room for it there is no TIFF.
    EXPECT_EQ(result.out, limit < kHeader ? kCannotCreate : kSuccessOutput);
    EXPECT_EQ(result.exit_status, kMinusOne) << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_NE(result.err, "");  // libtiff's own word on it
    EXPECT_FALSE(read_tiff(out()).rows_readable);
  }
  inputs.expect_unchanged();
}

// A full disk after a read failed: a write that fails among the rows still ends the run with -1,
// while one that fails only when the TIFF is finished (the last strip, the directory) leaves the
// run its CFITSIO status, which came first.
TEST_F(DiskFull, AfterAFailedReadEndsAsTheWriteThatMetIt) {
  std::vector<double> pixels(kWidth * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<double>(i % 3000);
  const PlaneSpec spec = plane(kWidth, kHeight, pixels, 16);
  in_ = write_planes(dir_.path(), spec, spec, spec);
  // Green ends inside its second data block: its read of row 14 fails.
  write_file(in_.green, read_file(in_.green).substr(0, 2 * 2880 + 1000));
  struct Case {
    long long limit;
    int exit_status;
  };
  for (const Case c : {Case{kHeader + kStrip / 2, kMinusOne}, Case{kHeader + 2 * kStrip + 7, kMinusOne},
                       Case{kHeader + 3 * kStrip + kRow / 2, 108},
                       Case{kHeader + kHeight * kRow + 20, 108}}) {
    SCOPED_TRACE("file size limit " + std::to_string(c.limit));
    const RunResult result = run(c.limit);
    EXPECT_EQ(result.out, kSuccessOutput);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
    EXPECT_FALSE(read_tiff(out()).rows_readable);
  }
}

// ---------------------------------------------------------------------------------------------
// Outputs that cannot be created. Root may write anywhere, so the permission cases run as an
// unprivileged user.

class UncreatableOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    const PlaneSpec spec = plane(2, 1, {1, 2});
    in_ = write_planes(dir_.path(), spec, spec, spec);
    // Let an unprivileged user read the inputs.
    chmod(dir_.path().c_str(), 0755);
    for (const std::string& path : all(in_)) chmod(path.c_str(), 0644);
  }

  // Whether the unprivileged user can run the binary at all here; if not, the permission cases
  // cannot be tried.
  bool can_run_unprivileged() {
    const RunResult probe = run_chromaloom({}, as_unprivileged(true));
    return probe.exit_status == 0 && !probe.out.empty();
  }

  void expect_refused(const std::string& out, bool unprivileged) {
    SCOPED_TRACE(out);
    const Snapshot inputs(all(in_));
    const RunResult run =
        run_chromaloom({in_.red, in_.green, in_.blue, "1", "1", "1", out}, as_unprivileged(unprivileged));
    EXPECT_EQ(run.out, kCannotCreate);
    EXPECT_EQ(run.exit_status, kMinusOne);
    EXPECT_NE(run.err, "");  // libtiff's reason
    inputs.expect_unchanged();
  }

  TempDir dir_;
  PlanePaths in_;
};

TEST_F(UncreatableOutput, DirectoryOrMissingDirectory) {
  expect_refused(dir_.path(), false);
  expect_refused(dir_.file("missing/rgb.tif"), false);
  EXPECT_FALSE(file_exists(dir_.file("missing")));
}

TEST_F(UncreatableOutput, ReadOnlyFileOrDirectory) {
  if (!can_run_unprivileged()) {
    GTEST_SKIP() << "cannot run the binary as an unprivileged user here, so permissions cannot "
                    "be tested";
  }
  const std::string read_only = dir_.file("read-only.tif");
  write_file(read_only, "precious");
  chmod(read_only.c_str(), 0444);
  expect_refused(read_only, true);
  EXPECT_EQ(read_file(read_only), "precious");

  const std::string locked = dir_.file("locked");
  mkdir(locked.c_str(), 0555);
  expect_refused(locked + "/rgb.tif", true);
  EXPECT_FALSE(file_exists(locked + "/rgb.tif"));
}

// ---------------------------------------------------------------------------------------------
// The output named as one of the inputs, in every spelling: refused before anything is written.

class OutputIsInput : public ::testing::Test {
 protected:
  void SetUp() override {
    const PlaneSpec spec = plane(3, 2, {1, 2, 3, 4, 5, 6}, 16);
    in_ = write_planes(dir_.path(), spec, spec, spec);
    write_plane(dir_.file("packed.fits.gz"), spec);
    ASSERT_EQ(symlink(in_.green.c_str(), dir_.file("link.tif").c_str()), 0);
    ASSERT_EQ(link(in_.blue.c_str(), dir_.file("hard.tif").c_str()), 0);
  }

  std::vector<std::string> inputs() const {
    return {in_.red, in_.green, in_.blue, dir_.file("packed.fits.gz")};
  }

  TempDir dir_;
  PlanePaths in_;
};

TEST_F(OutputIsInput, IsRefusedInEverySpelling) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string stdin_file = "";  // in the planes' directory
  };
  const std::string here = dir_.path().substr(dir_.path().rfind('/') + 1);
  // Runs start in the planes' directory, so relative names work.
  const std::vector<Case> cases = {
      {"same path", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}},
      {"absolute against relative",
       {"red.fits", "green.fits", "blue.fits", "1", "1", "1", dir_.file("green.fits")}},
      {"./ form", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "./blue.fits"}},
      {".. form",
       {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "../" + here + "/red.fits"}},
      {"symbolic link", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "link.tif"}},
      {"hard link", {"red.fits", "green.fits", "blue.fits", "1", "1", "1", "hard.tif"}},
      {"HDU selector", {"red.fits[0]", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}},
      {"gzip file under its plain name",
       {"packed.fits", "green.fits", "blue.fits", "1", "1", "1", "packed.fits.gz"}},
      // Every CFITSIO driver that reads a local file.
      {"file:// URL", {"file://red.fits", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}},
      {"compress:// URL",
       {"compress://packed.fits.gz", "green.fits", "blue.fits", "1", "1", "1", "packed.fits.gz"}},
      {"compressmem:// URL",
       {"green.fits", "compressmem://packed.fits.gz", "blue.fits", "1", "1", "1",
        "packed.fits.gz"}},
      // Standard input is the file it was opened on.
      {"standard input as -",
       {"-", "green.fits", "blue.fits", "1", "1", "1", "red.fits"}, "red.fits"},
      {"standard input as stdin",
       {"green.fits", "stdin", "blue.fits", "1", "1", "1", "red.fits"}, "red.fits"},
      // CFITSIO's own output syntax: an input name that would make CFITSIO write over an input, or
      // over the output, while opening it.
      {"output part naming another input",
       {"packed.fits.gz(!blue.fits)", "green.fits", "blue.fits", "1", "1", "1", "rgb.tif"}},
      {"output part naming its own file",
       {"red.fits", "green.fits", "packed.fits.gz(!packed.fits.gz)", "1", "1", "1", "rgb.tif"}},
      {"output part naming the output",
       {"red.fits", "packed.fits.gz(rgb.tif)", "blue.fits", "1", "1", "1", "rgb.tif"}},
  };
  const Snapshot before(inputs());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunOptions options = in_directory(dir_.path());
    if (!c.stdin_file.empty()) options.stdin_path = dir_.file(c.stdin_file);
    const RunResult result = run_chromaloom(c.args, options);
    EXPECT_EQ(result.out, kSameFile);
    EXPECT_EQ(result.exit_status, kMinusOne);
    before.expect_unchanged();
    EXPECT_FALSE(file_exists(dir_.file("rgb.tif")));
  }
}

TEST_F(OutputIsInput, AnotherFileBesideTheInputsIsWritten) {
  const Snapshot before(inputs());
  const RunResult result = run_chromaloom(
      {"packed.fits", "green.fits[0]", "blue.fits", "1", "1", "1", "rgb.tif"}, in_directory(dir_.path()));
  EXPECT_EQ(result.out, kSuccessOutput);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(read_tiff(dir_.file("rgb.tif")).rows_readable);
  before.expect_unchanged();

  // Standard input and CFITSIO's URL types still read as before, and a copy of an input may be
  // made beside it.
  RunOptions options = in_directory(dir_.path());
  options.stdin_path = dir_.file("red.fits");
  const RunResult urls = run_chromaloom({"-", "compress://packed.fits.gz",
                                         "packed.fits.gz(copy.fits)", "1", "1", "1", "rgb.tif"},
                                        options);
  EXPECT_EQ(urls.out, kSuccessOutput);
  EXPECT_EQ(urls.exit_status, 0) << urls.err;
  EXPECT_TRUE(read_tiff(dir_.file("rgb.tif")).rows_readable);
  EXPECT_TRUE(file_exists(dir_.file("copy.fits")));
  before.expect_unchanged();
}

// ---------------------------------------------------------------------------------------------
// Damaged inputs.

std::string header_of(long width, long height, const std::vector<std::string>& more = {},
                      const char* axis_count = "2") {
  std::vector<std::string> cards = {card("SIMPLE", "T"), card("BITPIX", "16"),
                                    card("NAXIS", axis_count)};
  if (std::string(axis_count) != "0") cards.push_back(card("NAXIS1", std::to_string(width)));
  if (std::string(axis_count) == "2") cards.push_back(card("NAXIS2", std::to_string(height)));
  cards.insert(cards.end(), more.begin(), more.end());
  return raw_header(cards);
}

struct BrokenFile {
  const char* name;
  std::string content;
  int exit_status;  // CFITSIO's status
};

void PrintTo(const BrokenFile& b, std::ostream* os) { *os << b.name; }

class UnreadableInputs : public ::testing::TestWithParam<BrokenFile> {};

TEST_P(UnreadableInputs, EndAtTheStatusCheckWithCfitsiosStatus) {
  const BrokenFile b = GetParam();
  TempDir dir;
  const PlaneSpec good = plane(4, 3, std::vector<double>(12, 500), 16);
  const PlanePaths in = write_planes(dir.path(), good, good, good);
  write_file(in.green, b.content);
  write_file(dir.file("out.tif"), "precious");
  const Snapshot inputs(all(in));
  const RunResult run =
      run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", dir.file("out.tif")});
  EXPECT_EQ(run.out, kOpening);
  EXPECT_EQ(run.exit_status, b.exit_status);
  EXPECT_NE(run.err, "");  // CFITSIO's report
  EXPECT_EQ(read_file(dir.file("out.tif")), "precious");
  inputs.expect_unchanged();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableInputs,
    ::testing::Values(
        BrokenFile{"empty_file", "", 107}, BrokenFile{"not_fits", std::string(3000, 'x'), 252},
        BrokenFile{"header_without_end",
                   raw_header({card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"),
                               card("NAXIS1", "4"), card("NAXIS2", "3"), card("CBLACK", "0"),
                               card("CWHITE", "1")},
                              false) +
                       std::string(2880, '\0'),
                   107},
        BrokenFile{"header_cut_short", header_of(4, 3).substr(0, 1000), 108},
        BrokenFile{"cwhite_missing",
                   header_of(4, 3, {card("CBLACK", "0")}) + std::string(2880, '\0'), 202}),
    [](const ::testing::TestParamInfo<BrokenFile>& info) { return std::string(info.param.name); });

// Data that end early: every row is still written, and the run ends with CFITSIO's status.
struct Truncation {
  const char* name;
  std::size_t keep;          // bytes of the green plane kept
  std::uint32_t whole_rows;  // rows of green in whole blocks: CFITSIO reads block by block
  int exit_status;           // CFITSIO's status for the failed read
};

void PrintTo(const Truncation& t, std::ostream* os) { *os << t.name; }

class TruncatedData : public ::testing::TestWithParam<Truncation> {};

TEST_P(TruncatedData, StillWritesEveryRowAndReportsTheFailure) {
  const Truncation t = GetParam();
  TempDir dir;
  const long width = 100, height = 50;  // 10000 bytes of 16-bit data: four 2880-byte blocks
  std::vector<double> pixels(static_cast<std::size_t>(width * height));
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<double>(i % 3000);
  const PlaneSpec spec = plane(width, height, pixels, 16);
  const PlanePaths in = write_planes(dir.path(), spec, spec, spec);
  write_file(in.green, read_file(in.green).substr(0, t.keep));
  const Snapshot inputs(all(in));

  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", out});
  EXPECT_EQ(run.out, kSuccessOutput);
  EXPECT_EQ(run.exit_status, t.exit_status) << run.err;
  EXPECT_NE(run.err, "");
  const TiffImage image = read_tiff(out);
  ASSERT_TRUE(image.rows_readable);
  ASSERT_EQ(image.height, static_cast<std::uint32_t>(height));
  // Rows before the failure are whole. In the failing row red was read before green failed; after
  // it nothing more is read, so every later row repeats what the buffers last held: red of the
  // failing row, blue of the row before it (or the zeroed buffer, which converts to 50), and
  // green zeros, never what CFITSIO made of a buffer it could not fill.
  const std::uint32_t k = t.whole_rows;
  auto expected = [&](std::uint32_t row, std::uint32_t column) {
    return static_cast<std::uint16_t>(pixels[row * width + column] + 50);
  };
  for (std::uint32_t row = 0; row < height; ++row) {
    for (std::uint32_t column = 0; column < width; ++column) {
      if (row < k) {
        for (int c = 0; c < 3; ++c) {
          ASSERT_EQ(image.sample(row, column, c), expected(row, column)) << "row " << row;
        }
        continue;
      }
      ASSERT_EQ(image.sample(row, column, 0), expected(k, column)) << "row " << row;
      ASSERT_EQ(image.sample(row, column, 1), 50) << "row " << row;
      ASSERT_EQ(image.sample(row, column, 2), k == 0 ? 50 : expected(k - 1, column))
          << "row " << row;
    }
  }
  inputs.expect_unchanged();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TruncatedData,
    ::testing::Values(Truncation{"no_data_at_all", 2880, 0, 107},
                      Truncation{"at_a_block_boundary", 2 * 2880, 14, 107},
                      Truncation{"in_the_middle_of_a_block", 2 * 2880 + 1000, 14, 108}),
    [](const ::testing::TestParamInfo<Truncation>& info) { return std::string(info.param.name); });

// Odd forms of the black-level card: each gives a black level, or CFITSIO's status.
struct OddCard {
  const char* name;
  std::vector<std::string> cards;  // whole cards replacing CBLACK
  std::uint16_t black_level;
};

void PrintTo(const OddCard& c, std::ostream* os) { *os << c.name; }

class OddBlackLevelCards : public ::testing::TestWithParam<OddCard> {};

TEST_P(OddBlackLevelCards, GiveTheLeadingInteger) {
  const OddCard c = GetParam();
  TempDir dir;
  PlaneSpec odd = plane(1, 1, {1000}, 16);
  odd.cblack.reset();
  odd.extra_cards = c.cards;
  const PlaneSpec plain = plane(1, 1, {1000}, 16);
  const PlanePaths in = write_planes(dir.path(), odd, plain, plain);
  const std::string out = dir.file("rgb.tif");
  const RunResult run = run_chromaloom({in.red, in.green, in.blue, "1", "1", "1", out});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const double v = 1000.0 - c.black_level + 50.0;
  const std::uint16_t expected = v <= 0 ? 0 : v >= 65535 ? 65535 : static_cast<std::uint16_t>(v);
  EXPECT_EQ(read_tiff(out).samples, (std::vector<std::uint16_t>{expected, 1050, 1050}));
}

std::string raw_card(const std::string& text) { return text; }

INSTANTIATE_TEST_SUITE_P(
    Cases, OddBlackLevelCards,
    ::testing::Values(OddCard{"no_value", {raw_card("CBLACK  =")}, 0},
                      OddCard{"no_value_indicator", {raw_card("CBLACK   100")}, 0},
                      OddCard{"string", {card("CBLACK", "'100'")}, 0},
                      OddCard{"logical", {card("CBLACK", "T")}, 0},
                      OddCard{"complex", {card("CBLACK", "(100, 2)")}, 0},
                      OddCard{"with_comment", {card("CBLACK", "100 / bias")}, 100},
                      OddCard{"exponent", {card("CBLACK", "1.5E3")}, 1},
                      OddCard{"many_digits", {card("CBLACK", "99999999999999999999")}, 65535},
                      OddCard{"duplicated", {card("CBLACK", "30"), card("CBLACK", "40")}, 30},
                      // CFITSIO matches keywords without regard to case.
                      OddCard{"lower_case_keyword", {raw_card("cblack  = 20")}, 20}),
    [](const ::testing::TestParamInfo<OddCard>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Geometry at the limits, declared by header-only files: no crash, no hang, a clean ending.

struct Limit {
  const char* name;
  std::string header;
  std::string out;
  int exit_status;
  bool output_untouched;
};

void PrintTo(const Limit& l, std::ostream* os) { *os << l.name; }

class GeometryLimits : public ::testing::TestWithParam<Limit> {};

TEST_P(GeometryLimits, EndCleanly) {
  const Limit l = GetParam();
  TempDir dir;
  const std::string path = dir.file("plane.fits");
  write_file(path, l.header);
  write_file(dir.file("out.tif"), "precious");
  const Snapshot inputs({path});
  const RunResult run = run_chromaloom({path, path, path, "1", "1", "1", dir.file("out.tif")});
  EXPECT_EQ(run.out, l.out);
  EXPECT_EQ(run.exit_status, l.exit_status) << run.err;
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(read_file(dir.file("out.tif")) == "precious", l.output_untouched);
  inputs.expect_unchanged();
}

const std::vector<std::string> kLevels = {card("CBLACK", "0"), card("CWHITE", "65535")};

INSTANTIATE_TEST_SUITE_P(
    Cases, GeometryLimits,
    ::testing::Values(
        // 8 TiB a row buffer: no machine gives it.
        Limit{"width_2_to_the_40", header_of(1099511627776, 1, kLevels),
              kNoMemoryForRows, kNoMemoryStatus, true},
        // width x 8 does not fit in 64 bits.
        Limit{"row_size_overflows", header_of(4611686018427387904, 1, kLevels),
              kNoMemoryForRows, kNoMemoryStatus, true},
        // (A width above 4294967295 needs 3 x 32 GiB of row buffers, which decide the ending
        // first on most machines; the height shows the TIFF limit reliably.)
        Limit{"taller_than_tiff_allows", header_of(1, 8589934592, kLevels),
              kTooLarge, kMinusOne, true},
        // libtiff has no row size for width 0, so the first row write fails.
        Limit{"zero_width", header_of(0, 5, kLevels), kSuccessOutput, kMinusOne, false},
        // No axes: one pixel is asked for, and CFITSIO's answer (320, bad dimensions) is the
        // status, which the system reports modulo 256.
        Limit{"zero_axes", header_of(0, 0, kLevels, "0"), kSuccessOutput, 320 % 256, false}),
    [](const ::testing::TestParamInfo<Limit>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chromaloom::testing
