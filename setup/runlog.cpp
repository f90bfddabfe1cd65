// The log is written in UTF-8, a line at a time, through a hold on the file
// the run created (libs/appendutil): the installer may append its sessions to
// the same file between the lines, and nobody can slip another file in under
// the name. Failures are dropped where they happen; the run never sees them.
#include "runlog.h"

#include <stdarg.h>
#include <wchar.h>
#include "appendutil.h"
#include "fileutil.h"
#include "memutil.h"
#include "resrutil.h"
#include "result.h"
#include "strutil.h"
#include "../res/resource.h"

namespace {

constexpr DWORD VERSION_RESOURCE_TYPE = 16;   // RT_VERSION
constexpr DWORD VERSION_RESOURCE_ID = 1;
// VS_VERSIONINFO: three WORDs and the key "VS_VERSION_INFO" with its
// terminator, padded to a DWORD, then the fixed part.
constexpr DWORD FIXED_VERSION_OFFSET = 40;

struct RunLogState {
    BOOL active;              // a setup run is being logged
    BOOL placed;              // its file was made or tried: lines no longer wait
    HANDLE held;              // the file; null without one
    WideString path;
    WideString pending;       // lines that came before the file
    WCHAR program[MAX_PATH];  // the bundle's own file, or empty
};

// No constructor: the program runs none for globals.
RunLogState Log = {};

void WriteText(LPCWSTR text)
{
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    char* utf8 = bytes > 1 ? static_cast<char*>(MemutilAllocate(static_cast<DWORD>(bytes), FALSE)) : nullptr;
    if (nullptr != utf8 && bytes == ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, nullptr, nullptr)) {
        AppendutilWrite(Log.held, utf8, static_cast<DWORD>(bytes - 1));
    }
    if (nullptr != utf8) {
        MemutilRelease(utf8);
    }
}

void Emit(LPCWSTR line)
{
    if (nullptr != Log.held) {
        WriteText(line);
    } else if (!Log.placed) {
        StrutilAppend(&Log.pending, line, 0);
    }
}

// The file just made becomes the log's, held from now on; the lines that
// waited for it go first.
void Place(HANDLE* writer, WideString* path)
{
    HANDLE held = INVALID_HANDLE_VALUE;

    Log.placed = TRUE;
    if (INVALID_HANDLE_VALUE != *writer && SUCCEEDED(AppendutilHold(writer, &held))) {
        Log.held = held;
        Log.path = *path;
        *path = nullptr;
        if (nullptr != Log.pending) {
            WriteText(Log.pending);
        }
    }
    StrutilFree(Log.pending);
    Log.pending = nullptr;
}

HRESULT CreateNumberedFile(WideString* path, HANDLE* writer)
{
    HRESULT hr = S_OK;
    WideString baseName = nullptr;

    EXIT_IF_FAILED(FileutilBaseName(Log.program, &baseName));
    EXIT_IF_FAILED(FileutilCreateNumberedTemp(baseName, L"log", path, writer));

Exit:
    StrutilFree(baseName);
    return hr;
}

void PlaceInNumberedFile()
{
    WideString path = nullptr;
    HANDLE writer = INVALID_HANDLE_VALUE;

    if (Log.program[0] != L'\0') {
        CreateNumberedFile(&path, &writer);
    }
    Place(&writer, &path);
    if (INVALID_HANDLE_VALUE != writer) {
        ::CloseHandle(writer);
    }
    StrutilFree(path);
}

// The file version of the bundle's version record (the vendor's), or "?".
void FormatBundleVersion(WCHAR (&text)[VERSION_TEXT_CHARS])
{
    const BYTE* data = nullptr;
    DWORD size = 0;
    const VS_FIXEDFILEINFO* fixed = nullptr;

    BoundedCopy(text, VERSION_TEXT_CHARS, L"?");
    if (FAILED(ResrutilLocateResource(nullptr, MAKEINTRESOURCEA(VERSION_RESOURCE_TYPE),
                                      MAKEINTRESOURCEA(VERSION_RESOURCE_ID), &data, &size)) ||
        size < FIXED_VERSION_OFFSET + sizeof(VS_FIXEDFILEINFO)) {
        return;
    }
    fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(data + FIXED_VERSION_OFFSET);
    if (VS_FFI_SIGNATURE == fixed->dwSignature) {
        BoundedFormat(text, VERSION_TEXT_CHARS, L"%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16,
                      fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    }
}

LPCWSTR UiLevelName(DWORD uiLevel)
{
    switch (uiLevel) {
    case UI_LEVEL_NONE: return L"none, /quiet";
    case UI_LEVEL_BASIC_PROGRESS_ONLY: return L"progress only, /passive";
    case UI_LEVEL_BASIC: return L"basic";
    case UI_LEVEL_FULL: return L"full";
    default: return L"?";
    }
}

bool IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

bool IsPropertyTextSwitch(LPCWSTR argument)
{
    return (argument[0] == L'/' || argument[0] == L'-') &&
           CSTR_EQUAL == ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, argument + 1, -1, L"msicl", -1);
}

