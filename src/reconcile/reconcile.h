// Reconciliation: holds the built-in Halvo readers against the working
// table, reports what is missing or named otherwise, and appends the
// missing readers.
#ifndef HALVO_RECONCILE_RECONCILE_H_
#define HALVO_RECONCILE_RECONCILE_H_

#include "readers/readers.h"

// For each row of `builtin` (up to its end row), in order, looks for the
// first reader of `table` (up to its first PID of END_MARKER) with the
// row's PID and VID. A reader found whose Name is neither the row's Name
// nor its AltName, byte for byte, gets the line
//   "Name mismatch: %#06x - %#06x - '%s' or '%s' to '%s'"
// and is left as it is. A row not found gets the line
//   "Missing Reader: %#06x - %#06x - %s"
// and is appended to `table`, where later rows see it.
//
// `table` has READER_SLOTS entries, so it holds at most MAX_READERS
// readers. Returns the number of readers appended (0 to 12). When a missing
// reader finds the table full, prints why after its "Missing Reader" line,
// appends nothing more and returns -1: no reader is ever silently left out.
int UpdateHalvoReaderToExisting(ReaderEntry* table = ExistingReaders,
                                const ReaderEntry* builtin = HalvoReaders);

#endif  // HALVO_RECONCILE_RECONCILE_H_
