// Command-line driver: reads the command line, chooses the mode and the
// driver list file, loads the working table, runs the mode and yields the
// exit status. Everything is printed on standard output.
#ifndef HALVO_CLI_CLI_H_
#define HALVO_CLI_CLI_H_

#include <cstddef>

#include "driverlist/load.h"
#include "driverlist/replace.h"
#include "driverlist/temp.h"

// The run modes; a run without arguments installs.
enum RunModes { MODE_LIST = 0, MODE_INSTALL = 1, MODE_CHECK = 2 };

// Exit statuses.
constexpr int STATUS_OK = 0;
constexpr int STATUS_USAGE = 1;
constexpr int STATUS_MISSING = 1;  // a check found readers missing
constexpr int STATUS_FAILED = -1;  // seen by the shell as 255

// A path given on the command line leaves room in PATH_BUFFER_SIZE for
// BACKUP_SUFFIX and the terminating zero. Longer paths are refused.
constexpr size_t MAX_PATH_LENGTH = PATH_BUFFER_SIZE - sizeof BACKUP_SUFFIX;

// Prints `program` as given, then the option summary: four lines.
void PrintUsage(const char* program);

// The modes work on `table`, the working table (READER_SLOTS entries)
// loaded from the driver list file, and on the built-in HalvoReaders.

// Prints the header line and one "%#06x - %#06x - %s" line per reader of
// `table`. Returns STATUS_OK.
int ListReaders(const ReaderEntry* table);

// Prints "Checking" and the reconciliation lines, every one of them even
// when the table has no room left for the missing readers. Returns
// STATUS_MISSING when readers are missing; STATUS_OK, after saying so, when
// none is. Writes no file; the missing readers are appended to `table`.
int CheckInstallation(ReaderEntry* table);

// Prints "Installing" and the reconciliation lines; when readers are
// missing, appends them to `table` and rewrites the driver list file at
// `path` from it (keeping the old one at `backup_path`), the file described
// by `loaded`. Returns STATUS_OK when nothing was missing or the new file
// is in place. Returns STATUS_FAILED,
// having written nothing, when the missing readers would take the table
// past MAX_READERS (the message gives the file's count and how many would
// not fit); and with the failing function's line when the rewrite failed.
int InstallReaders(ReaderEntry* table, const char* path,
                   const char* backup_path, const FileIdentity* loaded);

// The whole run: checks the arguments (count, option, path length) before
// touching any file, resets and loads the working table, ExistingReaders,
// which lives here in static storage, and runs the mode.
// Returns the exit status; when standard output cannot be flushed, a run
// that would have succeeded returns STATUS_FAILED instead.
int RunHalvoReaders(int argc, char** argv);

#endif  // HALVO_CLI_CLI_H_
