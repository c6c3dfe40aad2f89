// The link to the spooler: bounded waits, no password prompts, the true
// reason when an exchange fails, and the run's one look-up of the default
// destination.
#include <cerrno>
#include <cstring>
#include <string>

#include "native.h"

namespace {

// libcups asks for a password through a callback of each thread; the link
// that asked is remembered so that its failure can say why.
thread_local const http_t* g_askedForPassword = nullptr;

const char* NoPassword(const char* /*prompt*/, http_t* http, const char* /*method*/,
                       const char* /*resource*/, void* /*data*/) {
  g_askedForPassword = http;
  return nullptr;  // nothing is asked of anyone: the request fails instead
}

// Called by libcups when the spooler stayed silent for kSpoolerSeconds.
int GiveUp(http_t* /*http*/, void* data) {
  static_cast<SpoolerLink*>(data)->silent = true;
  return 0;
}

// The run's link and what the profile entry named.
struct Session {
  std::unique_ptr<SpoolerLink> link;
  OwnedDest defaultDest;
  bool lookedUp = false;
};

Session& TheSession() {
  static Session session;
  return session;
}

}  // namespace

std::unique_ptr<SpoolerLink> OpenSpoolerLink(const char* call) {
  cupsSetPasswordCB2(NoPassword, nullptr);
  auto link = std::make_unique<SpoolerLink>();
  errno = 0;
  link->http.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                kSpoolerSeconds * 1000, nullptr));
  if (link->http == nullptr) {
    Complain(call, "cannot reach the spooler at %s: %s", cupsServer(),
             errno != 0 ? std::strerror(errno) : cupsLastErrorString());
    return nullptr;
  }
  httpSetTimeout(link->http.get(), kSpoolerSeconds, GiveUp, link.get());
  return link;
}

SpoolerLink* SessionLink(const char* call) {
  Session& session = TheSession();
  if (session.link == nullptr || !Answered(*session.link)) {
    session.link = OpenSpoolerLink(call);
  }
  return session.link.get();
}

bool Answered(const SpoolerLink& link) {
  return !link.silent && link.http != nullptr && httpError(link.http.get()) == 0;
}

std::string SpoolerFailure(const SpoolerLink& link) {
  if (link.silent) {
    return std::string("the spooler at ") + cupsServer() + " did not answer within " +
           std::to_string(kSpoolerSeconds) + " s";
  }
  if (link.http != nullptr && g_askedForPassword == link.http.get()) {
    return "the printer wants a user name and password, and dbcsprint asks for none";
  }
  const int error = link.http != nullptr ? httpError(link.http.get()) : 0;
  if (error == EPIPE || error == ECONNRESET) {
    return std::string("the spooler at ") + cupsServer() +
           " closed the connection without an answer";
  }
  if (error != 0) {
    return std::string("the exchange with the spooler at ") + cupsServer() +
           " failed: " + std::strerror(error);
  }
  return cupsLastErrorString();
}

std::string DestinationName(const cups_dest_t* dest) {
  std::string name = dest->name;
  if (dest->instance != nullptr) {
    name += "/";
    name += dest->instance;
  }
  return name;
}

const cups_dest_t* DefaultDestination() {
  Session& session = TheSession();
  if (session.lookedUp) {
    return session.defaultDest.get();
  }
  session.lookedUp = true;
  SpoolerLink* link = SessionLink("GetProfileStringA");
  if (link == nullptr) {
    return nullptr;
  }
  session.defaultDest.reset(cupsGetNamedDest(link->http.get(), nullptr, nullptr));
  if (session.defaultDest == nullptr) {
    Complain("GetProfileStringA", "no default printer: %s", SpoolerFailure(*link).c_str());
  }
  return session.defaultDest.get();
}

bool CopyDefaultDestination(const std::string& name, OwnedDest* copy) {
  const Session& session = TheSession();
  if (session.defaultDest == nullptr || DestinationName(session.defaultDest.get()) != name) {
    return false;
  }
  cups_dest_t* dests = nullptr;
  // cupsCopyDest takes a non-const source it does not change.
  if (cupsCopyDest(const_cast<cups_dest_t*>(session.defaultDest.get()), 0, &dests) != 1) {
    cupsFreeDests(0, dests);
    return false;
  }
  copy->reset(dests);
  return true;
}
