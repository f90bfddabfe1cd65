#include "versionutil.h"
#include "strutil.h"

namespace {

constexpr DWORD VERSION_PARTS = 4;
constexpr DWORD VERSION_PART_MAX = 0xFFFF;
constexpr DWORD VERSION_PART_BITS = 16;

} // namespace

BOOL VersionutilParse(LPCWSTR text, DWORD length, ULONGLONG* version)
{
    ULONGLONG result = 0;
    DWORD at = 0;

    for (DWORD parts = 0; parts < VERSION_PARTS; ++parts) {
        DWORD part = 0;
        const DWORD start = at;
        for (; at < length && text[at] >= L'0' && text[at] <= L'9'; ++at) {
            part = part * 10 + (text[at] - L'0');
            if (part > VERSION_PART_MAX) {
                return FALSE;
            }
        }
        if (at == start) {
            return FALSE;
        }
        result |= static_cast<ULONGLONG>(part) << (VERSION_PART_BITS * (VERSION_PARTS - 1 - parts));
        if (at == length) {
            *version = result;
            return TRUE;
        }
        if (L'.' != text[at++]) {
            return FALSE;
        }
    }
    return FALSE;
}

BOOL VersionutilParseValue(LPCWSTR text, DWORD length, ULONGLONG* version)
{
    if (length > 0 && (L'v' == text[0] || L'V' == text[0])) {
        ++text;
        --length;
    }
    return VersionutilParse(text, length, version);
}

HRESULT VersionutilFormat(ULONGLONG version, WCHAR (&text)[VERSION_TEXT_CHARS])
{
    return BoundedFormat(text, VERSION_TEXT_CHARS, L"%u.%u.%u.%u", static_cast<UINT>(version >> 48 & 0xFFFF),
                         static_cast<UINT>(version >> 32 & 0xFFFF), static_cast<UINT>(version >> 16 & 0xFFFF),
                         static_cast<UINT>(version & 0xFFFF));
}
