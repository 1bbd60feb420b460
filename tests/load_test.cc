#include "driverlist/load.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "driverlist/lock.h"
#include "test_util.h"

namespace {

const std::string HEAD =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
    "<dict>\n";
const std::string TAIL = "</dict>\n</plist>\n";

std::string El(const std::string& value) {
  return "\t\t<string>" + value + "</string>\n";
}
std::string Els(const std::vector<std::string>& values) {
  std::string s;
  for (const auto& v : values) s += El(v);
  return s;
}
std::string Array(const std::string& key, const std::string& elements) {
  return "\t<key>" + key + "</key>\n\t<array>\n" + elements + "\t</array>\n";
}
// A driver list with the three arrays given as element lines.
std::string Doc(const std::string& vids, const std::string& pids,
                const std::string& names, const std::string& tail = TAIL) {
  return HEAD + Array("ifdVendorID", vids) + Array("ifdProductID", pids) +
         Array("ifdFriendlyName", names) + tail;
}
std::string Repeat(const std::string& line, int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += line;
  return s;
}

struct LoadCase {
  const char* name;
  std::string content;
  std::vector<Reader> readers;  // when accepted
  std::string output;           // when refused: all it prints
};
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

std::vector<LoadCase> AcceptedCases() {
  std::string crlf = Doc(El("0x072F"), El("0x0090"), El("Korvane A"));
  for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2)
    crlf.insert(at, "\r");
  return {
      {"EmptyArrays", Doc("", "", ""), {}, ""},
      {"OneReader",
       Doc(El("0x2e5b"), El("0x0341"), El("HALVO MERIDOX KEY 341")),
       {{0x0341, 0x2e5b, "HALVO MERIDOX KEY 341"}},
       ""},
      {"CrLfLoadsLikeLf", crlf, {{0x0090, 0x072f, "Korvane A"}}, ""},
      {"HexInEveryForm",
       Doc(Els({"0x4E1", "4e1", "0x4e1", " 0X4e1 ", "+4E1"}),
           Els({"0", "1", "0xfffe", "00000041", "41zz"}),
           Els({"a", "b", "c", "d", "e"})),
       {{0, 0x4e1, "a"},
        {1, 0x4e1, "b"},
        {0xfffe, 0x4e1, "c"},
        {0x41, 0x4e1, "d"},
        {0x41, 0x4e1, "e"}},
       ""},
      {"IndentationAndTextAfterTheElement",
       Doc("<string>0x1</string> trailing\n", "   <string>0x2</string>x\n",
           "\t \t<string> Spaced  Name </string><!-- c -->\n"),
       {{2, 1, " Spaced  Name "}},
       ""},
      {"EntitiesStayUndecoded",
       Doc(El("1"), El("2"), El("Vasquez &amp; Reed")),
       {{2, 1, "Vasquez &amp; Reed"}},
       ""},
      {"UnclosedStringAndOtherLinesAreSkipped",
       Doc("\t\t<string>0x9\n\t\t<!-- note -->\n" + El("1"), "\n" + El("2"),
           "\t\t<string>lost\n" + El("N")),
       {{2, 1, "N"}},
       ""},
      {"OnlyTheFirstElementOfALine",
       Doc("<string>1</string><string>7</string>\n", El("2"),
           "<string>A</string><string>B</string>\n"),
       {{2, 1, "A"}},
       ""},
      {"ClosingTagBeforeTheOpeningOneIsIgnored",
       Doc("</string><string>1</string>\n", El("2"), El("N")),
       {{2, 1, "N"}},
       ""},
      {"LongestValue",
       Doc(El("1"), El("2"), El(std::string(255, 'n'))),
       {{2, 1, std::string(255, 'n')}},
       ""},
      {"LastLineWithoutLf",
       Doc(El("1"), El("2"), El("N"), "</dict>\n</plist>"),
       {{2, 1, "N"}},
       ""},
      {"LongFileWhoseLastLineHasNoLf",
       Doc(El("1"), El("2"), El("N"),
           Repeat("<!-- a comment line after the arrays -->\n", 4000) +
               "<key>ifdCapabilities</key>\n</plist>"),
       {{2, 1, "N"}},
       ""},
      {"KeyLineWithTextAfterTheKey",
       HEAD + "<key>ifdVendorID</key> <!-- note -->\n<array>\n" + El("1") +
           "</array>\n" + Array("ifdProductID", El("2")) +
           Array("ifdFriendlyName", El("N")) + TAIL,
       {{2, 1, "N"}},
       ""},
      {"LinesBetweenKeyAndArray",
       HEAD + "<key>ifdVendorID</key>\n<!-- vendor IDs -->\n\n<array>\n" +
           El("1") + "</array>\n" + Array("ifdProductID", El("2")) +
           Array("ifdFriendlyName", El("N")) + TAIL,
       {{2, 1, "N"}},
       ""},
  };
}