// Property texts may carry passwords: only the names before "=" are kept, and
// anything that is no NAME=VALUE pair at all stands as "...".
void AppendPropertyNames(WideString* text, LPCWSTR value)
{
    LPCWSTR at = value;
    BOOL first = TRUE;

    StrutilAppend(text, L" (", 0);
    while (*at != L'\0') {
        while (IsBlank(*at)) {
            ++at;
        }
        LPCWSTR name = at;
        BOOL quoted = FALSE;
        while (*at != L'\0' && *at != L'=' && !IsBlank(*at)) {
            ++at;
        }
        const BOOL named = *at == L'=' && at > name;
        for (; *at != L'\0' && (quoted || !IsBlank(*at)); ++at) {
            quoted = *at == L'"' ? !quoted : quoted;
        }
        if (at == name) {
            break;
        }
        StrutilAppend(text, first ? L"" : L", ", 0);
        StrutilAppend(text, named ? name : L"...", named ? static_cast<DWORD>(wcscspn(name, L"=")) : 0);
        first = FALSE;
    }
    StrutilAppend(text, L")", 0);
}

// Every argument as given, quoted when it has blanks, except what may be
// secret: the value of /msicl and of every NAME=VALUE argument.
void LogSwitches(int argc, LPWSTR* argv)
{
    WideString text = nullptr;

    for (int i = 1; i < argc; ++i) {
        if (i > 1 && IsPropertyTextSwitch(argv[i - 1])) {
            AppendPropertyNames(&text, argv[i]);
            continue;
        }
        const LPCWSTR equals = wcschr(argv[i], L'=');
        const BOOL quote = nullptr == equals && nullptr != wcspbrk(argv[i], L" \t");
        StrutilAppend(&text, quote ? L" \"" : L" ", 0);
        StrutilAppend(&text, argv[i], equals ? static_cast<DWORD>(equals - argv[i]) : 0);
        StrutilAppend(&text, equals ? L"=..." : quote ? L"\"" : L"", 0);
    }
    RunLogLine(L"switches:%ls", nullptr != text ? text : L" none");
    StrutilFree(text);
}

LPCWSTR ActionDescription(InstallAction action)
{
    switch (action) {
    case InstallAction::Install: return L"install";
    case InstallAction::SameVersion: return L"install again: the same version is installed";
    case InstallAction::MinorUpgrade: return L"in-place upgrade of an older build or minor version";
    case InstallAction::MajorUpgrade: return L"install: an older major version is installed";
    case InstallAction::ApplyPatch: return L"apply the patch";
    case InstallAction::Uninstall: return L"remove";
    default: return L"skip: the installed version is newer";
    }
}

} // namespace

void RunLogBegin(int argc, LPWSTR* argv, DWORD uiLevel)
{
    WCHAR version[VERSION_TEXT_CHARS];

    Log = {};
    Log.active = TRUE;
    const DWORD length = ::GetModuleFileNameW(nullptr, Log.program, MAX_PATH);
    if (0 == length || length >= MAX_PATH) {
        Log.program[0] = L'\0';
    }
    FormatBundleVersion(version);
    RunLogLine(L"setup %ls (%u-bit), bundle %ls version %ls, process %lu", L"" SETUP_VERSION_TEXT,
               static_cast<unsigned>(8 * sizeof(void*)), Log.program[0] != L'\0' ? Log.program : L"?", version,
               ::GetCurrentProcessId());
    RunLogLine(L"UI level %lu (%ls)", uiLevel, UiLevelName(uiLevel));
    LogSwitches(argc, argv);
}

