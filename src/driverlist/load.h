// Loading the three reader arrays of a driver list file: the CCID driver's
// property list, read as lines of text with fixed marker texts, never
// parsed as XML. The form the loader enforces is the man page's FILE
// FORMAT: each key once and in the order of READER_ARRAYS (lines.h), its
// "<array>" and "</array>" on lines of their own, one element per line,
// IDs from 0 to 0xfffe, three arrays of equal length and at most
// MAX_READERS. A file outside it is refused with a message naming the
// file, the line where one applies, and the problem; nothing is then
// written.
//
// Every function prints its own message where it fails, on standard output,
// and returns -1; callers add one line naming the function that failed.
#ifndef HALVO_DRIVERLIST_LOAD_H_
#define HALVO_DRIVERLIST_LOAD_H_

#include <cstddef>
#include <cstdio>

#include "driverlist/files.h"
#include "driverlist/identity.h"
#include "driverlist/lines.h"
#include "readers/readers.h"

// An element value buffer; a value holds at most MAX_VALUE_LENGTH bytes,
// which is also the room in ReaderEntry::Name.
constexpr size_t VALUE_BUFFER_SIZE = NAME_SIZE;
constexpr size_t MAX_VALUE_LENGTH = VALUE_BUFFER_SIZE - 1;
// IDs are 16-bit USB IDs; END_MARKER itself would end the table.
constexpr long MAX_ID = END_MARKER - 1;
// How much of a refused ID a message shows: its reason has REASON_SIZE room.
constexpr int SHOWN_VALUE_LENGTH = 64;
static_assert(SHOWN_VALUE_LENGTH +
                  sizeof "ID out of range (0 to 0xfffe): \"\"." <
              REASON_SIZE);

// Reads `array` from `in` into `table`, from its key line through its
// "</array>" line. Returns 0 with the number of elements in *count; -1 with
// a message when the array is outside the form above. Entries it read
// before a failure stay in `table`.
int ReadPListArray(ReaderArray array, LineSource* in, ReaderEntry* table,
                   size_t* count);

// Loads the three arrays of `file`, open and not yet read, named `path` in
// messages, into `table` (READER_SLOTS entries, reset by the caller), then
// reads on to the end of the file to make sure no reader key stands again.
// Returns 0 when the whole file is within the form; -1 with its messages
// when it cannot be read or is outside the form. Reads through a line
// source of its own in static storage, so one load runs at a time.
int ReadReaderArrays(FILE* file, const char* path, ReaderEntry* table);

// Opens the driver list file at `path` ("File could not be opened PATH"
// when it cannot be) and loads it into `table` with ReadReaderArrays.
// Returns 0, or -1 with its messages.
int FillExistingReaders(const char* path, ReaderEntry* table);

// FillExistingReaders for an install: the file is locked (LockDriverList)
// before it is loaded. Returns 0 with the loaded file's identity in
// *loaded and the file open, and locked, in *lock, which must hold none;
// the lock lasts until *lock closes it. Returns -1 with its messages, and
// nothing open, when it cannot be opened, locked or loaded.
int LockAndFillExistingReaders(const char* path, ReaderEntry* table,
                               FileIdentity* loaded, FileHolder* lock);

#endif  // HALVO_DRIVERLIST_LOAD_H_
