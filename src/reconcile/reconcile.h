// Reconciliation: holds the built-in Halvo readers against the working
// table, reports what is missing or named otherwise, and appends the
// missing readers.
#ifndef HALVO_RECONCILE_RECONCILE_H_
#define HALVO_RECONCILE_RECONCILE_H_

#include "readers/readers.h"

// For each row of `builtin` (its readers, as CountReaders finds them), in
// order, looks for the first reader of `table` with the row's PID and VID.
// A reader found whose Name is neither the row's Name nor its AltName,
// byte for byte, gets the line
//   "Name mismatch: %#06x - %#06x - '%s' or '%s' to '%s'"
// and is left as it is. A row not found gets the line
//   "Missing Reader: %#06x - %#06x - %s"
// and is appended to `table`, where later rows see it.
//
// `table` has READER_SLOTS entries, so it holds at most MAX_READERS
// readers: a missing row that finds it full is reported all the same but
// not appended, and counted in *left_out when that is given.
// Returns the number of missing rows (0 to 12); never fails.
int UpdateHalvoReaderToExisting(ReaderEntry* table, const ReaderEntry* builtin,
                                int* left_out);

#endif  // HALVO_RECONCILE_RECONCILE_H_
