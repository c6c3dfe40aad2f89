// dbcsprint: prints a test page of spaced Shift-JIS text on the default
// printer and reports every printing call it makes on standard output.
#ifndef DBCSPRINT_H
#define DBCSPRINT_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Exit statuses of the tool.
enum ExitStatus : int {
  kExitOk = 0,          // every reported call succeeded
  kExitCallFailed = 1,  // a reported call failed, or the report was not written
  kExitNoMemory = 2,    // the advance array of a run could not be allocated
};

// Size of the buffer that holds the default-printer entry (63 bytes of text
// and the terminator).
constexpr std::size_t kProfileBufferSize = 64;

// The fields of the default-printer entry "device,driver,output". Each points
// into the profile buffer, or is null when the entry has no such field.
struct PrinterEntry {
  char* device;
  char* driver;
  char* output;
};

// The extent of the reference character in the printer's default font, in
// device units: one cell of the test page. Both 0 until measured.
struct CellSize {
  std::int32_t cx;
  std::int32_t cy;
};
extern CellSize g_cellSize;

// Runs the whole job: reports the default printer, prints the test page on
// it, closes what was opened. Returns the process's exit status.
int PrintTestPage();

// Reads the default-printer entry into buffer and splits it in place.
PrinterEntry ReadPrinterEntry(char (&buffer)[kProfileBufferSize]);

// Writes the three lines that show the entry's fields.
void ReportPrinterEntry(const PrinterEntry& entry);

// Draws the n double-byte characters of text at (x, y), each character 2·k
// cells further from the next than the one before, and reports the draw.
// Returns the result of the draw call.
BOOL DrawSpacedRun(HDC hdc, std::int32_t x, std::int32_t y, const char* text, int n);

// The given number of cells of the given size, in 32-bit device units
// (wrapping like the platform's own 32-bit arithmetic, never overflowing).
std::int32_t Cells(std::int32_t count, std::int32_t size);

// Writes one line of the report and pushes it out at once, so that it
// survives a printer driver that takes the process down with it.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ReportLine(const char* format, ...);

// The exit status once the report is complete: status itself, or
// kExitCallFailed when any of the report could not be written.
int FinishReport(int status);

#endif  // DBCSPRINT_H
