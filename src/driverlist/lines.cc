#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driverlist/lines.h"
#include "driverlist/platform.h"

const ReaderArrayInfo* KeyArray(unsigned marks) {
  for (const ReaderArrayInfo& info : READER_ARRAYS)
    if ((marks & info.mark) != 0) return &info;
  return nullptr;
}

int RefuseLine(LineSource* in, const char* reason) {
  std::printf("%s, line %ld: %s\n", in->path, in->line_number, reason);
  in->failed = true;
  return -1;
}

namespace {

int RefuseLongLine(LineSource* in) {
  char reason[sizeof "line longer than 99999999 bytes."];
  std::snprintf(reason, sizeof reason, "line longer than %zu bytes.",
                MAX_LINE_LENGTH);
  return RefuseLine(in, reason);
}

// Drops every CR of the `n` bytes at `text`; returns how many are left.
size_t DropCRs(char* text, size_t n) {
  char* cr = static_cast<char*>(std::memchr(text, '\r', n));
  if (cr == nullptr) return n;
  char* out = cr;
  for (const char* p = cr; p < text + n; p++)
    if (*p != '\r') *out++ = *p;
  return static_cast<size_t>(out - text);
}

// Moves the unread bytes to the front of the block and reads more after
// them. Returns 0, or -1 when reading failed (message printed).
int Refill(LineSource* in) {
  size_t keep = in->len - in->pos;
  std::memmove(in->block, in->block + in->pos, keep);
  in->pos = 0;
  in->len = keep;
  size_t got = std::fread(in->block + keep, 1, READ_BLOCK_SIZE - keep, in->file);
  in->len += got;
  if (got > 0) return 0;
  if (std::ferror(in->file)) {
    in->failed = true;
    return PosixError("Could not read", in->path);
  }
  in->at_end = true;
  return 0;
}

// Finds the end of the next line: returns its LF, or the end of the data
// for a last line without one; nullptr at the end of the file or on
// failure. A line too long for the block is cut down by its CRs first and
// refused when it still does not fit.
char* FindLineEnd(LineSource* in) {
  for (;;) {
    char* start = in->block + in->pos;
    size_t avail = in->len - in->pos;
    char* lf = static_cast<char*>(std::memchr(start, '\n', avail));
    if (lf != nullptr) return lf;
    if (in->at_end) return avail > 0 ? start + avail : nullptr;
    if (avail == READ_BLOCK_SIZE) {
      in->len = in->pos + DropCRs(start, avail);
      if (in->len - in->pos > MAX_LINE_LENGTH) {
        in->line_number++;
        RefuseLongLine(in);
        return nullptr;
      }
    }
    if (Refill(in) != 0) return nullptr;
  }
}

// True when `text` starts with `start`.
bool StartsWith(const char* text, std::string_view start) {
  return std::strncmp(text, start.data(), start.size()) == 0;
}

// True when the '<' at `p` may start a marker the tool looks for; a text
// cut short by `end` counts, to be safe.
bool MayStartMarker(const char* p, const char* end) {
  size_t room = static_cast<size_t>(end - p);
  for (std::string_view start : {KEY_PREFIX, ARRAY_OPEN_PREFIX, ARRAY_CLOSE_PREFIX})
    if (std::memcmp(p, start.data(), start.size() < room ? start.size() : room) == 0)
      return true;
  return false;
}

// A run of plain lines being measured.
struct PlainRun {
  size_t line_start = 0;  // where the current line began
  size_t good = 0;        // the run so far: whole lines only
  long lines = 0;         // in the run so far
};

// Takes the byte at data[at], one of LF, CR, NUL and '<', into the run.
// False when the run ends before its line: a CR or NUL, a '<' that may
// start a marker, or an LF that ends a line too long.
inline bool TakeByte(const char* data, size_t at, size_t n, PlainRun* run) {
  switch (data[at]) {
    case '\n':
      if (at - run->line_start > MAX_LINE_LENGTH) return false;
      run->line_start = run->good = at + 1;
      run->lines++;
      return true;
    case '<':
      return !MayStartMarker(data + at, data + n);
    default:  // CR or NUL: such lines need fgetsL
      return false;
  }
}

// The bytes TakeByte looks at: LF, CR, NUL and '<'.
inline bool IsStopByte(char c) {
  return c == '\n' || c == '\r' || c == '\0' || c == '<';
}

#if defined(__x86_64__)
// Every x86-64 processor has SSE2; most have AVX2, which looks at twice as
// many bytes per compare. Both find the four stop bytes in one pass.
constexpr size_t SSE2_BYTES = 16;
constexpr size_t SCAN_STEP = 2 * SSE2_BYTES;  // one AVX2 compare

inline uint32_t StopBitsSSE2(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('<'))));
  return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}

__attribute__((target("avx2"))) inline uint32_t StopBitsAVX2(const char* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hits = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')),
                      _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r'))),
      _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()),
                      _mm256_cmpeq_epi8(v, _mm256_set1_epi8('<'))));
  return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
}

// Takes every stop byte of the SCAN_STEP bytes at data[i], found in `m`.
inline bool TakeStep(const char* data, size_t i, uint32_t m, size_t n,
                     PlainRun* run) {
  for (; m != 0; m &= m - 1)
    if (!TakeByte(data, i + static_cast<size_t>(__builtin_ctz(m)), n, run))
      return false;
  return true;
}

