// Runs the fuzz target's checks over kept inputs, without libFuzzer: each
// argument is a file or a folder of files. Exits 0 when every input passed
// (a broken promise aborts), 1 when an argument cannot be read.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int ReplayFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::vector<uint8_t> data;
  int c;
  while ((c = std::getc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return -1;
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::string> files;
    struct stat st;
    if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
      DIR* d = opendir(argv[i]);
      if (d == nullptr) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      for (dirent* e; (e = readdir(d)) != nullptr;)
        if (e->d_name[0] != '.')
          files.push_back(std::string(argv[i]) + "/" + e->d_name);
      closedir(d);
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string& file : files) {
      if (ReplayFile(file) != 0) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      replayed++;
    }
  }
  std::fprintf(stderr, "%d inputs replayed, every promise kept\n", replayed);
  return 0;
}
