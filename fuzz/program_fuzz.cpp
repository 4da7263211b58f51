// chromaloom-program-fuzz: a small mutation fuzzer around the built chromaloom binary. It mutates
// FITS planes (bytes, header values, lengths), runs the binary on them, and checks what every run
// must satisfy whatever its input: no crash, no hang, no sanitizer report, no input altered, and
// an ending that matches one of the system's own (output, exit status, and a readable TIFF after
// a success). Runs that show a new kind of ending are kept as a corpus that CI replays.
//
//   chromaloom-program-fuzz --binary PATH --seconds N [--seeds DIR] [--save DIR] [--findings DIR]
//   chromaloom-program-fuzz --binary PATH --replay DIR
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/expected_output.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tiff_readback.h"

namespace fs = std::filesystem;
using namespace chromaloom::testing;

namespace {

// One run: three planes and three ratios.
struct Case {
  std::string planes[3];
  std::string ratios[3] = {"1.3", "1.0", "1.63"};
};

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// What any run must satisfy. Returns "" or what went wrong.
std::string check(const RunResult& run, const Case& c, const std::string& dir) {
  if (run.signal != 0) return "ended by signal " + std::to_string(run.signal);
  for (const char* report : {"Sanitizer", "runtime error:"}) {
    if (run.err.find(report) != std::string::npos) return "sanitizer report";
  }
  for (int i = 0; i < 3; ++i) {
    if (read_file(dir + "/plane" + std::to_string(i) + ".fits") != c.planes[i]) {
      return "input " + std::to_string(i) + " altered";
    }
  }
  const bool cfitsio = run.err.find("FITSIO status") != std::string::npos;
  const std::map<std::string, int> refusals = {
      {kTooManyAxes, kMinusOne},
      {kUnequal, kMinusOne},
      {kNoMemoryForRows, kNoMemoryStatus},
      {kTooLarge, kMinusOne},
      {kSameFile, kMinusOne},
      {kCannotCreate, kMinusOne},
      {kNoMemoryForOutput, kNoMemoryStatus},
  };
  if (run.out == kOpening) {
    return cfitsio && run.exit_status != 0 ? "" : "CFITSIO failure without its status";
  }
  if (const auto refusal = refusals.find(run.out); refusal != refusals.end()) {
    return run.exit_status == refusal->second ? "" : "wrong status for " + first_line(run.out);
  }
  if (run.out != kSuccessOutput) return "unexpected output: " + run.out;
  if (run.exit_status == 0) {
    if (cfitsio) return "success reported after a CFITSIO failure";
    const TiffImage image = read_tiff(dir + "/out.tif");
    const auto tags = raw_tiff_tags(dir + "/out.tif");
    const bool empty_image = tags.count(257) != 0 && tags.at(257) == 0;
    if (!image.rows_readable && !empty_image) return "success but the TIFF is unreadable";
    return "";
  }
  if (run.exit_status == kMinusOne) return run.err.empty() ? "failed write without a word" : "";
  return cfitsio ? "" : "non-zero status without CFITSIO's report";
}

// What kind of ending a run had: output, status, the first words of CFITSIO's or libtiff's report.
std::string ending_of(const RunResult& run) {
  return run.out + "|" + std::to_string(run.exit_status) + "|" + first_line(run.err).substr(0, 40);
}

RunResult run_case(const std::string& binary, const Case& c, const std::string& dir) {
  std::vector<std::string> args = {binary};
  for (int i = 0; i < 3; ++i) {
    const std::string path = dir + "/plane" + std::to_string(i) + ".fits";
    write_file(path, c.planes[i]);
    args.push_back(path);
  }
  for (const std::string& ratio : c.ratios) args.push_back(ratio);
  args.push_back(dir + "/out.tif");
  RunOptions options;
  options.file_size_limit = 64 << 20;  // a mutated size must not fill the disk
  options.timeout_seconds = 20;
  return run_program(args, options);
}

void save_case(const Case& c, const fs::path& where, const std::string& note) {
  fs::create_directories(where);
  for (int i = 0; i < 3; ++i)
    write_file((where / ("plane" + std::to_string(i) + ".fits")), c.planes[i]);
  write_file(where / "ratios", c.ratios[0] + "\n" + c.ratios[1] + "\n" + c.ratios[2] + "\n");
  if (!note.empty()) write_file(where / "finding", note + "\n");
}

Case load_case(const fs::path& where) {
  Case c;
  for (int i = 0; i < 3; ++i)
    c.planes[i] = read_file(where / ("plane" + std::to_string(i) + ".fits"));
  std::ifstream ratios(where / "ratios");
  for (std::string& ratio : c.ratios) std::getline(ratios, ratio);
  return c;
}

// Seed planes of every pixel type and shape the tests use.
std::vector<std::string> make_seeds(const std::string& dir) {
  std::vector<std::string> seeds;
  int n = 0;
  auto add = [&](const PlaneSpec& spec) {
    const std::string path = dir + "/seed" + std::to_string(n++) + ".fits";
    write_plane(path, spec);
    seeds.push_back(read_file(path));
  };
  std::vector<double> pixels(8 * 6);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<double>(i * 37 % 250);  // fits every type
  for (int bitpix : {8, 16, 32, 64, -32, -64}) {
    PlaneSpec spec = plane(8, 6, pixels, bitpix);
    spec.cblack = "100";
    add(spec);
  }
  PlaneSpec unsigned16 = plane(8, 6, pixels, 16);
  unsigned16.bzero = 32768;
  add(unsigned16);
  PlaneSpec line = plane(8, 1, std::vector<double>(pixels.begin(), pixels.begin() + 8), -32);
  line.axes = {8};
  add(line);
  // Headers with more axes than CFITSIO holds, as raw bytes: CFITSIO cannot write them without
  // corrupting its own memory. In the primary header, and in an extension after an empty one.
  for (const int axis_count : {99, 100, 104, 999}) {
    std::vector<std::string> cards = {card("BITPIX", "8"), card("NAXIS", std::to_string(axis_count))};
    for (int axis = 1; axis <= axis_count; ++axis) {
      cards.push_back(card("NAXIS" + std::to_string(axis), axis == 1 ? "8" : axis == 2 ? "6" : "1"));
    }
    cards.push_back(card("CBLACK", "100"));
    cards.push_back(card("CWHITE", "65535"));
    std::vector<std::string> primary = {card("SIMPLE", "T")};
    primary.insert(primary.end(), cards.begin(), cards.end());
    const std::string data = std::string(48, '\x07') + std::string(2880 - 48, '\0');
    seeds.push_back(raw_header(primary) + data);
    std::vector<std::string> extension = {card("XTENSION", "'IMAGE   '")};
    extension.insert(extension.end(), cards.begin(), cards.end());
    extension.push_back(card("PCOUNT", "0"));
    extension.push_back(card("GCOUNT", "1"));
    seeds.push_back(raw_header({card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"),
                                card("EXTEND", "T")}) +
                    raw_header(extension) + data);
  }
  return seeds;
}

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : random_(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : random_() % n; }

