#pragma once

#include <cstdio>
#include <cstdlib>

/// An invariant of the service: when it breaks, the fuzzer stops and keeps the input.
#define FUZZ_CHECK(condition, what)                                                               \
  do {                                                                                            \
    if (!(condition)) {                                                                           \
      std::fprintf(stderr, "invariant broken: %s\n  (%s) at %s:%d\n", what, #condition, __FILE__, \
                   __LINE__);                                                                     \
      std::abort();                                                                               \
    }                                                                                             \
  } while (0)
