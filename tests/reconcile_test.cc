#include "reconcile/reconcile.h"

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct ReconcileCase {
  const char* name;
  std::vector<Reader> existing;
  std::string output;
  int appended;
  std::vector<int> missing;  // rows of HalvoReaders appended, in order
};
void PrintTo(const ReconcileCase& c, std::ostream* os) { *os << c.name; }

// The twelve built-in readers under their own names, with one changed.
std::vector<Reader> AllTwelve(size_t changed = 99, const char* name = "") {
  std::vector<Reader> all;
  for (size_t i = 0; HalvoReaders[i].PID != END_MARKER; i++)
    all.push_back({HalvoReaders[i].PID, HalvoReaders[i].VID,
                   i == changed ? name : HalvoReaders[i].Name});
  return all;
}
std::vector<Reader> AllButRow1(std::vector<Reader> all = AllTwelve()) {
  all.erase(all.begin());
  return all;
}

const char* const ALL_MISSING =
    "Missing Reader: 0x0341 - 0x2e5b - HALVO MERIDOX KEY 341\n"
    "Missing Reader: 0x0352 - 0x2e5b - HALVO MERIDOX KEY 540\n"
    "Missing Reader: 0x0357 - 0x2e5b - HALVO MERIDOX KEY 540\n"
    "Missing Reader: 0x0355 - 0x2e5b - HALVO MERIDOX KEY 310\n"
    "Missing Reader: 0x0359 - 0x2e5b - HALVO MERIDOX KEY 310\n"
    "Missing Reader: 0x0362 - 0x2e5b - HALVO MERIDOX KEY 312\n"
    "Missing Reader: 0x0360 - 0x2e5b - HALVO MERIDOX KEY 312\n"
    "Missing Reader: 0x0003 - 0x2e5b - HALVO HX615\n"
    "Missing Reader: 0x0635 - 0x2e5b - HALVO HX635\n"
    "Missing Reader: 0x0645 - 0x2e5b - HALVO HX645\n"
    "Missing Reader: 0x0650 - 0x2e5b - HALVO MERIDOX 650\n"
    "Missing Reader: 0x0680 - 0x2e5b - Halvo MERIDOX 680\n";

