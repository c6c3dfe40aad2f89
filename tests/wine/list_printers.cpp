// list_printers: lists the printers Windows knows, and the default one.
// Loading the spooler library is what makes Wine take in the spooler's
// queues (and their default) as its own printers.
#include <windows.h>

#include <cstdio>
#include <vector>

int main() {
  DWORD needed = 0;
  DWORD count = 0;
  EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed > 0 ? needed : 1);
  if (EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count) == 0) {
    std::fprintf(stderr, "list_printers: EnumPrintersA failed: error %lu\n", GetLastError());
    return 1;
  }
  const auto* printers = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    std::printf("printer %s driver %s port %s\n", printers[i].pPrinterName, printers[i].pDriverName,
                printers[i].pPortName);
  }
  char name[256];
  DWORD size = sizeof name;
  if (GetDefaultPrinterA(name, &size) != 0) {
    std::printf("default %s\n", name);
  }
  return 0;
}
