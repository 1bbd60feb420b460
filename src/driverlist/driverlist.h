// Driver list file: the CCID driver's property list, handled as lines of
// text with fixed marker texts, never parsed as XML.
//
// The form the tool relies on, and the loader enforces:
//  - lines end in LF; a CR anywhere in a line is dropped on reading;
//  - no line holds more than MAX_LINE_LENGTH bytes (CRs aside) or a NUL;
//  - each of the three keys (READER_ARRAYS, lines.h) stands exactly once
//    in the file and in that order;
//    after each key line, and before any other array tag, comes a line that
//    holds "<array>" and nothing else but white space; then element lines;
//    then a line that holds "</array>" and nothing else but white space;
//  - an element line holds "<string>" and, after it, "</string>"; the value
//    is the exact text between them (no entity decoded, nothing trimmed) and
//    only the first pair on a line counts; a line inside an array without
//    such a pair is ignored (the rewriter drops it);
//  - vendor and product IDs are hexadecimal numbers from 0 to 0xfffe, read
//    as "%x" reads them (white space, sign and 0x or 0X prefix allowed);
//  - the three arrays are parallel and of equal length, at most MAX_READERS.
// A file outside this form is refused with a message naming the file, the
// line where one applies, and the problem; nothing is then written.
//
// Every function prints its own message where it fails, on standard output,
// and returns -1; callers add one line naming the function that failed.
#ifndef HALVO_DRIVERLIST_DRIVERLIST_H_
#define HALVO_DRIVERLIST_DRIVERLIST_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "driverlist/lines.h"
#include "readers/readers.h"

// Room for a path and its terminating zero (realpath() fills PATH_MAX).
constexpr size_t PATH_BUFFER_SIZE = 4096;
// The backup of a driver list file is its path followed by this.
inline constexpr char BACKUP_SUFFIX[] = ".backup";

// An element value buffer; a value holds at most MAX_VALUE_LENGTH bytes,
// which is also the room in ReaderEntry::Name.
constexpr size_t VALUE_BUFFER_SIZE = NAME_SIZE;
constexpr size_t MAX_VALUE_LENGTH = VALUE_BUFFER_SIZE - 1;

// Which file was loaded: the file's device and inode, and its size and
// modification time as they were while it was read. The functions below
// are the one place that says whether a path still names that file.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
};

// The identity of the file `st` describes. Never fails.
FileIdentity IdentityOf(const struct stat& st);

// True when `a` and `b` are one file (device and inode), and with
// `unchanged` also of the same size and modification time.
bool SameFile(const FileIdentity& a, const FileIdentity& b, bool unchanged);

// Looks at what `path` names now, following a symbolic link. Returns 0 with
// its identity in *id, or -1 with errno set; prints nothing.
int IdentityAtPath(const char* path, FileIdentity* id);

// True when `path` names the open file `fd` (device and inode): false when
// it names another file, none, or either cannot be looked at.
bool StillAtPath(int fd, const char* path);

// Reads `array` from `in` into `table`, from its key line through its
// "</array>" line. Returns 0 with the number of elements in *count; -1 with
// a message when the array is outside the form above. Entries it read
// before a failure stay in `table`.
int ReadPListArray(ReaderArray array, LineSource* in, ReaderEntry* table,
                   size_t* count);

// How long an install waits for another one on the same file to finish,
// and how often it looks whether it has.
constexpr long LOCK_WAIT_SECONDS = 10;
constexpr long LOCK_POLL_MILLISECONDS = 10;

// Opens the driver list file at `path` for reading and takes an exclusive
// flock on it, waiting up to LOCK_WAIT_SECONDS for an install that holds
// it; when the path names another file once the lock is won (that install
// renamed its new file into place), it starts again on that one. Returns 0
// with the open, locked file in *out: the lock lasts until it is closed.
// Returns -1 with a message when the file cannot be opened ("File could
// not be opened PATH") or locked, or the wait ran out. Creates no file.
int OpenLocked(const char* path, FileHolder* out);

// Opens the driver list file at `path` and loads its three arrays into
// `table` (READER_SLOTS entries, reset by the caller), then reads on to the
// end of the file to make sure no reader key stands again. Returns 0 when
// the whole file is within the form; *loaded, when given, then tells which
// file was read. Returns -1 with its messages when the file cannot be
// opened or read or is outside the form. With `lock`, the file is opened
// by OpenLocked and on success stays open, and locked, in *lock.
int FillExistingReaders(const char* path, ReaderEntry* table,
                        FileIdentity* loaded = nullptr,
                        FileHolder* lock = nullptr);

// Copies the lines of `old` to `out`, generating the elements of the three
// arrays afresh from the readers of `table` (CountReaders): two tabs,
// "<string>", the ID as "%#06x" or the name as stored, "</string>". Lines
// inside an array, and between a key line and its "<array>" line, are
// dropped; every other line is copied with a single LF. Returns 0, or -1
// with a message naming `out_path` when a write fails or naming old->path
// when reading fails.
int RewritePListLines(LineSource* old, FILE* out, const char* out_path,
                      const ReaderEntry* table);

// Rewrites the driver list file at `path` from `table`, keeping the old
// file at `backup_path`. `loaded` names the file `table` was loaded from:
// if `path` no longer is that file, nothing is written. A symbolic link at
// `path` is followed: its target is rewritten in its own folder and kept
// at the target's path followed by ".backup"; the link stays as it is.
//
// The new file is written to a temporary file beside the target, flushed
// to disk, given the old file's mode, owner and group, and loaded again to
// check that it holds exactly the readers of `table`. Only then is the old
// file kept beside the backup path under a temporary name (a hard link, or
// a flushed copy where links are refused), the new file moved into place by
// one rename, and the kept file renamed over any earlier backup. So the
// target path always holds the complete old or the complete new file, and
// an earlier backup is replaced only once the new file is in place.
//
// Returns 0 when the new file is in place and the old one is the backup.
// Returns -1 with a message naming the step, the file and the system's
// reason on any failure; the target and an earlier backup are then
// unchanged and no temporary file is left. The one exception is a failure
// of the last rename: the new file is then in place, and the message also
// says where the old one is kept.
int WriteNewPList(const char* path, const char* backup_path,
                  const FileIdentity* loaded, const ReaderEntry* table);

#endif  // HALVO_DRIVERLIST_DRIVERLIST_H_
