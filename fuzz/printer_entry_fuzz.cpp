// Feeds arbitrary profile values (0 to 200 bytes, any bytes) through the
// entry reader and checks that every field it yields is a non-empty,
// comma-free string that lies wholly inside the profile buffer, after the
// field before it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dbcsprint.h"
#include "scripted_platform.h"

namespace {

// Checks one field; returns where the next one may begin.
const char* CheckField(const char* field, const char* from, const char* end) {
  if (field == nullptr) {
    return from;
  }
  if (field < from || field >= end) {
    std::abort();  // outside the buffer, or overlapping the field before
  }
  const void* terminator = std::memchr(field, '\0', static_cast<std::size_t>(end - field));
  if (terminator == nullptr) {
    std::abort();  // runs past the end of the buffer
  }
  const std::size_t length = static_cast<const char*>(terminator) - field;
  if (length == 0 || std::memchr(field, ',', length) != nullptr) {
    std::abort();  // empty, or holds a delimiter
  }
  return field + length + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 200) {
    return 0;
  }
  Scenario scenario;
  scenario.hasProfile = true;
  scenario.profile.assign(reinterpret_cast<const char*>(data), size);
  StartScenario(scenario, nullptr);

  char buffer[kProfileBufferSize];
  const PrinterEntry entry = ReadPrinterEntry(buffer);
  const char* end = buffer + kProfileBufferSize;
  const char* next = CheckField(entry.device, buffer, end);
  next = CheckField(entry.driver, next, end);
  CheckField(entry.output, next, end);
  // A field is only absent when no later one is present.
  if ((entry.device == nullptr && entry.driver != nullptr) ||
      (entry.driver == nullptr && entry.output != nullptr)) {
    std::abort();
  }
  return 0;
}
