// A spaced run: the advance array handed to the platform, and the two report
// lines around the draw.
#include <gtest/gtest.h>

#include <string>

#include "dbcsprint.h"
#include "scenario_test.h"

namespace {

struct RunCase {
  const char* name;
  const char* text;
  int n;
  std::int32_t cx;
  BOOL result;         // what the platform's draw answers
  const char* call;    // expected call log line
  const char* report;  // expected report lines
};

const RunCase kCases[] = {
    {"OneCharacter", "\x88\xEB", 1, 50, 1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=88EB count=2 dx=0,0 -> 1",
     "print \"\x88\xEB\"\nExtTextOut() : 1 (1:OK 0:NG)\n"},
    {"TwoCharacters", "\x93\xF3\x93\xF3", 2, 50, 1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=93F393F3 count=4 dx=100,0,0,0 -> 1",
     "print \"\x93\xF3\x93\xF3\"\nExtTextOut() : 1 (1:OK 0:NG)\n"},
    {"ThreeCharactersGrowingDistance", "\x8E\x51\x8E\x51\x8E\x51", 3, 50, 1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=8E518E518E51 count=6 "
     "dx=100,0,200,0,0,0 -> 1",
     "print \"\x8E\x51\x8E\x51\x8E\x51\"\nExtTextOut() : 1 (1:OK 0:NG)\n"},
    {"EmptyCell", "\x8E\x51\x8E\x51\x8E\x51", 3, 0, 1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=8E518E518E51 count=6 dx=0,0,0,0,0,0 -> 1",
     "print \"\x8E\x51\x8E\x51\x8E\x51\"\nExtTextOut() : 1 (1:OK 0:NG)\n"},
    // 2 and 4 cells of 2^30 units wrap around 32 bits instead of overflowing.
    {"HugeCellWraps", "\x8E\x51\x8E\x51\x8E\x51", 3, 1073741824, 1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=8E518E518E51 count=6 "
     "dx=-2147483648,0,0,0,0,0 -> 1",
     "print \"\x8E\x51\x8E\x51\x8E\x51\"\nExtTextOut() : 1 (1:OK 0:NG)\n"},
    {"FailedDraw", "\x88\xEB", 1, 50, 0,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=88EB count=2 dx=0,0 -> 0",
     "print \"\x88\xEB\"\nExtTextOut() : 0 (1:OK 0:NG)\n"},
    {"OtherSuccessValueShownAsReturned", "\x88\xEB", 1, 50, 7,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=88EB count=2 dx=0,0 -> 7",
     "print \"\x88\xEB\"\nExtTextOut() : 7 (1:OK 0:NG)\n"},
    {"NegativeResult", "\x88\xEB", 1, 50, -1,
     "ExtTextOutA x=800 y=600 options=0 rect=null text=88EB count=2 dx=0,0 -> -1",
     "print \"\x88\xEB\"\nExtTextOut() : -1 (1:OK 0:NG)\n"},
};

class SpacedRunTest : public testing::TestWithParam<RunCase> {};

TEST_P(SpacedRunTest, DrawsAndReports) {
  const RunCase& c = GetParam();
  UseScenario("ExtTextOutA=" + std::to_string(c.result) + ",1,1\n");
  g_cellSize = {c.cx, 60};

  testing::internal::CaptureStdout();
  const BOOL drawn = DrawSpacedRun(nullptr, 800, 600, c.text, c.n);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.report);
  EXPECT_EQ(CallLog(), std::string(c.call) + "\n");
  EXPECT_EQ(drawn, c.result);
}

INSTANTIATE_TEST_SUITE_P(Values, SpacedRunTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
