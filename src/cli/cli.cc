#include "cli/cli.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "reconcile/reconcile.h"

namespace {

constexpr const char* OPTIONS[] = {"-l", "-i", "-c"};  // by run mode
static_assert(MODE_LIST == 0 && MODE_INSTALL == 1 && MODE_CHECK == 2);
constexpr int MAX_ARGUMENTS = 2;
// The driver list file used when no path is given: each platform's own,
// which the build names (CMakeLists.txt).
constexpr char DEFAULT_PATH[] = HALVO_DEFAULT_PATH;

char DriverListPath[PATH_BUFFER_SIZE];
char BackupPath[PATH_BUFFER_SIZE];
// The working table: the readers of the driver list file in file order,
// then those appended by reconciliation, then free entries. About 300 KiB.
ReaderEntry ExistingReaders[READER_SLOTS];

// Returns the mode of `option`, or -1 when it is none of the options.
int ModeOf(const char* option) {
  for (int mode = 0; mode < static_cast<int>(std::size(OPTIONS)); mode++)
    if (std::strcmp(option, OPTIONS[mode]) == 0) return mode;
  return -1;
}

// Decides the mode and fills the two path buffers. Returns the mode, or -1
// after printing why the command line is refused.
int ParseCommandLine(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "halvo-readers";
  int n = argc > 0 ? argc - 1 : 0;
  if (n > MAX_ARGUMENTS) {
    std::printf("Wrong argument count\n");
    PrintUsage(program);
    return -1;
  }
  int RunMode = MODE_INSTALL;
  if (n >= 1 && (RunMode = ModeOf(argv[1])) < 0) {
    std::printf("Unknown option: %s\n", argv[1]);
    PrintUsage(program);
    return -1;
  }
  const char* path = n == MAX_ARGUMENTS ? argv[2] : DEFAULT_PATH;
  size_t length = std::strlen(path);
  if (length > MAX_PATH_LENGTH) {
    std::printf("Path too long: %zu bytes, at most %zu allowed\n", length,
                MAX_PATH_LENGTH);
    PrintUsage(program);
    return -1;
  }
  std::memcpy(DriverListPath, path, length + 1);
  std::memcpy(BackupPath, path, length);
  std::memcpy(BackupPath + length, BACKUP_SUFFIX, sizeof BACKUP_SUFFIX);
  return RunMode;
}

int RunChosenMode(int RunMode, const FileIdentity& loaded) {
  switch (RunMode) {
    case MODE_LIST:
      return ListReaders(ExistingReaders);
    case MODE_CHECK:
      return CheckInstallation(ExistingReaders);
    default:
      return InstallReaders(ExistingReaders, DriverListPath, BackupPath,
                            &loaded);
  }
}

}  // namespace

void PrintUsage(const char* program) {
  std::printf(
      "%s -[lic] \n\tOption -i for install\n\tOption -l for list all "
      "readers\n\tOption -c for check installation\n",
      program);
}

int ListReaders(const ReaderEntry* table) {
  std::printf("   PID -    VID - Name\n");
  size_t n = CountReaders(table, READER_SLOTS);
  for (size_t i = 0; i < n; i++)
    std::printf("%#06x - %#06x - %s\n", table[i].PID, table[i].VID,
                table[i].Name);
  return STATUS_OK;
}

int CheckInstallation(ReaderEntry* table) {
  std::printf("Checking\n");
  if (UpdateHalvoReaderToExisting(table, HalvoReaders, nullptr) > 0)
    return STATUS_MISSING;
  std::printf("Plist file already contains all Halvo readers.\n");
  return STATUS_OK;
}

int InstallReaders(ReaderEntry* table, const char* path,
                   const char* backup_path, const FileIdentity* loaded) {
  std::printf("Installing\n");
  size_t held = CountReaders(table, READER_SLOTS);
  int left_out = 0;
  int missing = UpdateHalvoReaderToExisting(table, HalvoReaders, &left_out);
  if (missing == 0) {
    std::printf(
        "Plist file already contains all Halvo readers. Nothing to do.\n");
    return STATUS_OK;
  }
  if (left_out > 0) {
    std::printf(
        "The driver list holds %zu readers and this tool at most %zu: "
        "%d of the missing readers cannot be added; nothing was "
        "written.\n",
        held, MAX_READERS, left_out);
    return STATUS_FAILED;
  }
  // The file is about to change: say so before any slow disk work.
  std::fflush(stdout);
  if (WriteNewPList(path, backup_path, loaded, table) != 0) {
    std::printf("WriteNewPList returned an error.\n");
    return STATUS_FAILED;
  }
  return STATUS_OK;
}

int RunHalvoReaders(int argc, char** argv) {
  // A write past the file-size limit must fail with EFBIG, reported and
  // cleaned up like any other, not kill the tool half-way through.
  if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
    PosixError("Could not ignore", "SIGXFSZ");
  int RunMode = ParseCommandLine(argc, argv);
  int status = STATUS_USAGE;
  if (RunMode >= 0) {
    ResetReaderTable(ExistingReaders, READER_SLOTS);
    FileIdentity loaded;
    // Installs on one file take turns: the lock is held from before the
    // load until the new file is in place. Listing and checking need none,
    // since the rename shows them the old file or the new one whole.
    FileHolder lock;
    int loaded_status =
        RunMode == MODE_INSTALL
            ? LockAndFillExistingReaders(DriverListPath, ExistingReaders,
                                         &loaded, &lock)
            : FillExistingReaders(DriverListPath, ExistingReaders);
    if (loaded_status != 0) {
      std::printf("FillExistingReaders returned an error.\n");
      status = STATUS_FAILED;
    } else {
      status = RunChosenMode(RunMode, loaded);
    }
  }
  if (std::fflush(stdout) != 0 && status == STATUS_OK) status = STATUS_FAILED;
  return status;
}
