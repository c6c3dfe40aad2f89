// One run of double-byte characters drawn with an explicit advance per byte.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "dbcsprint.h"

BOOL DrawSpacedRun(HDC hdc, std::int32_t x, std::int32_t y, const char* text, int n) {
  const int count = 2 * n;  // bytes: every character is a lead and a trail byte

  // One advance per byte. The lead byte of character k (from 1) carries the
  // distance to character k + 1, 2·k cells; trail bytes and the last
  // character carry 0.
  std::unique_ptr<INT[]> advances(new (std::nothrow) INT[count]());
  if (advances == nullptr) {
    std::fprintf(stderr, "dbcsprint: out of memory for the advances of a %d-character run\n", n);
    std::exit(kExitNoMemory);
  }
  for (int k = 1; k < n; ++k) {
    const std::size_t lead = 2 * static_cast<std::size_t>(k - 1);
    advances[lead] = Cells(2 * k, g_cellSize.cx);
  }

  ReportLine("print \"%s\"\n", text);
  const BOOL drawn =
      ExtTextOutA(hdc, x, y, 0, nullptr, text, static_cast<UINT>(count), advances.get());
  ReportLine("ExtTextOut() : %d (1:OK 0:NG)\n", drawn);
  return drawn;
}
