// The install's safety nets, driven directly: a file that changes after it
// was loaded, and a rewrite that would not load back as the table.
#include "driverlist/replace.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "driverlist/load.h"
#include "test_util.h"

namespace {

const char* const SMALL =
    "<plist>\n<dict>\n<key>ifdVendorID</key>\n<array>\n<string>1</string>\n"
    "</array>\n<key>ifdProductID</key>\n<array>\n<string>2</string>\n"
    "</array>\n<key>ifdFriendlyName</key>\n<array>\n<string>N</string>\n"
    "</array>\n</dict>\n</plist>\n";

// SMALL with a NUL in its last line: the same size, refused by the loader.
const std::string NUL_AFTER_THE_ARRAYS = std::string(SMALL).replace(
    std::string(SMALL).rfind("plist"), 1, std::string(1, '\0'));

void Overwrite(const std::string& path, const std::string& content) {
  ASSERT_TRUE(WriteFile(path, content));
}

// Overwrites the driver list at `path` with one that does not load, then
// sets its times back, the modification time `later` seconds on (0: as it
// was): what a careful hand edit leaves.
void EditKeepingTimes(const std::string& path, time_t later) {
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  Overwrite(path, NUL_AFTER_THE_ARRAYS);
  const timespec times[] = {
      st.st_atim, later ? timespec{st.st_mtim.tv_sec + later, 0} : st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Puts another file of `content` in place at `path`, as editors do.
void Replace(const std::string& path, const std::string& content) {
  Overwrite(path + ".new", content);
  ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
}

// What a row does to the file just after the install links its backup.
std::function<void()> AfterLink;

}  // namespace

// Every linkat of the install comes here first, in this test alone.
extern "C" int linkat(int from_dir, const char* from, int to_dir,
                      const char* to, int flags) {
  using LinkAt = int (*)(int, const char*, int, const char*, int);
  static auto real = reinterpret_cast<LinkAt>(dlsym(RTLD_NEXT, "linkat"));
  int result = real(from_dir, from, to_dir, to, flags);
  if (AfterLink) std::exchange(AfterLink, nullptr)();
  return result;
}

namespace {

struct SafetyCase {
  const char* name;
  // Changes the file after it was loaded, or the table before the rewrite.
  std::function<void(const std::string& path, ReaderEntry* table)> meddle;
  std::string expected_content;  // of the driver list file afterwards
  std::string output;            // "{temp}" stands for any temporary name
};
void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.name; }

std::vector<SafetyCase> Cases() {
  const std::string edited = std::string(SMALL) + "<!-- edited -->\n";
  return {
      {"ChangedInPlace",
       [=](const std::string& p, ReaderEntry*) { Overwrite(p, edited); },
       edited, "{path} changed since it was loaded; it was left as it is.\n"},
      {"ReplacedByAnotherFile",
       [](const std::string& p, ReaderEntry*) { Replace(p, SMALL); }, SMALL,
       "{path} changed since it was loaded; it was left as it is.\n"},
      {"ReplacedByAFileThatDoesNotLoad",
       [](const std::string& p, ReaderEntry*) {
         Replace(p, NUL_AFTER_THE_ARRAYS);
       },
       NUL_AFTER_THE_ARRAYS,
       "{path} changed since it was loaded; it was left as it is.\n"},
      {"ChangedOnceTheBackupIsLinked",
       [=](const std::string& p, ReaderEntry*) {
         AfterLink = [=] { Overwrite(p, edited); };
       },
       edited, "{path} changed since it was loaded; it was left as it is.\n"},
      {"EditedInPlaceWithSizeAndTimesPutBack",
       [](const std::string& p, ReaderEntry*) { EditKeepingTimes(p, 0); },
       NUL_AFTER_THE_ARRAYS, "{path}, line 16: line holds a NUL byte.\n"},
      {"EditedInPlaceToTheSameSize",
       [](const std::string& p, ReaderEntry*) { EditKeepingTimes(p, 1); },
       NUL_AFTER_THE_ARRAYS,
       "{path} changed since it was loaded; it was left as it is.\n"},
      {"RemovedOnceTheBackupIsLinked",
       [](const std::string& p, ReaderEntry*) {
         AfterLink = [=] { unlink(p.c_str()); };
       },
       "<missing>", "Could not look at {path}: No such file or directory\n"},
      {"Removed", [](const std::string& p, ReaderEntry*) { unlink(p.c_str()); },
       "<missing>", "Could not look at {path}: No such file or directory\n"},
      {"NameThatDoesNotLoadBack",
       [](const std::string&, ReaderEntry* t) {
         std::strcpy(t[1].Name, "A</string>B");
       },
       SMALL,
       "{temp}: the rewritten file does not hold the expected readers.\n"},
  };
}

class WriteNewPListTest : public testing::TestWithParam<SafetyCase> {};

TEST_P(WriteNewPListTest, LeavesTheFileAsItWas) {
  const SafetyCase& c = GetParam();
  DriverListFolder file(SMALL);
  const std::string& path = file.path();
  static ReaderEntry table[READER_SLOTS];
  ResetReaderTable(table, READER_SLOTS);
  FileIdentity loaded;
  FileHolder lock;
  ASSERT_EQ(LockAndFillExistingReaders(path.c_str(), table, &loaded, &lock), 0);
  table[1] = HalvoReaders[0];  // one reader appended, as reconciliation does
  c.meddle(path, table);
  StartCapture();
  int result =
      WriteNewPList(path.c_str(), (path + ".backup").c_str(), &loaded, table);
  std::string printed = EndCapture();
  EXPECT_EQ(result, -1);
  std::string pattern = WithPath(c.output, path);
  size_t at = pattern.find("{temp}");
  if (at != std::string::npos) {
    ASSERT_GT(printed.size(), path.size() + 7);
    EXPECT_EQ(printed.substr(0, path.size() + 1), path + ".");
    pattern.replace(at, 6, printed.substr(0, path.size() + 7));
  }
  EXPECT_EQ(printed, pattern);
  EXPECT_EQ(Slurp(path), c.expected_content);
  std::string folder = path.substr(0, path.rfind('/'));
  std::vector<std::string> expected_entries;
  if (c.expected_content != "<missing>") expected_entries = {"Info.plist"};
  EXPECT_EQ(Entries(folder), expected_entries);
}

INSTANTIATE_TEST_SUITE_P(Safety, WriteNewPListTest, testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
