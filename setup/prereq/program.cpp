#include "program.h"

#include "fileutil.h"
#include "installer.h"
#include "installwait.h"
#include "messages.h"
#include "memutil.h"
#include "options.h"
#include "programenv.h"
#include "resrutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"

namespace {

// `"NAME.exe" ARGUMENTS`: the program sees its own name first, as when started
// from its folder, and nothing of where the run keeps it.
HRESULT FormatCommandLine(LPCWSTR path, TextSpan arguments, WideString* commandLine)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(StrutilFormat(commandLine, L"\"%ls\"", FileutilNamePart(path)));
    if (0 != arguments.length) {
        EXIT_IF_FAILED(StrutilAppend(commandLine, L" ", 0));
        EXIT_IF_FAILED(AppendSpan(commandLine, arguments));
    }

Exit:
    return hr;
}

HRESULT FolderOf(LPCWSTR path, WCHAR (&folder)[MAX_PATH])
{
    HRESULT hr = S_OK;
    const LPCWSTR name = FileutilNamePart(path);

    if (name == path) {
        EXIT_WITH(E_INVALIDARG);
    }
    EXIT_IF_FAILED(BoundedCopy(folder, MAX_PATH, path));
    folder[name - path - 1] = L'\0';

Exit:
    return hr;
}

HRESULT StartAndWait(LPCWSTR path, LPWSTR commandLine, LPWSTR environment, LPCWSTR folder, DWORD* exitCode)
{
    HRESULT hr = S_OK;
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};

    startup.cb = sizeof(startup);
    EXIT_LAST_ERROR_IF(!::CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                         environment, folder, &startup, &process));
    ::CloseHandle(process.hThread);
    EXIT_LAST_ERROR_IF(WAIT_OBJECT_0 != ::WaitForSingleObject(process.hProcess, INFINITE));
    EXIT_LAST_ERROR_IF(!::GetExitCodeProcess(process.hProcess, exitCode));

Exit:
    if (nullptr != process.hProcess) {
        ::CloseHandle(process.hProcess);
    }
    return hr;
}

} // namespace

HRESULT RunProgram(LPCWSTR path, TextSpan arguments, const PrereqParameters* parameters, LPCWSTR tempFolder,
                   DWORD* exitCode)
{
    HRESULT hr = S_OK;
    WideString commandLine = nullptr;
    LPWSTR environment = nullptr;
    WCHAR folder[MAX_PATH];
    PrereqExitKind listedKind = PrereqExitKind::Failure;
    HRESULT started = S_OK;
    // The command line is the program's to change while it starts: every
    // attempt gets a fresh copy. A failure to start ends the attempts.
    const auto attempt = [&]() -> UINT {
        WideString text = nullptr;
        DWORD code = ERROR_SUCCESS;
        started = StrutilCopy(&text, commandLine, 0);
        if (SUCCEEDED(started)) {
            started = StartAndWait(path, text, environment, folder, &code);
        }
        StrutilFree(text);
        return SUCCEEDED(started) ? code : ERROR_SUCCESS;
    };

    EXIT_IF_FAILED(FolderOf(path, folder));
    EXIT_IF_FAILED(FormatCommandLine(path, arguments, &commandLine));
    EXIT_IF_FAILED(ProgramEnvironmentBlock(tempFolder, &environment));
    RunLogLine("  starting %ls in %ls, TEMP %ls", commandLine, folder, tempFolder);
    if (S_FALSE == PrereqExitCodeKind(parameters, INSTALLER_BUSY, &listedKind)) {
        *exitCode = InstallerCallWaitingOutOthers(attempt);
    } else {
        *exitCode = attempt();
    }
    EXIT_IF_FAILED(started);

Exit:
    MemutilRelease(environment);
    StrutilFree(commandLine);
    return hr;
}

HRESULT ProgramExitResult(const PrereqParameters* parameters, DWORD exitCode, BOOL tolerateFailure)
{
    PrereqExitKind kind = PrereqExitKind::Failure;
    HRESULT hr = S_OK;

    if (S_OK == PrereqExitCodeKind(parameters, exitCode, &kind)) {
        hr = PrereqExitKind::Success == kind ? S_OK
             : PrereqExitKind::Restart == kind ? RESULT_RESTART_REQUIRED
                                               : ProgramFailureResult(exitCode);
    } else if (ERROR_SUCCESS == exitCode) {
        hr = S_OK;
    } else if (IsRestartResult(exitCode) || INSTALLER_CANCELLED_BY_USER == exitCode || INSTALLER_BUSY == exitCode) {
        hr = RunResultOf(exitCode);
    } else {
        hr = ProgramFailureResult(exitCode);
    }
    if (tolerateFailure && FAILED(hr) && !IsRestartRunResult(hr)) {
        hr = INSTALLER_FAILURE_TOLERATED;
    }
    return hr;
}

HRESULT RunPrerequisite(LPCWSTR path, TextSpan arguments, const PrereqParameters* parameters, LPCWSTR tempFolder,
                        BOOL tolerateFailure)
{
    HRESULT hr = S_OK;
    DWORD exitCode = 0;
    const ULONGLONG started = ::GetTickCount64();

    EXIT_IF_FAILED(RunProgram(path, arguments, parameters, tempFolder, &exitCode));
    hr = ProgramExitResult(parameters, exitCode, tolerateFailure);
    RunLogLine("  exit code %lu in %lu s, taken as %d", exitCode, RunLogSecondsSince(started), ExitCodeFromResult(hr));
    // A cancel was the user's own; another installation in progress has been
    // asked about already.
    if (hr == ProgramFailureResult(exitCode)) {
        ShowProgramFailed(FileutilNamePart(path), exitCode);
    }

Exit:
    return hr;
}

HRESULT PrereqLocateParameters(LPCSTR programResourceName, PrereqParameters* parameters)
{
    HRESULT hr = S_OK;
    constexpr DWORD PREFIX_CHARS = sizeof(PREREQ_PROGRAM_RESOURCE_PREFIX) - 1;
    char name[16];
    const BYTE* data = nullptr;
    DWORD size = 0;

    if (0 != strncmp(programResourceName, PREREQ_PROGRAM_RESOURCE_PREFIX, PREFIX_CHARS) ||
        strlen(programResourceName) >= sizeof(name)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    memcpy(name, PREREQ_PARAMETERS_RESOURCE_PREFIX, PREFIX_CHARS);
    memcpy(name + PREFIX_CHARS, programResourceName + PREFIX_CHARS, strlen(programResourceName) - PREFIX_CHARS + 1);
    EXIT_IF_FAILED(ResrutilLocateData(nullptr, name, &data, &size));
    EXIT_IF_FAILED(PrereqReadParameters(data, size, parameters));

Exit:
    return hr;
}
