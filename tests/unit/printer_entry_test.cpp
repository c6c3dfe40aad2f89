// The default-printer entry: how profile values split into the three fields
// and how the report shows them.
#include <gtest/gtest.h>

#include <string>

#include "dbcsprint.h"
#include "scenario_test.h"

namespace {

struct EntryCase {
  const char* name;
  std::string scenario;  // the profile line, if any
  const char* device;    // expected fields; null for absent
  const char* driver;
  const char* output;
};

const std::string k59(59, 'C');
const std::string k61(61, 'B');

const EntryCase kCases[] = {
    {"MissingKey", "", nullptr, nullptr, nullptr},
    {"Empty", "profile=\n", nullptr, nullptr, nullptr},
    {"ThreeFields", "profile=A,B,C\n", "A", "B", "C"},
    {"TwoFields", "profile=A,B\n", "A", "B", nullptr},
    {"NoComma", "profile=A\n", "A", nullptr, nullptr},
    {"EmptyMiddleFieldShiftsLeft", "profile=A,,C\n", "A", "C", nullptr},
    {"LeadingCommaShiftsLeft", "profile=,B,C\n", "B", "C", nullptr},
    {"FourthFieldIgnored", "profile=A,B,C,D\n", "A", "B", "C"},
    {"TrailingComma", "profile=A,B,C,\n", "A", "B", "C"},
    {"OnlyCommas", "profile=,,,\n", nullptr, nullptr, nullptr},
    {"SpacesKept", "profile= A , B ,C \n", " A ", " B ", "C "},
    // 表 ends in 0x5C, the backslash byte: it stays part of the character.
    {"ShiftJisDevice", "profile=\\x95\\x5C\\x83\\x76,winspool,LPT1:\n", "\x95\x5C\x83\x76",
     "winspool", "LPT1:"},
    {"NetworkDevice", "profile=\\x5C\\x5Cserver\\x5Cqueue,winspool,Ne00:\n", "\\\\server\\queue",
     "winspool", "Ne00:"},
    // The buffer holds 63 bytes; a longer value is cut, in any field.
    {"Exactly63Bytes", "profile=A,B," + k59 + "\n", "A", "B", k59.c_str()},
    {"CutInLastField", "profile=A,B," + k59 + "C\n", "A", "B", k59.c_str()},
    {"CutInDriverField", "profile=A," + k61 + "BBBBBBBBB,C\n", "A", k61.c_str(), nullptr},
};

void ExpectField(const char* expected, const char* actual,
                 const char (&buffer)[kProfileBufferSize]) {
  if (expected == nullptr) {
    EXPECT_EQ(actual, nullptr);
    return;
  }
  ASSERT_NE(actual, nullptr);
  EXPECT_STREQ(actual, expected);
  EXPECT_GE(actual, buffer);
  EXPECT_LT(actual, buffer + kProfileBufferSize);
}

std::string Shown(const char* field) { return field != nullptr ? field : "(null)"; }

class PrinterEntryTest : public testing::TestWithParam<EntryCase> {};

TEST_P(PrinterEntryTest, SplitsAndReports) {
  const EntryCase& c = GetParam();
  UseScenario(c.scenario);
  char buffer[kProfileBufferSize];
  const PrinterEntry entry = ReadPrinterEntry(buffer);
  ExpectField(c.device, entry.device, buffer);
  ExpectField(c.driver, entry.driver, buffer);
  ExpectField(c.output, entry.output, buffer);

  testing::internal::CaptureStdout();
  ReportPrinterEntry(entry);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Device : " + Shown(c.device) +
                                                        "\nDriver : " + Shown(c.driver) +
                                                        "\nOutput : " + Shown(c.output) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Values, PrinterEntryTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
