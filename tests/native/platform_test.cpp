// The native platform's contract, call by call, against a private spooler
// (run under tests/spooler/with_spooler.py: DBCSPRINT_QUEUE names its
// default queue, a capture printer that saves jobs in DBCSPRINT_CAPTURE_DIR).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

std::string Queue() {
  const char* queue = std::getenv("DBCSPRINT_QUEUE");
  return queue != nullptr ? queue : "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether the spooler's queue is empty within 10 s.
bool QueueEmpties() {
  for (int i = 0; i < 100; ++i) {
    if (std::system("test -z \"$(lpstat -o)\"") == 0) {
      return true;
    }
    usleep(100000);
  }
  return false;
}

// The names of the jobs the capture printer received so far.
std::string CapturedJobs() {
  std::string names;
  const std::string command = "ls \"$DBCSPRINT_CAPTURE_DIR\"";
  std::FILE* list = popen(command.c_str(), "r");
  char line[256];
  while (list != nullptr && std::fgets(line, sizeof line, list) != nullptr) {
    names += line;
  }
  if (list != nullptr) {
    pclose(list);
  }
  return names;
}

// A document record for output (null: the context's own destination).
DOCINFOA Document(const char* output, const char* name = "Test") {
  DOCINFOA doc = {};
  doc.cbSize = sizeof doc;
  doc.lpszDocName = name;
  doc.lpszOutput = output;
  return doc;
}

// A context on the default queue, deleted at the end of the test.
class PlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Queue().empty()) << "run under tests/spooler/with_spooler.py";
    hdc_ = CreateDCA("cups", Queue().c_str(), nullptr, nullptr);
    ASSERT_NE(hdc_, nullptr);
  }
  void TearDown() override {
    if (hdc_ != nullptr) {
      EXPECT_NE(DeleteDC(hdc_), 0);
    }
  }

  // Prints one run on a page of a document sent to output; returns EndDoc's result.
  int PrintTo(const char* output) {
    const DOCINFOA doc = Document(output);
    EXPECT_GT(StartDocA(hdc_, &doc), 0);
    EXPECT_GT(StartPage(hdc_), 0);
    EXPECT_EQ(ExtTextOutA(hdc_, 100, 100, 0, nullptr, "\x88\xEB", 2, nullptr), 1);
    EXPECT_GT(EndPage(hdc_), 0);
    return EndDoc(hdc_);
  }

  HDC hdc_ = nullptr;
};

TEST(ProfileTest, DeviceEntryNamesTheDefaultQueue) {
  char buffer[64];
  const std::string expected = Queue() + ",cups,";
  EXPECT_EQ(GetProfileStringA("Windows", "device", "", buffer, sizeof buffer), expected.size());
  EXPECT_EQ(std::string(buffer), expected);
}

TEST(ProfileTest, StoresAtMostSizeMinusOneBytes) {
  char buffer[5];
  EXPECT_EQ(GetProfileStringA("Windows", "device", "", buffer, sizeof buffer), 4U);
  EXPECT_EQ(std::string(buffer), Queue().substr(0, 4));
}

TEST(ProfileTest, OtherKeysGiveTheDefault) {
  char buffer[64];
  EXPECT_EQ(GetProfileStringA("Windows", "spooler", "none", buffer, sizeof buffer), 4U);
  EXPECT_EQ(std::string(buffer), "none");
  EXPECT_EQ(GetProfileStringA("Devices", "device", "", buffer, sizeof buffer), 0U);
  EXPECT_EQ(std::string(buffer), "");
}

TEST(CreateDCTest, NeedsAKnownDestinationAndTheCupsDriver) {
  const std::string queue = Queue();
  const struct {
    const char* driver;
    const char* device;
  } refused[] = {
      {"cups", nullptr},
      {"cups", "no-such-queue"},
      {"winspool", queue.c_str()},
      {nullptr, queue.c_str()},  // an entry cut before its driver field
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(std::string(c.driver ? c.driver : "(null)") + " " +
                 (c.device ? c.device : "(null)"));
    EXPECT_EQ(CreateDCA(c.driver, c.device, nullptr, nullptr), nullptr);
  }
  HDC hdc = CreateDCA("CUPS", queue.c_str(), nullptr, nullptr);
  EXPECT_NE(hdc, nullptr);
  EXPECT_NE(DeleteDC(hdc), 0);
}

TEST_F(PlatformTest, MeasuresFullWidthCharactersAtTwelvePoints) {
  // At 600 dpi, 12 pt is 100 units: the advance of a full-width character.
  SIZE size = {0, 0};
  ASSERT_NE(GetTextExtentPoint32A(hdc_, "\x88\x9F", 2, &size), 0);
  EXPECT_EQ(size.cx, 100);
  EXPECT_GT(size.cy, 90);
  EXPECT_LT(size.cy, 160);
  SIZE two = {0, 0};
  ASSERT_NE(GetTextExtentPoint32A(hdc_, "\x88\x9F\x88\x9F", 4, &two), 0);
  EXPECT_EQ(two.cx, 200);
  EXPECT_EQ(two.cy, size.cy);
}

