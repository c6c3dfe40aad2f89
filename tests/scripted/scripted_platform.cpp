// The scripted platform: the profile and printing calls answered from a
// scenario, each call written to the call log as
//   CallName arg=value ... -> result
// with strings quoted (bytes < 0x20, >= 0x80, '"' and '\' as \xHH), byte
// strings as uppercase hex and absent pointers as null.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scripted_platform.h"

namespace {

struct State {
  Scenario scenario;
  std::FILE* echo = nullptr;
  std::string log;
  int drawsMade = 0;
  bool active = false;
};

State& Current() {
  static State state;
  return state;
}

// The one device context this platform hands out.
char g_context;
HDC Context() { return reinterpret_cast<HDC>(&g_context); }

void Log(const std::string& line) {
  State& state = Current();
  state.log += line;
  state.log += '\n';
  if (state.echo != nullptr) {
    std::fputs(line.c_str(), state.echo);
    std::fputc('\n', state.echo);
    std::fflush(state.echo);
  }
}

const char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string* out, unsigned char byte) {
  out->push_back(kHexDigits[byte >> 4]);
  out->push_back(kHexDigits[byte & 0xF]);
}

std::string Quoted(const char* text) {
  if (text == nullptr) {
    return "null";
  }
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') {
      out += "\\x";
      AppendHexByte(&out, byte);
    } else {
      out.push_back(*p);
    }
  }
  return out + "\"";
}

std::string Hex(const char* bytes, long long count) {
  if (bytes == nullptr) {
    return "null";
  }
  std::string out;
  for (long long i = 0; i < count; ++i) {
    AppendHexByte(&out, static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

std::string Advances(const INT* dx, UINT count) {
  if (dx == nullptr) {
    return "null";
  }
  std::string out;
  for (UINT i = 0; i < count; ++i) {
    out += (i == 0 ? "" : ",") + std::to_string(dx[i]);
  }
  return out;
}

std::string Rect(const RECT* rect) {
  if (rect == nullptr) {
    return "null";
  }
  return std::to_string(rect->left) + "," + std::to_string(rect->top) + "," +
         std::to_string(rect->right) + "," + std::to_string(rect->bottom);
}

// A one-number call: logs it and answers the scripted result.
int Answer(const char* call, int result) {
  Log(std::string(call) + " -> " + std::to_string(result));
  return result;
}

bool AllocationFails() {
  const State& state = Current();
  return state.active && state.drawsMade < 3 && state.scenario.allocationFails[state.drawsMade];
}

}  // namespace

void StartScenario(const Scenario& scenario, std::FILE* echo) {
  State& state = Current();
  state.scenario = scenario;
  state.echo = echo;
  state.log.clear();
  state.drawsMade = 0;
  state.active = true;
}

const std::string& CallLog() { return Current().log; }

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR buffer,
                               DWORD size) {
  const Scenario& scenario = Current().scenario;
  std::string value = fallback != nullptr ? fallback : "";
  if (scenario.hasProfile && section != nullptr && key != nullptr &&
      std::strcmp(section, "Windows") == 0 && std::strcmp(key, "device") == 0) {
    value = scenario.profile;
  }
  // Like the platform: at most size - 1 bytes and a terminator.
  DWORD stored = 0;
  if (buffer != nullptr && size > 0) {
    stored = static_cast<DWORD>(std::min<std::size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), stored);
    buffer[stored] = '\0';
  }
  Log("GetProfileStringA section=" + Quoted(section) + " key=" + Quoted(key) + " default=" +
      Quoted(fallback) + " size=" + std::to_string(size) + " -> " + std::to_string(stored));
  return stored;
}

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR port, const DEVMODEA* devmode) {
  const bool succeeds = Current().scenario.createSucceeds;
  Log("CreateDCA driver=" + Quoted(driver) + " device=" + Quoted(device) + " port=" + Quoted(port) +
      " devmode=" + (devmode != nullptr ? "set" : "null") + " -> " + (succeeds ? "hdc" : "null"));
  return succeeds ? Context() : nullptr;
}

BOOL WINAPI GetTextExtentPoint32A(HDC /*hdc*/, LPCSTR text, int count, LPSIZE size) {
  const Scenario& scenario = Current().scenario;
  std::string line =
      "GetTextExtentPoint32A text=" + Hex(text, count) + " count=" + std::to_string(count);
  if (!scenario.measureSucceeds || size == nullptr) {
    Log(line + " -> 0");
    return 0;
  }
  size->cx = scenario.cellCx;
  size->cy = scenario.cellCy;
  Log(line + " -> 1 cx=" + std::to_string(size->cx) + " cy=" + std::to_string(size->cy));
  return 1;
}

int WINAPI StartDocA(HDC /*hdc*/, const DOCINFOA* info) {
  const int result = Current().scenario.startDoc;
  if (info == nullptr) {
    Log("StartDocA info=null -> " + std::to_string(result));
    return result;
  }
  Log("StartDocA cbSize=" + std::to_string(info->cbSize) + " docname=" + Quoted(info->lpszDocName) +
      " output=" + Quoted(info->lpszOutput) + " datatype=" + Quoted(info->lpszDatatype) +
      " type=" + std::to_string(info->fwType) + " -> " + std::to_string(result));
  return result;
}

int WINAPI StartPage(HDC /*hdc*/) { return Answer("StartPage", Current().scenario.startPage); }

BOOL WINAPI ExtTextOutA(HDC /*hdc*/, int x, int y, UINT options, const RECT* rect, LPCSTR text,
                        UINT count, const INT* dx) {
  State& state = Current();
  const int index = state.drawsMade++;
  const Scenario::Draw draw = index < 3 ? state.scenario.draws[index] : Scenario::Draw{};
  const std::string line = "ExtTextOutA x=" + std::to_string(x) + " y=" + std::to_string(y) +
                           " options=" + std::to_string(options) + " rect=" + Rect(rect) +
                           " text=" + Hex(text, count) + " count=" + std::to_string(count) +
                           " dx=" + Advances(dx, count) + " -> ";
  if (draw.crashes) {
    // As a crashing printer driver would: the process ends inside the call.
    Log(line + "crash");
    std::abort();
  }
  Log(line + std::to_string(draw.result));
  return draw.result;
}

int WINAPI EndPage(HDC /*hdc*/) { return Answer("EndPage", Current().scenario.endPage); }

int WINAPI EndDoc(HDC /*hdc*/) { return Answer("EndDoc", Current().scenario.endDoc); }

BOOL WINAPI DeleteDC(HDC /*hdc*/) { return Answer("DeleteDC", Current().scenario.deleteDC); }

// Array allocations of the program, so that a scenario can make the advance
// array of a run fail to allocate. The array forms forward to the single
// forms, in pairs, so allocation and release always match.
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  if (AllocationFails()) {
    return nullptr;
  }
  return ::operator new(size, tag);
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t /*size*/) noexcept { ::operator delete(block); }
void operator delete[](void* block, const std::nothrow_t& /*tag*/) noexcept {
  ::operator delete(block);
}
