// The profile: the one entry the tool reads, [Windows] device, answered from
// the spooler's default destination as "<destination>,cups,". The output
// field is left empty, so that the job goes to the destination the device
// context is opened on, and the destination is named once: names of up to
// 57 bytes fit the 63 bytes a caller's 64-byte buffer holds.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "native.h"

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR buffer,
                               DWORD size) {
  std::string value = fallback != nullptr ? fallback : "";
  if (section != nullptr && key != nullptr && strcasecmp(section, "Windows") == 0 &&
      strcasecmp(key, "device") == 0) {
    const cups_dest_t* dest = DefaultDestination();
    if (dest != nullptr) {
      value = DestinationName(dest) + ",cups,";
    }
  }
  if (buffer == nullptr || size == 0) {
    return 0;
  }
  // At most size - 1 bytes and a terminator: a longer value is cut.
  const auto stored = static_cast<DWORD>(std::min<std::size_t>(value.size(), size - 1));
  std::memcpy(buffer, value.data(), stored);
  buffer[stored] = '\0';
  return stored;
}
