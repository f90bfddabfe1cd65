// strsafe's bounded text functions, for libs/strutil.cpp on a POSIX host
// (win32port.cpp). The format knows what the packer formats: %ls %hs %s %c
// %d %i %u %x %X with 0, a width, .* or a precision, and l, h, ll or I64.
#pragma once

#include <windows.h>

HRESULT StringCchLengthW(LPCWSTR text, size_t maxCount, size_t* length);
HRESULT StringCchCopyNW(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxCopy);
HRESULT StringCchCatNW(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxAppend);
HRESULT StringCchVPrintfW(LPWSTR buffer, size_t size, LPCWSTR format, va_list args);