TEST_F(PlatformTest, RefusesTextThatIsNotCodePage932) {
  SIZE size = {0, 0};
  EXPECT_EQ(GetTextExtentPoint32A(hdc_, "\x88", 1, &size), 0);      // lead byte alone
  EXPECT_EQ(GetTextExtentPoint32A(hdc_, "\x85\x40", 2, &size), 0);  // unassigned
  EXPECT_EQ(GetTextExtentPoint32A(hdc_, "\x88\x9F", -1, &size), 0);
}

TEST_F(PlatformTest, PagesAndDrawsNeedWhatEncloseThem) {
  const std::string path = testing::TempDir() + "dbcsprint-order.pdf";
  const DOCINFOA doc = Document(path.c_str());

  EXPECT_LE(StartPage(hdc_), 0);  // no document
  EXPECT_EQ(ExtTextOutA(hdc_, 0, 0, 0, nullptr, "\x88\xEB", 2, nullptr), 0);
  EXPECT_EQ(EndDoc(hdc_), SP_ERROR);
  ASSERT_GT(StartDocA(hdc_, &doc), 0);
  EXPECT_EQ(StartDocA(hdc_, &doc), SP_ERROR);  // one document at a time
  EXPECT_EQ(ExtTextOutA(hdc_, 0, 0, 0, nullptr, "\x88\xEB", 2, nullptr), 0);  // no page
  EXPECT_LE(EndPage(hdc_), 0);
  ASSERT_GT(StartPage(hdc_), 0);
  EXPECT_LE(StartPage(hdc_), 0);  // a page is open
  EXPECT_EQ(ExtTextOutA(hdc_, 0, 0, 0, nullptr, "\x88", 1, nullptr), 0);
  EXPECT_EQ(ExtTextOutA(hdc_, 0, 0, 0, nullptr, "\x88\xEB", 2, nullptr), 1);
  EXPECT_GT(EndPage(hdc_), 0);
  EXPECT_GT(EndDoc(hdc_), 0);
  std::remove(path.c_str());
}

TEST_F(PlatformTest, PrintsToAFile) {
  const std::string path = testing::TempDir() + "dbcsprint-file.pdf";
  EXPECT_GT(PrintTo(path.c_str()), 0);
  EXPECT_EQ(ReadAll(path).substr(0, 5), "%PDF-");
  std::remove(path.c_str());
}

TEST_F(PlatformTest, FileThatCannotBeCreatedFailsTheDocument) {
  const DOCINFOA doc = Document("/nonexistent-folder/test.pdf");
  EXPECT_EQ(StartDocA(hdc_, &doc), SP_ERROR);
}

TEST_F(PlatformTest, FullDeviceFailsEndDoc) { EXPECT_EQ(PrintTo("/dev/full"), SP_ERROR); }

TEST_F(PlatformTest, OutputNamingAnotherPrinterFailsTheDocument) {
  for (const char* output : {"CUPS:no-such-queue", "CUPS:"}) {
    SCOPED_TRACE(output);
    const DOCINFOA doc = Document(output);
    EXPECT_EQ(StartDocA(hdc_, &doc), SP_ERROR);
  }
}

TEST_F(PlatformTest, OutputNamingTheContextsOwnPrinterPrintsThere) {
  const std::string output = "CUPS:" + Queue();
  EXPECT_GT(PrintTo(output.c_str()), 0);
}

TEST_F(PlatformTest, DeleteDCCancelsAJobNotFinished) {
  // Jobs of earlier tests are done first, so that only this one counts.
  ASSERT_TRUE(QueueEmpties());
  const std::string captured = CapturedJobs();
  const DOCINFOA doc = Document(nullptr, "Abandoned");
  ASSERT_GT(StartDocA(hdc_, &doc), 0);
  ASSERT_GT(StartPage(hdc_), 0);
  EXPECT_NE(DeleteDC(hdc_), 0);
  hdc_ = nullptr;
  // The queue is empty again (the job was cancelled, not left pending) and
  // nothing reached the printer.
  EXPECT_TRUE(QueueEmpties());
  EXPECT_EQ(CapturedJobs(), captured);
}

TEST(DeviceContextTest, CallsOnAHandleThatIsNotLiveFail) {
  HDC hdc = CreateDCA("cups", Queue().c_str(), nullptr, nullptr);
  ASSERT_NE(hdc, nullptr);
  ASSERT_NE(DeleteDC(hdc), 0);
  const DOCINFOA doc = Document(nullptr);
  SIZE size = {0, 0};
  for (HDC dead : {hdc, static_cast<HDC>(nullptr)}) {
    EXPECT_EQ(GetTextExtentPoint32A(dead, "\x88\x9F", 2, &size), 0);
    EXPECT_EQ(StartDocA(dead, &doc), SP_ERROR);
    EXPECT_LE(StartPage(dead), 0);
    EXPECT_EQ(ExtTextOutA(dead, 0, 0, 0, nullptr, "\x88\xEB", 2, nullptr), 0);
    EXPECT_LE(EndPage(dead), 0);
    EXPECT_EQ(EndDoc(dead), SP_ERROR);
    EXPECT_EQ(DeleteDC(dead), 0);
  }
}

}  // namespace
