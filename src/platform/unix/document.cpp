// Documents and pages: StartDocA, StartPage, EndPage, EndDoc. A document is a
// PDF, streamed to a spooler job or written to a file.
#include <cerrno>
#include <cstring>
#include <string>

#include "native.h"

namespace {

constexpr char kSpoolerPrefix[] = "CUPS:";

// Takes each piece of the PDF as cairo writes it.
cairo_status_t WritePdf(void* closure, const unsigned char* data, unsigned int length) {
  auto* document = static_cast<Document*>(closure);
  bool written = false;
  if (document->http != nullptr) {
    written = cupsWriteRequestData(document->http.get(), reinterpret_cast<const char*>(data),
                                   length) == HTTP_STATUS_CONTINUE;
  } else if (document->file != nullptr) {
    written = std::fwrite(data, 1, length, document->file.get()) == length;
  }
  if (!written) {
    document->writeFailed = true;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

void CancelJob(Document* document) {
  if (document->jobId <= 0) {
    return;
  }
  // The job's own connection is mid-request; the cancel goes on another.
  document->http.reset();
  cupsCancelDestJob(CUPS_HTTP_DEFAULT, document->dest.get(), document->jobId);
  document->jobId = 0;
}

namespace {

// Starts a job named title on dest and opens its one document for streaming.
bool StartJob(Document* document, OwnedDest dest, const char* title) {
  const char* name = dest->name;
  document->dest = std::move(dest);
  // A connection of the job's own to the spooler that knows the destination
  // (CUPS_SERVER, client.conf, or the local one).
  document->http.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(),
                                    1, 30000, nullptr));
  if (document->http == nullptr) {
    Complain("StartDocA", "%s: cannot reach the spooler: %s", name, cupsLastErrorString());
    return false;
  }
  document->info.reset(cupsCopyDestInfo(document->http.get(), document->dest.get()));
  if (document->info == nullptr) {
    Complain("StartDocA", "%s: %s", name, cupsLastErrorString());
    return false;
  }
  if (cupsCreateDestJob(document->http.get(), document->dest.get(), document->info.get(),
                        &document->jobId, title, 0, nullptr) > IPP_STATUS_OK_CONFLICTING ||
      document->jobId <= 0) {
    Complain("StartDocA", "%s: the spooler refused the job: %s", name, cupsLastErrorString());
    document->jobId = 0;
    return false;
  }
  if (cupsStartDestDocument(document->http.get(), document->dest.get(), document->info.get(),
                            document->jobId, title, CUPS_FORMAT_PDF, 0, nullptr,
                            1) != HTTP_STATUS_CONTINUE) {
    Complain("StartDocA", "%s: the spooler refused the document: %s", name, cupsLastErrorString());
    CancelJob(document);
    return false;
  }
  return true;
}

// Ends the document's stream to the spooler; true when the spooler took all
// of it. A job whose document is not complete is cancelled.
bool FinishJob(Document* document, bool complete) {
  const ipp_status_t status =
      cupsFinishDestDocument(document->http.get(), document->dest.get(), document->info.get());
  if (!complete || status > IPP_STATUS_OK_CONFLICTING) {
    Complain("EndDoc", "%s: the spooler did not take the document: %s", document->dest->name,
             cupsLastErrorString());
    CancelJob(document);
    return false;
  }
  return true;
}

}  // namespace

int WINAPI StartDocA(HDC hdc, const DOCINFOA* info) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || info == nullptr || context->document != nullptr) {
    return SP_ERROR;
  }
  const char* title = info->lpszDocName != nullptr ? info->lpszDocName : "";
  const char* output = info->lpszOutput;
  auto document = std::make_unique<Document>();

  if (output == nullptr || std::strncmp(output, kSpoolerPrefix, sizeof kSpoolerPrefix - 1) == 0) {
    // A job on the context's destination, or on the one named.
    OwnedDest dest;
    if (output == nullptr) {
      dest.reset(cupsGetNamedDest(CUPS_HTTP_DEFAULT, context->dest->name, context->dest->instance));
    } else {
      dest.reset(cupsGetNamedDest(CUPS_HTTP_DEFAULT, output + sizeof kSpoolerPrefix - 1, nullptr));
    }
    if (dest == nullptr) {
      Complain("StartDocA", "no such printer: %s: %s",
               output != nullptr ? output : context->dest->name, cupsLastErrorString());
      return SP_ERROR;
    }
    if (!StartJob(document.get(), std::move(dest), title)) {
      return SP_ERROR;
    }
  } else {
    // Print to file.
    document->path = output;
    document->file.reset(std::fopen(output, "wb"));
    if (document->file == nullptr) {
      Complain("StartDocA", "cannot create %s: %s", output, std::strerror(errno));
      return SP_ERROR;
    }
  }

  document->surface.reset(cairo_pdf_surface_create_for_stream(
      WritePdf, document.get(), context->pageWidth, context->pageHeight));
  cairo_pdf_surface_set_metadata(document->surface.get(), CAIRO_PDF_METADATA_TITLE, title);
  cairo_pdf_surface_set_metadata(document->surface.get(), CAIRO_PDF_METADATA_CREATOR, "dbcsprint");
  document->cairo.reset(cairo_create(document->surface.get()));
  // Drawing is in device units.
  cairo_scale(document->cairo.get(), 72 / context->dpi, 72 / context->dpi);
  cairo_set_font_face(document->cairo.get(), context->font.face.get());
  cairo_set_font_size(document->cairo.get(), context->font.size);
  cairo_set_font_options(document->cairo.get(), context->font.options.get());
  if (cairo_status(document->cairo.get()) != CAIRO_STATUS_SUCCESS) {
    Complain("StartDocA", "cannot start the PDF: %s",
             cairo_status_to_string(cairo_status(document->cairo.get())));
    CancelJob(document.get());
    return SP_ERROR;
  }

  const int job = document->jobId > 0 ? document->jobId : 1;
  context->document = std::move(document);
  return job;
}

int WINAPI StartPage(HDC hdc) {
  DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || context->document == nullptr || context->document->pageOpen) {
    return 0;
  }
  cairo_pdf_surface_set_size(context->document->surface.get(), context->pageWidth,
                             context->pageHeight);
  context->document->pageOpen = true;
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
  // Write out the rest of the PDF, then close its destination.
  document->cairo.reset();
  cairo_surface_finish(document->surface.get());
  const cairo_status_t status = cairo_surface_status(document->surface.get());
  if (status != CAIRO_STATUS_SUCCESS && !document->writeFailed) {
    Complain("EndDoc", "cannot make the PDF: %s", cairo_status_to_string(status));
  }
  const bool complete = status == CAIRO_STATUS_SUCCESS && !document->writeFailed;

  if (document->jobId > 0) {
    return FinishJob(document.get(), complete) ? document->jobId : SP_ERROR;
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
