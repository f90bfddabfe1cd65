#include "elevation.h"
#include "bundlemanifest.h"

#include <shellapi.h>
#include <winnetwk.h>
#include "copyoutcome.h"
#include "messages.h"
#include "options.h"
#include "result.h"
#include "results.h"
#include "strutil.h"
#include "sysutil.h"
#include "dirutil.h"
#include "fileutil.h"
#include "payloadutil.h"

#include <wchar.h>

namespace {

// ProcessRedirectionTrustPolicy and its flag, which older headers lack.
constexpr int PROCESS_REDIRECTION_TRUST_POLICY = 16;
constexpr DWORD ENFORCE_REDIRECTION_TRUST = 0x1;

using UniversalNameFunction = DWORD(WINAPI*)(LPCWSTR path, DWORD level, LPVOID buffer, LPDWORD size);
using SetMitigationFunction = BOOL(WINAPI*)(int policy, PVOID buffer, SIZE_T size);

// A drive letter made with SUBST stands for a folder, and only in the logon
// session that made it: the path is handed over as that folder's.
HRESULT ResolveSubstitutedDrive(WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    const WCHAR drive[] = {path[0], L':', L'\0'};
    WCHAR target[MAX_PATH];
    WCHAR resolved[MAX_PATH];

    if (L':' != path[1] || 0 == ::QueryDosDeviceW(drive, target, MAX_PATH) || 0 != wcsncmp(target, L"\\??\\", 4)) {
        goto Exit;
    }
    EXIT_IF_FAILED(BoundedFormat(resolved, MAX_PATH, L"%ls%ls", target + 4, path + 2));
    EXIT_IF_FAILED(BoundedCopy(path, MAX_PATH, resolved));

Exit:
    return hr;
}

// A path on a network drive letter as the server's name for it. The network
// library is taken from the system folder only.
HRESULT ResolveNetworkDrive(WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    const WCHAR root[] = {path[0], L':', L'\\', L'\0'};
    HMODULE networking = nullptr;
    UniversalNameFunction universalName = nullptr;
    union {
        UNIVERSAL_NAME_INFOW info;
        BYTE bytes[sizeof(UNIVERSAL_NAME_INFOW) + MAX_PATH * sizeof(WCHAR)];
    } answer;
    DWORD size = sizeof(answer);
    DWORD error = ERROR_SUCCESS;

    if (L':' != path[1] || DRIVE_REMOTE != ::GetDriveTypeW(root)) {
        goto Exit;
    }
    EXIT_IF_FAILED(SysutilLoadSystemLibrary(L"mpr.dll", &networking));
    universalName = reinterpret_cast<UniversalNameFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(networking, "WNetGetUniversalNameW")));
    EXIT_LAST_ERROR_IF_NULL(universalName);
    error = universalName(path, UNIVERSAL_NAME_INFO_LEVEL, &answer, &size);
    EXIT_WIN32_IF_ERROR(ERROR_MORE_DATA == error ? ERROR_INSUFFICIENT_BUFFER : error);
    EXIT_IF_FAILED(BoundedCopy(path, MAX_PATH, answer.info.lpUniversalName));

Exit:
    if (nullptr != networking) {
        ::FreeLibrary(networking);
    }
    return hr;
}

// The elevated copy runs in a logon session of its own, which does not see
// the drive letters the user mapped or substituted.
HRESULT MakeReachable(WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(ResolveSubstitutedDrive(path));
    EXIT_IF_FAILED(ResolveNetworkDrive(path));

Exit:
    return hr;
}

} // namespace

// The bundle file, proven to be the one this process was started from and
// held from before the copy is started until it has ended: nobody can rename,
// replace or write it meanwhile, so the copy runs the bytes this process was
// started from. The copy is given the file's final path, which leads through
// no link that could be repointed, and its identity, which the copy checks
// against its own file.
HRESULT HoldProgramFile(HANDLE* held, WCHAR (&path)[MAX_PATH], WCHAR (&identity)[FILE_IDENTITY_CHARS])
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(PayloadutilOpenProgramFile(held));
    EXIT_IF_FAILED(DirutilFinalPath(*held, path));
    EXIT_IF_FAILED(FileutilFormatIdentity(*held, identity));

Exit:
    return hr;
}

namespace {

// The same program with the same arguments, behind the marker that makes it
// the copy, in the same current folder so that relative paths on the command
// line name the same files.
HRESULT StartElevatedCopy(LPCWSTR program, LPCWSTR identity, LPCWSTR windowPlace, HANDLE* process)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH];
    WideString parameters = nullptr;
    SHELLEXECUTEINFOW execute = {};
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, folder);

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    EXIT_IF_FAILED(MakeReachable(folder));
    EXIT_IF_FAILED(StrutilFormat(&parameters, L"%ls %ls%ls%ls%ls%ls %ls", ELEVATED_COPY_SWITCH, identity,
                                 nullptr != windowPlace ? L" " : L"", nullptr != windowPlace ? WINDOW_PLACE_SWITCH : L"",
                                 nullptr != windowPlace ? L" " : L"", nullptr != windowPlace ? windowPlace : L"",
                                 CommandLineTail(::GetCommandLineW())));

    execute.cbSize = sizeof(execute);
    // No box of the shell's own when the start fails: the run shows its own.
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"runas";
    execute.lpFile = program;
    execute.lpParameters = parameters;
    execute.lpDirectory = folder;
    execute.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&execute)) {
        EXIT_WITH(ERROR_CANCELLED == ::GetLastError() ? RESULT_CANCELLED_BY_USER : ResultFromLastError());
    }
    if (nullptr == execute.hProcess) {
        EXIT_WITH(E_UNEXPECTED);   // nothing to wait for: the outcome would be unknown
    }
    *process = execute.hProcess;

