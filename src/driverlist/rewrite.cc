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
int KeyState(const char* line) {
  if (std::strstr(line, PLIST_VID_Marker) != nullptr) return STATE_VIDS;
  if (std::strstr(line, PLIST_PID_Marker) != nullptr) return STATE_PIDS;
  if (std::strstr(line, PLIST_Name_Marker) != nullptr) return STATE_NAMES;
  return STATE_OUTSIDE;
}

int WriteLine(const char* text, FILE* out, const char* out_path) {
  if (fputsL(text, out) == 0) return 0;
  std::printf("Could not write %s: %s\n", out_path, std::strerror(errno));
  return -1;
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
  char line[LINE_BUFFER_SIZE];
  int state = STATE_OUTSIDE;
  while (fgetsL(line, sizeof line, old) != nullptr) {
    int key = KeyState(line);
    if (key != STATE_OUTSIDE) {
      state = key;
      if (WriteLine(line, out, out_path) != 0) return -1;
      continue;
    }
    if (state != STATE_OUTSIDE &&
        std::strstr(line, PLIST_Array_Marker) != nullptr) {
      if (WriteLine(line, out, out_path) != 0 ||
          WriteElements(state, table, out, out_path) != 0)
        return -1;
    }
    if (state != STATE_OUTSIDE &&
        std::strstr(line, PLIST_EOArray_Marker) != nullptr) {
      if (WriteLine(line, out, out_path) != 0) return -1;
      state = STATE_OUTSIDE;
      continue;
    }
    if (state == STATE_OUTSIDE && WriteLine(line, out, out_path) != 0)
      return -1;
  }
  return old->failed ? -1 : 0;
}
