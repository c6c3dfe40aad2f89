// The print job: from the default-printer entry to the released device
// context, every printing call but the measurement reported by one line.
#include "dbcsprint.h"

CellSize g_cellSize = {0, 0};

static_assert(sizeof(void*) != 4 || sizeof(DOCINFOA) == 20,
              "a 32-bit program's document record is 20 bytes");

namespace {

// Shift-JIS texts, two bytes a character.
constexpr char kReferenceChar[] = "\x88\x9F";         // 亜, one cell
constexpr char kRun1[] = "\x88\xEB";                  // 壱
constexpr char kRun2[] = "\x93\xF3\x93\xF3";          // 弐弐
constexpr char kRun3[] = "\x8E\x51\x8E\x51\x8E\x51";  // 参参参

// Starts the page, draws the three runs and ends the page. Returns whether
// every call succeeded.
bool PrintPage(HDC hdc) {
  if (StartPage(hdc) <= 0) {
    ReportLine("StartPage() <= 0\n");
    return false;
  }
  ReportLine("StartPage() Successfull.\n");

  // The runs start 16 cells in and 10 cells down, the lines 2 cells apart.
  const std::int32_t x = Cells(16, g_cellSize.cx);
  bool succeeded = true;
  succeeded &= DrawSpacedRun(hdc, x, Cells(10, g_cellSize.cy), kRun1, 1) != 0;
  succeeded &= DrawSpacedRun(hdc, x, Cells(12, g_cellSize.cy), kRun2, 2) != 0;
  succeeded &= DrawSpacedRun(hdc, x, Cells(14, g_cellSize.cy), kRun3, 3) != 0;

  if (EndPage(hdc) > 0) {
    ReportLine("EndPage() Successfull.\n");
  } else {
    ReportLine("EndPage() <= 0\n");
    succeeded = false;
  }
  return succeeded;
}

}  // namespace

std::int32_t Cells(std::int32_t count, std::int32_t size) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) *
                                   static_cast<std::uint32_t>(size));
}

int PrintTestPage() {
  // Find the default printer and show its entry.
  char profile[kProfileBufferSize];
  const PrinterEntry entry = ReadPrinterEntry(profile);
  ReportPrinterEntry(entry);

  // Open the printer; without a device context there is nothing to print on.
  HDC hdc = CreateDCA(entry.driver, entry.device, nullptr, nullptr);
  if (hdc == nullptr) {
    ReportLine("Error : hDC == NULL\n");
    return FinishReport(kExitCallFailed);
  }
  ReportLine("CreateDC() Successfull.\n");
  bool succeeded = true;

  // Measure one cell in the printer's default font; a failed measurement
  // leaves the cell empty rather than undefined.
  SIZE extent = {0, 0};
  if (GetTextExtentPoint32A(hdc, kReferenceChar, 2, &extent) != 0) {
    g_cellSize = {extent.cx, extent.cy};
  } else {
    g_cellSize = {0, 0};
  }

  // Print the document "Test" on the entry's output. A job identifier is
  // > 0; SP_ERROR and every other value <= 0 mean no document was started.
  DOCINFOA doc = {};
  doc.cbSize = sizeof doc;
  doc.lpszDocName = "Test";
  doc.lpszOutput = entry.output;
  doc.lpszDatatype = nullptr;
  doc.fwType = 0;
  const int job = StartDocA(hdc, &doc);
  if (job <= 0) {
    ReportLine(job == SP_ERROR ? "StartDoc() == SP_ERROR\n" : "StartDoc() <= 0\n");
    succeeded = false;
  } else {
    ReportLine("StartDoc() Successfull.\n");
    succeeded &= PrintPage(hdc);

    // End the document, whatever became of the page.
    const int ended = EndDoc(hdc);
    if (ended > 0) {
      ReportLine("EndDoc() Successful.\n");
    } else {
      ReportLine(ended == SP_ERROR ? "EndDoc() == SP_ERROR\n" : "EndDoc() <= 0\n");
      succeeded = false;
    }
  }

  // Release the device context on every path that created one.
  if (DeleteDC(hdc) != 0) {
    ReportLine("DeleteDC() Successful.\n");
  } else {
    ReportLine("DeleteDC() != TRUE\n");
    succeeded = false;
  }
  return FinishReport(succeeded ? kExitOk : kExitCallFailed);
}
