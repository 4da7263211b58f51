// Where CFITSIO reads a plane from, worked out from its name for every driver that reads a local
// file, standard input, or neither.
#include "fits/input_source.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace chromaloom {
namespace {

using Origin = InputSource::Origin;

struct NameCase {
  std::string name;  // "@" stands for the test's directory
  Origin origin;
  std::string disk_file;  // relative to the directory; "" when none
  std::string copy_file = "";
  std::string extension_spec = "";
  bool has_filter = false;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class ResolveInput : public ::testing::TestWithParam<NameCase> {};

TEST_P(ResolveInput, FindsTheFileCfitsioReads) {
  const NameCase c = GetParam();
  testing::TempDir dir;
  // plain.fits exists; packed.fits exists only gzipped, bz.fits only as .bz2, lzw.fits only as .Z.
  for (const char* file : {"plain.fits", "packed.fits.gz", "bz.fits.bz2", "lzw.fits.Z", "raw.dat",
                           "image.imh"}) {
    testing::write_file(dir.file(file), "x");
  }
  auto in_dir = [&](const std::string& text) {
    std::string result = text;
    for (std::size_t at; (at = result.find('@')) != std::string::npos;) {
      result.replace(at, 1, dir.path());
    }
    return result;
  };
  const InputSource source = resolve_input(in_dir(c.name).c_str());
  EXPECT_EQ(source.origin, c.origin);
  EXPECT_EQ(source.disk_file, c.disk_file.empty() ? "" : dir.file(c.disk_file));
  EXPECT_EQ(source.copy_file, in_dir(c.copy_file));
  EXPECT_EQ(source.extension_spec, c.extension_spec);
  EXPECT_EQ(source.has_filter, c.has_filter);
  EXPECT_FALSE(source.unknown_home);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResolveInput,
    ::testing::Values(
        NameCase{"@/plain.fits", Origin::kDiskFile, "plain.fits"},
        NameCase{"file://@/plain.fits", Origin::kDiskFile, "plain.fits"},
        NameCase{"file:@/plain.fits", Origin::kDiskFile, "plain.fits"},
        // The compressed neighbours CFITSIO falls back to, in its order.
        NameCase{"@/packed.fits", Origin::kDiskFile, "packed.fits.gz"},
        NameCase{"@/bz.fits", Origin::kDiskFile, "bz.fits.bz2"},
        NameCase{"@/lzw.fits[1]", Origin::kDiskFile, "lzw.fits.Z", "", "1"},
        NameCase{"@/plain.fits+2", Origin::kDiskFile, "plain.fits", "", "2"},
        NameCase{"@/plain.fits[SCI,2]", Origin::kDiskFile, "plain.fits", "", "SCI,2"},
        NameCase{"@/plain.fits[*,-*]", Origin::kDiskFile, "plain.fits", "", "", true},
        NameCase{"compress://@/packed.fits.gz", Origin::kDiskFile, "packed.fits.gz"},
        NameCase{"compressmem://@/packed.fits.gz", Origin::kDiskFile, "packed.fits.gz"},
        NameCase{"compressfile://@/packed.fits.gz(@/copy.fits)", Origin::kDiskFile,
                 "packed.fits.gz", "@/copy.fits"},
        NameCase{"rawfile://@/raw.dat[i4,3]", Origin::kDiskFile, "raw.dat", "", "0"},
        NameCase{"@/image.imh", Origin::kDiskFile, "image.imh"},
        // The copy CFITSIO writes while opening, with "!" (replace) and "file://" taken off.
        NameCase{"@/packed.fits.gz(!@/copy.fits)", Origin::kDiskFile, "packed.fits.gz",
                 "@/copy.fits"},
        NameCase{"@/plain.fits(file://@/copy.fits)", Origin::kDiskFile, "plain.fits",
                 "@/copy.fits"},
        NameCase{"@/packed.fits.gz(mem://)", Origin::kDiskFile, "packed.fits.gz"},
        NameCase{"-", Origin::kStandardInput, ""}, NameCase{"stdin", Origin::kStandardInput, ""},
        NameCase{"STDIN", Origin::kStandardInput, ""}, NameCase{"-[1]", Origin::kStandardInput, "", "", "1"},
        NameCase{"stdin://", Origin::kStandardInput, ""},
        NameCase{"-(@/copy.fits)", Origin::kStandardInput, "", "@/copy.fits"},
        NameCase{"stream://", Origin::kStandardInput, ""},
        NameCase{"mem://", Origin::kElsewhere, ""}, NameCase{"shmem://h2", Origin::kElsewhere, ""},
        NameCase{"http://example.invalid/x.fits", Origin::kElsewhere, ""},
        NameCase{"ftp://example.invalid/x.fits", Origin::kElsewhere, ""}));

TEST(ResolveInput, NotesAHomeDirectoryThatDoesNotExist) {
  for (const char* name : {"~no-such-user-of-chromaloom/red.fits",
                           "compress://~no-such-user-of-chromaloom/red.fits.gz", "~"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(resolve_input(name).unknown_home);
  }
  EXPECT_FALSE(resolve_input("~root/red.fits").unknown_home);
  EXPECT_EQ(resolve_input("~root/red.fits").disk_file, "/root/red.fits");
}

TEST(ResolveInput, AnUnparsableNameHasNoSource) {
  EXPECT_EQ(resolve_input("red.fits[1").origin, Origin::kUnparsable);
}

}  // namespace
}  // namespace chromaloom
