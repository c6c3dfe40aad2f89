// The default-printer entry: "device,driver,output" from the profile.
#include <cstring>

#include "dbcsprint.h"

namespace {

// Yields the next comma-delimited field at *position, or null when only
// commas or nothing are left. Empty fields are skipped; the comma that ends
// the field is overwritten with a terminator and *position moves past it.
char* NextField(char** position) {
  char* start = *position;
  while (*start == ',') {
    ++start;
  }
  if (*start == '\0') {
    *position = start;
    return nullptr;
  }
  char* end = start;
  while (*end != '\0' && *end != ',') {
    ++end;
  }
  if (*end == ',') {
    *end = '\0';
    ++end;
  }
  *position = end;
  return start;
}

const char* Shown(const char* field) { return field != nullptr ? field : "(null)"; }

}  // namespace

PrinterEntry ReadPrinterEntry(char (&buffer)[kProfileBufferSize]) {
  std::memset(buffer, 0, sizeof buffer);
  GetProfileStringA("Windows", "device", "", buffer, static_cast<DWORD>(sizeof buffer));
  // The platform terminates what it stores; make sure of it, since the
  // fields are read as strings.
  buffer[sizeof buffer - 1] = '\0';

  char* position = buffer;
  PrinterEntry entry{};
  entry.device = NextField(&position);
  entry.driver = NextField(&position);
  entry.output = NextField(&position);
  return entry;
}

void ReportPrinterEntry(const PrinterEntry& entry) {
  ReportLine("Device : %s\n", Shown(entry.device));
  ReportLine("Driver : %s\n", Shown(entry.driver));
  ReportLine("Output : %s\n", Shown(entry.output));
}
