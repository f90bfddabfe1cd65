#include "programenv.h"

#include "memutil.h"
#include "result.h"
#include "strutil.h"

#include <string.h>
#include <wchar.h>

namespace {

constexpr DWORD SYSTEM_PATH_CHARS = 3 * MAX_PATH + 16;

// A variable the program is given in place of the run's own.
struct Setting {
    LPCWSTR name;
    LPCWSTR value;
};

// The name of a block entry ("NAME=value"): up to its first '=' after the
// first character, since the hidden entries of the current folders are
// named "=C:".
int NameLength(LPCWSTR entry)
{
    LPCWSTR equals = entry[0] != L'\0' ? wcschr(entry + 1, L'=') : nullptr;
    return nullptr != equals ? static_cast<int>(equals - entry) : lstrlenW(entry);
}

// <0, 0 or >0 as the entry's name sorts before, as or after `name`, case
// ignored, as the block is sorted.
int CompareName(LPCWSTR entry, LPCWSTR name)
{
    return ::CompareStringOrdinal(entry, NameLength(entry), name, lstrlenW(name), TRUE) - CSTR_EQUAL;
}

BOOL IsReplaced(LPCWSTR entry, const Setting* settings, DWORD count)
{
    for (DWORD k = 0; k < count; ++k) {
        if (0 == CompareName(entry, settings[k].name)) {
            return TRUE;
        }
    }
    return FALSE;
}

void Put(LPWSTR* at, LPCWSTR text)
{
    const size_t length = wcslen(text);
    memcpy(*at, text, length * sizeof(WCHAR));
    *at += length;
}

void PutSetting(LPWSTR* at, const Setting& setting)
{
    Put(at, setting.name);
    Put(at, L"=");
    Put(at, setting.value);
    *(*at)++ = L'\0';
}

// "C:\Windows\system32;C:\Windows;C:\Windows\system32\Wbem": only
// administrators can write to these.
HRESULT FormatSystemPath(WCHAR (&path)[SYSTEM_PATH_CHARS])
{
    HRESULT hr = S_OK;
    WCHAR system[MAX_PATH];
    WCHAR windows[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT windowsLength = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);

    EXIT_LAST_ERROR_IF(0 == systemLength || systemLength >= MAX_PATH);
    EXIT_LAST_ERROR_IF(0 == windowsLength || windowsLength >= MAX_PATH);
    EXIT_IF_FAILED(BoundedFormat(path, SYSTEM_PATH_CHARS, L"%ls;%ls;%ls\\Wbem", system, windows, system));

Exit:
    return hr;
}

// The inherited block with `settings` (sorted by name) merged in, each in
// the place of any inherited entry of its name.
HRESULT MergeBlock(LPCWSTR inherited, const Setting* settings, DWORD count, LPWSTR* block)
{
    HRESULT hr = S_OK;
    size_t chars = 1;
    LPWSTR at = nullptr;
    DWORD next = 0;

    for (LPCWSTR entry = inherited; L'\0' != *entry; entry += wcslen(entry) + 1) {
        chars += wcslen(entry) + 1;
    }
    for (DWORD k = 0; k < count; ++k) {
        chars += wcslen(settings[k].name) + wcslen(settings[k].value) + 2;
    }
    if (chars * sizeof(WCHAR) > MAXDWORD) {
        EXIT_WITH(RESULT_ARITHMETIC_OVERFLOW);
    }
    *block = static_cast<LPWSTR>(MemutilAllocate(static_cast<DWORD>(chars * sizeof(WCHAR)), FALSE));
    EXIT_IF_NULL_ALLOC(*block);
    at = *block;
    for (LPCWSTR entry = inherited; L'\0' != *entry; entry += wcslen(entry) + 1) {
        for (; next < count && CompareName(entry, settings[next].name) >= 0; ++next) {
            PutSetting(&at, settings[next]);
        }
        if (!IsReplaced(entry, settings, count)) {
            Put(&at, entry);
            *at++ = L'\0';
        }
    }
    for (; next < count; ++next) {
        PutSetting(&at, settings[next]);
    }
    *at = L'\0';

Exit:
    return hr;
}

} // namespace

HRESULT ProgramEnvironmentBlock(LPCWSTR tempFolder, LPWSTR* block)
{
    HRESULT hr = S_OK;
    WCHAR systemPath[SYSTEM_PATH_CHARS];
    LPWCH inherited = nullptr;

    *block = nullptr;
    EXIT_IF_FAILED(FormatSystemPath(systemPath));
    inherited = ::GetEnvironmentStringsW();
    EXIT_LAST_ERROR_IF(nullptr == inherited);
    {
        const Setting settings[] = {{L"PATH", systemPath}, {L"TEMP", tempFolder}, {L"TMP", tempFolder}};
        EXIT_IF_FAILED(MergeBlock(inherited, settings, ARRAYSIZE(settings), block));
    }

Exit:
    if (nullptr != inherited) {
        ::FreeEnvironmentStringsW(inherited);
    }
    return hr;
}
