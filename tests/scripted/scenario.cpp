// Scenario files: "key=value" lines, "#" comments. Values are taken as they
// stand (spaces included); the profile value writes raw bytes as \xHH.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "scripted_platform.h"

namespace {

std::vector<std::string> Split(const std::string& value) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type comma = value.find(',', start);
    parts.push_back(value.substr(start, comma - start));
    if (comma == std::string::npos) {
      return parts;
    }
    start = comma + 1;
  }
}

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < -2147483647L - 1 || parsed > 2147483647L ||
      text[0] == ' ' || text[0] == '+') {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

int HexDigit(char c) {
  const char* digits = "0123456789ABCDEF0123456789abcdef";
  const char* found = c != '\0' ? std::strchr(digits, c) : nullptr;
  return found != nullptr ? static_cast<int>(found - digits) % 16 : -1;
}

// Expands \xHH escapes; any other backslash is an error.
bool Unescape(const std::string& text, std::string* bytes) {
  bytes->clear();
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes->push_back(text[i]);
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') {
      return false;
    }
    const int high = HexDigit(text[i + 2]);
    const int low = HexDigit(text[i + 3]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<char>(high * 16 + low));
    i += 3;
  }
  return true;
}

bool ParseCall(const std::string& key, const std::string& value, Scenario* s) {
  if (key == "profile") {
    s->hasProfile = true;
    return Unescape(value, &s->profile);
  }
  if (key == "CreateDCA") {
    s->createSucceeds = value == "ok";
    return value == "ok" || value == "null";
  }
  if (key == "GetTextExtentPoint32A") {
    if (value == "fail") {
      s->measureSucceeds = false;
      return true;
    }
    const std::vector<std::string> parts = Split(value);
    int cx = 0;
    int cy = 0;
    if (parts.size() != 2 || !ParseInt(parts[0], &cx) || !ParseInt(parts[1], &cy)) {
      return false;
    }
    s->measureSucceeds = true;
    s->cellCx = cx;
    s->cellCy = cy;
    return true;
  }
  if (key == "ExtTextOutA") {
    const std::vector<std::string> parts = Split(value);
    if (parts.size() != 3) {
      return false;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
      s->draws[i].crashes = parts[i] == "crash";
      if (!s->draws[i].crashes && !ParseInt(parts[i], &s->draws[i].result)) {
        return false;
      }
    }
    return true;
  }
  if (key == "allocation") {
    const std::vector<std::string> parts = Split(value);
    if (parts.size() != 3) {
      return false;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (parts[i] != "ok" && parts[i] != "fail") {
        return false;
      }
      s->allocationFails[i] = parts[i] == "fail";
    }
    return true;
  }
  return false;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error) {
  // Results of the calls that answer one whole number.
  const struct {
    const char* key;
    int* result;
  } integers[] = {
      {"StartDocA", &scenario->startDoc}, {"StartPage", &scenario->startPage},
      {"EndPage", &scenario->endPage},    {"EndDoc", &scenario->endDoc},
      {"DeleteDC", &scenario->deleteDC},
  };
  static const std::set<std::string> kOtherKeys = {"profile", "CreateDCA", "GetTextExtentPoint32A",
                                                   "ExtTextOutA", "allocation"};

  std::set<std::string> seen;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const std::string where = "line " + std::to_string(number) + ": ";
    const std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) {
      *error = where + "expected key=value: " + line;
      return false;
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (!seen.insert(key).second) {
      *error = where + "key given twice: " + key;
      return false;
    }

    bool known = kOtherKeys.count(key) != 0;
    bool valid = known && ParseCall(key, value, scenario);
    for (const auto& integer : integers) {
      if (key == integer.key) {
        known = true;
        valid = ParseInt(value, integer.result);
      }
    }
    if (!known) {
      *error = where + "unknown key: " + key;
      return false;
    }
    if (!valid) {
      *error = where + "bad value for " + key + ": " + value;
      return false;
    }
  }
  return true;
}
