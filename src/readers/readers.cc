#include "readers/readers.h"

#include <cstring>

void ResetReaderTable(ReaderEntry* table, size_t slots) {
  for (size_t i = 0; i < slots; i++) {
    table[i].PID = END_MARKER;
    table[i].VID = END_MARKER;
    std::memset(table[i].Name, 0, sizeof table[i].Name);
    std::memset(table[i].AltName, 0, sizeof table[i].AltName);
  }
}

size_t CountReaders(const ReaderEntry* table, size_t slots) {
  size_t n = 0;
  while (n < slots && table[n].PID != END_MARKER) n++;
  return n;
}
