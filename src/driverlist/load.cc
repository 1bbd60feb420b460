#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "driverlist/driverlist.h"
#include "driverlist/platform.h"

namespace {

// About 128 KiB: kept off the stack.
LineSource LoadSource;

constexpr const char* KEY_MARKERS[] = {PLIST_VID_Marker, PLIST_PID_Marker,
                                       PLIST_Name_Marker};
constexpr unsigned KEY_MARKS[] = {MARK_KEY_VID, MARK_KEY_PID, MARK_KEY_NAME};
constexpr const char* STEP_LINES[] = {
    "ReadPListArray returned an error during reading VIDS.",
    "ReadPListArray returned an error during reading PIDS.",
    "ReadPListArray returned an error during reading Names."};
constexpr unsigned MARK_ARRAY_TAGS =
    MARK_ARRAY_OPEN | MARK_ARRAY_CLOSE | MARK_ARRAY_OTHER;
// IDs are 16-bit USB IDs; END_MARKER itself would end the table.
constexpr long MAX_ID = END_MARKER - 1;
static_assert(MAX_ID == 0xfffe, "the ID range is named in a message");
// Room for one formatted reason: two markers and some words.
constexpr size_t REASON_SIZE = 160;

char Reason[REASON_SIZE];

// The marker text of the first key among `marks`.
const char* KeyName(unsigned marks) {
  for (size_t i = 0; i < std::size(KEY_MARKS); i++)
    if ((marks & KEY_MARKS[i]) != 0) return KEY_MARKERS[i];
  return "";
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

// While looking for the key of `step`: any other key, or an array tag on
// the key line.
const char* RefuseBeforeKey(unsigned marks, int step) {
  unsigned key = KEY_MARKS[step - STEP_VIDS];
  const char* name = KEY_MARKERS[step - STEP_VIDS];
  if ((marks & MARK_KEYS & ~key) != 0) {
    std::snprintf(Reason, sizeof Reason, "\"%s\" stands before \"%s\".",
                  KeyName(marks & ~key), name);
    return Reason;
  }
  if ((marks & key) != 0 && (marks & MARK_ARRAY_TAGS) != 0) {
    std::snprintf(Reason, sizeof Reason,
                  "\"%s\" shares its line with an array tag.", name);
    return Reason;
  }
  return nullptr;
}

// Between the key of `step` and its "<array>": no key, no other array tag.
const char* RefuseBeforeArray(unsigned marks, int step) {
  const char* name = KEY_MARKERS[step - STEP_VIDS];
  if ((marks & MARK_ARRAY_OPEN) != 0) return nullptr;
  if ((marks & MARK_KEYS) != 0) {
    std::snprintf(Reason, sizeof Reason,
                  "\"%s\" stands before the \"<array>\" of \"%s\".",
                  KeyName(marks), name);
    return Reason;
  }
  if ((marks & MARK_ARRAY_TAGS) != 0) {
    std::snprintf(Reason, sizeof Reason,
                  "the array of \"%s\" does not open with \"<array>\".", name);
    return Reason;
  }
  return nullptr;
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
int StoreValue(int step, const char* value, size_t i, LineSource* in,
               ReaderEntry* table) {
  if (step == STEP_NAMES) {
    std::memcpy(table[i].Name, value, std::strlen(value) + 1);
    return 0;
  }
  long id = 0;
  bool has_digits = false;
  if (ParseID(value, &id, &has_digits) != 0) {
    std::snprintf(Reason, sizeof Reason,
                  has_digits ? "ID out of range (0 to 0xfffe): \"%.64s\"."
                             : "no hexadecimal ID in \"%.64s\".",
                  value);
    return RefuseLine(in, Reason);
  }
  if (step == STEP_VIDS)
    table[i].VID = static_cast<int32_t>(id);
  else
    table[i].PID = static_cast<int32_t>(id);
  return 0;
}

// Handles one line inside the array of `step`. Returns 1 at its closing
// line, 0 to go on, -1 when the line is refused.
int ReadArrayLine(int step, const char* line, LineSource* in,
                  ReaderEntry* table, size_t* count) {
  unsigned marks = LineMarks(line);
  if ((marks & MARK_ARRAY_CLOSE) != 0) {
    if (!StandsAlone(line, PLIST_EOArray_Marker))
      return RefuseLine(in, "\"</array>\" must stand on a line of its own.");
    return 1;
  }
  if ((marks & (MARK_KEYS | MARK_ARRAY_TAGS)) != 0) {
    std::snprintf(Reason, sizeof Reason, "%s inside the array of \"%s\".",
                  (marks & MARK_KEYS) != 0 ? KeyName(marks) : "array tag",
                  KEY_MARKERS[step - STEP_VIDS]);
    return RefuseLine(in, Reason);
  }
  const char* open = std::strstr(line, PLIST_String_Marker);
  if (open == nullptr) return 0;
  const char* value = open + sizeof PLIST_String_Marker - 1;
  const char* close = std::strstr(value, PLIST_EOString_Marker);
  if (close == nullptr) return 0;
  size_t n = static_cast<size_t>(close - value);
  if (n > MAX_VALUE_LENGTH) {
    std::snprintf(Reason, sizeof Reason,
                  "element value longer than %zu bytes.", MAX_VALUE_LENGTH);
    return RefuseLine(in, Reason);
  }
  if (*count == MAX_READERS) {
    std::snprintf(Reason, sizeof Reason, "more than %zu readers in one array.",
                  MAX_READERS);
    return RefuseLine(in, Reason);
  }
  char buffer[VALUE_BUFFER_SIZE];
  std::memcpy(buffer, value, n);
  buffer[n] = '\0';
  if (StoreValue(step, buffer, *count, in, table) != 0) return -1;
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
      std::snprintf(Reason, sizeof Reason,
                    "\"%s\" stands again after the reader arrays.",
                    KeyName(marks));
      return RefuseLine(in, Reason);
    }
  }
  return in->failed ? -1 : 0;
}

void RecordIdentity(const struct stat& st, FileIdentity* id) {
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  id->size = st.st_size;
  id->mtime = ModificationTime(st);
}

}  // namespace

