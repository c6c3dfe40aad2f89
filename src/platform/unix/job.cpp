// Spooler jobs: creating one, handing it its document, asking after it when
// the spooler's answer went missing, and cancelling it. Nothing counts as
// done without the spooler's word.
#include <cerrno>
#include <cstring>
#include <string>

#include "native.h"

namespace {

// A request about one job of the destination.
ipp_t* JobRequest(ipp_op_t operation, const Job& job) {
  ipp_t* request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, job.uri.c_str());
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job.id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

bool Succeeded(const ipp_t* response) {
  return response != nullptr &&
         ippGetStatusCode(const_cast<ipp_t*>(response)) <= IPP_STATUS_OK_CONFLICTING;
}

// What the spooler says of a job whose document it did not answer for.
enum class JobFate {
  kTookDocument,        // it holds the whole document: the job prints
  kWaitingForDocument,  // it never got the document
  kEnded,               // the job is gone (cancelled, aborted, purged)
  kUnknown,             // the spooler did not say
};

JobFate AskJobFate(const Job& job, std::string* reason) {
  const std::unique_ptr<SpoolerLink> link = OpenSpoolerLink("EndDoc");
  if (link == nullptr) {
    *reason = "the spooler cannot be reached";
    return JobFate::kUnknown;
  }
  ipp_t* request = JobRequest(IPP_OP_GET_JOB_ATTRIBUTES, job);
  static const char* const kWanted[] = {"job-state", "job-state-reasons", "number-of-documents"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                sizeof kWanted / sizeof kWanted[0], nullptr, kWanted);
  const OwnedIpp response(cupsDoRequest(link->http.get(), request, job.resource.c_str()));
  if (response != nullptr && ippGetStatusCode(response.get()) == IPP_STATUS_ERROR_NOT_FOUND) {
    return JobFate::kEnded;
  }
  if (!Answered(*link) || !Succeeded(response.get())) {
    *reason = SpoolerFailure(*link);
    return JobFate::kUnknown;
  }
  const int state = ippGetInteger(ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM), 0);
  const int documents =
      ippGetInteger(ippFindAttribute(response.get(), "number-of-documents", IPP_TAG_INTEGER), 0);
  const bool incoming = ippContainsString(
      ippFindAttribute(response.get(), "job-state-reasons", IPP_TAG_KEYWORD), "job-incoming");
  if (state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED ||
      (state == IPP_JSTATE_COMPLETED && documents < 1)) {
    return JobFate::kEnded;
  }
  return documents >= 1 && !incoming ? JobFate::kTookDocument : JobFate::kWaitingForDocument;
}

}  // namespace

bool CreateJob(const Destination& destination, const char* title, Job* job) {
  SpoolerLink* link = SessionLink("StartDocA");
  if (link == nullptr) {
    return false;
  }
  cups_dest_t* dest = destination.dest.get();
  // The destination's options go with the job as lp sends them; the page's
  // own media and no scaling come on top, so that no filter resizes it.
  cups_option_t* options = nullptr;
  int count = 0;
  for (int i = 0; i < dest->num_options; ++i) {
    count = cupsAddOption(dest->options[i].name, dest->options[i].value, count, &options);
  }
  count = cupsAddOption("media", destination.media.name.c_str(), count, &options);
  count = cupsAddOption("print-scaling", "none", count, &options);

  int id = 0;
  const ipp_status_t status =
      cupsCreateDestJob(link->http.get(), dest, destination.info.get(), &id, title, count, options);
  cupsFreeOptions(count, options);
  if (!Answered(*link) || status > IPP_STATUS_OK_CONFLICTING || id <= 0) {
    Complain("StartDocA", "%s: the spooler did not create the job: %s",
             DestinationName(dest).c_str(), SpoolerFailure(*link).c_str());
    return false;
  }
  *job = {destination.uri, destination.resource, id};
  return true;
}

bool SendDocument(const Job& job, const char* title, PageFormat format, std::FILE* file) {
  std::string reason;
  bool answered = true;
  SpoolerLink* link = SessionLink("EndDoc");
  if (link == nullptr) {
    reason = "the spooler cannot be reached";
  } else if (std::fflush(file) != 0) {
    reason = std::string("the document could not be kept: ") + std::strerror(errno);
  } else {
    ipp_t* request = JobRequest(IPP_OP_SEND_DOCUMENT, job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr, title);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 format == PageFormat::kPostScript ? "application/postscript" : "application/pdf");
    ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
    const OwnedIpp response(
        cupsDoIORequest(link->http.get(), request, job.resource.c_str(), fileno(file), -1));
    if (Answered(*link) && Succeeded(response.get())) {
      return true;
    }
    answered = Answered(*link);
    reason = SpoolerFailure(*link);
  }

  if (!answered) {
    // The answer went missing: the spooler's word on the job decides.
    std::string unknown;
    switch (AskJobFate(job, &unknown)) {
      case JobFate::kTookDocument:
        Complain("EndDoc", "%s; job %d shows that the spooler took the whole document",
                 reason.c_str(), job.id);
        return true;
      case JobFate::kEnded:
        Complain("EndDoc", "%s; job %d has ended without its document", reason.c_str(), job.id);
        return false;
      case JobFate::kWaitingForDocument:
        break;
      case JobFate::kUnknown:
        reason += "; asked after job " + std::to_string(job.id) + ": " + unknown;
        break;
    }
  }
  Complain("EndDoc", "the spooler did not take the document of job %d: %s", job.id, reason.c_str());
  CancelJob("EndDoc", job);
  return false;
}

bool CancelJob(const char* call, const Job& job) {
  if (job.id <= 0) {
    return true;
  }
  // A link of its own: the job's link may be the one that went silent.
  const std::unique_ptr<SpoolerLink> link = OpenSpoolerLink(call);
  if (link == nullptr) {
    return false;
  }
  const OwnedIpp response(
      cupsDoRequest(link->http.get(), JobRequest(IPP_OP_CANCEL_JOB, job), job.resource.c_str()));
  if (Answered(*link) && response != nullptr) {
    const ipp_status_t status = ippGetStatusCode(response.get());
    // A job that already ended, or is gone, needs no cancelling.
    if (status <= IPP_STATUS_OK_CONFLICTING || status == IPP_STATUS_ERROR_NOT_POSSIBLE ||
        status == IPP_STATUS_ERROR_NOT_FOUND) {
      return true;
    }
  }
  Complain(call, "job %d could not be cancelled: %s", job.id, SpoolerFailure(*link).c_str());
  return false;
}
