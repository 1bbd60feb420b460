#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driverlist/driverlist.h"

namespace {

// WriterState: which array the current line belongs to.
constexpr int STATE_OUTSIDE = 0;
constexpr int STATE_VIDS = 1;
constexpr int STATE_PIDS = 2;
constexpr int STATE_NAMES = 3;

// Room for one generated element line: two tabs, the tags and a name.
constexpr size_t ELEMENT_BUFFER_SIZE = 1024;
static_assert(ELEMENT_BUFFER_SIZE > NAME_SIZE + sizeof "\t\t<string></string>");

// The state a key line starts, or STATE_OUTSIDE for any other line.
int KeyState(unsigned marks) {
  if ((marks & MARK_KEY_VID) != 0) return STATE_VIDS;
  if ((marks & MARK_KEY_PID) != 0) return STATE_PIDS;
  if ((marks & MARK_KEY_NAME) != 0) return STATE_NAMES;
  return STATE_OUTSIDE;
}

int WriteFailed(const char* out_path) {
  std::printf("Could not write %s: %s\n", out_path, std::strerror(errno));
  return -1;
}

// Writes a line of the old file: its zero becomes the LF, one write.
int CopyLine(char* line, size_t length, FILE* out, const char* out_path) {
  line[length] = '\n';
  if (std::fwrite(line, 1, length + 1, out) == length + 1) return 0;
  return WriteFailed(out_path);
}

int WriteLine(const char* text, FILE* out, const char* out_path) {
  return fputsL(text, out) == 0 ? 0 : WriteFailed(out_path);
}

// Writes one generated element line per reader of `table`, up to its first
// VID of END_MARKER.
int WriteElements(int state, const ReaderEntry* table, FILE* out,
                  const char* out_path) {
  char element[ELEMENT_BUFFER_SIZE];
  for (size_t i = 0; i < READER_SLOTS && table[i].VID != END_MARKER; i++) {
    const ReaderEntry& r = table[i];
    if (state == STATE_NAMES)
      std::snprintf(element, sizeof element, "\t\t<string>%.*s</string>",
                    static_cast<int>(NAME_SIZE - 1), r.Name);
    else
      std::snprintf(element, sizeof element, "\t\t<string>%#06x</string>",
                    state == STATE_VIDS ? r.VID : r.PID);
    if (WriteLine(element, out, out_path) != 0) return -1;
  }
  return 0;
}

}  // namespace

int RewritePListLines(LineSource* old, FILE* out, const char* out_path,
                      const ReaderEntry* table) {
  int state = STATE_OUTSIDE;
  size_t length;
  for (;;) {
    if (state == STATE_OUTSIDE) {
      const char* run = fSkipPlain(old, &length);
      if (length > 0 && std::fwrite(run, 1, length, out) != length)
        return WriteFailed(out_path);
    }
    char* line = fgetsL(old, &length);
    if (line == nullptr) break;
    unsigned marks = LineMarks(line);
    int key = KeyState(marks);
    if (key != STATE_OUTSIDE) {
      state = key;
      if (CopyLine(line, length, out, out_path) != 0) return -1;
      continue;
    }
    bool opens = state != STATE_OUTSIDE && (marks & MARK_ARRAY_OPEN) != 0;
    bool closes = state != STATE_OUTSIDE && (marks & MARK_ARRAY_CLOSE) != 0;
    if (opens && (CopyLine(line, length, out, out_path) != 0 ||
                  WriteElements(state, table, out, out_path) != 0))
      return -1;
    if (closes) {
      if (CopyLine(line, length, out, out_path) != 0) return -1;
      state = STATE_OUTSIDE;
      continue;
    }
    if (state == STATE_OUTSIDE && CopyLine(line, length, out, out_path) != 0)
      return -1;
  }
  return old->failed ? -1 : 0;
}
