// Owned wide strings on the heap, and bounded text operations on fixed buffers.
//
// A WideString is a pointer to a heap block of 16-bit characters, null when
// empty. Neither length nor capacity is stored: the capacity is the block's heap
// size / 2, the length runs to the first NUL.
#pragma once

#include <windows.h>
#include <stdarg.h>

using WideString = WCHAR*;

constexpr size_t BOUNDED_MAX_SIZE = 0x7FFFFFFF;

HRESULT StrutilAllocate(WideString* variable, DWORD capacity);
HRESULT StrutilCopy(WideString* variable, LPCWSTR source, DWORD count);
HRESULT StrutilAppend(WideString* variable, LPCWSTR source, DWORD count);
HRESULT StrutilFormat(WideString* variable, LPCWSTR format, ...);
HRESULT StrutilFormatArgs(WideString* variable, LPCWSTR format, va_list args);
HRESULT StrutilFree(WideString text);

// Fixed buffers: `size` counts characters, the terminator's place included.
// They never write beyond size, always terminate, and return
// 0x8007007A when the text was cut.
HRESULT BoundedLength(LPCWSTR text, size_t maxCount, size_t* length);
HRESULT BoundedCopy(LPWSTR buffer, size_t size, LPCWSTR source);
HRESULT BoundedCopyCount(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxCopy);
HRESULT BoundedAppend(LPWSTR buffer, size_t size, LPCWSTR source);
HRESULT BoundedAppendCount(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxAppend);
HRESULT BoundedFormat(LPWSTR buffer, size_t size, LPCWSTR format, ...);
HRESULT BoundedFormatArgs(LPWSTR buffer, size_t size, LPCWSTR format, va_list args);

HRESULT CheckedAdd(UINT a, UINT b, UINT* sum);

// Whether the `length` characters are a braced GUID,
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": a code that may name a folder or a
// key with nothing in it that could lead anywhere else.
constexpr size_t BRACED_GUID_CHARS = 38;
BOOL StrutilIsBracedGuid(LPCWSTR text, size_t length);
// 0 to 15 for a hex digit of either case, else -1.
int StrutilHexDigit(WCHAR c);
