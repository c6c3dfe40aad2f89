// What the parts of the native platform share: the device context behind an
// HDC, its font and its open document.
#ifndef DBCSPRINT_PLATFORM_UNIX_NATIVE_H
#define DBCSPRINT_PLATFORM_UNIX_NATIVE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "owned.h"
#include "platform/platform.h"

// The printer's default font: Japanese sans-serif at 12 pt, with metrics in
// device units (unhinted, so that they scale exactly).
struct Font {
  OwnedFontFace face;
  OwnedFontOptions options;
  OwnedScaledFont scaled;  // em = the font size in device units, identity device matrix
  double size = 0;         // em, in device units
  double ascent = 0;
  double descent = 0;
};

// A document between StartDocA and EndDoc: a PDF streamed to a spooler job,
// or written to a file.
struct Document {
  // Spooler job: its own connection, destination and job identifier.
  OwnedHttp http;
  OwnedDest dest;
  OwnedDestInfo info;
  int jobId = 0;
  // Print to file.
  std::string path;
  OwnedFile file;

  OwnedSurface surface;
  OwnedCairo cairo;
  bool writeFailed = false;
  bool pageOpen = false;
};

struct DeviceContext {
  OwnedDest dest;
  double dpi = 600;      // device units per inch
  double pageWidth = 0;  // in points
  double pageHeight = 0;
  Font font;
  std::unique_ptr<Document> document;  // while a document is open
};

// Cancels the document's spooler job, if it has one that was started and not
// finished, and closes the job's connection.
void CancelJob(Document* document);

// The context behind hdc, or null when hdc is not a live context.
DeviceContext* LiveContext(HDC hdc);

// Why a call failed, on standard error (the report on standard output is
// the tool's alone).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Complain(const char* call, const char* format, ...);

// One character of code page 932 text.
struct Character {
  std::size_t offset;  // of its first byte
  std::size_t length;  // 1, or 2 for a double-byte character
  char32_t codePoint;
};

// Splits count bytes of code page 932 text into characters; false when they
// are not valid code page 932.
bool DecodeCp932(const char* text, std::size_t count, std::vector<Character>* characters);

// Loads the default font for a context of the given resolution.
bool LoadDefaultFont(double dpi, Font* font);

// The destination's default media in points (A4 when it reports none) and
// its default resolution in dots per inch (600 when it reports none).
void DestinationGeometry(cups_dest_t* dest, double* width, double* height, double* dpi);

#endif  // DBCSPRINT_PLATFORM_UNIX_NATIVE_H