void RunLogLine(LPCWSTR format, ...)
{
    WideString text = nullptr;
    WideString line = nullptr;
    SYSTEMTIME now = {};
    va_list args;

    if (!Log.active) {
        return;
    }
    va_start(args, format);
    const HRESULT formatted = StrutilFormatArgs(&text, format, args);
    va_end(args);
    ::GetLocalTime(&now);
    if (SUCCEEDED(formatted) &&
        SUCCEEDED(StrutilFormat(&line, L"%04u-%02u-%02u %02u:%02u:%02u %ls\r\n", now.wYear, now.wMonth, now.wDay,
                                now.wHour, now.wMinute, now.wSecond, text))) {
        Emit(line);
    }
    StrutilFree(text);
    StrutilFree(line);
}

HRESULT RunLogStartFile(LPCWSTR givenPath)
{
    HRESULT hr = S_OK;
    HANDLE writer = INVALID_HANDLE_VALUE;
    WideString path = nullptr;

    if (nullptr == givenPath) {
        if (Log.active) {
            PlaceInNumberedFile();
        }
        goto Exit;
    }
    hr = FileutilCreateNew(givenPath, INVALID_HANDLE_VALUE, &writer);
    if (FAILED(hr)) {
        RunLogLine(L"the log %ls could not be started: error %lu", givenPath, static_cast<DWORD>(hr) & 0xFFFF);
        goto Exit;
    }
    if (Log.active && SUCCEEDED(StrutilCopy(&path, givenPath, 0))) {
        Place(&writer, &path);
    }

Exit:
    if (INVALID_HANDLE_VALUE != writer) {
        ::CloseHandle(writer);
    }
    StrutilFree(path);
    return hr;
}

void RunLogEnd(int exitCode)
{
    if (!Log.active) {
        return;
    }
    if (!Log.placed) {
        PlaceInNumberedFile();
    }
    RunLogLine(L"exit code %d", exitCode);
    if (nullptr != Log.held) {
        ::CloseHandle(Log.held);
    }
    StrutilFree(Log.path);
    StrutilFree(Log.pending);
    Log = {};
}

LPCWSTR RunLogPath()
{
    return Log.path;
}

void RunLogMachine(BOOL windows64Bit, BOOL elevated, BOOL elevatedCopy)
{
    OSVERSIONINFOW version = {};

    if (!Log.active) {
        return;
    }
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExW(&version)) {
        version = {};
    }
    RunLogLine(L"Windows %lu.%lu.%lu, %ls", version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
               windows64Bit ? L"64-bit" : L"32-bit");
    RunLogLine(L"%ls%ls", elevated ? L"elevated" : L"not elevated",
               elevatedCopy ? L": the elevated copy of a run that was not" : L"");
}

void RunLogPackage(DWORD index, const ManifestPackageEntry* entry)
{
    WCHAR code[PRODUCT_CODE_CHARS] = L"?";
    WCHAR version[VERSION_TEXT_CHARS] = L"?";

    if (!Log.active) {
        return;
    }
    FormatProductCode(entry, code);
    FormatPackageVersion(entry, version);
    RunLogLine(L"package %lu: %ls, product %ls, version %ls", index + 1, entry->fileName, code, version);
}

void RunLogAction(InstallAction action)
{
    RunLogLine(L"  action: %ls", ActionDescription(action));
}

void RunLogCacheFolder(DWORD flags, BOOL elevated, BOOL perMachine)
{
    const LPCWSTR reason = perMachine                   ? L"a per-machine package, elevated run"
                           : !(flags & PKG_PER_MACHINE) ? L"not a per-machine package"
                           : !elevated                  ? L"the run is not elevated"
                                                        : L"the all-users folder is not the program's own";
    RunLogLine(L"  cache: the %ls folder (%ls)", perMachine ? L"all-users" : L"user's", reason);
}

void RunLogDeleted(LPCWSTR path, HRESULT deleted)
{
    if (S_OK == deleted) {
        RunLogLine(L"  deleted %ls", path);
    } else if (S_FALSE == deleted) {
        RunLogLine(L"  not deleted %ls: not the folder's own file", path);
    } else {
        RunLogLine(L"  not deleted %ls: error %lu", path, static_cast<DWORD>(deleted) & 0xFFFF);
    }
}

DWORD RunLogSecondsSince(ULONGLONG started)
{
    return static_cast<DWORD>((::GetTickCount64() - started) / 1000);
}
