// The results the installer answers with that the program decides on (platform
// error numbers), and the same as the run's results (0x8007xxxx): defined here
// once for every module that looks at them.
#pragma once

#include <windows.h>

constexpr UINT INSTALLER_CANCELLED_BY_USER = 1602;
constexpr UINT INSTALLER_FATAL_ERROR = 1603;
constexpr UINT INSTALLER_UNKNOWN_PRODUCT = 1605;
constexpr UINT INSTALLER_UNKNOWN_PROPERTY = 1608;
constexpr UINT INSTALLER_BUSY = 1618;   // another installation is in progress
constexpr UINT INSTALLER_REJECTED_BY_POLICY = 1625;
constexpr UINT INSTALLER_SERVICE_FAILED_TO_START = 1631;
constexpr UINT INSTALLER_PLATFORM_UNSUPPORTED = 1633;
constexpr UINT INSTALLER_PRODUCT_VERSION = 1638;   // another version is installed
constexpr UINT INSTALLER_RESTART_STARTED = 1641;
constexpr UINT INSTALLER_PATCH_TARGET_NOT_FOUND = 1642;
constexpr UINT INSTALLER_RESTART_REQUIRED = 3010;
constexpr UINT INSTALLER_RESTART_REQUIRED_TO_FINISH = 3011;

// An installer result as a result of the run, as ResultFromWin32 folds it.
constexpr HRESULT RunResultOf(UINT installerResult)
{
    return static_cast<HRESULT>(0x80070000u | (installerResult & 0xFFFFu));
}

constexpr HRESULT RESULT_CANCELLED_BY_USER = RunResultOf(INSTALLER_CANCELLED_BY_USER);
constexpr HRESULT RESULT_INSTALLER_BUSY = RunResultOf(INSTALLER_BUSY);
constexpr HRESULT RESULT_PRODUCT_VERSION = RunResultOf(INSTALLER_PRODUCT_VERSION);
constexpr HRESULT RESULT_RESTART_STARTED = RunResultOf(INSTALLER_RESTART_STARTED);
constexpr HRESULT RESULT_RESTART_REQUIRED = RunResultOf(INSTALLER_RESTART_REQUIRED);
constexpr HRESULT RESULT_RESTART_REQUIRED_TO_FINISH = RunResultOf(INSTALLER_RESTART_REQUIRED_TO_FINISH);

// 3010, 3011 and 1641: the package is installed; a restart is due or started.
constexpr bool IsRestartResult(UINT result)
{
    return result == INSTALLER_RESTART_REQUIRED || result == INSTALLER_RESTART_REQUIRED_TO_FINISH ||
           result == INSTALLER_RESTART_STARTED;
}

// The same as the run's results: the package or program is installed.
constexpr bool IsRestartRunResult(HRESULT hr)
{
    return hr == RESULT_RESTART_REQUIRED || hr == RESULT_RESTART_REQUIRED_TO_FINISH || hr == RESULT_RESTART_STARTED;
}

// 3010 and 3011: installed, and the machine needs a restart later. Nothing is
// restarting now, so the run goes on.
constexpr bool IsRestartRequired(HRESULT hr)
{
    return hr == RESULT_RESTART_REQUIRED || hr == RESULT_RESTART_REQUIRED_TO_FINISH;
}

// A prerequisite program's failure: its exit code's low 16 bits as the run's
// exit code, under a facility of its own so that a code the vendor called a
// failure (3010, say) is never taken for one of the results above.
constexpr HRESULT ProgramFailureResult(DWORD exitCode)
{
    return static_cast<HRESULT>(0x80040000u | (exitCode & 0xFFFFu));
}
