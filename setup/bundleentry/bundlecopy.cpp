// The bundle's copy of itself, which its entry's commands run.
#include "bundlecopy.h"

#include "cache.h"
#include "elevation.h"
#include "fileutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "strutil.h"
#include "sysutil.h"

namespace {

LPCWSTR CacheName(const RegistrationRun* registration)
{
    return registration->perMachine ? L"all-users" : L"user's";
}

// Applications\Cache\{CODE} in the cache of the bundle's scope; S_FALSE, with
// nothing held, when there is none (or, to write, when the all-users cache is
// not the program's own).
HRESULT OpenBundleFolder(const RegistrationRun* registration, LPCWSTR bundleCode, BOOL create, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    HeldFolder* cache = registration->perMachine ? registration->machineCache : registration->userCache;

    *folder = NoHeldFolder();
    if (INVALID_HANDLE_VALUE == cache->handle) {
        EXIT_IF_FAILED(OpenCacheFolder(registration->perMachine, registration->elevated, create, cache));
    }
    if (INVALID_HANDLE_VALUE == cache->handle) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenChild(cache, bundleCode, create, folder));

Exit:
    return hr;
}

// Whether the copy at `path` holds the bytes of the program file this process
// runs from, as the folder's own entry with no other name: then it stays. A
// copy that Users read or someone runs (started from the entry to repair, it
// is this very program) cannot be replaced, and need not be. It is read
// through a handle that lets every other open be, so that it opens whatever
// share mode the reader chose.
BOOL HoldsProgramBytes(const HeldFolder* folder, LPCWSTR path, HANDLE program, LONGLONG size)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    HANDLE copy = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const BOOL same = INVALID_HANDLE_VALUE != copy && ::GetFileInformationByHandle(copy, &information) &&
                      1 == information.nNumberOfLinks && DirutilIsEntryOf(copy, folder, FileutilNamePart(path)) &&
                      S_OK == FileutilMatchesRange(copy, program, 0, static_cast<ULONGLONG>(size));
    if (INVALID_HANDLE_VALUE != copy) {
        ::CloseHandle(copy);
    }
    return same;
}

// Out of the cache into the run's log folder, under a name nobody runs by
// accident; an elevated run has it deleted at the next restart, from a folder
// only administrators can change.
HRESULT MoveOutOfTheWay(const RegistrationRun* registration, LPCWSTR path)
{
    HRESULT hr = S_OK;
    const HeldFolder* logs = RunLogFolder();
    WCHAR target[MAX_PATH];
    DWORD random = 0;

    if (nullptr == logs) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    EXIT_IF_FAILED(SysutilRandom(&random, sizeof(random)));
    EXIT_IF_FAILED(BoundedFormat(target, MAX_PATH, L"%ls\\%ls_%08lx.removed", logs->path, FileutilNamePart(path),
                                 static_cast<unsigned long>(random)));
    EXIT_LAST_ERROR_IF(!::MoveFileExW(path, target, 0));
    RunLogLine("  moved %ls, which is in use, to %ls", path, target);
    if (registration->elevated && ::MoveFileExW(target, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        RunLogLine("  %ls goes at the next restart", target);
    }

Exit:
    return hr;
}

// A copy in use cannot be deleted: the program of this very run, started from
// the entry, or the one whose run handed itself to this elevated copy and
// holds it until this copy ends. It is moved away; where even that fails, an
// elevated run has it deleted at the next restart where it is, but only in the
// all-users cache, which only administrators can change.
void DeleteCopyFile(const RegistrationRun* registration, const HeldFolder* folder, LPCWSTR path,
                    BOOL* scheduled)
{
    const HRESULT deleted = FileutilDeleteInFolder(folder, path);
    if (SUCCEEDED(deleted)) {
        RunLogDeleted(path, deleted);
    } else if (SUCCEEDED(MoveOutOfTheWay(registration, path))) {
        return;
    } else if (registration->elevated && registration->perMachine &&
               ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        RunLogLine("  %ls is in use: it goes at the next restart", path);
        *scheduled = TRUE;
    } else {
        RunLogDeleted(path, deleted);
    }
}

} // namespace

