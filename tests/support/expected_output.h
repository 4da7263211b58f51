#pragma once

#include <string>

namespace chromaloom::testing {

// Every line chromaloom prints on standard output, and the exit statuses that go with them, as the
// tests and the program fuzzer expect them. A message changes here and nowhere else.

inline const std::string kUsage =
    "Usage:\n"
    "Chromaloom <Red File Name> <Green File Name> <Blue File Name> <Red Ratio> <Green Ratio> "
    "<Blue Ratio> <Output File Name>\n\n"
    "eg:\n"
    "Chromaloom red.fit green.fit blue.fit 1.3 1.0 1.63 RGB.tif\n";
inline const std::string kOpening = "Opening FITS file...\n";
inline const std::string kSettingUp = "Setting up TIFF file...\n";
inline const std::string kSuccessOutput = kOpening + kSettingUp;

inline const std::string kTooManyAxesLine = "Error: images with > 2 dimensions are not supported\n";
inline const std::string kUnequalLine = "Error: images must have the same dimensions\n";
inline const std::string kNoMemoryLine = "Memory allocation error\n";
inline const std::string kTooLargeLine = "Error: image is too large for TIFF\n";
inline const std::string kSameFileLine = "Error: output file must not be one of the input files\n";
inline const std::string kCannotCreateLine = "Error: cannot create the TIFF file\n";

// Whole outputs of the endings, as they stand after the lines before them.
inline const std::string kTooManyAxes = kOpening + kTooManyAxesLine;
inline const std::string kUnequal = kOpening + kUnequalLine;
inline const std::string kNoMemoryForRows = kOpening + kNoMemoryLine;
inline const std::string kTooLarge = kOpening + kTooLargeLine;
inline const std::string kSameFile = kOpening + kSameFileLine;
// The output found to be an input only once it was opened (a link planted after the name check).
inline const std::string kSameFileWhenOpened = kSuccessOutput + kSameFileLine;
inline const std::string kCannotCreate = kSuccessOutput + kCannotCreateLine;
inline const std::string kNoMemoryForOutput = kSuccessOutput + kNoMemoryLine;

// Exit statuses as the shell sees them: -1 shows as 255.
constexpr int kMinusOne = 255;
constexpr int kNoMemoryStatus = 1;

// CFITSIO's statuses that the tests name.
constexpr int kFileNotOpened = 104;
constexpr int kKeywordNotFound = 202;
constexpr int kBadNaxis = 212;

}  // namespace chromaloom::testing
