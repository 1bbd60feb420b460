// The unit tests' helpers: the file helpers, and standard output captured.
#ifndef HALVO_TESTS_TEST_UTIL_H_
#define HALVO_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_files.h"

inline void StartCapture() { testing::internal::CaptureStdout(); }
inline std::string EndCapture() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

#endif  // HALVO_TESTS_TEST_UTIL_H_
