// Helpers on real temporary files for the unit tests and the fuzz target:
// nothing here needs GoogleTest.
#ifndef HALVO_TESTS_TEST_FILES_H_
#define HALVO_TESTS_TEST_FILES_H_

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driverlist/lines.h"

// The names in `folder` that do not begin with a dot, in the folder's own
// order; none when it cannot be read.
inline std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  return names;
}

// Removes the files Entries() lists in `folder`; false when one stays.
inline bool EmptyFolder(const std::string& folder) {
  bool all = true;
  for (const std::string& name : Entries(folder))
    all = unlink((folder + "/" + name).c_str()) == 0 && all;
  return all;
}

inline void RemoveFolder(const std::string& folder) {
  EmptyFolder(folder);
  rmdir(folder.c_str());
}

// Writes `content` as the whole file at `path`; false when that failed.
inline bool WriteFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool written =
      std::fwrite(content.data(), 1, content.size(), f) == content.size();
  return std::fclose(f) == 0 && written;
}

// A fresh temporary folder holding one driver list file, Info.plist, with
// `content`; removed with the folder.
class DriverListFolder {
 public:
  explicit DriverListFolder(const std::string& content) {
    char dir[] = "/tmp/halvo-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
    path_ = dir_ + "/Info.plist";
    if (!WriteFile(path_, content)) std::abort();
  }
  ~DriverListFolder() { RemoveFolder(dir_); }
  DriverListFolder(const DriverListFolder&) = delete;
  DriverListFolder& operator=(const DriverListFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

// The whole content of the file at `path`, or "<missing>" when it cannot
// be opened.
inline std::string Slurp(const std::string& path) {
  std::string s;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  char block[4096];
  for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;)
    s.append(block, n);
  std::fclose(f);
  return s;
}

// A line source over a temporary file holding `content`. The source is
// about 128 KiB, so one in static storage serves every test in turn. `in`
// is nullptr when the file could not be opened: assert it first.
struct SourceFile {
  DriverListFolder file;
  LineSource* in = nullptr;
  explicit SourceFile(const std::string& content) : file(content) {
    static LineSource source;
    FILE* f = std::fopen(file.path().c_str(), "r");
    if (f == nullptr) return;
    StartLineSource(&source, f, file.path().c_str());
    in = &source;
  }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile() {
    if (in != nullptr) std::fclose(in->file);
  }
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

#endif  // HALVO_TESTS_TEST_FILES_H_
