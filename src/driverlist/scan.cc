// The plain-run scan: the bytes that may end a run of plain lines found
// one at a time, or 16 or 32 at a time where the processor can.
#include "driverlist/scan.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <string_view>

#include "driverlist/format.h"
#include "driverlist/platform.h"

namespace {

// True when the '<' at `p` may start a marker the tool looks for; a text
// cut short by `end` counts, to be safe.
bool MayStartMarker(const char* p, const char* end) {
  size_t room = static_cast<size_t>(end - p);
  for (std::string_view start :
       {KEY_PREFIX, ARRAY_OPEN_PREFIX, ARRAY_CLOSE_PREFIX})
    if (std::memcmp(p, start.data(),
                    start.size() < room ? start.size() : room) == 0)
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
  const __m128i hits =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
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
                  StopBitsSSE2(data + i) | StopBitsSSE2(data + i + SSE2_BYTES)
                                               << SSE2_BYTES,
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

PlainScan ChosenScan = FastestScan();

}  // namespace

// One pass finds LF, CR, NUL and '<' together.
PlainRunLength MeasurePlainRun(const char* data, size_t n) {
  PlainRun run;
  size_t i = 0;
#if defined(__x86_64__)
  if (ChosenScan == PlainScan::AVX2) i = ScanAVX2(data, n, &run);
  if (ChosenScan == PlainScan::SSE2) i = ScanSSE2(data, n, &run);
#endif
  for (; i < n; i++)
    if (IsStopByte(data[i]) && !TakeByte(data, i, n, &run)) break;
  return {run.good, run.lines};
}

int UsePlainScan(PlainScan scan) {
#if defined(__x86_64__)
  if (scan == PlainScan::AVX2 && !ProcessorHasAVX2()) return -1;
#else
  if (scan != PlainScan::Bytes) return -1;
#endif
  ChosenScan = scan;
  return 0;
}
