// The log is written in UTF-8, a line at a time, through a hold on the file
// the run created (libs/appendutil): the installer may append its sessions to
// the same file between the lines, and nobody can slip another file in under
// the name. Failures are dropped where they happen; the run never sees them.
#include "bundlemanifest.h"
#include "runlog.h"

#include <stdarg.h>
#include <wchar.h>
#include "appendutil.h"
#include "fileutil.h"
#include "memutil.h"
#include "resrutil.h"
#include "result.h"
#include "staging.h"
#include "strutil.h"
#include "../../res/resource.h"

namespace {

constexpr DWORD VERSION_RESOURCE_TYPE = 16;   // RT_VERSION
constexpr DWORD VERSION_RESOURCE_ID = 1;
// VS_VERSIONINFO: three WORDs and the key "VS_VERSION_INFO" with its
// terminator, padded to a DWORD, then the fixed part.
constexpr DWORD FIXED_VERSION_OFFSET = 40;

struct RunLogState {
    BOOL active;              // a setup run is being logged
    BOOL placed;              // its file was made or tried: lines no longer wait
    BOOL mayBeElevated;       // logs go where an elevated run's go unless known otherwise
    HANDLE held;              // the file; null without one
    WCHAR path[MAX_PATH];     // its path, empty without one
    WideString pending;       // lines that came before the file
    WCHAR program[MAX_PATH];  // the bundle's own file, or empty
    // Where the run's logs go (its own, and the installer's without /log), and
    // the folder of the /log file in an elevated run; held until the run ends.
    HeldFolder folder;
    HeldFolder givenFolder;
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
// waited for it go first. A file that could not be made leaves the log out.
void Place(HANDLE held, LPCWSTR path)
{
    Log.placed = TRUE;
    if (INVALID_HANDLE_VALUE != held && SUCCEEDED(BoundedCopy(Log.path, MAX_PATH, path))) {
        Log.held = held;
        if (nullptr != Log.pending) {
            WriteText(Log.pending);
        }
    } else if (INVALID_HANDLE_VALUE != held) {
        ::CloseHandle(held);
    }
    StrutilFree(Log.pending);
    Log.pending = nullptr;
}

// The run's logs go where its staging folder goes (staging.h).
HRESULT OpenRunLogFolder()
{
    return INVALID_HANDLE_VALUE != Log.folder.handle ? S_OK : OpenLogFolder(Log.mayBeElevated, &Log.folder);
}

// A new file named after the bundle ("fresh_20261208-193045_9f3a1c2e.log" for
// fresh.exe) in the run's log folder.
void PlaceInFolder()
{
    WideString baseName = nullptr;
    WCHAR path[MAX_PATH] = {};
    HANDLE held = INVALID_HANDLE_VALUE;

    if (Log.program[0] != L'\0' && SUCCEEDED(OpenRunLogFolder()) && SUCCEEDED(FileutilBaseName(Log.program, &baseName))) {
        FileutilCreateUnique(&Log.folder, baseName, L"log", path, &held);
    }
    Place(held, path);
    StrutilFree(baseName);
}

// The folder part of a full path, "C:\" for a file in a root, with its short
// names spelled out: an administrator's %TEMP% may be given as
// C:\Users\ADMINI~1\..., which the folder's final path never is.
HRESULT LongFolderOf(LPCWSTR path, LPCWSTR name, WCHAR (&folder)[MAX_PATH])
{
    HRESULT hr = S_OK;
    WCHAR given[MAX_PATH] = {};
    // "C:\" stays a root; any other folder loses its separator.
    const size_t length = static_cast<size_t>(name - path) > 3 ? static_cast<size_t>(name - path) - 1 : 3;
    DWORD longLength = 0;

    EXIT_IF_FAILED(BoundedCopyCount(given, MAX_PATH, path, length));
    longLength = ::GetLongPathNameW(given, folder, MAX_PATH);
    if (0 == longLength || longLength >= MAX_PATH) {
        EXIT_IF_FAILED(BoundedCopy(folder, MAX_PATH, given));   // a missing folder is told below
    }

Exit:
    return hr;
}

// In an elevated run the installer (as SYSTEM) writes the /log file by its
// path: no link may lie on that path, or someone could have that write land
// in a file of their choosing. The folder is held, reached as its final path
// says, for the rest of the run, so that nothing on the way can become a link;
// the file is made new in it (what was at the name deleted through a handle,
// never written through) and held. Others may add files of their own to the
// folder (C:\Windows\Temp, a folder made under C:\): they cannot redirect
// a file the run made and holds in a folder it holds. `path` is the path
// checked, which the installer is given.
HRESULT CreateGivenFile(LPCWSTR givenPath, WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = S_OK;
    WCHAR full[MAX_PATH] = {};
    WCHAR folder[MAX_PATH] = {};
    LPWSTR name = nullptr;
    const DWORD length = ::GetFullPathNameW(givenPath, MAX_PATH, full, &name);

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    if (!Log.mayBeElevated) {
        EXIT_IF_FAILED(BoundedCopy(path, MAX_PATH, full));
        EXIT_IF_FAILED(FileutilCreateShared(nullptr, path, held));
        goto Exit;
    }
    if (nullptr == name || name == full) {
        EXIT_WITH(RESULT_INVALID_NAME);
    }
    EXIT_IF_FAILED(LongFolderOf(full, name, folder));
    EXIT_IF_FAILED(DirutilOpenFolder(folder, &Log.givenFolder));
    if (S_FALSE == hr && !DirutilIsFolder(folder, nullptr)) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_LOG_FOLDER_UNTRUSTED);
    }
    EXIT_IF_FAILED(DirutilPathIn(&Log.givenFolder, name, path));
    EXIT_IF_FAILED(FileutilCreateShared(&Log.givenFolder, path, held));

Exit:
    return hr;
}

