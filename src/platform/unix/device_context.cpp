// Device contexts on spooler destinations: CreateDCA and DeleteDC.
#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "native.h"

namespace {

// The live contexts. An HDC is the address of one of them, so a handle that
// is not in this list is never dereferenced.
std::vector<std::unique_ptr<DeviceContext>>& Contexts() {
  static std::vector<std::unique_ptr<DeviceContext>> contexts;
  return contexts;
}

}  // namespace

DeviceContext* LiveContext(HDC hdc) {
  for (const auto& context : Contexts()) {
    if (context.get() == hdc) {
      return context.get();
    }
  }
  return nullptr;
}

void Complain(const char* call, const char* format, ...) {
  std::fprintf(stderr, "dbcsprint: %s: ", call);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  std::fputc('\n', stderr);
}

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR /*port*/, const DEVMODEA* /*devmode*/) {
  // Contexts are opened on spooler destinations through the "cups" driver,
  // named: an entry cut before its driver field opens nothing, rather than
  // a printer whose name happens to be the cut one.
  if (device == nullptr || driver == nullptr || strcasecmp(driver, "cups") != 0) {
    Complain("CreateDCA", "no such printer: device %s, driver %s", device ? device : "(none)",
             driver ? driver : "(none)");
    return nullptr;
  }
  auto context = std::make_unique<DeviceContext>();
  if (!LookUpDestination(device, &context->destination)) {
    return nullptr;
  }
  if (!LoadDefaultFont(context->destination.dpi, &context->font)) {
    Complain("CreateDCA", "no font for Japanese text");
    return nullptr;
  }
  Contexts().push_back(std::move(context));
  return Contexts().back().get();
}

BOOL WINAPI DeleteDC(HDC hdc) {
  auto& contexts = Contexts();
  const auto found = std::find_if(contexts.begin(), contexts.end(),
                                  [hdc](const auto& context) { return context.get() == hdc; });
  if (found == contexts.end()) {
    return 0;
  }
  // A document still open is abandoned: its job is cancelled, so that
  // nothing half-made prints. The context goes either way.
  const bool released = AbandonDocument(found->get());
  contexts.erase(found);
  return released ? 1 : 0;
}
