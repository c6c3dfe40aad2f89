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

constexpr double kPointsPerInch = 72;
constexpr double kA4Width = 210 / 25.4 * kPointsPerInch;
constexpr double kA4Height = 297 / 25.4 * kPointsPerInch;
constexpr double kDefaultDpi = 600;

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

void DestinationGeometry(cups_dest_t* dest, double* width, double* height, double* dpi) {
  *width = kA4Width;
  *height = kA4Height;
  *dpi = kDefaultDpi;
  const OwnedDestInfo info(cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest));
  if (info == nullptr) {
    return;
  }
  cups_size_t media{};
  if (cupsGetDestMediaDefault(CUPS_HTTP_DEFAULT, dest, info.get(), CUPS_MEDIA_FLAGS_DEFAULT,
                              &media) != 0 &&
      media.width > 0 && media.length > 0) {
    // cups_size_t is in hundredths of a millimetre.
    *width = media.width / 2540.0 * kPointsPerInch;
    *height = media.length / 2540.0 * kPointsPerInch;
  }
  ipp_attribute_t* resolution =
      cupsFindDestDefault(CUPS_HTTP_DEFAULT, dest, info.get(), "printer-resolution");
  if (resolution != nullptr) {
    int vertical = 0;
    ipp_res_t units = IPP_RES_PER_INCH;
    const int horizontal = ippGetResolution(resolution, 0, &vertical, &units);
    if (horizontal > 0) {
      *dpi = units == IPP_RES_PER_CM ? horizontal * 2.54 : horizontal;
    }
  }
}

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR /*port*/, const DEVMODEA* /*devmode*/) {
  // Contexts are opened on spooler destinations, through the "cups" driver.
  if (device == nullptr || (driver != nullptr && strcasecmp(driver, "cups") != 0)) {
    Complain("CreateDCA", "no such printer: device %s, driver %s", device ? device : "(none)",
             driver ? driver : "(none)");
    return nullptr;
  }
  auto context = std::make_unique<DeviceContext>();
  context->dest.reset(cupsGetNamedDest(CUPS_HTTP_DEFAULT, device, nullptr));
  if (context->dest == nullptr) {
    Complain("CreateDCA", "%s: %s", device, cupsLastErrorString());
    return nullptr;
  }
  DestinationGeometry(context->dest.get(), &context->pageWidth, &context->pageHeight,
                      &context->dpi);
  if (!LoadDefaultFont(context->dpi, &context->font)) {
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
  // nothing half-written prints.
  if ((*found)->document != nullptr) {
    CancelJob((*found)->document.get());
  }
  contexts.erase(found);
  return 1;
}
