// Reader tables: the reader record, the built-in table of Halvo readers,
// and what every table holds.
//
// Tables are plain arrays walked by index. A table ends at its first entry
// whose PID is END_MARKER, and every walk finds that end through
// CountReaders. The loader and reconciliation give the VID of that entry
// END_MARKER as well. The working table, filled from the driver list file,
// belongs to the command-line driver, which hands it to the rest.
#ifndef HALVO_READERS_READERS_H_
#define HALVO_READERS_READERS_H_

#include <cstddef>
#include <cstdint>

// The value of PID (or VID) that ends a table. It is never a reader's ID:
// the loader refuses a file that names it.
constexpr int32_t END_MARKER = 0xffff;

// Room for a friendly name and its terminating zero, as in the file.
constexpr size_t NAME_SIZE = 256;
// Room for an alternative name and its terminating zero.
constexpr size_t ALT_NAME_SIZE = 32;

// Slots of the working table. The last reader must be followed by an end
// entry, so the table holds at most MAX_READERS readers.
constexpr size_t READER_SLOTS = 1024;
constexpr size_t MAX_READERS = READER_SLOTS - 1;

// One reader. Product ID first, vendor ID second: the order of the record
// and of every line the tool prints.
struct ReaderEntry {
  int32_t PID;
  int32_t VID;
  char Name[NAME_SIZE];         // exactly as between the string tags
  char AltName[ALT_NAME_SIZE];  // also accepted as correct; often empty
};

// The built-in Halvo readers, in the order in which missing ones are
// reported and appended, followed by one end row.
inline constexpr ReaderEntry HalvoReaders[] = {
    {0x0341, 0x2e5b, "HALVO MERIDOX KEY 341", ""},
    {0x0352, 0x2e5b, "HALVO MERIDOX KEY 540", "KY540"},
    {0x0357, 0x2e5b, "HALVO MERIDOX KEY 540", "KY540"},
    {0x0355, 0x2e5b, "HALVO MERIDOX KEY 310", "KY310"},
    {0x0359, 0x2e5b, "HALVO MERIDOX KEY 310", "KY310"},
    {0x0362, 0x2e5b, "HALVO MERIDOX KEY 312", "KY312"},
    {0x0360, 0x2e5b, "HALVO MERIDOX KEY 312", "KY312"},
    {0x0003, 0x2e5b, "HALVO HX615", ""},
    {0x0635, 0x2e5b, "HALVO HX635", ""},
    {0x0645, 0x2e5b, "HALVO HX645", ""},
    {0x0650, 0x2e5b, "HALVO MERIDOX 650", ""},
    // The maker word in mixed case is the form an entry must carry.
    {0x0680, 0x2e5b, "Halvo MERIDOX 680", ""},
    {END_MARKER, END_MARKER, "", ""},
};

// Sets every one of the `slots` entries of `table` free: PID and VID
// END_MARKER, both names all zero. Never fails.
void ResetReaderTable(ReaderEntry* table, size_t slots);

// Returns the number of readers in `table`: the index of its first entry
// whose PID is END_MARKER, looking at no more than `slots` entries (so a
// table without an end entry yields `slots`).
size_t CountReaders(const ReaderEntry* table, size_t slots);

#endif  // HALVO_READERS_READERS_H_
