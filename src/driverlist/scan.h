// The plain-run scan under the line reader: how far a stretch of whole
// lines goes that can hold nothing the tool looks for, found in one pass
// over the bytes that may end it (LF, CR, NUL and '<').
#ifndef HALVO_DRIVERLIST_SCAN_H_
#define HALVO_DRIVERLIST_SCAN_H_

#include <cstddef>

// A run of plain lines: its bytes, LFs included, and its lines.
struct PlainRunLength {
  size_t bytes;
  long lines;
};

// Measures the plain run at the start of `data`, `n` bytes whose last is an
// LF. It ends before the line holding the first CR, NUL or '<' that may
// start a key marker or an array tag, or before a line longer than
// MAX_LINE_LENGTH (format.h). Reads nothing outside `data`; never fails.
PlainRunLength MeasurePlainRun(const char* data, size_t n);

// How MeasurePlainRun looks for the bytes that may end a run: one at a
// time, or 16 or 32 at a time where the processor can. It uses the fastest
// the processor has (SSE2 at most in a build with HALVO_NO_AVX2).
enum class PlainScan { Bytes, SSE2, AVX2 };

// Makes MeasurePlainRun use `scan` from now on, so that tests can hold each
// scan against the others in any build. Returns 0, or -1 when this
// processor lacks it.
int UsePlainScan(PlainScan scan);

#endif  // HALVO_DRIVERLIST_SCAN_H_
