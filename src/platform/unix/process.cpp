// The process around the printing calls: standard descriptors that were
// closed at start, and signals that arrive while a job is being made.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "native.h"

namespace {

// Descriptors 0-2 that are closed at start are held on /dev/null before
// anything opens a file or a socket, which would otherwise take their
// numbers: report lines would then go into the spooler's connection. They
// are opened the wrong way round, so that writing the report to a closed
// standard output still fails, as it would have.
__attribute__((constructor)) void HoldStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    const int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

// The job being made, as the signal watcher sees it.
struct Watch {
  std::mutex mutex;
  std::condition_variable changed;
  bool creating = false;  // Create-Job is under way
  Job job;                // the job made, if any
  bool handling = false;  // a signal is ending the process
  sigset_t signals;       // the signals watched
};

// Never destroyed: the watcher thread may use it until the process ends.
Watch& TheWatch() {
  static Watch* watch = new Watch;
  return *watch;
}

// The watcher: waits for a signal, cancels the job under way (waiting for
// one being created), then ends the process as the signal would.
void* WatchSignals(void* /*unused*/) {
  Watch& watch = TheWatch();
  int signal = 0;
  while (sigwait(&watch.signals, &signal) != 0) {
  }
  Job job;
  {
    std::unique_lock<std::mutex> lock(watch.mutex);
    watch.handling = true;
    watch.changed.wait_for(lock, std::chrono::seconds(2 * kSpoolerSeconds),
                           [&watch] { return !watch.creating; });
    job = watch.job;
  }
  CancelJob("signal", job);

  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the default action ends the process
}

// The process does not end by itself while a signal is ending it.
void AwaitSignalHandling() {
  Watch& watch = TheWatch();
  std::unique_lock<std::mutex> lock(watch.mutex);
  watch.changed.wait(lock, [&watch] { return !watch.handling; });
}

// Starts the watcher once. Signals ignored at start stay ignored; the
// others are taken by the watcher alone from here on.
void StartWatcher() {
  static bool started = false;
  if (started) {
    return;
  }
  started = true;
  Watch& watch = TheWatch();
  sigemptyset(&watch.signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&watch.signals, signal);
    }
  }
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &watch.signals, &previous);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WatchSignals, nullptr) != 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return;
  }
  pthread_detach(thread);
  std::atexit(AwaitSignalHandling);
}

}  // namespace

void BeginJob() {
  StartWatcher();
  Watch& watch = TheWatch();
  const std::lock_guard<std::mutex> lock(watch.mutex);
  watch.creating = true;
  watch.job = {};
}

void JobCreated(const Job& job) {
  Watch& watch = TheWatch();
  {
    const std::lock_guard<std::mutex> lock(watch.mutex);
    watch.creating = false;
    watch.job = job;
  }
  watch.changed.notify_all();
}

void EndJob() {
  Watch& watch = TheWatch();
  std::unique_lock<std::mutex> lock(watch.mutex);
  watch.creating = false;
  watch.job = {};
  watch.changed.notify_all();
  // A signal being handled ends the process: nothing goes on meanwhile.
  watch.changed.wait(lock, [&watch] { return !watch.handling; });
}