std::vector<ReconcileCase> Cases() {
  const Reader row1{0x0341, 0x2e5b, "HALVO MERIDOX KEY 341"};
  std::vector<Reader> row1_first_wrong = AllTwelve(0, "Wrong");
  row1_first_wrong.push_back(row1);
  return {
      {"AllPresent", AllTwelve(), "", 0, {}},
      {"NonePresent",
       {{0x0090, 0x072f, "Korvane A"}},
       ALL_MISSING,
       12,
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {"WrongNameShowsTheAlternative",
       AllTwelve(1, "Reader X"),
       "Name mismatch: 0x0352 - 0x2e5b - 'HALVO MERIDOX KEY 540' or 'KY540' "
       "to 'Reader X'\n",
       0,
       {}},
      {"WrongNameShowsAnEmptyAlternative",
       AllTwelve(0, "Reader X"),
       "Name mismatch: 0x0341 - 0x2e5b - 'HALVO MERIDOX KEY 341' or '' to "
       "'Reader X'\n",
       0,
       {}},
      {"AlternativeNameAccepted", AllTwelve(1, "KY540"), "", 0, {}},
      {"EmptyNameMatchesAnEmptyAlternative", AllTwelve(0, ""), "", 0, {}},
      {"CaseOfTheMakerWordMatters",
       AllTwelve(11, "HALVO MERIDOX 680"),
       "Name mismatch: 0x0680 - 0x2e5b - 'Halvo MERIDOX 680' or '' to 'HALVO "
       "MERIDOX 680'\n",
       0,
       {}},
      {"SameProductIdUnderAnotherVendorIsMissing",
       [] {
         auto v = AllButRow1();
         v.push_back({0x0341, 0x072f, "HALVO MERIDOX KEY 341"});
         return v;
       }(),
       "Missing Reader: 0x0341 - 0x2e5b - HALVO MERIDOX KEY 341\n",
       1,
       {0}},
      {"OnlyTheFirstOfTwoEntriesCounts",
       row1_first_wrong,
       "Name mismatch: 0x0341 - 0x2e5b - 'HALVO MERIDOX KEY 341' or '' to "
       "'Wrong'\n",
       0,
       {}},
      {"MismatchAndMissingTogether",
       AllButRow1(AllTwelve(2, "Other")),
       "Missing Reader: 0x0341 - 0x2e5b - HALVO MERIDOX KEY 341\n"
       "Name mismatch: 0x0357 - 0x2e5b - 'HALVO MERIDOX KEY 540' or 'KY540' "
       "to 'Other'\n",
       1,
       {0}},
  };
}

void Fill(ReaderEntry* table, const std::vector<Reader>& readers) {
  ResetReaderTable(table, READER_SLOTS);
  for (size_t i = 0; i < readers.size(); i++) {
    table[i].PID = readers[i].pid;
    table[i].VID = readers[i].vid;
    std::snprintf(table[i].Name, NAME_SIZE, "%s", readers[i].name.c_str());
  }
}

class ReconcileTest : public testing::TestWithParam<ReconcileCase> {};

TEST_P(ReconcileTest, ReportsAndAppendsInTableOrder) {
  const ReconcileCase& c = GetParam();
  static ReaderEntry table[READER_SLOTS];
  Fill(table, c.existing);
  StartCapture();
  int appended = UpdateHalvoReaderToExisting(table, HalvoReaders, nullptr);
  EXPECT_EQ(EndCapture(), c.output);
  EXPECT_EQ(appended, c.appended);
  size_t n = CountReaders(table, READER_SLOTS);
  ASSERT_EQ(n, c.existing.size() + c.appended);
  EXPECT_EQ(table[n].VID, END_MARKER);
  for (size_t i = 0; i < c.existing.size(); i++)  // never changed
    EXPECT_EQ(table[i].Name, c.existing[i].name);
  // The appended rows follow the file's readers, first row first.
  ASSERT_EQ(c.missing.size(), static_cast<size_t>(c.appended));
  for (size_t i = 0; i < c.missing.size(); i++) {
    const ReaderEntry& got = table[c.existing.size() + i];
    const ReaderEntry& row = HalvoReaders[c.missing[i]];
    EXPECT_EQ(got.PID, row.PID);
    EXPECT_EQ(got.VID, row.VID);
    EXPECT_STREQ(got.Name, row.Name);
    EXPECT_STREQ(got.AltName, row.AltName);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReconcileTest, testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

struct CapacityCase {
  const char* name;
  size_t readers;
  int left_out;  // missing readers that find no room
};
void PrintTo(const CapacityCase& c, std::ostream* os) { *os << c.name; }

class CapacityTest : public testing::TestWithParam<CapacityCase> {};

// Every missing reader is reported, whatever the room; only those that fit
// are appended, and the table keeps its end entry.
TEST_P(CapacityTest, ReportsEveryReaderAndNeverWritesPastTheTable) {
  static ReaderEntry table[READER_SLOTS];
  const CapacityCase& c = GetParam();
  std::vector<Reader> others(c.readers, Reader{1, 1, "Other"});
  Fill(table, others);
  StartCapture();
  int left_out = -1;
  int result = UpdateHalvoReaderToExisting(table, HalvoReaders, &left_out);
  std::string printed = EndCapture();
  const std::string last =
      "Missing Reader: 0x0680 - 0x2e5b - Halvo MERIDOX 680\n";
  EXPECT_EQ(result, 12);
  EXPECT_EQ(left_out, c.left_out);
  EXPECT_EQ(printed.substr(printed.size() - last.size()), last);
  EXPECT_EQ(CountReaders(table, READER_SLOTS), c.readers + 12 - c.left_out);
  EXPECT_EQ(table[MAX_READERS].PID, END_MARKER);
  EXPECT_EQ(table[MAX_READERS].VID, END_MARKER);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CapacityTest,
    testing::Values(CapacityCase{"TwelveFitExactly", MAX_READERS - 12, 0},
                    CapacityCase{"OneTooMany", MAX_READERS - 11, 1},
                    CapacityCase{"AlreadyFull", MAX_READERS, 12}),
    [](const auto& info) { return info.param.name; });

}  // namespace
