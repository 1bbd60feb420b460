// Rewriting a driver list file: the old file's lines copied, the three
// reader arrays generated afresh from the working table. The install
// (replace.h) writes it into a temporary file and puts that in place.
#ifndef HALVO_DRIVERLIST_REWRITE_H_
#define HALVO_DRIVERLIST_REWRITE_H_

#include <cstdio>

#include "driverlist/lines.h"
#include "readers/readers.h"

// Copies the lines of `old` to `out`, generating the elements of the three
// arrays afresh from the readers of `table` (CountReaders): two tabs,
// "<string>", the ID as "%#06x" or the name as stored, "</string>". Lines
// inside an array, and between a key line and its "<array>" line, are
// dropped; every other line is copied with a single LF. Returns 0, or -1
// with a message naming `out_path` when a write fails or naming old->path
// when reading fails. Either way *written is the number of bytes it handed
// to `out`, which the file must hold once `out` is flushed.
int RewritePListLines(LineSource* old, FILE* out, const char* out_path,
                      const ReaderEntry* table, size_t* written);

#endif  // HALVO_DRIVERLIST_REWRITE_H_