int ReadPListArray(int step, LineSource* in, ReaderEntry* table,
                   size_t* count) {
  if (step < STEP_VIDS || step > STEP_NAMES) {
    std::printf("ReadPListArray called with incorrect Step : %d\n", step);
    return -1;
  }
  const char* key = KEY_MARKERS[step - STEP_VIDS];
  if (fSkipTo(KEY_MARKS[step - STEP_VIDS], in, RefuseBeforeKey, step) ==
      nullptr) {
    if (!in->failed) std::printf("%s: \"%s\" not found.\n", in->path, key);
    return -1;
  }
  const char* line = fSkipTo(MARK_ARRAY_OPEN, in, RefuseBeforeArray, step);
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
    int done = ReadArrayLine(step, line, in, table, count);
    if (done != 0) return done > 0 ? 0 : -1;
  }
  if (!in->failed)
    std::printf("%s: the array of \"%s\" is still open at the end of the file.\n",
                in->path, key);
  return -1;
}

int FillExistingReaders(const char* path, ReaderEntry* table,
                        FileIdentity* loaded, FileHolder* lock) {
  FileHolder f;
  if (lock != nullptr) {
    if (OpenLocked(path, &f) != 0) return -1;
  } else if ((f.file = std::fopen(path, "r")) == nullptr) {
    std::printf("File could not be opened %s\n", path);
    return -1;
  }
  struct stat st;
  if (fstat(fileno(f.file), &st) != 0) {
    std::printf("Could not read %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  LineSource& in = LoadSource;
  StartLineSource(&in, f.file, path);
  size_t counts[STEP_NAMES] = {};
  for (int step = STEP_VIDS; step <= STEP_NAMES; step++) {
    if (ReadPListArray(step, &in, table, &counts[step - 1]) != 0) {
      std::printf("%s\n", STEP_LINES[step - 1]);
      return -1;
    }
  }
  if (CheckTrailingLines(&in) != 0) return -1;
  if (counts[0] != counts[1] || counts[1] != counts[2]) {
    std::printf("%s: the reader arrays differ in length (%zu vendor IDs, "
                "%zu product IDs, %zu names).\n",
                path, counts[0], counts[1], counts[2]);
    return -1;
  }
  if (loaded != nullptr) RecordIdentity(st, loaded);
  if (lock != nullptr) std::swap(lock->file, f.file);
  return 0;
}