  std::string mutate(std::string data) {
    const int rounds = 1 + static_cast<int>(below(3));
    for (int r = 0; r < rounds; ++r) {
      switch (below(7)) {
        case 0:  // flip a bit
          if (!data.empty()) data[below(data.size())] ^= static_cast<char>(1 << below(8));
          break;
        case 1:  // a random byte
          if (!data.empty()) data[below(data.size())] = static_cast<char>(below(256));
          break;
        case 2:  // a header value replaced by an interesting number
          set_header_value(data);
          break;
        case 3:  // truncated
          data.resize(below(data.size() + 1));
          break;
        case 4:  // truncated at a block boundary
          data.resize(below(data.size() / 2880 + 1) * 2880);
          break;
        case 5:  // a card duplicated over another
          if (data.size() >= 2880) {
            const std::size_t from = below(36) * 80, to = below(36) * 80;
            data.replace(to, 80, data.substr(from, 80));
          }
          break;
        default:  // bytes appended
          data.append(below(3000), static_cast<char>(below(256)));
          break;
      }
    }
    return data;
  }

  std::string ratio() {
    static const char* kRatios[] = {"1.3", "1",   "0",      "-1",    "1e999", "nan",
                                    "",    "abc", "1e-320", "65535", "0x10",  "  2.5x"};
    return kRatios[below(sizeof kRatios / sizeof *kRatios)];
  }

