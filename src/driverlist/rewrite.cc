#include "driverlist/rewrite.h"

#include <cstdio>
#include <cstring>

namespace {

// Room for one generated element line: two tabs, the tags and a name.
constexpr size_t ELEMENT_BUFFER_SIZE = 1024;
static_assert(ELEMENT_BUFFER_SIZE > NAME_SIZE + sizeof "\t\t<string></string>");

int WriteFailed(const char* out_path) {
  return PosixError("Could not write", out_path);
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

// Writes one generated element line of `array` per reader of `table`.
int WriteElements(ReaderArray array, const ReaderEntry* table, FILE* out,
                  const char* out_path) {
  char element[ELEMENT_BUFFER_SIZE];
  size_t n = CountReaders(table, READER_SLOTS);
  for (size_t i = 0; i < n; i++) {
    const ReaderEntry& r = table[i];
    if (array == ReaderArray::Names)
      std::snprintf(element, sizeof element, "\t\t<string>%.*s</string>",
                    static_cast<int>(NAME_SIZE - 1), r.Name);
    else
      std::snprintf(element, sizeof element, "\t\t<string>%#06x</string>",
                    array == ReaderArray::VendorIDs ? r.VID : r.PID);
    if (WriteLine(element, out, out_path) != 0) return -1;
  }
  return 0;
}

}  // namespace

int RewritePListLines(LineSource* old, FILE* out, const char* out_path,
                      const ReaderEntry* table) {
  // WriterState: the array the current line belongs to; none outside.
  const ReaderArrayInfo* state = nullptr;
  size_t length;
  for (;;) {
    if (state == nullptr) {
      const char* run = fSkipPlain(old, &length);
      if (length > 0 && std::fwrite(run, 1, length, out) != length)
        return WriteFailed(out_path);
    }
    char* line = fgetsL(old, &length);
    if (line == nullptr) break;
    unsigned marks = LineMarks(line);
    const ReaderArrayInfo* key = KeyArray(marks);
    if (key != nullptr) {
      state = key;
      if (CopyLine(line, length, out, out_path) != 0) return -1;
      continue;
    }
    bool opens = state != nullptr && (marks & MARK_ARRAY_OPEN) != 0;
    bool closes = state != nullptr && (marks & MARK_ARRAY_CLOSE) != 0;
    if (opens && (CopyLine(line, length, out, out_path) != 0 ||
                  WriteElements(state->array, table, out, out_path) != 0))
      return -1;
    if (closes) {
      if (CopyLine(line, length, out, out_path) != 0) return -1;
      state = nullptr;
      continue;
    }
    if (state == nullptr && CopyLine(line, length, out, out_path) != 0)
      return -1;
  }
  return old->failed ? -1 : 0;
}
