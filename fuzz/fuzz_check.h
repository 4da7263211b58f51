#pragma once

#include <cstdio>
#include <cstdlib>

// A fuzz target's verdict: a mismatch is a finding, so it aborts (libFuzzer saves the input).
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
