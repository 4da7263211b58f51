#pragma once

#include <string>

namespace chromaloom::testing {

// What chromaloom prints on standard output, line by line, as the tests expect it.
inline const std::string kOpening = "Opening FITS file...\n";
inline const std::string kSuccessOutput = kOpening + "Setting up TIFF file...\n";
inline const std::string kCannotCreate = kSuccessOutput + "Error: cannot create the TIFF file\n";

// Exit status -1 as the shell sees it.
constexpr int kMinusOne = 255;

}  // namespace chromaloom::testing
