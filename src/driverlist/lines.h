// The line layer under the driver list: a file read line by line through a
// block buffer, the marker texts a line may hold, and the three reader
// arrays those markers name.
//
// Lines end in LF; a CR anywhere in a line is dropped on reading; no line
// holds more than MAX_LINE_LENGTH bytes (CRs aside) or a NUL: such a line is
// refused, never cut. Every function prints its own message where it fails,
// on standard output, and returns -1 (or nullptr).
#ifndef HALVO_DRIVERLIST_LINES_H_
#define HALVO_DRIVERLIST_LINES_H_

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string_view>

inline constexpr char PLIST_VID_Marker[] = "<key>ifdVendorID</key>";
inline constexpr char PLIST_PID_Marker[] = "<key>ifdProductID</key>";
inline constexpr char PLIST_Name_Marker[] = "<key>ifdFriendlyName</key>";
inline constexpr char PLIST_Array_Marker[] = "<array>";
inline constexpr char PLIST_EOArray_Marker[] = "</array>";
inline constexpr char PLIST_String_Marker[] = "<string>";
inline constexpr char PLIST_EOString_Marker[] = "</string>";

// What the line scan looks for after a '<': the start the three keys share,
// and the array tags short of their '>' (what follows tells "<array>" from
// "<array/>").
inline constexpr std::string_view KEY_PREFIX = "<key>ifd";
inline constexpr std::string_view ARRAY_OPEN_PREFIX = "<array";
inline constexpr std::string_view ARRAY_CLOSE_PREFIX = "</array";
static_assert(std::string_view(PLIST_Array_Marker).starts_with(ARRAY_OPEN_PREFIX) &&
              sizeof PLIST_Array_Marker == ARRAY_OPEN_PREFIX.size() + 2);
static_assert(std::string_view(PLIST_EOArray_Marker).starts_with(ARRAY_CLOSE_PREFIX) &&
              sizeof PLIST_EOArray_Marker == ARRAY_CLOSE_PREFIX.size() + 2);

// The longest line the tool takes, CRs aside; the line buffer holds it and
// its terminating zero.
constexpr size_t LINE_BUFFER_SIZE = 16384;
constexpr size_t MAX_LINE_LENGTH = LINE_BUFFER_SIZE - 1;
// How much of the file is read in one go: lines are handed out in place,
// so the block is the line buffer, and holds several of the longest lines.
constexpr size_t READ_BLOCK_SIZE = 131072;
static_assert(READ_BLOCK_SIZE >= 2 * LINE_BUFFER_SIZE);
// Room for one reason a line is refused: two markers and some words.
constexpr size_t REASON_SIZE = 160;

// Which marker texts a line holds, as bits: LineMarks() finds them all in
// one pass over the line's '<' characters.
constexpr unsigned MARK_KEY_VID = 1u << 0;      // PLIST_VID_Marker
constexpr unsigned MARK_KEY_PID = 1u << 1;      // PLIST_PID_Marker
constexpr unsigned MARK_KEY_NAME = 1u << 2;     // PLIST_Name_Marker
constexpr unsigned MARK_KEYS = MARK_KEY_VID | MARK_KEY_PID | MARK_KEY_NAME;
constexpr unsigned MARK_ARRAY_OPEN = 1u << 3;   // "<array>"
constexpr unsigned MARK_ARRAY_CLOSE = 1u << 4;  // "</array>"
// Any other array tag: "<array/>", "<array />", "</array >".
constexpr unsigned MARK_ARRAY_OTHER = 1u << 5;
constexpr unsigned MARK_ARRAY_TAGS =
    MARK_ARRAY_OPEN | MARK_ARRAY_CLOSE | MARK_ARRAY_OTHER;

// The three reader arrays, in the order the file must hold them.
enum class ReaderArray { VendorIDs, ProductIDs, Names };

// What the loader, the rewriter and the line scan know of each array.
struct ReaderArrayInfo {
  ReaderArray array;
  const char* key;    // the marker text of its key line
  unsigned mark;      // the key's LineMarks bit
  const char* label;  // in "... during reading LABEL."
};

