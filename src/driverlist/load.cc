#include "driverlist/load.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "driverlist/lock.h"

namespace {

// About 128 KiB: kept off the stack.
LineSource LoadSource;

static_assert(MAX_ID == 0xfffe, "the ID range is named in a message");

// The marker text of the first key among `marks`.
const char* KeyName(unsigned marks) {
  const ReaderArrayInfo* info = KeyArray(marks);
  return info != nullptr ? info->key : "";
}

const char* SkipSpace(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s))) s++;
  return s;
}

// True when the line holds `tag` and nothing else but white space.
bool StandsAlone(const char* line, const char* tag) {
  const char* s = SkipSpace(line);
  size_t n = std::strlen(tag);
  return std::strncmp(s, tag, n) == 0 && *SkipSpace(s + n) == '\0';
}

// While looking for the key of `array`: any other key, or an array tag on
// the key line.
bool RefuseBeforeKey(unsigned marks, ReaderArray array, char* reason) {
  const ReaderArrayInfo& info = InfoOf(array);
  if ((marks & MARK_KEYS & ~info.mark) != 0) {
    std::snprintf(reason, REASON_SIZE, "\"%s\" stands before \"%s\".",
                  KeyName(marks & ~info.mark), info.key);
    return true;
  }
  if ((marks & info.mark) != 0 && (marks & MARK_ARRAY_TAGS) != 0) {
    std::snprintf(reason, REASON_SIZE,
                  "\"%s\" shares its line with an array tag.", info.key);
    return true;
  }
  return false;
}

// Between the key of `array` and its "<array>": no key, no other array tag.
bool RefuseBeforeArray(unsigned marks, ReaderArray array, char* reason) {
  const char* name = InfoOf(array).key;
  if ((marks & MARK_ARRAY_OPEN) != 0) return false;
  if ((marks & MARK_KEYS) != 0) {
    std::snprintf(reason, REASON_SIZE,
                  "\"%s\" stands before the \"<array>\" of \"%s\".",
                  KeyName(marks), name);
    return true;
  }
  if ((marks & MARK_ARRAY_TAGS) != 0) {
    std::snprintf(reason, REASON_SIZE,
                  "the array of \"%s\" does not open with \"<array>\".", name);
    return true;
  }
  return false;
}

// Reads a hexadecimal number as "%x" does. Returns 0 with the value, or -1
// when no digit is there or the value is past MAX_ID or below zero.
int ParseID(const char* text, long* value, bool* has_digits) {
  const char* s = SkipSpace(text);
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') s++;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(s[2])))
    s += 2;
  long v = 0;
  *has_digits = false;
  for (; std::isxdigit(static_cast<unsigned char>(*s)); s++) {
    *has_digits = true;
    int d = std::isdigit(static_cast<unsigned char>(*s))
                ? *s - '0'
                : std::tolower(static_cast<unsigned char>(*s)) - 'a' + 10;
    if (v <= MAX_ID) v = v * 16 + d;  // stop growing once out of range
  }
  if (negative) v = -v;
  *value = v;
  return *has_digits && v >= 0 && v <= MAX_ID ? 0 : -1;
}

// Stores the value of one element line in entry i of `table`.
int StoreValue(ReaderArray array, const char* value, size_t i, LineSource* in,
               ReaderEntry* table) {
  if (array == ReaderArray::Names) {
    std::memcpy(table[i].Name, value, std::strlen(value) + 1);
    return 0;
  }
  long id = 0;
  bool has_digits = false;
  if (ParseID(value, &id, &has_digits) != 0) {
    char reason[REASON_SIZE];
    std::snprintf(reason, sizeof reason,
                  has_digits ? "ID out of range (0 to 0xfffe): \"%.*s\"."
                             : "no hexadecimal ID in \"%.*s\".",
                  SHOWN_VALUE_LENGTH, value);
    return RefuseLine(in, reason);
  }
  if (array == ReaderArray::VendorIDs)
    table[i].VID = static_cast<int32_t>(id);
  else
    table[i].PID = static_cast<int32_t>(id);
  return 0;
}