// Each failure is named in the log with the file it concerns and why.
HRESULT BundleCopyKeep(const RegistrationRun* registration, WCHAR (&path)[MAX_PATH], LONGLONG* bytes)
{
    HRESULT hr = S_OK;
    HeldFolder folder = NoHeldFolder();
    HANDLE program = INVALID_HANDLE_VALUE;
    HANDLE copy = INVALID_HANDLE_VALUE;
    WCHAR programPath[MAX_PATH] = {};
    WCHAR identity[FILE_IDENTITY_CHARS];
    LARGE_INTEGER size = {};
    WCHAR failedOn[MAX_PATH] = {};   // the file or folder a failure is about; empty once told

    BoundedFormat(failedOn, MAX_PATH, L"Applications\\Cache\\%ls in the %ls cache", registration->bundleCode,
                  CacheName(registration));
    EXIT_IF_FAILED(OpenBundleFolder(registration, registration->bundleCode, TRUE, &folder));
    if (S_FALSE == hr) {
        RunLogLine("the %ls cache cannot take the bundle's copy: it is not the program's own, or it leads elsewhere",
                   CacheName(registration));
        failedOn[0] = L'\0';
        EXIT_WITH(registration->perMachine ? RESULT_LOG_FOLDER_UNTRUSTED : RESULT_LINK_ENCOUNTERED);
    }
    BoundedCopy(failedOn, MAX_PATH, L"the program file");
    EXIT_IF_FAILED(HoldProgramFile(&program, programPath, identity));
    BoundedCopy(failedOn, MAX_PATH, programPath);
    EXIT_IF_FAILED(DirutilPathIn(&folder, FileutilNamePart(programPath), path));
    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(program, &size));
    *bytes = size.QuadPart;
    BoundedCopy(failedOn, MAX_PATH, path);
    if (HoldsProgramBytes(&folder, path, program, size.QuadPart)) {
        RunLogLine("the bundle's copy %ls holds the bytes of this program: kept", path);
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(FileutilCopyToNew(program, 0, static_cast<ULONGLONG>(size.QuadPart), path, &folder,
                                     registration->elevated, &copy));
    RunLogLine("the bundle's copy: %ls", path);

Exit:
    if (FAILED(hr) && L'\0' != failedOn[0]) {
        RunLogLine("the bundle's copy could not be written: %ls: %ls", failedOn, RunLogReason(hr).text);
    }
    if (INVALID_HANDLE_VALUE != copy) {
        ::CloseHandle(copy);
    }
    if (INVALID_HANDLE_VALUE != program) {
        ::CloseHandle(program);
    }
    DirutilClose(&folder);
    return hr;
}

void BundleCopyDelete(const RegistrationRun* registration, LPCWSTR bundleCode)
{
    HeldFolder folder = NoHeldFolder();
    WCHAR pattern[MAX_PATH];
    WCHAR path[MAX_PATH];
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;
    BOOL scheduled = FALSE;

    const HRESULT opened = OpenBundleFolder(registration, bundleCode, FALSE, &folder);
    if (FAILED(opened)) {
        RunLogLine("the bundle's copy could not be deleted: Applications\\Cache\\%ls in the %ls cache: %ls", bundleCode,
                   CacheName(registration), RunLogReason(opened).text);
    }
    if (S_OK != opened || FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\*", folder.path))) {
        DirutilClose(&folder);
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            SUCCEEDED(DirutilPathIn(&folder, found.cFileName, path))) {
            DeleteCopyFile(registration, &folder, path, &scheduled);
        }
    }
    if (INVALID_HANDLE_VALUE != find) {
        ::FindClose(find);
    }
    BoundedCopy(path, MAX_PATH, folder.path);
    DirutilCloseAndRemoveIfEmpty(&folder);
    if (scheduled) {
        ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);   // after the file in it
    }
}
