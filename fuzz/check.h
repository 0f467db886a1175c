// Property checks of the fuzz targets: a violated property prints what failed
// and traps, so libFuzzer keeps the input as a crash artifact.
#pragma once

#include <cstdio>

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "property violated: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)
