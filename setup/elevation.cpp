#include "elevation.h"

#include <shellapi.h>
#include "options.h"
#include "result.h"

namespace {

constexpr HRESULT RESULT_CANCELLED_BY_USER = static_cast<HRESULT>(0x80070642);   // 1602

// Packages for the other kind of Windows are skipped by the run, so they ask
// for nothing either.
BOOL HasPerMachinePackage(const PackageManifest* manifest, BOOL windows64Bit)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if ((entry->flags & PKG_PER_MACHINE) && PackageFitsWindows(entry, windows64Bit)) {
            return TRUE;
        }
    }
    return FALSE;
}

// The same program file with the same arguments, in the same current folder so
// that relative paths on the command line name the same files.
HRESULT StartElevatedCopy(HANDLE* process)
{
    HRESULT hr = S_OK;
    WCHAR program[MAX_PATH];
    WCHAR folder[MAX_PATH];
    SHELLEXECUTEINFOW execute = {};
    DWORD length = 0;

    length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    length = ::GetCurrentDirectoryW(MAX_PATH, folder);
    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);

    execute.cbSize = sizeof(execute);
    // No box of the shell's own when the start fails: the exit code tells.
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"runas";
    execute.lpFile = program;
    execute.lpParameters = CommandLineTail(::GetCommandLineW());
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
BOOL NeedsElevatedCopy(const PackageManifest* manifest, DWORD uiLevel, BOOL elevated, BOOL windows64Bit)
{
    return !elevated && UI_LEVEL_NONE != uiLevel && HasPerMachinePackage(manifest, windows64Bit);
}

HRESULT RunElevatedCopy()
{
    HRESULT hr = S_OK;
    HANDLE process = nullptr;
    DWORD exitCode = 0;

    EXIT_IF_FAILED(StartElevatedCopy(&process));
    EXIT_IF_FAILED(WaitForExitCode(process, &exitCode));
    hr = ResultFromExitCode(exitCode);

Exit:
    if (nullptr != process) {
        ::CloseHandle(process);
    }
    return hr;
}
