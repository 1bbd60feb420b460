// Helpers for the unit tests: real temporary files, captured output.
#ifndef HALVO_TESTS_TEST_UTIL_H_
#define HALVO_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// A file in a fresh temporary folder, removed with the folder.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char dir[] = "/tmp/halvo-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
    path_ = dir_ + "/Info.plist";
    FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr ||
        std::fwrite(content.data(), 1, content.size(), f) != content.size() ||
        std::fclose(f) != 0)
      std::abort();
  }
  ~TempFile() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

// Replaces every "{path}" in `text` by `path`.
inline std::string WithPath(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("{path}")) != std::string::npos;)
    text.replace(at, 6, path);
  return text;
}

// A reader as the tests compare them: IDs and name.
struct Reader {
  int pid, vid;
  std::string name;
  bool operator==(const Reader&) const = default;
};

inline void StartCapture() { testing::internal::CaptureStdout(); }
inline std::string EndCapture() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

#endif  // HALVO_TESTS_TEST_UTIL_H_