// The file version of the bundle's version record (the vendor's), or "?".
// A log format, plain ASCII, widened character by character.
HRESULT WidenPlainText(const char* text, WideString* wide)
{
    DWORD length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    const HRESULT hr = StrutilAllocate(wide, length + 1);
    for (DWORD k = 0; SUCCEEDED(hr) && k <= length; ++k) {
        (*wide)[k] = static_cast<unsigned char>(text[k]);
    }
    return hr;
}

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
        VersionutilFormat(VersionFromHalves(fixed->dwFileVersionMS, fixed->dwFileVersionLS), text);
    }
}

const char* UiLevelName(DWORD uiLevel)
{
    switch (uiLevel) {
    case UI_LEVEL_NONE: return "none, /quiet";
    case UI_LEVEL_BASIC_PROGRESS_ONLY: return "progress only, /passive";
    case UI_LEVEL_BASIC: return "basic";
    case UI_LEVEL_FULL: return "full";
    default: return "?";
    }
}

bool IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
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
// secret, as the command line's parser reads it: the value of /msicl and of
// every NAME=VALUE argument.
void LogSwitches(int argc, LPWSTR* argv)
{
    WideString text = nullptr;

    for (int i = 1; i < argc; ++i) {
        const ArgumentRole role = SetupArgumentRole(argc, argv, i);
        if (ArgumentRole::PropertyText == role) {
            AppendPropertyNames(&text, argv[i]);
            continue;
        }
        const BOOL assignment = ArgumentRole::PropertyAssignment == role;
        const BOOL quote = !assignment && nullptr != wcspbrk(argv[i], L" \t");
        StrutilAppend(&text, quote ? L" \"" : L" ", 0);
        StrutilAppend(&text, argv[i], assignment ? static_cast<DWORD>(wcscspn(argv[i], L"=")) : 0);
        StrutilAppend(&text, assignment ? L"=..." : quote ? L"\"" : L"", 0);
    }
    RunLogLine("switches:%ls", nullptr != text ? text : L" none");
    StrutilFree(text);
}

const char* ActionDescription(InstallAction action)
{
    switch (action) {
    case InstallAction::Install: return "install";
    case InstallAction::SameVersion: return "install again: the same version is installed";
    case InstallAction::MinorUpgrade: return "in-place upgrade of an older build or minor version";
    case InstallAction::MajorUpgrade: return "install: an older major version is installed";
    case InstallAction::ApplyPatch: return "apply the patch";
    case InstallAction::Uninstall: return "remove";
    case InstallAction::Repair: return "repair: install it again, its missing files and registry values put back";
    default: return "skip: the installed version is newer";
    }
}

} // namespace

