#include "driverlist/lines.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct LineCase {
  const char* name;
  std::string input;
  std::vector<std::string> lines;  // read before the end or the failure
  std::string output;              // printed; {path} for the file
};
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

std::vector<LineCase> LineCases() {
  const std::string longest(MAX_LINE_LENGTH, 'x');
  return {
      {"LfLines", "a\nb\n", {"a", "b"}, ""},
      {"CrLfLikeLf", "a\r\nb\r\n", {"a", "b"}, ""},
      {"CrAnywhereDropped", "\ra\rb\r\n", {"ab"}, ""},
      {"EmptyLinesAreNotTheEnd", "\n\n", {"", ""}, ""},
      {"LastLineWithoutLf", "a\nlast", {"a", "last"}, ""},
      {"LongestLineFits", longest + "\n", {longest}, ""},
      {"CrDoesNotCountTowardsTheLimit", longest + "\r\n", {longest}, ""},
      {"OneByteTooLongIsRefused",
       "ok\n" + longest + "y\n",
       {"ok"},
       "{path}, line 2: line longer than 16383 bytes.\n"},
      {"LongerThanTheReadBlock",
       "ok\n" + std::string(READ_BLOCK_SIZE * 2, 'z'),
       {"ok"},
       "{path}, line 2: line longer than 16383 bytes.\n"},
      {"ManyCRsStillFit",
       std::string(READ_BLOCK_SIZE, '\r') + longest + "\r\nnext",
       {longest, "next"},
       ""},
      {"LongestLastLineWithoutLf", "a\n" + longest, {"a", longest}, ""},
      {"NulIsRefused",
       std::string("a\nb\0c\n", 6),
       {"a"},
       "{path}, line 2: line holds a NUL byte.\n"},
      {"EmptyFile", "", {}, ""},
  };
}

class FgetsLTest : public testing::TestWithParam<LineCase> {};

TEST_P(FgetsLTest, ReadsWholeLinesOrRefuses) {
  const LineCase& c = GetParam();
  SourceFile source(c.input);
  ASSERT_NE(source.in, nullptr);
  std::vector<std::string> got;
  size_t length;
  StartCapture();
  while (const char* line = fgetsL(source.in, &length)) {
    EXPECT_EQ(std::strlen(line), length);
    got.push_back(line);
  }
  std::string printed = EndCapture();
  EXPECT_EQ(got, c.lines);
  EXPECT_EQ(printed, WithPath(c.output, source.file.path()));
  EXPECT_EQ(source.in->failed, !c.output.empty());
}

INSTANTIATE_TEST_SUITE_P(Lines, FgetsLTest, testing::ValuesIn(LineCases()),
                         [](const auto& info) { return info.param.name; });

TEST(FgetsLTest, LinesAcrossReadBlocksStayWhole) {
  std::string input;
  for (int i = 0; i < 40000; i++) input += "line " + std::to_string(i) + "\r\n";
  ASSERT_GT(input.size(), 2 * READ_BLOCK_SIZE);
  SourceFile source(input);
  ASSERT_NE(source.in, nullptr);
  size_t length;
  int i = 0;
  while (const char* line = fgetsL(source.in, &length))
    ASSERT_EQ(std::string(line), "line " + std::to_string(i++));
  EXPECT_EQ(i, 40000);
  EXPECT_FALSE(source.in->failed);
}

TEST(FSkipPlainTest, TakesThePlainLinesAfterAReadInOneRun) {
  SourceFile source("first\nplain\n  more\n<array>\n");
  ASSERT_NE(source.in, nullptr);
  size_t length;
  ASSERT_NE(fgetsL(source.in, &length), nullptr);
  const char* run = fSkipPlain(source.in, &length);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(std::string(run, length), "plain\n  more\n");
  EXPECT_EQ(source.in->line_number, 3);
  EXPECT_STREQ(fgetsL(source.in, &length), "<array>");
}

TEST(FputsLTest, EndsEveryLineWithOneLf) {
  DriverListFolder file("");
  FILE* f = std::fopen(file.path().c_str(), "w+");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fputsL("text", f), 0);
  EXPECT_EQ(fputsL("", f), 0);
  EXPECT_EQ(fputsL(nullptr, f), 0);
  std::rewind(f);
  char got[16] = {};
  EXPECT_EQ(std::fread(got, 1, sizeof got, f), 7u);
  std::fclose(f);
  EXPECT_STREQ(got, "text\n\n\n");
}

TEST(FputsLTest, ReportsAWriteThatFails) {
  FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(fputsL("text", full), -1);
  EXPECT_EQ(fputsL("", full), -1);  // the LF alone
  std::fclose(full);
}

struct MarksCase {
  const char* name;
  const char* line;
  unsigned marks;
};
void PrintTo(const MarksCase& c, std::ostream* os) { *os << c.name; }

class LineMarksTest : public testing::TestWithParam<MarksCase> {};

TEST_P(LineMarksTest, FindsEveryMarkerAnywhere) {
  EXPECT_EQ(LineMarks(GetParam().line), GetParam().marks);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineMarksTest,
    testing::Values(
        MarksCase{"Plain", "\t<string>0x072F</string>", 0},
        MarksCase{"VendorKey", "\t<key>ifdVendorID</key>", MARK_KEY_VID},
        MarksCase{"KeyAfterText", "x <key>ifdProductID</key>", MARK_KEY_PID},
        MarksCase{"NameKeyAndOpen", "<key>ifdFriendlyName</key><array>",
                  MARK_KEY_NAME | MARK_ARRAY_OPEN},
        MarksCase{"OtherKey", "<key>ifdVendorIDs</key>", 0},
        MarksCase{"ShortKey", "<key>ifdVendor", 0},
        MarksCase{"OneLineArray", "<array></array>",
                  MARK_ARRAY_OPEN | MARK_ARRAY_CLOSE},
        MarksCase{"SelfClosing", "<array/>", MARK_ARRAY_OTHER},
        MarksCase{"SpacedClose", "</array >", MARK_ARRAY_OTHER},
        MarksCase{"TagAtTheEnd", "text <array", MARK_ARRAY_OTHER},
        MarksCase{"LoneAngle", "a < b <", 0}),
    [](const auto& info) { return info.param.name; });

bool RefuseNothing(unsigned, ReaderArray, char*) { return false; }
bool RefuseKeys(unsigned marks, ReaderArray, char* reason) {
  std::snprintf(reason, REASON_SIZE, "key met.");
  return (marks & MARK_KEYS) != 0;
}

constexpr ReaderArray ANY = ReaderArray::VendorIDs;

TEST(FSkipToTest, ConsumesUpToTheMarkOrTheEnd) {
  SourceFile source("a\n<array>x\nb\n");
  ASSERT_NE(source.in, nullptr);
  const char* line = fSkipTo(MARK_ARRAY_OPEN, source.in, RefuseNothing, ANY);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, "<array>x");
  EXPECT_EQ(fSkipTo(MARK_ARRAY_OPEN, source.in, RefuseNothing, ANY), nullptr);
  EXPECT_FALSE(source.in->failed);
}

TEST(FSkipToTest, StopsAtARefusedLine) {
  SourceFile source("a\n<key>ifdProductID</key>\n<array>\n");
  ASSERT_NE(source.in, nullptr);
  StartCapture();
  EXPECT_EQ(fSkipTo(MARK_ARRAY_OPEN, source.in, RefuseKeys, ANY), nullptr);
  EXPECT_EQ(EndCapture(), source.file.path() + ", line 2: key met.\n");
  EXPECT_TRUE(source.in->failed);
}

}  // namespace
