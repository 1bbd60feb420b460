#include "driverlist/rewrite.h"

#include <cstdio>
#include <cstring>

#include "driverlist/files.h"

namespace {

// Room for one generated element line: two tabs, the tags and a name.
constexpr size_t ELEMENT_BUFFER_SIZE = 1024;
static_assert(ELEMENT_BUFFER_SIZE > NAME_SIZE + sizeof "\t\t<string></string>");

// The new file as it is written: every byte meant for it is counted,
// whether or not it reached the file, so that the file can be held to it.
struct Output {
  FILE* file;
  const char* path;
  size_t bytes = 0;
};

int Write(const char* data, size_t length, Output* out) {
  out->bytes += length;
  if (std::fwrite(data, 1, length, out->file) == length) return 0;
  return PosixError("Could not write", out->path);
}

// Writes a line of the old file: its zero becomes the LF, one write.
int CopyLine(char* line, size_t length, Output* out) {
  line[length] = '\n';
  return Write(line, length + 1, out);
}

int WriteLine(const char* text, Output* out) {
  out->bytes += std::strlen(text) + 1;
  return fputsL(text, out->file) == 0
             ? 0
             : PosixError("Could not write", out->path);
}

// Writes one generated element line of `array` per reader of `table`.
int WriteElements(ReaderArray array, const ReaderEntry* table, Output* out) {
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
    if (WriteLine(element, out) != 0) return -1;
  }
  return 0;
}

int CopyAndGenerate(LineSource* old, Output* out, const ReaderEntry* table) {
  // The array the current line belongs to; none outside the three.
  const ReaderArrayInfo* WriterState = nullptr;
  size_t length;
  for (;;) {
    if (WriterState == nullptr) {
      const char* run = fSkipPlain(old, &length);
      if (length > 0 && Write(run, length, out) != 0) return -1;
    }
    char* line = fgetsL(old, &length);
    if (line == nullptr) break;
    unsigned marks = LineMarks(line);
    const ReaderArrayInfo* key = KeyArray(marks);
    if (key != nullptr) {
      WriterState = key;
      if (CopyLine(line, length, out) != 0) return -1;
      continue;
    }
    bool opens = WriterState != nullptr && (marks & MARK_ARRAY_OPEN) != 0;
    bool closes = WriterState != nullptr && (marks & MARK_ARRAY_CLOSE) != 0;
    if (opens && (CopyLine(line, length, out) != 0 ||
                  WriteElements(WriterState->array, table, out) != 0))
      return -1;
    if (closes) {
      if (CopyLine(line, length, out) != 0) return -1;
      WriterState = nullptr;
      continue;
    }
    if (WriterState == nullptr && CopyLine(line, length, out) != 0) return -1;
  }
  return old->failed ? -1 : 0;
}

}  // namespace

int RewritePListLines(LineSource* old, FILE* file, const char* out_path,
                      const ReaderEntry* table, size_t* written) {
  Output out{file, out_path};
  int result = CopyAndGenerate(old, &out, table);
  *written = out.bytes;
  return result;
}
