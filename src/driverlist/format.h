// The driver list's vocabulary: the marker texts a line may hold, what
// the line scan looks for after a '<', the longest line, and the three
// reader arrays those markers name. The line reader, the plain-run scan,
// the loader and the rewriter all speak it; it includes none of them.
#ifndef HALVO_DRIVERLIST_FORMAT_H_
#define HALVO_DRIVERLIST_FORMAT_H_

#include <cstddef>
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
static_assert(
    std::string_view(PLIST_Array_Marker).starts_with(ARRAY_OPEN_PREFIX) &&
    sizeof PLIST_Array_Marker == ARRAY_OPEN_PREFIX.size() + 2);
static_assert(
    std::string_view(PLIST_EOArray_Marker).starts_with(ARRAY_CLOSE_PREFIX) &&
    sizeof PLIST_EOArray_Marker == ARRAY_CLOSE_PREFIX.size() + 2);

// The longest line the tool takes, CRs aside; the line buffer holds it and
// its terminating zero.
constexpr size_t LINE_BUFFER_SIZE = 16384;
constexpr size_t MAX_LINE_LENGTH = LINE_BUFFER_SIZE - 1;

// Which marker texts a line holds, as bits: LineMarks() finds them all in
// one pass over the line's '<' characters.
constexpr unsigned MARK_KEY_VID = 1u << 0;   // PLIST_VID_Marker
constexpr unsigned MARK_KEY_PID = 1u << 1;   // PLIST_PID_Marker
constexpr unsigned MARK_KEY_NAME = 1u << 2;  // PLIST_Name_Marker
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
static_assert(ArrayTableInOrder(),
              "indexed by ReaderArray; keys share KEY_PREFIX");

// The array whose key is the first among `marks`, or nullptr for none.
constexpr const ReaderArrayInfo* KeyArray(unsigned marks) {
  for (const ReaderArrayInfo& info : READER_ARRAYS)
    if ((marks & info.mark) != 0) return &info;
  return nullptr;
}

#endif  // HALVO_DRIVERLIST_FORMAT_H_
