// Documents and pages: StartDocA, StartPage, EndPage, EndDoc. A document is
// made whole (PDF, or PostScript for a PostScript printer) and then handed
// to its spooler job, or written to a file.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "native.h"

namespace {

constexpr char kSpoolerPrefix[] = "CUPS:";

// Takes each piece of the page as cairo writes it.
cairo_status_t WritePage(void* closure, const unsigned char* data, unsigned int length) {
  auto* document = static_cast<Document*>(closure);
  if (document->file == nullptr || std::fwrite(data, 1, length, document->file.get()) != length) {
    document->writeFailed = true;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  return CAIRO_STATUS_SUCCESS;
}

// A file in memory for a job's document: it is sent once it is whole.
OwnedFile MemoryFile() {
  const int fd = memfd_create("dbcsprint-document", MFD_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  OwnedFile file(fdopen(fd, "w+b"));
  if (file == nullptr) {
    close(fd);
  }
  return file;
}

// The DSC title of a PostScript document: one line of printable text.
std::string DscTitle(const std::string& title) {
  std::string line = "%%Title: ";
  for (const char c : title) {
    line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return line;
}

OwnedSurface CreateSurface(Document* document, const PageMedia& media) {
  if (document->format == PageFormat::kPostScript) {
    OwnedSurface surface(
        cairo_ps_surface_create_for_stream(WritePage, document, media.width, media.height));
    cairo_ps_surface_dsc_comment(surface.get(), DscTitle(document->title).c_str());
    return surface;
  }
  OwnedSurface surface(
      cairo_pdf_surface_create_for_stream(WritePage, document, media.width, media.height));
  cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE, document->title.c_str());
  cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "dbcsprint");
  return surface;
}

// Whether output sends the document to the context's own destination:
// none, or "CUPS:" and that destination's name. A job never goes to another
// printer than the one the context was opened on.
bool ToOwnDestination(const DeviceContext& context, const char* output, bool* toSpooler) {
  *toSpooler = output == nullptr || *output == '\0' ||
               std::strncmp(output, kSpoolerPrefix, sizeof kSpoolerPrefix - 1) == 0;
  if (output == nullptr || *output == '\0' || !*toSpooler) {
    return true;
  }
  const cups_dest_t* dest = context.destination.dest.get();
  const std::string named = output + sizeof kSpoolerPrefix - 1;
  if (named == DestinationName(dest)) {
    return true;
  }
  Complain("StartDocA", "the output %s names another printer than this context's, %s", output,
           DestinationName(dest).c_str());
  return false;
}

// Abandons a document's job, if it has one; true when the spooler let it go.
bool AbandonJob(const char* call, Document* document) {
  const bool cancelled = CancelJob(call, document->job);
  if (document->job.id > 0) {
    EndJob();
  }
  document->job = {};
  return cancelled;
}

}  // namespace

int WINAPI StartDocA(HDC hdc, const DOCINFOA* info) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || info == nullptr || context->document != nullptr) {
    return SP_ERROR;
  }
  auto document = std::make_unique<Document>();
  document->title = info->lpszDocName != nullptr ? info->lpszDocName : "";
  bool toSpooler = false;
  if (!ToOwnDestination(*context, info->lpszOutput, &toSpooler)) {
    return SP_ERROR;
  }

  if (toSpooler) {
    // A job on the context's destination, its document made in memory.
    document->format = context->destination.format;
    document->file = MemoryFile();
    if (document->file == nullptr) {
      Complain("StartDocA", "no memory for the document: %s", std::strerror(errno));
      return SP_ERROR;
    }
    BeginJob();
    if (!CreateJob(context->destination, document->title.c_str(), &document->job)) {
      EndJob();
      return SP_ERROR;
    }
    JobCreated(document->job);
  } else {
    // Print to file.
    document->path = info->lpszOutput;
    document->file.reset(std::fopen(document->path.c_str(), "wb"));
    if (document->file == nullptr) {
      Complain("StartDocA", "cannot create %s: %s", document->path.c_str(), std::strerror(errno));
      return SP_ERROR;
    }
  }

  document->surface = CreateSurface(document.get(), context->destination.media);
  document->cairo.reset(cairo_create(document->surface.get()));
  // Drawing is in device units.
  const double scale = 72 / context->destination.dpi;
  cairo_scale(document->cairo.get(), scale, scale);
  cairo_set_font_face(document->cairo.get(), context->font.face.get());
  cairo_set_font_size(document->cairo.get(), context->font.size);
  cairo_set_font_options(document->cairo.get(), context->font.options.get());
  if (cairo_status(document->cairo.get()) != CAIRO_STATUS_SUCCESS) {
    Complain("StartDocA", "cannot start the page: %s",
             cairo_status_to_string(cairo_status(document->cairo.get())));
    AbandonJob("StartDocA", document.get());
    return SP_ERROR;
  }

  const int job = document->job.id > 0 ? document->job.id : 1;
  context->document = std::move(document);
  return job;
}

int WINAPI StartPage(HDC hdc) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || context->document == nullptr || context->document->pageOpen) {
    return 0;
  }
  Document* document = context->document.get();
  const PageMedia& media = context->destination.media;
  if (document->format == PageFormat::kPostScript) {
    cairo_ps_surface_set_size(document->surface.get(), media.width, media.height);
  } else {
    cairo_pdf_surface_set_size(document->surface.get(), media.width, media.height);
  }
  document->pageOpen = true;
  return 1;
}

int WINAPI EndPage(HDC hdc) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || context->document == nullptr || !context->document->pageOpen) {
    return 0;
  }
  Document* document = context->document.get();
  document->pageOpen = false;
  cairo_show_page(document->cairo.get());
  return cairo_status(document->cairo.get()) == CAIRO_STATUS_SUCCESS && !document->writeFailed ? 1
                                                                                               : 0;
}

int WINAPI EndDoc(HDC hdc) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || context->document == nullptr) {
    return SP_ERROR;
  }
  const std::unique_ptr<Document> document = std::move(context->document);
  if (document->pageOpen) {
    cairo_show_page(document->cairo.get());
  }
  // Write out the rest of the page.
  document->cairo.reset();
  cairo_surface_finish(document->surface.get());
  const cairo_status_t status = cairo_surface_status(document->surface.get());
  if (status != CAIRO_STATUS_SUCCESS && !document->writeFailed) {
    Complain("EndDoc", "cannot make the page: %s", cairo_status_to_string(status));
  }
  const bool complete = status == CAIRO_STATUS_SUCCESS && !document->writeFailed;

  if (document->job.id > 0) {
    // The job's document, whole, to the spooler; it prints only once the
    // spooler has said it took all of it.
    if (!complete) {
      Complain("EndDoc", "the document of job %d could not be made", document->job.id);
      AbandonJob("EndDoc", document.get());
      return SP_ERROR;
    }
    const bool sent = SendDocument(document->job, document->title.c_str(), document->format,
                                   document->file.get());
    const int job = document->job.id;
    EndJob();
    return sent ? job : SP_ERROR;
  }

  std::FILE* file = document->file.release();
  bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  int error = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!complete || !written) {
    Complain("EndDoc", "cannot write %s: %s", document->path.c_str(),
             std::strerror(written ? EIO : error));
    return SP_ERROR;
  }
  return 1;
}

bool AbandonDocument(DeviceContext* context) {
  if (context->document == nullptr) {
    return true;
  }
  const bool cancelled = AbandonJob("DeleteDC", context->document.get());
  context->document.reset();
  return cancelled;
}
