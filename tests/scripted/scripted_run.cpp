// scripted_run SCENARIO: runs the print job against the scripted platform.
// The tool's report goes to stdout, the call log to stderr, and the exit
// status is the tool's own; a scenario that cannot be used exits 64.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dbcsprint.h"
#include "scripted_platform.h"

namespace {

constexpr int kExitUsage = 64;

bool ReadFile(const char* path, std::string* text) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    text->append(chunk, got);
  }
  const bool complete = std::ferror(file) == 0;
  std::fclose(file);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: scripted_run SCENARIO\n", stderr);
    return kExitUsage;
  }

  std::string text;
  if (!ReadFile(argv[1], &text)) {
    std::fprintf(stderr, "scripted_run: cannot read %s: %s\n", argv[1], std::strerror(errno));
    return kExitUsage;
  }
  Scenario scenario;
  std::string error;
  if (!ParseScenario(text, &scenario, &error)) {
    std::fprintf(stderr, "scripted_run: %s: %s\n", argv[1], error.c_str());
    return kExitUsage;
  }

  StartScenario(scenario, stderr);
  return PrintTestPage();
}
