#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driverlist/driverlist.h"

int FileHolder::Close() {
  FILE* f = file;
  file = nullptr;
  return std::fclose(f) == 0 ? 0 : -1;
}

// Refills in->block; returns the number of bytes now there, 0 at the end of
// the file or on a read error (in->failed set, message printed).
static size_t RefillBlock(LineSource* in) {
  in->pos = 0;
  in->len = std::fread(in->block, 1, sizeof in->block, in->file);
  if (in->len == 0 && std::ferror(in->file)) {
    int err = errno;
    std::printf("Could not read %s: %s\n", in->path, std::strerror(err));
    in->failed = true;
  }
  return in->len;
}

// Appends `n` bytes of `chunk` to the line, leaving out every CR. Returns
// -1 when they do not fit in size - 1 bytes.
static int AppendWithoutCR(char* buffer, size_t size, size_t* used,
                           const char* chunk, size_t n) {
  while (n > 0) {
    const char* cr = static_cast<const char*>(std::memchr(chunk, '\r', n));
    size_t take = cr != nullptr ? static_cast<size_t>(cr - chunk) : n;
    if (take > size - 1 - *used) return -1;
    std::memcpy(buffer + *used, chunk, take);
    *used += take;
    if (cr == nullptr) break;
    chunk += take + 1;
    n -= take + 1;
  }
  return 0;
}

char* fgetsL(char* buffer, size_t size, LineSource* in) {
  if (in->failed) return nullptr;
  if (in->pos == in->len && RefillBlock(in) == 0) return nullptr;
  in->line_number++;
  size_t used = 0;
  for (;;) {
    const char* start = in->block + in->pos;
    size_t avail = in->len - in->pos;
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
    size_t n = lf != nullptr ? static_cast<size_t>(lf - start) : avail;
    if (AppendWithoutCR(buffer, size, &used, start, n) != 0) {
      std::printf("%s, line %ld: line longer than %zu bytes.\n", in->path,
                  in->line_number, size - 1);
      in->failed = true;
      return nullptr;
    }
    in->pos += n;
    if (lf != nullptr) {
      in->pos++;
      break;
    }
    if (RefillBlock(in) == 0) {
      if (in->failed) return nullptr;
      break;  // a last line without LF
    }
  }
  buffer[used] = '\0';
  if (std::memchr(buffer, '\0', used) != nullptr) {
    std::printf("%s, line %ld: line holds a NUL byte.\n", in->path,
                in->line_number);
    in->failed = true;
    return nullptr;
  }
  return buffer;
}

int fputsL(const char* text, FILE* file) {
  if (text != nullptr && text[0] != '\0' && std::fputs(text, file) == EOF)
    return -1;
  return std::putc('\n', file) == EOF ? -1 : 0;
}

int fSkipTo(const char* pattern, LineSource* in, char* line, LineCheck refuse,
            const char* key) {
  while (fgetsL(line, LINE_BUFFER_SIZE, in) != nullptr) {
    const char* reason = refuse != nullptr ? refuse(line, key) : nullptr;
    if (reason != nullptr) {
      std::printf("%s, line %ld: %s\n", in->path, in->line_number, reason);
      in->failed = true;
      return -1;
    }
    if (std::strstr(line, pattern) != nullptr) return 0;
  }
  return -1;
}
