// Versions of four parts of 16 bits each ("a.b.c.d"), held as one 64-bit
// number with `a` in the top bits, so that versions compare as numbers. The
// installer, file version records and the manifest keep them as two halves
// (a<<16|b, c<<16|d).
#pragma once

#include <windows.h>

constexpr DWORD VERSION_TEXT_CHARS = 36;

constexpr ULONGLONG VersionFromHalves(DWORD high, DWORD low)
{
    return static_cast<ULONGLONG>(high) << 32 | low;
}
constexpr DWORD VersionHigh(ULONGLONG version)
{
    return static_cast<DWORD>(version >> 32);
}
constexpr DWORD VersionLow(ULONGLONG version)
{
    return static_cast<DWORD>(version);
}

// One to four dot-separated decimal parts, each 0 to 65535, and nothing else
// in the `length` characters; missing trailing parts are 0 (installer
// packages often carry three). FALSE, and `version` untouched, otherwise.
BOOL VersionutilParse(LPCWSTR text, DWORD length, ULONGLONG* version);
// A version as a registry value or the installer keeps it ("v14.40.33810.00",
// "14.40.33810"): one leading v or V is skipped.
BOOL VersionutilParseValue(LPCWSTR text, DWORD length, ULONGLONG* version);
// "a.b.c.d".
HRESULT VersionutilFormat(ULONGLONG version, WCHAR (&text)[VERSION_TEXT_CHARS]);
