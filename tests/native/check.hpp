// A minimal native test harness: CHECK records failures, finish() prints the summary line.
#pragma once

#include <cstdio>

namespace tavik_test {
inline int passed = 0;
inline int failed = 0;

inline void record(bool ok, const char* expr, const char* file, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, expr);
  }
}

inline int finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
}  // namespace tavik_test

#define CHECK(expr) ::tavik_test::record(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