void RunLogBegin(int argc, LPWSTR* argv, DWORD uiLevel, HRESULT redirectionTrust)
{
    WCHAR version[VERSION_TEXT_CHARS];

    Log = {};
    Log.active = TRUE;
    Log.mayBeElevated = TRUE;
    Log.folder = NoHeldFolder();
    Log.givenFolder = NoHeldFolder();
    const DWORD length = ::GetModuleFileNameW(nullptr, Log.program, MAX_PATH);
    if (0 == length || length >= MAX_PATH) {
        Log.program[0] = L'\0';
    }
    FormatBundleVersion(version);
    RunLogLine("setup %ls (%u-bit), bundle %ls version %ls, process %lu", L"" SETUP_VERSION_TEXT,
               static_cast<unsigned>(8 * sizeof(void*)), Log.program[0] != L'\0' ? Log.program : L"?", version,
               ::GetCurrentProcessId());
    RunLogLine("UI level %lu (%hs)", uiLevel, UiLevelName(uiLevel));
    LogSwitches(argc, argv);
    if (S_OK == redirectionTrust) {
        RunLogLine("redirection trust: enforced (links made by others than administrators are not followed)");
    } else if (S_FALSE == redirectionTrust) {
        RunLogLine("redirection trust: not available on this Windows");
    } else {
        RunLogLine("redirection trust: not enforced, error %lu", static_cast<DWORD>(redirectionTrust) & 0xFFFF);
    }
}

void RunLogLine(const char* format, ...)
{
    WideString wideFormat = nullptr;
    WideString text = nullptr;
    WideString line = nullptr;
    SYSTEMTIME now = {};
    va_list args;

    if (!Log.active || FAILED(WidenPlainText(format, &wideFormat))) {
        return;
    }
    va_start(args, format);
    const HRESULT formatted = StrutilFormatArgs(&text, wideFormat, args);
    va_end(args);
    StrutilFree(wideFormat);
    ::GetLocalTime(&now);
    if (SUCCEEDED(formatted) &&
        SUCCEEDED(StrutilFormat(&line, L"%04u-%02u-%02u %02u:%02u:%02u %ls\r\n", now.wYear, now.wMonth, now.wDay,
                                now.wHour, now.wMinute, now.wSecond, text))) {
        Emit(line);
    }
    StrutilFree(text);
    StrutilFree(line);
}

HRESULT RunLogStartFile(LPCWSTR givenPath, BOOL elevated, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    HANDLE held = INVALID_HANDLE_VALUE;

    path[0] = L'\0';
    Log.mayBeElevated = elevated;
    Log.givenFolder = NoHeldFolder();
    if (nullptr == givenPath) {
        if (Log.active) {
            PlaceInFolder();
        }
        goto Exit;
    }
    hr = CreateGivenFile(givenPath, path, &held);
    if (RESULT_LOG_FOLDER_UNTRUSTED == hr) {
        RunLogLine("the log %ls is refused: an elevated run writes its log only into a folder reached without "
                   "links", givenPath);
        goto Exit;
    }
    if (FAILED(hr)) {
        RunLogLine("the log %ls could not be started: %ls", givenPath, RunLogReason(hr).text);
        goto Exit;
    }
    if (Log.active) {
        Place(held, path);
        held = INVALID_HANDLE_VALUE;
    }

Exit:
    if (INVALID_HANDLE_VALUE != held) {
        ::CloseHandle(held);
    }
    if (FAILED(hr) || !Log.active) {
        DirutilClose(&Log.givenFolder);
    }
    if (FAILED(hr)) {
        path[0] = L'\0';
    }
    return hr;
}

void RunLogEnd(int exitCode)
{
    if (!Log.active) {
        return;
    }
    if (!Log.placed) {
        PlaceInFolder();
    }
    RunLogLine("exit code %d", exitCode);
    if (nullptr != Log.held) {
        ::CloseHandle(Log.held);
    }
    DirutilClose(&Log.folder);
    DirutilClose(&Log.givenFolder);
    StrutilFree(Log.pending);
    Log = {};
    Log.folder = NoHeldFolder();
    Log.givenFolder = NoHeldFolder();
}

