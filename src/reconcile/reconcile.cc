#include "reconcile/reconcile.h"

#include <cstdio>
#include <cstring>

namespace {

// The first reader of the first `n` entries with both IDs of `row`.
const ReaderEntry* FindReader(const ReaderEntry* table, size_t n,
                              const ReaderEntry& row) {
  for (size_t i = 0; i < n; i++)
    if (table[i].PID == row.PID && table[i].VID == row.VID) return &table[i];
  return nullptr;
}

void ReportMismatch(const ReaderEntry& row, const ReaderEntry& found) {
  if (std::strcmp(found.Name, row.Name) == 0 ||
      std::strcmp(found.Name, row.AltName) == 0)
    return;
  std::printf("Name mismatch: %#06x - %#06x - '%s' or '%s' to '%s'\n", row.PID,
              row.VID, row.Name, row.AltName, found.Name);
}

}  // namespace

int UpdateHalvoReaderToExisting(ReaderEntry* table, const ReaderEntry* builtin,
                                int* left_out) {
  size_t end = CountReaders(table, READER_SLOTS);
  int missing = 0;
  if (left_out != nullptr) *left_out = 0;
  size_t rows = CountReaders(builtin, READER_SLOTS);
  for (const ReaderEntry* row = builtin; row < builtin + rows; row++) {
    const ReaderEntry* found = FindReader(table, end, *row);
    if (found != nullptr) {
      ReportMismatch(*row, *found);
      continue;
    }
    std::printf("Missing Reader: %#06x - %#06x - %s\n", row->PID, row->VID,
                row->Name);
    missing++;
    if (end >= MAX_READERS) {  // no room: reported, never written
      if (left_out != nullptr) ++*left_out;
      continue;
    }
    table[end] = *row;  // the next slot is still free: the table stays ended
    end++;
  }
  return missing;
}
