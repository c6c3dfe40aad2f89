// A destination as a device context sees it: looked up once, with the page
// it prints on, its resolution, and the format its printer takes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "native.h"

namespace {

constexpr double kPointsPerInch = 72;
constexpr double kDefaultDpi = 600;
constexpr char kA4[] = "iso_a4_210x297mm";

// A size of the PWG media table by any of the names users and printers
// give it: "iso_a4_210x297mm", "a4", "A4", "Custom.100x150mm".
pwg_media_t* MediaNamed(const std::string& name) {
  pwg_media_t* media = pwgMediaForPWG(name.c_str());
  if (media == nullptr) {
    media = pwgMediaForLegacy(name.c_str());
  }
  if (media == nullptr) {
    media = pwgMediaForPPD(name.c_str());
  }
  return media;
}

bool SetSize(const pwg_media_t* size, PageMedia* media) {
  if (size == nullptr || size->width <= 0 || size->length <= 0) {
    return false;
  }
  // PWG sizes are in hundredths of a millimetre.
  media->width = size->width / 2540.0 * kPointsPerInch;
  media->height = size->length / 2540.0 * kPointsPerInch;
  return true;
}

// The user's or the server's media option: its value goes with the job as
// it is; its size is the first part that names one ("A4,Manual").
bool FromOption(const cups_dest_t* dest, PageMedia* media) {
  const char* value = cupsGetOption("media", dest->num_options, dest->options);
  if (value == nullptr) {
    return false;
  }
  std::istringstream parts(value);
  for (std::string part; std::getline(parts, part, ',');) {
    if (SetSize(MediaNamed(part), media)) {
      media->name = value;
      return true;
    }
  }
  return false;
}

// The printer's own default: media-default, else the size in
// media-col-default.
bool FromPrinter(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, PageMedia* media) {
  ipp_attribute_t* keyword = cupsFindDestDefault(http, dest, info, "media");
  const char* name = keyword != nullptr ? ippGetString(keyword, 0, nullptr) : nullptr;
  pwg_media_t* size = name != nullptr ? MediaNamed(name) : nullptr;
  if (SetSize(size, media)) {
    media->name = size->pwg;
    return true;
  }
  ipp_attribute_t* collection = cupsFindDestDefault(http, dest, info, "media-col");
  ipp_t* col = collection != nullptr ? ippGetCollection(collection, 0) : nullptr;
  ipp_attribute_t* sizeAttr =
      col != nullptr ? ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION) : nullptr;
  ipp_t* dimensions = sizeAttr != nullptr ? ippGetCollection(sizeAttr, 0) : nullptr;
  if (dimensions == nullptr) {
    return false;
  }
  const int width = ippGetInteger(ippFindAttribute(dimensions, "x-dimension", IPP_TAG_INTEGER), 0);
  const int length = ippGetInteger(ippFindAttribute(dimensions, "y-dimension", IPP_TAG_INTEGER), 0);
  pwg_media_t* known = pwgMediaForSize(width, length);
  if (SetSize(known, media)) {
    media->name = known->pwg;
    return true;
  }
  char custom[128];
  if (width <= 0 || length <= 0 ||
      !pwgFormatSizeName(custom, sizeof custom, "custom", nullptr, width, length, nullptr)) {
    return false;
  }
  media->name = custom;
  media->width = width / 2540.0 * kPointsPerInch;
  media->height = length / 2540.0 * kPointsPerInch;
  return true;
}

// The system's paper size as Debian's tools (libpaper) find it: PAPERSIZE,
// else the first word of the file PAPERCONF or /etc/papersize names.
bool FromSystem(PageMedia* media) {
  std::string name;
  const char* variable = std::getenv("PAPERSIZE");
  if (variable != nullptr && *variable != '\0') {
    name = variable;
  } else {
    const char* conf = std::getenv("PAPERCONF");
    const OwnedFile file(std::fopen(conf != nullptr ? conf : "/etc/papersize", "r"));
    char line[256];
    while (file != nullptr && name.empty() &&
           std::fgets(line, sizeof line, file.get()) != nullptr) {
      std::istringstream words(line);
      words >> name;
      if (!name.empty() && name[0] == '#') {
        name.clear();
      }
    }
  }
  pwg_media_t* size = name.empty() ? nullptr : MediaNamed(name);
  if (!SetSize(size, media)) {
    return false;
  }
  media->name = size->pwg;
  return true;
}