// Handles one line inside `array`. Returns 1 at its closing line, 0 to go
// on, -1 when the line is refused.
int ReadArrayLine(ReaderArray array, const char* line, LineSource* in,
                  ReaderEntry* table, size_t* count) {
  unsigned marks = LineMarks(line);
  if ((marks & MARK_ARRAY_CLOSE) != 0) {
    if (!StandsAlone(line, PLIST_EOArray_Marker))
      return RefuseLine(in, "\"</array>\" must stand on a line of its own.");
    return 1;
  }
  char reason[REASON_SIZE];
  if ((marks & (MARK_KEYS | MARK_ARRAY_TAGS)) != 0) {
    std::snprintf(reason, sizeof reason, "%s inside the array of \"%s\".",
                  (marks & MARK_KEYS) != 0 ? KeyName(marks) : "array tag",
                  InfoOf(array).key);
    return RefuseLine(in, reason);
  }
  const char* open = std::strstr(line, PLIST_String_Marker);
  if (open == nullptr) return 0;
  const char* value = open + sizeof PLIST_String_Marker - 1;
  const char* close = std::strstr(value, PLIST_EOString_Marker);
  if (close == nullptr) return 0;
  size_t n = static_cast<size_t>(close - value);
  if (n > MAX_VALUE_LENGTH) {
    std::snprintf(reason, sizeof reason, "element value longer than %zu bytes.",
                  MAX_VALUE_LENGTH);
    return RefuseLine(in, reason);
  }
  if (*count == MAX_READERS) {
    std::snprintf(reason, sizeof reason, "more than %zu readers in one array.",
                  MAX_READERS);
    return RefuseLine(in, reason);
  }
  char buffer[VALUE_BUFFER_SIZE];
  std::memcpy(buffer, value, n);
  buffer[n] = '\0';
  if (StoreValue(array, buffer, *count, in, table) != 0) return -1;
  ++*count;
  return 0;
}

// Reads to the end of the file: no reader key may stand again, since the
// rewriter would fill every array that follows one.
int CheckTrailingLines(LineSource* in) {
  size_t length;
  for (;;) {
    fSkipPlain(in, &length);
    const char* line = fgetsL(in, &length);
    if (line == nullptr) break;
    unsigned marks = LineMarks(line) & MARK_KEYS;
    if (marks != 0) {
      char reason[REASON_SIZE];
      std::snprintf(reason, sizeof reason,
                    "\"%s\" stands again after the reader arrays.",
                    KeyName(marks));
      return RefuseLine(in, reason);
    }
  }
  return in->failed ? -1 : 0;
}

}  // namespace

int ReadPListArray(ReaderArray array, LineSource* in, ReaderEntry* table,
                   size_t* count) {
  const ReaderArrayInfo& info = InfoOf(array);
  const char* key = info.key;
  if (fSkipTo(info.mark, in, RefuseBeforeKey, array) == nullptr) {
    if (!in->failed) std::printf("%s: \"%s\" not found.\n", in->path, key);
    return -1;
  }
  const char* line = fSkipTo(MARK_ARRAY_OPEN, in, RefuseBeforeArray, array);
  if (line == nullptr) {
    if (!in->failed)
      std::printf("%s: the \"<array>\" of \"%s\" not found.\n", in->path, key);
    return -1;
  }
  if (!StandsAlone(line, PLIST_Array_Marker))
    return RefuseLine(in, "\"<array>\" must stand on a line of its own.");
  *count = 0;
  size_t length;
  while ((line = fgetsL(in, &length)) != nullptr) {
    int done = ReadArrayLine(array, line, in, table, count);
    if (done != 0) return done > 0 ? 0 : -1;
  }
  if (!in->failed)
    std::printf(
        "%s: the array of \"%s\" is still open at the end of the file.\n",
        in->path, key);
  return -1;
}

int ReadReaderArrays(FILE* file, const char* path, ReaderEntry* table) {
  LineSource& in = LoadSource;
  StartLineSource(&in, file, path);
  size_t counts[std::size(READER_ARRAYS)] = {};
  for (const ReaderArrayInfo& info : READER_ARRAYS) {
    size_t* count = &counts[static_cast<size_t>(info.array)];
    if (ReadPListArray(info.array, &in, table, count) != 0) {
      std::printf("ReadPListArray returned an error during reading %s.\n",
                  info.label);
      return -1;
    }
  }
  if (CheckTrailingLines(&in) != 0) return -1;
  size_t vids = counts[static_cast<size_t>(ReaderArray::VendorIDs)];
  size_t pids = counts[static_cast<size_t>(ReaderArray::ProductIDs)];
  size_t names = counts[static_cast<size_t>(ReaderArray::Names)];
  if (vids != pids || pids != names) {
    std::printf(
        "%s: the reader arrays differ in length (%zu vendor IDs, "
        "%zu product IDs, %zu names).\n",
        path, vids, pids, names);
    return -1;
  }
  return 0;
}

int FillExistingReaders(const char* path, ReaderEntry* table) {
  FileHolder f;
  struct stat st;
  if (OpenDriverList(AT_FDCWD, path, path, &f, &st) != 0) return -1;
  return ReadReaderArrays(f.file, path, table);
}

int LockAndFillExistingReaders(const char* path, ReaderEntry* table,
                               FileIdentity* loaded, FileHolder* lock) {
  FileHolder f;
  struct stat st;
  if (OpenDriverList(AT_FDCWD, path, path, &f, &st) != 0 ||
      LockDriverList(path, &f, &st) != 0 ||
      ReadReaderArrays(f.file, path, table) != 0)
    return -1;
  *loaded = IdentityOf(st);
  std::swap(lock->file, f.file);
  return 0;
}
