// The seam between the tool and the printing system.
//
// The tool calls the Windows profile and GDI printing functions by their own
// names. On Windows they come from kernel32 and gdi32; elsewhere this header
// declares the few types and functions the tool needs, and a platform linked
// into the program (the native one under unix/, or the scripted one used by
// the tests) defines them with the same contract.
#ifndef DBCSPRINT_PLATFORM_H
#define DBCSPRINT_PLATFORM_H

#ifdef _WIN32

// Plain declarations instead of __declspec(dllimport): the calls then go
// through the import library's thunks, so a test build can link its own
// definitions of these functions in place of gdi32's and kernel32's.
#define _GDI32_
#define _KERNEL32_
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include <cstdint>

#define WINAPI

using BOOL = int;
using INT = int;
using UINT = unsigned int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LPCSTR = const char*;
using LPSTR = char*;

// Handle to a device context; each platform defines what stands behind it.
struct DeviceContext;
using HDC = DeviceContext*;

struct SIZE {
  LONG cx;
  LONG cy;
};
using LPSIZE = SIZE*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// Device-mode record: the tool only ever passes null.
struct DEVMODEA;

struct DOCINFOA {
  int cbSize;
  LPCSTR lpszDocName;
  LPCSTR lpszOutput;
  LPCSTR lpszDatatype;
  DWORD fwType;
};

#define SP_ERROR (-1)

extern "C" {

// Copies the profile value of key in section into buffer (at most size - 1
// bytes and a terminator), or the default when the key is missing; returns
// the number of bytes stored before the terminator.
DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR buffer,
                               DWORD size);

// Device context on a printer; null on failure.
HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR port, const DEVMODEA* devmode);

// Extent of count bytes of text in the context's current font.
BOOL WINAPI GetTextExtentPoint32A(HDC hdc, LPCSTR text, int count, LPSIZE size);

// Job identifier (> 0) on success, a value <= 0 on failure.
int WINAPI StartDocA(HDC hdc, const DOCINFOA* info);
int WINAPI StartPage(HDC hdc);

// Draws count bytes of text at (x, y); dx holds one advance per byte.
BOOL WINAPI ExtTextOutA(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCSTR text,
                        UINT count, const INT* dx);

int WINAPI EndPage(HDC hdc);
int WINAPI EndDoc(HDC hdc);
BOOL WINAPI DeleteDC(HDC hdc);

}  // extern "C"

#endif  // _WIN32

#endif  // DBCSPRINT_PLATFORM_H