// The formats a PPD's printer takes as they are (its "-" filters); a PPD
// without filters describes a PostScript printer.
PageFormat FormatOfPpd(const std::string& ppd) {
  bool anyFilter = false;
  bool postScript = false;
  bool pdf = false;
  std::istringstream lines(ppd);
  for (std::string line; std::getline(lines, line);) {
    const bool two = line.rfind("*cupsFilter2:", 0) == 0;
    if (!two && line.rfind("*cupsFilter:", 0) != 0) {
      continue;
    }
    const std::size_t open = line.find('"');
    const std::size_t close = line.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) {
      continue;
    }
    // "source cost program", or "source destination cost program".
    std::istringstream fields(line.substr(open + 1, close - open - 1));
    std::string source;
    std::string field;
    std::string program;
    fields >> source;
    while (fields >> field) {
      program = field;
    }
    anyFilter = true;
    if (program == "-") {
      postScript |=
          source == "application/vnd.cups-postscript" || source == "application/postscript";
      pdf |= source == "application/pdf" || source == "application/vnd.cups-pdf";
    }
  }
  return (!anyFilter || postScript) && !pdf ? PageFormat::kPostScript : PageFormat::kPdf;
}

// The format the page is made in for the queue: PostScript where its PPD
// says the printer takes PostScript and not PDF, else PDF (a queue without
// a PPD takes what it gets). False when the spooler did not answer.
bool LookUpFormat(SpoolerLink* link, const cups_dest_t* dest, PageFormat* format) {
  *format = PageFormat::kPdf;
  const int fd = memfd_create("dbcsprint-ppd", MFD_CLOEXEC);
  const OwnedFile file(fd >= 0 ? fdopen(fd, "w+b") : nullptr);
  if (file == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return true;  // no room to read it in: PDF, which every queue takes
  }
  const std::string resource = std::string("/printers/") + dest->name + ".ppd";
  const http_status_t status = cupsGetFd(link->http.get(), resource.c_str(), fileno(file.get()));
  if (!Answered(*link)) {
    return false;
  }
  if (status == HTTP_STATUS_OK) {
    std::string ppd;
    std::fseek(file.get(), 0, SEEK_SET);
    char chunk[8192];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
      ppd.append(chunk, n);
    }
    *format = FormatOfPpd(ppd);
  }
  return true;
}

// Where requests about the destination's jobs go: its printer URI and the
// URI's resource path.
void JobEndpoint(const cups_dest_t* dest, Destination* destination) {
  const char* uri = cupsGetOption("printer-uri-supported", dest->num_options, dest->options);
  destination->uri = uri != nullptr ? uri : std::string("ipp://localhost/printers/") + dest->name;
  char scheme[32];
  char user[256];
  char host[256];
  char resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, destination->uri.c_str(), scheme, sizeof scheme, user,
                      sizeof user, host, sizeof host, &port, resource,
                      sizeof resource) >= HTTP_URI_STATUS_OK) {
    destination->resource = resource;
  } else {
    destination->resource = std::string("/printers/") + dest->name;
  }
}

// The page the destination prints on: its media option (the user's or the
// server's), else the printer's default media, else the system's paper
// size, else A4.
PageMedia ChoosePageMedia(http_t* http, cups_dest_t* dest, cups_dinfo_t* info) {
  PageMedia media;
  if (FromOption(dest, &media) || FromPrinter(http, dest, info, &media) || FromSystem(&media)) {
    return media;
  }
  SetSize(pwgMediaForPWG(kA4), &media);
  media.name = kA4;
  return media;
}

}  // namespace

bool LookUpDestination(const char* name, Destination* destination) {
  SpoolerLink* link = SessionLink("CreateDCA");
  if (link == nullptr) {
    return false;
  }
  // The destination the profile entry named was looked up already.
  if (!CopyDefaultDestination(name, &destination->dest)) {
    std::string queue = name;
    std::string instance;
    const std::size_t slash = queue.find('/');
    if (slash != std::string::npos) {
      instance = queue.substr(slash + 1);
      queue.resize(slash);
    }
    destination->dest.reset(cupsGetNamedDest(link->http.get(), queue.c_str(),
                                             instance.empty() ? nullptr : instance.c_str()));
    if (destination->dest == nullptr) {
      Complain("CreateDCA", "%s: %s", name, SpoolerFailure(*link).c_str());
      return false;
    }
  }
  cups_dest_t* dest = destination->dest.get();

  // What the printer reports of itself: its default media and resolution.
  destination->info.reset(cupsCopyDestInfo(link->http.get(), dest));
  if (destination->info == nullptr) {
    Complain("CreateDCA", "%s: %s", name, SpoolerFailure(*link).c_str());
    return false;
  }
  destination->media = ChoosePageMedia(link->http.get(), dest, destination->info.get());
  destination->dpi = kDefaultDpi;
  ipp_attribute_t* resolution =
      cupsFindDestDefault(link->http.get(), dest, destination->info.get(), "printer-resolution");
  if (resolution != nullptr) {
    int vertical = 0;
    ipp_res_t units = IPP_RES_PER_INCH;
    const int horizontal = ippGetResolution(resolution, 0, &vertical, &units);
    if (horizontal > 0) {
      destination->dpi = units == IPP_RES_PER_CM ? horizontal * 2.54 : horizontal;
    }
  }

  if (!LookUpFormat(link, dest, &destination->format)) {
    Complain("CreateDCA", "%s: %s", name, SpoolerFailure(*link).c_str());
    return false;
  }
  JobEndpoint(dest, destination);
  return true;
}