// The scan of MeasurePlainRun below, SCAN_STEP bytes at a time; returns
// how far it got with the run still open, or n when it ended.
size_t ScanSSE2(const char* data, size_t n, PlainRun* run) {
  size_t i = 0;
  for (; i + SCAN_STEP <= n; i += SCAN_STEP)
    if (!TakeStep(data, i,
                  StopBitsSSE2(data + i) |
                      StopBitsSSE2(data + i + SSE2_BYTES) << SSE2_BYTES,
                  n, run))
      return n;
  return i;
}

__attribute__((target("avx2"))) size_t ScanAVX2(const char* data, size_t n,
                                                PlainRun* run) {
  size_t i = 0;
  for (; i + SCAN_STEP <= n; i += SCAN_STEP)
    if (!TakeStep(data, i, StopBitsAVX2(data + i), n, run)) return n;
  return i;
}

#endif

// The fastest scan the processor has; a build with HALVO_NO_AVX2 stops at
// SSE2, which the tests then cover, and may still be handed AVX2.
PlainScan FastestScan() {
#if defined(__x86_64__) && !defined(HALVO_NO_AVX2)
  if (ProcessorHasAVX2()) return PlainScan::AVX2;
#endif
#if defined(__x86_64__)
  return PlainScan::SSE2;
#else
  return PlainScan::Bytes;
#endif
}

PlainScan Scan = FastestScan();

// Measures the plain run at the start of `data` (n bytes, the last of them
// an LF) in one pass that finds LF, CR, NUL and '<' together: it ends
// before the line holding the first CR, NUL or '<' that may start a
// marker, or before a line that is too long.
PlainRun MeasurePlainRun(const char* data, size_t n) {
  PlainRun run;
  size_t i = 0;
#if defined(__x86_64__)
  if (Scan == PlainScan::AVX2) i = ScanAVX2(data, n, &run);
  if (Scan == PlainScan::SSE2) i = ScanSSE2(data, n, &run);
#endif
  for (; i < n; i++)
    if (IsStopByte(data[i]) && !TakeByte(data, i, n, &run)) break;
  return run;
}

}  // namespace

int UsePlainScan(PlainScan scan) {
#if defined(__x86_64__)
  if (scan == PlainScan::AVX2 && !ProcessorHasAVX2()) return -1;
#else
  if (scan != PlainScan::Bytes) return -1;
#endif
  Scan = scan;
  return 0;
}

void StartLineSource(LineSource* in, FILE* file, const char* path) {
  // The block is the buffer: stdio's own would only add a copy and a
  // second read per refill. Possible only before the first read, and
  // harmless when refused.
  std::setvbuf(file, nullptr, _IONBF, 0);
  in->file = file;
  in->path = path;
  in->line_number = 0;
  in->failed = false;
  in->at_end = false;
  in->pos = in->len = 0;
}

const char* fSkipPlain(LineSource* in, size_t* length) {
  *length = 0;
  if (in->failed || in->pos == in->len) return nullptr;
  char* start = in->block + in->pos;
  size_t avail = in->len - in->pos;
  size_t whole = avail;  // up to the last LF: a partial line is left
  while (whole > 0 && start[whole - 1] != '\n') whole--;
  if (whole == 0) return nullptr;
  PlainRun run = MeasurePlainRun(start, whole);
  in->pos += run.good;
  in->line_number += run.lines;
  *length = run.good;
  return start;
}

char* fgetsL(LineSource* in, size_t* length) {
  if (in->failed) return nullptr;
  char* end = FindLineEnd(in);
  if (end == nullptr) return nullptr;
  char* line = in->block + in->pos;
  size_t raw = static_cast<size_t>(end - line);
  in->pos += raw + (end < in->block + in->len ? 1 : 0);  // past the LF
  in->line_number++;
  size_t n = DropCRs(line, raw);
  line[n] = '\0';
  if (n > MAX_LINE_LENGTH) {
    RefuseLongLine(in);
    return nullptr;
  }
  if (std::strlen(line) != n) {
    RefuseLine(in, "line holds a NUL byte.");
    return nullptr;
  }
  *length = n;
  return line;
}

unsigned LineMarks(const char* line) {
  unsigned marks = 0;
  for (const char* p = std::strchr(line, '<'); p != nullptr;
       p = std::strchr(p + 1, '<')) {
    if (StartsWith(p, KEY_PREFIX)) {
      for (const ReaderArrayInfo& info : READER_ARRAYS)
        if (StartsWith(p, info.key)) marks |= info.mark;
    } else if (StartsWith(p, ARRAY_OPEN_PREFIX)) {
      marks |= p[ARRAY_OPEN_PREFIX.size()] == '>' ? MARK_ARRAY_OPEN : MARK_ARRAY_OTHER;
    } else if (StartsWith(p, ARRAY_CLOSE_PREFIX)) {
      marks |= p[ARRAY_CLOSE_PREFIX.size()] == '>' ? MARK_ARRAY_CLOSE : MARK_ARRAY_OTHER;
    }
  }
  return marks;
}

int fputsL(const char* text, FILE* file) {
  if (text != nullptr && text[0] != '\0' && std::fputs(text, file) == EOF)
    return -1;
  return std::putc('\n', file) == EOF ? -1 : 0;
}

char* fSkipTo(unsigned mark, LineSource* in, LineCheck refuse,
              ReaderArray array) {
  size_t length;
  char reason[REASON_SIZE];
  while (fSkipPlain(in, &length), true) {
    char* line = fgetsL(in, &length);
    if (line == nullptr) break;
    unsigned marks = LineMarks(line);
    if (refuse(marks, array, reason)) {
      RefuseLine(in, reason);
      return nullptr;
    }
    if ((marks & mark) != 0) return line;
  }
  return nullptr;
}