// Indexed by ReaderArray; the order is the file's.
inline constexpr ReaderArrayInfo READER_ARRAYS[] = {
    {ReaderArray::VendorIDs, PLIST_VID_Marker, MARK_KEY_VID, "VIDS"},
    {ReaderArray::ProductIDs, PLIST_PID_Marker, MARK_KEY_PID, "PIDS"},
    {ReaderArray::Names, PLIST_Name_Marker, MARK_KEY_NAME, "Names"},
};

constexpr const ReaderArrayInfo& InfoOf(ReaderArray array) {
  return READER_ARRAYS[static_cast<size_t>(array)];
}

constexpr bool ArrayTableInOrder() {
  for (size_t i = 0; i < std::size(READER_ARRAYS); i++)
    if (static_cast<size_t>(READER_ARRAYS[i].array) != i ||
        !std::string_view(READER_ARRAYS[i].key).starts_with(KEY_PREFIX))
      return false;
  return true;
}
static_assert(ArrayTableInOrder(), "indexed by ReaderArray; keys share KEY_PREFIX");

// The array whose key is the first among `marks`, or nullptr for none.
const ReaderArrayInfo* KeyArray(unsigned marks);

// A file read line by line through a block buffer of its own. About
// 128 KiB: give it static storage.
struct LineSource {
  FILE* file = nullptr;
  const char* path = "";     // named in messages
  long line_number = 0;      // of the line last returned
  bool failed = false;       // a read failed or a line was refused
  bool at_end = false;       // the file has no more bytes to read
  size_t pos = 0, len = 0;   // unread part of `block`
  char block[READ_BLOCK_SIZE + 1];  // + the zero after a last line
};

// Makes `in` read `file`, which must not have been read yet, naming `path`
// in its messages. Never fails.
void StartLineSource(LineSource* in, FILE* file, const char* path);

// Prints "PATH, line N: REASON" for the line of `in` last read and marks
// `in` failed. Returns -1.
int RefuseLine(LineSource* in, const char* reason);

// Reads the next line of `in`, without its LF and with every CR dropped,
// zero-terminated, in place inside in->block: it stays valid until the next
// call. Returns the line with its length in *length, or nullptr at the end
// of the file. Also returns nullptr, with in->failed set and a message
// naming the file and line printed, when reading fails, the line holds more
// than MAX_LINE_LENGTH bytes (it is never cut) or holds a NUL byte.
char* fgetsL(LineSource* in, size_t* length);

// Consumes the run of whole lines at the read position of `in` that can
// hold nothing the tool looks for: no CR, no NUL, no '<' that may start a
// key marker or an array tag, none longer than MAX_LINE_LENGTH. Returns the
// run in place, LFs included, with its length in *length; *length is 0 when
// the next line needs fgetsL. Never reads the file and never fails: it only
// spares the line-by-line work for long stretches of other text.
const char* fSkipPlain(LineSource* in, size_t* length);

// Returns the MARK_ bits of the marker texts `line` contains.
unsigned LineMarks(const char* line);

// Writes `text` (nullptr counts as empty) followed by one LF. Returns 0, or
// -1 with errno set when the stream reports a write error.
int fputsL(const char* text, FILE* file);

// Judges a line met while looking for `array`, by its marks: returns false
// to go on, or true with why the line is refused written to `reason`
// (REASON_SIZE bytes).
using LineCheck = bool (*)(unsigned marks, ReaderArray array, char* reason);

// Consumes lines of `in` up to and including the first one whose marks
// include `mark`, and returns that line (in place, as fgetsL). Each line is
// first shown to `refuse`. Returns nullptr at the end of the file, when
// reading failed, or when `refuse` refused a line (then "PATH, line N:
// REASON" is printed); in->failed tells these from the end of the file, for
// which fSkipTo prints nothing.
char* fSkipTo(unsigned mark, LineSource* in, LineCheck refuse,
              ReaderArray array);

#endif  // HALVO_DRIVERLIST_LINES_H_
