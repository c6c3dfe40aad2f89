// What the parts of the native platform share: the spooler link, the
// destination behind a device context, its font and its open document.
#ifndef DBCSPRINT_PLATFORM_UNIX_NATIVE_H
#define DBCSPRINT_PLATFORM_UNIX_NATIVE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "owned.h"
#include "platform/platform.h"

// How long the spooler may stay silent in one exchange (connecting, or
// waiting for an answer) before the call that waits gives up.
constexpr int kSpoolerSeconds = 10;

// A connection to the spooler (CUPS_SERVER, client.conf, or the local one)
// whose waits are bounded by kSpoolerSeconds and which never asks anyone
// for a password. Not movable: libcups keeps a pointer to it.
struct SpoolerLink {
  OwnedHttp http;
  bool silent = false;  // a wait ran out: the spooler did not answer
  SpoolerLink() = default;
  SpoolerLink(const SpoolerLink&) = delete;
  SpoolerLink& operator=(const SpoolerLink&) = delete;
};

// A new link, or null with the reason on standard error for call.
std::unique_ptr<SpoolerLink> OpenSpoolerLink(const char* call);

// The run's link, opened on first use and opened anew once a request on it
// went unanswered; null when the spooler cannot be reached.
SpoolerLink* SessionLink(const char* call);

// Why the last request on link failed: the spooler's silence, a closed
// connection, credentials it wanted, or the spooler's own word.
std::string SpoolerFailure(const SpoolerLink& link);

// Whether the last request on link got an answer at all; a link that did
// not is no longer used.
bool Answered(const SpoolerLink& link);

// The default destination by libcups' own rules (LPDEST or PRINTER,
// lpoptions, the server's default), looked up once per run; null when
// there is none or the spooler did not say.
const cups_dest_t* DefaultDestination();

// A copy of the default destination when it is the one named ("queue" or
// "queue/instance") and was looked up already: no second look-up.
bool CopyDefaultDestination(const std::string& name, OwnedDest* copy);

// The destination's name as the profile entry and CreateDCA give it:
// "queue" or "queue/instance".
std::string DestinationName(const cups_dest_t* dest);

// The page a job prints on. Sizes in points.
struct PageMedia {
  std::string name;  // the job's "media" value
  double width = 0;
  double height = 0;
};

// What the page is made as: PDF, or PostScript for a printer that takes
// PostScript and not PDF (so that its text stays text).
enum class PageFormat { kPdf, kPostScript };

// A spooler destination as CreateDCA looked it up: its options, what the
// printer reports of itself, and the page it prints on.
struct Destination {
  OwnedDest dest;
  OwnedDestInfo info;
  std::string uri;       // the printer's URI, for requests about its jobs
  std::string resource;  // the HTTP resource of those requests
  PageMedia media;
  double dpi = 0;
  PageFormat format = PageFormat::kPdf;
};

// Looks up everything a context needs of the destination named; false
// with the reason on standard error.
bool LookUpDestination(const char* name, Destination* destination);

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

// A spooler job: where it is and its identifier (0: none).
struct Job {
  std::string uri;
  std::string resource;
  int id = 0;
};

// A document between StartDocA and EndDoc: made in memory (a spooler job's
// document) or in a file, then handed over whole.
struct Document {
  Job job;            // a spooler job, or none when printing to a file
  std::string title;  // the job's name
  std::string path;   // print to file
  OwnedFile file;     // the document as made so far
  PageFormat format = PageFormat::kPdf;
  OwnedSurface surface;
  OwnedCairo cairo;
  bool writeFailed = false;
  bool pageOpen = false;
};

struct DeviceContext {
  Destination destination;
  Font font;
  std::unique_ptr<Document> document;  // while a document is open
};

// Creates a job named title on the destination, with its options (as lp
// sends them) and the page's media and no scaling on top.
bool CreateJob(const Destination& destination, const char* title, Job* job);

// Hands the finished document in file to the job; true only when the
// spooler confirmed that it took the whole of it.
bool SendDocument(const Job& job, const char* title, PageFormat format, std::FILE* file);

// Cancels the job on a link of its own; true when the spooler confirmed it
// (or the job had already ended). Failures are reported for call.
bool CancelJob(const char* call, const Job& job);

// Abandons the context's open document, if any, cancelling its job; true
// when there was none or the spooler let its job go.
bool AbandonDocument(DeviceContext* context);

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

// A job being made is watched: SIGINT, SIGTERM or SIGHUP then cancels it on
// the spooler before the process ends as the signal would. BeginJob comes
// before the job is created (a signal meanwhile waits for the answer),
// JobCreated or EndJob after.
void BeginJob();
void JobCreated(const Job& job);
void EndJob();

#endif  // DBCSPRINT_PLATFORM_UNIX_NATIVE_H