Exit:
    StrutilFree(parameters);
    return hr;
}

HRESULT WaitForExitCode(HANDLE process, DWORD* exitCode)
{
    HRESULT hr = S_OK;

    EXIT_LAST_ERROR_IF(WAIT_OBJECT_0 != ::WaitForSingleObject(process, INFINITE));
    EXIT_LAST_ERROR_IF(!::GetExitCodeProcess(process, exitCode));

Exit:
    return hr;
}

// This process then exits with the copy's code: 0 and 1 are results as they
// are, any other code is the error number it stands for.
HRESULT ResultFromExitCode(DWORD exitCode)
{
    if (exitCode <= 1) {
        return static_cast<HRESULT>(exitCode);
    }
    return static_cast<HRESULT>(0x80070000 | (exitCode & 0xFFFF));
}

} // namespace

HRESULT IsProcessElevated(BOOL* elevated)
{
    HRESULT hr = S_OK;
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;

    *elevated = FALSE;
    EXIT_LAST_ERROR_IF(!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    EXIT_LAST_ERROR_IF(!::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size));
    *elevated = 0 != elevation.TokenIsElevated;

Exit:
    if (nullptr != token) {
        ::CloseHandle(token);
    }
    return hr;
}

// Unattended runs never ask: nobody may be there to answer the prompt, so
// /quiet goes on with the rights it was given, as the installer service would.
BOOL MayAskForElevation(DWORD uiLevel, BOOL elevated)
{
    return !elevated && UI_LEVEL_NONE != uiLevel;
}

// Packages for the other kind of Windows are skipped by the run, so they ask
// for nothing either.
BOOL HasPerMachinePackage(const PackageManifest* manifest, BOOL windows64Bit)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if ((entry->flags & (PKG_PER_MACHINE | PKG_PROGRAM)) == PKG_PER_MACHINE &&
            PackageFitsWindows(entry, windows64Bit)) {
            return TRUE;
        }
    }
    return FALSE;
}

HRESULT RunElevatedCopy(LPCWSTR windowPlace, CopyOutcome* outcome)
{
    HRESULT hr = S_OK;
    HANDLE programFile = INVALID_HANDLE_VALUE;
    HANDLE process = nullptr;
    DWORD exitCode = 0;
    WCHAR program[MAX_PATH];
    WCHAR identity[FILE_IDENTITY_CHARS];
    HANDLE channel = INVALID_HANDLE_VALUE;
    WCHAR channelName[OUTCOME_ARGUMENT_CHARS];
    WideString handOver = nullptr;

    *outcome = {};
    // Only a copy that hands a window back has an outcome to tell: the channel
    // follows the window's place.
    if (nullptr != windowPlace && SUCCEEDED(OutcomeChannelOpen(&channel, channelName)) &&
        SUCCEEDED(StrutilFormat(&handOver, L"%ls %ls %ls", windowPlace, OUTCOME_SWITCH, channelName))) {
        windowPlace = handOver;
    }
    hr = HoldProgramFile(&programFile, program, identity);
    if (SUCCEEDED(hr)) {
        hr = StartElevatedCopy(program, identity, windowPlace, &process);
    }
    if (FAILED(hr)) {
        // A declined prompt was the user's own answer; any other failure to start the
        // copy would otherwise end the run without a word.
        if (RESULT_CANCELLED_BY_USER != hr) {
            ShowSystemErrorMessage(hr);
        }
        goto Exit;
    }
    EXIT_IF_FAILED(WaitForExitCode(process, &exitCode));
    hr = ResultFromExitCode(exitCode);
    if (nullptr != handOver) {
        OutcomeChannelReceive(channel, ::GetProcessId(process), outcome);
    }

Exit:
    StrutilFree(handOver);
    if (INVALID_HANDLE_VALUE != channel) {
        ::CloseHandle(channel);
    }
    if (nullptr != process) {
        ::CloseHandle(process);
    }
    if (INVALID_HANDLE_VALUE != programFile) {
        ::CloseHandle(programFile);
    }
    return hr;
}

HRESULT IsStartedFromFile(LPCWSTR identity)
{
    HRESULT hr = S_OK;
    HANDLE own = INVALID_HANDLE_VALUE;
    WCHAR ownIdentity[FILE_IDENTITY_CHARS];

    EXIT_IF_FAILED(PayloadutilOpenProgramFile(&own));
    EXIT_IF_FAILED(FileutilFormatIdentity(own, ownIdentity));
    if (CSTR_EQUAL != ::CompareStringOrdinal(ownIdentity, -1, identity, -1, TRUE)) {
        EXIT_WITH(RESULT_FILE_CHANGED);
    }

Exit:
    if (INVALID_HANDLE_VALUE != own) {
        ::CloseHandle(own);
    }
    return hr;
}

// Junctions and links that a user without administrator rights made are then
// not followed by this process at all. Windows before 11 (and 10 22H2) lacks
// the policy; the program's own checks hold there as well.
HRESULT EnforceRedirectionTrust()
{
    const auto setMitigation = SysutilKernelFunction<SetMitigationFunction>("SetProcessMitigationPolicy");
    DWORD policy = ENFORCE_REDIRECTION_TRUST;
    if (nullptr == setMitigation) {
        return S_FALSE;
    }
    return setMitigation(PROCESS_REDIRECTION_TRUST_POLICY, &policy, sizeof(policy)) ? S_OK : ResultFromLastError();
}
