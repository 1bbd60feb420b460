// Driver list file: the CCID driver's property list, handled as lines of
// text with fixed marker texts, never parsed as XML.
//
// The form the tool relies on, and the loader enforces:
//  - lines end in LF; a CR anywhere in a line is dropped on reading;
//  - no line holds more than MAX_LINE_LENGTH bytes (CRs aside) or a NUL;
//  - each of the three keys, PLIST_VID_Marker, PLIST_PID_Marker and
//    PLIST_Name_Marker, stands exactly once in the file and in that order;
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

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "readers/readers.h"

inline constexpr char PLIST_VID_Marker[] = "<key>ifdVendorID</key>";
inline constexpr char PLIST_PID_Marker[] = "<key>ifdProductID</key>";
inline constexpr char PLIST_Name_Marker[] = "<key>ifdFriendlyName</key>";
inline constexpr char PLIST_Array_Marker[] = "<array>";
inline constexpr char PLIST_EOArray_Marker[] = "</array>";
inline constexpr char PLIST_String_Marker[] = "<string>";
inline constexpr char PLIST_EOString_Marker[] = "</string>";

// Room for a path and its terminating zero (realpath() fills PATH_MAX).
constexpr size_t PATH_BUFFER_SIZE = 4096;
// The backup of a driver list file is its path followed by this.
inline constexpr char BACKUP_SUFFIX[] = ".backup";

// The longest line the tool takes, CRs aside; the line buffer holds it and
// its terminating zero.
constexpr size_t LINE_BUFFER_SIZE = 16384;
constexpr size_t MAX_LINE_LENGTH = LINE_BUFFER_SIZE - 1;
// An element value buffer; a value holds at most MAX_VALUE_LENGTH bytes,
// which is also the room in ReaderEntry::Name.
constexpr size_t VALUE_BUFFER_SIZE = NAME_SIZE;
constexpr size_t MAX_VALUE_LENGTH = VALUE_BUFFER_SIZE - 1;
// How much of the file is read in one go: lines are handed out in place,
// so the block is the line buffer, and holds several of the longest lines.
constexpr size_t READ_BLOCK_SIZE = 131072;
static_assert(READ_BLOCK_SIZE >= 2 * LINE_BUFFER_SIZE);
// The array steps, in file order: vendor IDs, product IDs, names.
constexpr int STEP_VIDS = 1;
constexpr int STEP_PIDS = 2;
constexpr int STEP_NAMES = 3;

// Which marker texts a line holds, as bits: LineMarks() finds them all in
// one pass over the line's '<' characters.
constexpr unsigned MARK_KEY_VID = 1u << 0;      // PLIST_VID_Marker
constexpr unsigned MARK_KEY_PID = 1u << 1;      // PLIST_PID_Marker
constexpr unsigned MARK_KEY_NAME = 1u << 2;     // PLIST_Name_Marker
constexpr unsigned MARK_KEYS = MARK_KEY_VID | MARK_KEY_PID | MARK_KEY_NAME;
constexpr unsigned MARK_ARRAY_OPEN = 1u << 3;   // "<array>"
constexpr unsigned MARK_ARRAY_CLOSE = 1u << 4;  // "</array>"
// Any other array tag: "<array/>", "<array />", "</array >".
constexpr unsigned MARK_ARRAY_OTHER = 1u << 5;

// Owns a FILE* so that every path closes it. The write path closes it
// itself with Close(), which reports the result.
struct FileHolder {
  FILE* file = nullptr;
  FileHolder() = default;
  explicit FileHolder(FILE* f) : file(f) {}
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  ~FileHolder() {
    if (file != nullptr) std::fclose(file);
  }
  // Closes the file; returns 0, or -1 with errno set when fclose failed.
  int Close();
};

// A file read line by line through a block buffer of its own. About
// 128 KiB: give it static storage.
struct LineSource {
  FILE* file = nullptr;
  const char* path = "";     // named in messages
  long line_number = 0;      // of the line last returned
  bool failed = false;       // a read failed or a line was refused
  bool at_end = false;       // the file has no more bytes to read
  size_t pos = 0, len = 0;   // unread part of `block`
  char block[READ_BLOCK_SIZE + 1];  // + the zero after a last line
};

// Which file was loaded: fstat of the open file while it was read.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
};

// Makes `in` read `file`, which must not have been read yet, naming `path`
// in its messages. Never fails.
void StartLineSource(LineSource* in, FILE* file, const char* path);

// Prints "PATH, line N: REASON" for the line of `in` last read and marks
// `in` failed. Returns -1.
int RefuseLine(LineSource* in, const char* reason);

// Reads the next line of `in`, without its LF and with every CR dropped,
// zero-terminated, in place inside in->block: it stays valid until the next
// call. Returns the line with its length in *length, or nullptr at the end
// of the file. Also returns nullptr, with in->failed set and a message
// naming the file and line printed, when reading fails, the line holds more
// than MAX_LINE_LENGTH bytes (it is never cut) or holds a NUL byte.
char* fgetsL(LineSource* in, size_t* length);

// Consumes the run of whole lines at the read position of `in` that can
// hold nothing the tool looks for: no CR, no NUL, no '<' that may start a
// key marker or an array tag, none longer than MAX_LINE_LENGTH. Returns the
// run in place, LFs included, with its length in *length; *length is 0 when
// the next line needs fgetsL. Never reads the file and never fails: it only
// spares the line-by-line work for long stretches of other text.
const char* fSkipPlain(LineSource* in, size_t* length);

// Returns the MARK_ bits of the marker texts `line` contains.
unsigned LineMarks(const char* line);

// Writes `text` (nullptr counts as empty) followed by one LF. Returns 0, or
// -1 with errno set when the stream reports a write error.
int fputsL(const char* text, FILE* file);

// Judges a line met while skipping, by its marks: returns why it is
// refused, or nullptr to go on. `step` is the array being looked for.
using LineCheck = const char* (*)(unsigned marks, int step);

// Consumes lines of `in` up to and including the first one whose marks
// include `mark`, and returns that line (in place, as fgetsL). Each line is
// first shown to `refuse`. Returns nullptr at the end of the file, when
// reading failed, or when `refuse` refused a line (then "PATH, line N:
// REASON" is printed); in->failed tells these from the end of the file, for
// which fSkipTo prints nothing.
char* fSkipTo(unsigned mark, LineSource* in, LineCheck refuse, int step);

// Reads the array of `step` (STEP_VIDS, STEP_PIDS, STEP_NAMES) from `in`
// into `table`, from its key line through its "</array>" line. Returns 0
// with the number of elements in *count; -1 with a message when the step is
// not one of the three or the array is outside the form above. Entries it
// read before a failure stay in `table`.
int ReadPListArray(int step, LineSource* in, ReaderEntry* table,
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
int FillExistingReaders(const char* path,
                        ReaderEntry* table = ExistingReaders,
                        FileIdentity* loaded = nullptr,
                        FileHolder* lock = nullptr);

// Copies the lines of `old` to `out`, generating the elements of the three
// arrays afresh from `table` (walked up to its first VID of END_MARKER):
// two tabs, "<string>", the ID as "%#06x" or the name as stored,
// "</string>". Lines inside an array, and between a key line and its
// "<array>" line, are dropped; every other line is copied with a single LF.
// Returns 0, or -1 with a message naming `out_path` when a write fails or
// naming old->path when reading fails.
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
                  const FileIdentity* loaded,
                  const ReaderEntry* table = ExistingReaders);

#endif  // HALVO_DRIVERLIST_DRIVERLIST_H_
