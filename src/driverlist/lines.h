// The line layer under the driver list: a file read line by line through a
// block buffer, the markers each line holds (the words are format.h's), and
// the skip to a marked line.
//
// Lines end in LF; a CR anywhere in a line is dropped on reading; no line
// holds more than MAX_LINE_LENGTH bytes (CRs aside) or a NUL: such a line is
// refused, never cut. Every function prints its own message where it fails,
// on standard output, and returns -1 (or nullptr).
#ifndef HALVO_DRIVERLIST_LINES_H_
#define HALVO_DRIVERLIST_LINES_H_

#include <cstddef>
#include <cstdio>

#include "driverlist/format.h"

// How much of the file is read in one go: lines are handed out in place,
// so the block is the line buffer, and holds several of the longest lines.
constexpr size_t READ_BLOCK_SIZE = 131072;
static_assert(READ_BLOCK_SIZE >= 2 * LINE_BUFFER_SIZE);
// Room for one reason a line is refused: two markers and some words.
constexpr size_t REASON_SIZE = 160;

// A file read line by line through a block buffer of its own. About
// 128 KiB: give it static storage.
struct LineSource {
  FILE* file = nullptr;
  const char* path = "";            // named in messages
  long line_number = 0;             // of the line last returned
  bool failed = false;              // a read failed or a line was refused
  bool at_end = false;              // the file has no more bytes to read
  size_t pos = 0, len = 0;          // unread part of `block`
  char block[READ_BLOCK_SIZE + 1];  // + the zero after a last line
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

// Judges a line met while looking for `array`, by its marks: returns false
// to go on, or true with why the line is refused written to `reason`
// (REASON_SIZE bytes).
using LineCheck = bool (*)(unsigned marks, ReaderArray array, char* reason);

// Consumes lines of `in` up to and including the first one whose marks
// include `mark`, and returns that line (in place, as fgetsL). Each line is
// first shown to `refuse`. Returns nullptr at the end of the file, when
// reading failed, or when `refuse` refused a line (then "PATH, line N:
// REASON" is printed); in->failed tells these from the end of the file, for
// which fSkipTo prints nothing.
char* fSkipTo(unsigned mark, LineSource* in, LineCheck refuse,
              ReaderArray array);

#endif  // HALVO_DRIVERLIST_LINES_H_