std::vector<LoadCase> RefusedCases() {
  const std::string ok = El("1");
  const std::string steps_vids =
      "ReadPListArray returned an error during reading VIDS.\n";
  const std::string steps_pids =
      "ReadPListArray returned an error during reading PIDS.\n";
  const std::string steps_names =
      "ReadPListArray returned an error during reading Names.\n";
  return {
      {"NoVendorKey",
       HEAD + TAIL,
       {},
       "{path}: \"<key>ifdVendorID</key>\" not found.\n" + steps_vids},
      {"KeysOutOfOrder",
       HEAD + Array("ifdProductID", ok) + Array("ifdVendorID", ok) +
           Array("ifdFriendlyName", ok) + TAIL,
       {},
       "{path}, line 4: \"<key>ifdProductID</key>\" stands before "
       "\"<key>ifdVendorID</key>\".\n" +
           steps_vids},
      {"KeyAndArrayOnOneLine",
       HEAD + "<key>ifdVendorID</key><array>\n" + ok + "</array>\n" +
           Array("ifdProductID", ok) + Array("ifdFriendlyName", ok) + TAIL,
       {},
       "{path}, line 4: \"<key>ifdVendorID</key>\" shares its line with an "
       "array tag.\n" +
           steps_vids},
      {"SelfClosingArray",
       HEAD + "<key>ifdVendorID</key>\n<array/>\n" + Array("ifdProductID", ok) +
           Array("ifdFriendlyName", ok) + TAIL,
       {},
       "{path}, line 5: the array of \"<key>ifdVendorID</key>\" does not open "
       "with \"<array>\".\n" +
           steps_vids},
      {"ClosingTagBeforeTheArrayOpens",
       HEAD + "<key>ifdVendorID</key>\n</array>\n<array>\n" + ok +
           "</array>\n" + Array("ifdProductID", ok) +
           Array("ifdFriendlyName", ok) + TAIL,
       {},
       "{path}, line 5: the array of \"<key>ifdVendorID</key>\" does not open "
       "with \"<array>\".\n" +
           steps_vids},
      {"NearMissOfAKey",
       HEAD + Array("ifdVendorID", ok) + Array("ifdProductID", ok) +
           "\t<key>ifdFriendlyName</kex>\n\t<array>\n" + ok + "\t</array>\n" +
           TAIL,
       {},
       "{path}: \"<key>ifdFriendlyName</key>\" not found.\n" + steps_names},
      {"NoArrayAfterTheLastKey",
       HEAD + Array("ifdVendorID", ok) + Array("ifdProductID", ok) +
           "<key>ifdFriendlyName</key>\n" + TAIL,
       {},
       "{path}: the \"<array>\" of \"<key>ifdFriendlyName</key>\" not "
       "found.\n" +
           steps_names},
      {"ArrayOpenAtTheEnd",
       HEAD + Array("ifdVendorID", ok) + Array("ifdProductID", ok) +
           "<key>ifdFriendlyName</key>\n<array>\n" + ok,
       {},
       "{path}: the array of \"<key>ifdFriendlyName</key>\" is still open at "
       "the end of the file.\n" +
           steps_names},
      {"ElementOnTheOpeningLine",
       HEAD + "<key>ifdVendorID</key>\n<array><string>1</string>\n</array>\n" +
           Array("ifdProductID", "") + Array("ifdFriendlyName", "") + TAIL,
       {},
       "{path}, line 5: \"<array>\" must stand on a line of its own.\n" +
           steps_vids},
      {"ElementOnTheClosingLine",
       HEAD + Array("ifdVendorID", ok) +
           "<key>ifdProductID</key>\n<array>\n<string>2</string></array>\n" +
           Array("ifdFriendlyName", ok) + TAIL,
       {},
       "{path}, line 10: \"</array>\" must stand on a line of its own.\n" +
           steps_pids},
      {"OneLineArray",
       HEAD + "<key>ifdVendorID</key>\n<array></array>\n" + TAIL,
       {},
       "{path}, line 5: \"<array>\" must stand on a line of its own.\n" +
           steps_vids},
      {"KeyInsideAnArray",
       HEAD + "<key>ifdVendorID</key>\n<array>\n<key>ifdProductID</key>\n" +
           TAIL,
       {},
       "{path}, line 6: <key>ifdProductID</key> inside the array of "
       "\"<key>ifdVendorID</key>\".\n" +
           steps_vids},
      {"NestedArray",
       HEAD + "<key>ifdVendorID</key>\n<array>\n<array>\n" + TAIL,
       {},
       "{path}, line 6: array tag inside the array of "
       "\"<key>ifdVendorID</key>\".\n" +
           steps_vids},
      {"KeyAgainAfterTheArrays",
       Doc(ok, ok, ok, "<key>ifdVendorID</key>\n<array>\n</array>\n" + TAIL),
       {},
       "{path}, line 16: \"<key>ifdVendorID</key>\" stands again after the "
       "reader arrays.\n"},
      {"ArraysOfDifferentLengths",
       Doc(ok + ok, ok, ok),
       {},
       "{path}: the reader arrays differ in length (2 vendor IDs, 1 product "
       "IDs, 1 names).\n"},
      {"IdWithoutHexDigits",
       Doc(El("none"), ok, ok),
       {},
       "{path}, line 6: no hexadecimal ID in \"none\".\n" + steps_vids},
      {"EmptyId",
       Doc(ok, El(""), ok),
       {},
       "{path}, line 10: no hexadecimal ID in \"\".\n" + steps_pids},
      {"EndMarkerAsId",
       Doc(ok, El("0xFFFF"), ok),
       {},
       "{path}, line 10: ID out of range (0 to 0xfffe): \"0xFFFF\".\n" +
           steps_pids},
      {"IdPastSixteenBits",
       Doc(El("0x10000"), ok, ok),
       {},
       "{path}, line 6: ID out of range (0 to 0xfffe): \"0x10000\".\n" +
           steps_vids},
      {"IdOneDigitPastTheLargest",
       Doc(El("0xfffe0"), ok, ok),
       {},
       "{path}, line 6: ID out of range (0 to 0xfffe): \"0xfffe0\".\n" +
           steps_vids},
      {"NegativeId",
       Doc(El("-1"), ok, ok),
       {},
       "{path}, line 6: ID out of range (0 to 0xfffe): \"-1\".\n" + steps_vids},
      {"ValueTooLong",
       Doc(ok, ok, El(std::string(256, 'n'))),
       {},
       "{path}, line 14: element value longer than 255 bytes.\n" + steps_names},
      {"LineTooLongBeforeTheKeys",
       HEAD + "<!--" + std::string(MAX_LINE_LENGTH, '-') + "-->\n" + TAIL,
       {},
       "{path}, line 4: line longer than 16383 bytes.\n" + steps_vids},
      {"LineTooLongAfterTheArrays",
       Doc(ok, ok, ok, std::string(LINE_BUFFER_SIZE, ' ') + "\n"),
       {},
       "{path}, line 16: line longer than 16383 bytes.\n"},
      {"MoreReadersThanTheTableHolds",
       Doc(Repeat(ok, MAX_READERS + 1), "", ""),
       {},
       "{path}, line 1029: more than 1023 readers in one array.\n" +
           steps_vids},
      {"NulByte",
       Doc(ok, ok, El(std::string("a\0b", 3))),
       {},
       "{path}, line 14: line holds a NUL byte.\n" + steps_names},
  };
}

class LoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadTest, LoadsTheFormAndRefusesTheRest) {
  const LoadCase& c = GetParam();
  DriverListFolder file(c.content);
  static ReaderEntry table[READER_SLOTS];
  ResetReaderTable(table, READER_SLOTS);
  StartCapture();
  int result = FillExistingReaders(file.path().c_str(), table);
  std::string printed = EndCapture();
  EXPECT_EQ(printed, WithPath(c.output, file.path()));
  if (!c.output.empty()) {
    EXPECT_EQ(result, -1);
    return;
  }
  ASSERT_EQ(result, 0);
  std::vector<Reader> got;
  for (size_t i = 0; i < CountReaders(table, READER_SLOTS); i++)
    got.push_back({table[i].PID, table[i].VID, table[i].Name});
  EXPECT_EQ(got, c.readers);
  // The entry after the last reader still ends the table for every walk.
  EXPECT_EQ(table[got.size()].PID, END_MARKER);
  EXPECT_EQ(table[got.size()].VID, END_MARKER);
}

INSTANTIATE_TEST_SUITE_P(Accepted, LoadTest, testing::ValuesIn(AcceptedCases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Refused, LoadTest, testing::ValuesIn(RefusedCases()),
                         [](const auto& info) { return info.param.name; });

TEST(LoadTest, FullTableKeepsItsEndEntry) {
  DriverListFolder file(Doc(Repeat(El("1"), MAX_READERS),
                            Repeat(El("2"), MAX_READERS),
                            Repeat(El("N"), MAX_READERS)));
  static ReaderEntry table[READER_SLOTS];
  ResetReaderTable(table, READER_SLOTS);
  ASSERT_EQ(FillExistingReaders(file.path().c_str(), table), 0);
  EXPECT_EQ(CountReaders(table, READER_SLOTS), MAX_READERS);
  EXPECT_EQ(table[MAX_READERS].VID, END_MARKER);
}

TEST(LoadTest, UnreadableFile) {
  static ReaderEntry table[READER_SLOTS];
  StartCapture();
  EXPECT_EQ(FillExistingReaders("/nonexistent/Info.plist", table), -1);
  EXPECT_EQ(EndCapture(), "File could not be opened /nonexistent/Info.plist\n");
}

// Every limit the man page states, where it states it: in each text ("@"
// for the number) that stands in the page, the number is the limit's.
TEST(ManPageTest, StatesTheLimitsOfTheCode) {
  std::string page = Slurp(HALVO_MAN_PAGE);
  std::replace(page.begin(), page.end(), '\n', ' ');
  const auto dec = [](long v) { return std::to_string(v); };
  const std::string max_id =
      "0x" + (std::stringstream() << std::hex << MAX_ID).str();
  const std::pair<std::string, std::vector<std::string>> limits[] = {
      {dec(MAX_PATH_LENGTH), {"at most @ allowed"}},
      {dec(PATH_BUFFER_SIZE - 1), {"longer than @ bytes;"}},
      {dec(MAX_LINE_LENGTH),
       {"line longer than @ bytes", "lines of at most @ bytes"}},
      {dec(MAX_VALUE_LENGTH),
       {"value longer than @ bytes", "values of at most @ bytes"}},
      {dec(SHOWN_VALUE_LENGTH), {"first @ bytes"}},
      {dec(MAX_READERS),
       {"more than @ readers", "at most @ readers",
        "tool at most @:", "table of @ ("}},
      {dec(LOCK_WAIT_SECONDS), {" @ seconds"}},
      {max_id, {"0 to @", "past @ or"}},
  };
  for (const auto& [value, texts] : limits)
    for (const std::string& text : texts) {
      const std::string before = text.substr(0, text.find('@'));
      const std::string after = text.substr(text.find('@') + 1);
      int seen = 0;
      for (size_t at = page.find(before); at != std::string::npos;
           at = page.find(before, at + 1)) {
        size_t from = at + before.size();
        size_t end = std::min(page.find_first_not_of("0123456789abcdefx", from),
                              page.size());
        if (end == from || page.compare(end, after.size(), after) != 0)
          continue;
        EXPECT_EQ(page.substr(from, end - from), value) << text;
        seen++;
      }
      EXPECT_GT(seen, 0) << text << " with " << value;
    }
}

}  // namespace
