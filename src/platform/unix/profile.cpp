// The profile: the one entry the tool reads, [Windows] device, answered from
// the spooler's default destination as "<destination>,cups,CUPS:<destination>".
#include <strings.h>
#include <algorithm>
#include <cstring>
#include <string>

#include "native.h"

namespace {

// The default destination by libcups' own rules (LPDEST or PRINTER,
// lpoptions, the server's default); empty when there is none or the
// spooler cannot be reached.
std::string DefaultDestination() {
  const OwnedDest dest(cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr));
  if (dest == nullptr) {
    Complain("GetProfileStringA", "no default printer: %s", cupsLastErrorString());
    return "";
  }
  std::string name = dest->name;
  if (dest->instance != nullptr) {
    name += "/";
    name += dest->instance;
  }
  return name;
}

}  // namespace

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR buffer,
                               DWORD size) {
  std::string value = fallback != nullptr ? fallback : "";
  if (section != nullptr && key != nullptr && strcasecmp(section, "Windows") == 0 &&
      strcasecmp(key, "device") == 0) {
    const std::string dest = DefaultDestination();
    if (!dest.empty()) {
      value = dest + ",cups,CUPS:" + dest;
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
