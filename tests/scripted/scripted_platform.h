// A platform whose answers come from a scenario, for reaching every path of
// the print job in tests. Every call is written to a call log.
#ifndef DBCSPRINT_TESTS_SCRIPTED_PLATFORM_H
#define DBCSPRINT_TESTS_SCRIPTED_PLATFORM_H

#include <cstdio>
#include <string>

#include "platform/platform.h"

// What the platform answers. Every field has the default of a printer on
// which everything succeeds.
struct Scenario {
  // The profile value of "device"; without one the key is missing.
  bool hasProfile = false;
  std::string profile;

  bool createSucceeds = true;

  bool measureSucceeds = true;
  LONG cellCx = 50;
  LONG cellCy = 60;

  int startDoc = 1;
  int startPage = 1;
  int endPage = 1;
  int endDoc = 1;
  BOOL deleteDC = 1;

  // The three draws, in order; a crashing draw takes the process down.
  struct Draw {
    BOOL result = 1;
    bool crashes = false;
  };
  Draw draws[3];

  // Whether the advance array of each of the three runs fails to allocate.
  bool allocationFails[3] = {false, false, false};
};

// Reads a scenario: "key=value" lines, "#" comments, every key optional.
// On a malformed line returns false with a one-line reason in *error.
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);

// Answers every later platform call from scenario and starts a fresh call
// log. Each log line is also written to echo (and flushed) unless it is null.
void StartScenario(const Scenario& scenario, std::FILE* echo);

// The call log since StartScenario: one line per call, in order.
const std::string& CallLog();

#endif  // DBCSPRINT_TESTS_SCRIPTED_PLATFORM_H
