// Feeds arbitrary bytes as a driver list file through load, list,
// reconcile, rewrite and reload, and traps when a promise of the tool is
// broken:
//  - a refused file is never changed, and nothing is left beside it;
//  - an accepted file, when readers are missing, is rewritten into a file
//    that loads again with exactly the old readers followed by the missing
//    ones, keeps every line outside the three arrays (CRs aside), and the
//    old bytes are kept as the backup.
// Built with libFuzzer under -DHALVO_FUZZ=ON; replay_main.cc runs the same
// checks over the kept inputs in every test run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "driverlist/load.h"
#include "reconcile/reconcile.h"
#include "test_files.h"

namespace {

std::string Folder, Path, Backup;
// The working table, as the command-line driver holds it.
ReaderEntry Table[READER_SLOTS];

// At exit: a run leaves no folder behind.
void RemoveTheFolder() { RemoveFolder(Folder); }

#define REQUIRE(condition)                                             \
  do {                                                                 \
    if (!(condition)) {                                                \
      std::fprintf(stderr, "broken promise: %s (%s:%d)\n", #condition, \
                   __FILE__, __LINE__);                                \
      std::abort();                                                    \
    }                                                                  \
  } while (0)

void SetUp() {
  if (!Folder.empty()) return;
  // A memory file system where there is one: fsync there costs nothing.
  char shm[] = "/dev/shm/halvo-fuzz-XXXXXX";
  char tmp[] = "/tmp/halvo-fuzz-XXXXXX";
  char* dir = mkdtemp(shm);
  if (dir == nullptr) dir = mkdtemp(tmp);
  REQUIRE(dir != nullptr);
  Folder = dir;
  Path = Folder + "/Info.plist";
  Backup = Path + ".backup";
  REQUIRE(std::atexit(RemoveTheFolder) == 0);
  // The tool speaks on standard output; the fuzzer needs none of it.
  REQUIRE(std::freopen("/dev/null", "w", stdout) != nullptr);
}

void Reset(const uint8_t* data, size_t size) {
  REQUIRE(EmptyFolder(Folder));
  REQUIRE(
      WriteFile(Path, std::string(reinterpret_cast<const char*>(data), size)));
}

// The lines a rewrite keeps as they were: all but those after a key line up
// to its "<array>", and those inside an array. CRs dropped.
std::vector<std::string> KeptLines(const std::string& text) {
  std::vector<std::string> kept;
  enum { OUTSIDE, BEFORE_ARRAY, INSIDE } state = OUTSIDE;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::erase(line, '\r');
    start = end + 1;
    bool key = line.find(PLIST_VID_Marker) != std::string::npos ||
               line.find(PLIST_PID_Marker) != std::string::npos ||
               line.find(PLIST_Name_Marker) != std::string::npos;
    if (key) {
      state = BEFORE_ARRAY;
    } else if (state == BEFORE_ARRAY &&
               line.find(PLIST_Array_Marker) != std::string::npos) {
      state = INSIDE;
    } else if (state == INSIDE &&
               line.find(PLIST_EOArray_Marker) != std::string::npos) {
      state = OUTSIDE;
    } else if (state != OUTSIDE) {
      continue;
    }
    kept.push_back(line);
  }
  return kept;
}

bool SameReader(const ReaderEntry& a, const ReaderEntry& b) {
  return a.PID == b.PID && a.VID == b.VID && std::strcmp(a.Name, b.Name) == 0;
}

void CheckRewrite(const std::string& old, const ReaderEntry* loaded, size_t n,
                  int appended) {
  static ReaderEntry reloaded[READER_SLOTS];
  ResetReaderTable(reloaded, READER_SLOTS);
  REQUIRE(FillExistingReaders(Path.c_str(), reloaded) == 0);
  REQUIRE(CountReaders(reloaded, READER_SLOTS) == n + appended);
  for (size_t i = 0; i < n; i++) REQUIRE(SameReader(reloaded[i], loaded[i]));
  for (size_t i = n; i < n + appended; i++)
    REQUIRE(SameReader(reloaded[i], Table[i]));
  std::string now = Slurp(Path);
  REQUIRE(now.find('\r') == std::string::npos);
  REQUIRE(!now.empty() && now.back() == '\n');
  REQUIRE(KeptLines(now) == KeptLines(old));
  REQUIRE(Slurp(Backup) == old);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUp();
  Reset(data, size);
  const std::string old(reinterpret_cast<const char*>(data), size);
  ResetReaderTable(Table, READER_SLOTS);
  FileIdentity identity;
  FileHolder lock;
  if (LockAndFillExistingReaders(Path.c_str(), Table, &identity, &lock) != 0) {
    REQUIRE(Slurp(Path) == old);
    REQUIRE(Entries(Folder) == std::vector<std::string>{"Info.plist"});
    return 0;
  }
  size_t n = CountReaders(Table, READER_SLOTS);
  REQUIRE(n <= MAX_READERS && Table[n].VID == END_MARKER);
  ListReaders(Table);
  static ReaderEntry loaded[READER_SLOTS];
  std::memcpy(loaded, Table, sizeof loaded);
  int left_out = 0;
  int appended = UpdateHalvoReaderToExisting(Table, HalvoReaders, &left_out);
  if (left_out > 0) REQUIRE(n + appended > MAX_READERS);
  if (appended == 0 || left_out > 0) return 0;
  REQUIRE(WriteNewPList(Path.c_str(), Backup.c_str(), &identity, Table) == 0);
  CheckRewrite(old, loaded, n, appended);
  return 0;
}