const HeldFolder* RunLogFolder()
{
    return Log.active && SUCCEEDED(OpenRunLogFolder()) ? &Log.folder : nullptr;
}

LPCWSTR RunLogPath()
{
    return nullptr != Log.held ? Log.path : nullptr;
}

void RunLogMachine(BOOL windows64Bit, BOOL elevated, BOOL elevatedCopy)
{
    OSVERSIONINFOW version = {};

    if (!Log.active) {
        return;
    }
    Log.mayBeElevated = elevated;
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExW(&version)) {
        version = {};
    }
    RunLogLine("Windows %lu.%lu.%lu, %hs", version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
               windows64Bit ? "64-bit" : "32-bit");
    RunLogLine("%hs%hs", elevated ? "elevated" : "not elevated",
               elevatedCopy ? ": the elevated copy of a run that was not" : "");
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
    if (entry->flags & PKG_PROGRAM) {
        RunLogLine("prerequisite %lu: %ls, version %ls", index + 1, entry->fileName, version);
    } else {
        RunLogLine("package %lu: %ls, product %ls, version %ls", index + 1, entry->fileName, code, version);
    }
}

void RunLogDamagedList(LPCWSTR list, DWORD index, const WCHAR* fileName)
{
    WCHAR shown[MANIFEST_NAME_CHARS + 1] = {};   // a terminator even after a full field

    if (!Log.active) {
        return;
    }
    if (nullptr == fileName) {
        RunLogLine("the %ls is damaged", list);
        return;
    }
    DWORD length = 0;
    for (; length < MANIFEST_NAME_CHARS && L'\0' != fileName[length]; ++length) {
        // A line break in the name would forge a line of the log.
        shown[length] = fileName[length] < L' ' ? L'?' : fileName[length];
    }
    if (MANIFEST_NAME_CHARS == length || !ManifestIsPlainName(fileName)) {
        RunLogLine("%ls entry %lu: \"%ls\" is not a plain file name", list, index + 1, shown);
    } else {
        RunLogLine("%ls entry %lu (%ls) is damaged", list, index + 1, shown);
    }
}

void RunLogAction(InstallAction action)
{
    RunLogLine("  action: %hs", ActionDescription(action));
}

void RunLogCacheFolder(BOOL elevated, BOOL cached)
{
    if (!elevated) {
        RunLogLine("  cache: the user's folder (the run is not elevated)");
    } else if (cached) {
        RunLogLine("  cache: the all-users folder (an elevated run)");
    } else {
        RunLogLine("  cache: none: the all-users folder is not the program's own, and an elevated run never "
                   "installs from the user's: the package is staged");
    }
}

void RunLogDeleted(LPCWSTR path, HRESULT deleted)
{
    if (S_OK == deleted) {
        RunLogLine("  deleted %ls", path);
    } else if (S_FALSE == deleted) {
        RunLogLine("  not deleted %ls: not the folder's own file", path);
    } else {
        RunLogLine("  not deleted %ls: %ls", path, RunLogReason(deleted).text);
    }
}

// The platform's text comes with a line break at its end, and may have more
// inside: a line of the log stays one line.
RunLogReasonText RunLogReason(HRESULT failure)
{
    RunLogReasonText reason = {};
    WCHAR system[RUN_LOG_REASON_CHARS] = {};
    const DWORD code = static_cast<DWORD>(failure) & 0xFFFF;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(failure), 0, system, RUN_LOG_REASON_CHARS, nullptr);

    for (DWORD k = 0; k < length; ++k) {
        system[k] = system[k] == L'\r' || system[k] == L'\n' ? L' ' : system[k];
    }
    while (length > 0 && system[length - 1] == L' ') {
        system[--length] = L'\0';
    }
    if (0 == length || FAILED(BoundedFormat(reason.text, RUN_LOG_REASON_CHARS, L"error %lu: %ls", code, system))) {
        BoundedFormat(reason.text, RUN_LOG_REASON_CHARS, L"error %lu", code);
    }
    return reason;
}

DWORD RunLogSecondsSince(ULONGLONG started)
{
    return static_cast<DWORD>((::GetTickCount64() - started) / 1000);
}

void RunLogPassedOver(LPCWSTR candidate, LPCWSTR reason)
{
    RunLogLine("  passed over %ls: %ls", candidate, reason);
}
