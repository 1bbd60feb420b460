#include "driverlist/lines.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "driverlist/files.h"
#include "driverlist/scan.h"

int RefuseLine(LineSource* in, const char* reason) {
  std::printf("%s, line %ld: %s\n", in->path, in->line_number, reason);
  in->failed = true;
  return -1;
}

namespace {

int RefuseLongLine(LineSource* in) {
  char reason[REASON_SIZE];
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
  size_t got =
      std::fread(in->block + keep, 1, READ_BLOCK_SIZE - keep, in->file);
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

}  // namespace

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
  PlainRunLength run = MeasurePlainRun(start, whole);
  in->pos += run.bytes;
  in->line_number += run.lines;
  *length = run.bytes;
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
      marks |= p[ARRAY_OPEN_PREFIX.size()] == '>' ? MARK_ARRAY_OPEN
                                                  : MARK_ARRAY_OTHER;
    } else if (StartsWith(p, ARRAY_CLOSE_PREFIX)) {
      marks |= p[ARRAY_CLOSE_PREFIX.size()] == '>' ? MARK_ARRAY_CLOSE
                                                   : MARK_ARRAY_OTHER;
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
