#pragma once

namespace chromaloom {

// Turns a channel-ratio argument into its double the way atof does in the
// "C" locale, whatever locale the user has: leading white space is skipped,
// the longest decimal prefix is converted, trailing text is ignored, and text
// without a number gives 0.0. No ratio is ever refused.
double parse_channel_ratio(const char* text);

}  // namespace chromaloom
