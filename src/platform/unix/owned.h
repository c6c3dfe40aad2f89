// Ownership of the C handles the native platform holds: each is released by
// its library's own function when its owner goes.
#ifndef DBCSPRINT_PLATFORM_UNIX_OWNED_H
#define DBCSPRINT_PLATFORM_UNIX_OWNED_H

#include <cairo-ft.h>
#include <cairo-pdf.h>
#include <cairo-ps.h>
#include <cairo.h>
#include <cups/cups.h>
#include <fontconfig/fontconfig.h>
#include <iconv.h>

#include <cstdio>
#include <memory>

template <typename T, void (*Release)(T*)>
struct Releaser {
  void operator()(T* handle) const {
    if (handle != nullptr) {
      Release(handle);
    }
  }
};

template <typename T, void (*Release)(T*)>
using Owned = std::unique_ptr<T, Releaser<T, Release>>;

inline void FreeDest(cups_dest_t* dest) { cupsFreeDests(1, dest); }
inline void CloseFile(std::FILE* file) { std::fclose(file); }

using OwnedDest = Owned<cups_dest_t, FreeDest>;
using OwnedDestInfo = Owned<cups_dinfo_t, cupsFreeDestInfo>;
using OwnedHttp = Owned<http_t, httpClose>;
using OwnedIpp = Owned<ipp_t, ippDelete>;
using OwnedSurface = Owned<cairo_surface_t, cairo_surface_destroy>;
using OwnedCairo = Owned<cairo_t, cairo_destroy>;
using OwnedFontFace = Owned<cairo_font_face_t, cairo_font_face_destroy>;
using OwnedScaledFont = Owned<cairo_scaled_font_t, cairo_scaled_font_destroy>;
using OwnedFontOptions = Owned<cairo_font_options_t, cairo_font_options_destroy>;
using OwnedPattern = Owned<FcPattern, FcPatternDestroy>;
using OwnedFile = Owned<std::FILE, CloseFile>;

// An iconv conversion; iconv_t is not a pointer to a complete type on every
// libc, so it gets its own small owner.
class OwnedIconv {
 public:
  OwnedIconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~OwnedIconv() {
    if (IsOpen()) {
      iconv_close(cd_);
    }
  }
  OwnedIconv(const OwnedIconv&) = delete;
  OwnedIconv& operator=(const OwnedIconv&) = delete;

  // iconv_open reports failure as (iconv_t)-1.
  bool IsOpen() const {
    return cd_ != reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
  }
  iconv_t Handle() const { return cd_; }

 private:
  iconv_t cd_;
};

#endif  // DBCSPRINT_PLATFORM_UNIX_OWNED_H
