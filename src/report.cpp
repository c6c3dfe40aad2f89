// The console report: one printf-style line per printing call.
#include <cstdarg>
#include <cstdio>

#include "dbcsprint.h"

void ReportLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // The analyzer does not see va_start through GCC's headers.
  std::vprintf(format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  // A redirected stdout is block-buffered; the line must be out before the
  // next printing call, which may crash the process.
  std::fflush(stdout);
}

int FinishReport(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("dbcsprint: the report could not be written to standard output\n", stderr);
    return status == kExitOk ? kExitCallFailed : status;
  }
  return status;
}