 private:
  void set_header_value(std::string& data) {
    static const char* kValues[] = {"0",
                                    "1",
                                    "-1",
                                    "2",
                                    "3",
                                    "999",
                                    "-32",
                                    "-64",
                                    "8",
                                    "64",
                                    "65536",
                                    "2147483648",
                                    "4294967296",
                                    "1099511627776",
                                    "9223372036854775807",
                                    "'x'",
                                    "T",
                                    "1.5E3",
                                    ""};
    const std::size_t cards = std::min<std::size_t>(data.size() / 80, 36);
    if (cards == 0) return;
    const std::size_t at = below(cards) * 80;
    if (data.compare(at + 8, 2, "= ") != 0) return;
    std::string value = kValues[below(sizeof kValues / sizeof *kValues)];
    value.resize(70, ' ');
    data.replace(at + 10, 70, value);
  }

  std::mt19937_64 random_;
};

int replay(const std::string& binary, const fs::path& corpus) {
  int cases = 0, failures = 0;
  TempDir work;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    const Case c = load_case(entry.path());
    const std::string problem = check(run_case(binary, c, work.path()), c, work.path());
    ++cases;
    if (!problem.empty()) {
      ++failures;
      std::printf("%s: %s\n", entry.path().filename().c_str(), problem.c_str());
    }
  }
  std::printf("replayed %d cases: %d passed, %d failed\n", cases, cases - failures, failures);
  return cases > 0 && failures == 0 ? 0 : 1;
}

int campaign(const std::string& binary, long seconds, const std::string& seeds_dir,
             const std::string& save_dir, const std::string& findings_dir) {
  TempDir work;
  std::vector<std::string> seeds = make_seeds(work.path());
  std::set<std::string> endings;
  // The saved corpus seeds the mutations, and the endings it already shows are not new.
  if (!seeds_dir.empty() && fs::is_directory(seeds_dir)) {
    for (const auto& entry : fs::directory_iterator(seeds_dir)) {
      if (!entry.is_directory()) continue;
      const Case c = load_case(entry.path());
      seeds.push_back(c.planes[0]);
      endings.insert(ending_of(run_case(binary, c, work.path())));
    }
  }
  Mutator mutator(static_cast<std::uint64_t>(std::time(nullptr)));
  long executions = 0, findings = 0, saved = 0;
  const std::time_t stop = std::time(nullptr) + seconds;
  while (std::time(nullptr) < stop) {
    // The same plane three times, one or two of them mutated, so that runs pass the geometry
    // check often enough to reach the rows and the TIFF.
    const std::string& seed = seeds[mutator.below(seeds.size())];
    Case c;
    for (std::string& plane : c.planes) plane = seed;
    c.planes[mutator.below(3)] = mutator.mutate(seed);
    if (mutator.below(4) == 0) c.planes[mutator.below(3)] = mutator.mutate(seed);
    for (std::string& ratio : c.ratios) {
      if (mutator.below(4) == 0) ratio = mutator.ratio();
    }
    const RunResult run = run_case(binary, c, work.path());
    ++executions;
    const std::string problem = check(run, c, work.path());
    if (!problem.empty()) {
      ++findings;
      std::printf("finding %ld: %s\n", findings, problem.c_str());
      if (!findings_dir.empty()) {
        save_case(c, fs::path(findings_dir) / ("finding-" + std::to_string(findings)), problem);
      }
      continue;
    }
    // A new kind of ending joins the corpus.
    if (endings.insert(ending_of(run)).second && !save_dir.empty()) {
      save_case(c, fs::path(save_dir) / ("case-" + std::to_string(saved++)), "");
    }
  }
  std::printf("%ld executions in %ld s, %zu kinds of ending, %ld findings\n", executions, seconds,
              endings.size(), findings);
  return findings == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary, seeds, save, findings, replay_dir;
  long seconds = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--binary")
      binary = value;
    else if (flag == "--seconds")
      seconds = std::atol(value.c_str());
    else if (flag == "--seeds")
      seeds = value;
    else if (flag == "--save")
      save = value;
    else if (flag == "--findings")
      findings = value;
    else if (flag == "--replay")
      replay_dir = value;
  }
  if (binary.empty() || (replay_dir.empty() && seconds <= 0)) {
    std::fprintf(stderr,
                 "usage: chromaloom-program-fuzz --binary PATH --seconds N [--seeds DIR] "
                 "[--save DIR] [--findings DIR]\n"
                 "       chromaloom-program-fuzz --binary PATH --replay DIR\n");
    return 2;
  }
  return replay_dir.empty() ? campaign(binary, seconds, seeds, save, findings)
                            : replay(binary, replay_dir);
}
