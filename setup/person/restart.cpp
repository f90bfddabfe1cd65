#include "restart.h"

#include "result.h"
#include "runlog.h"

namespace {

constexpr DWORD RESTART_REASON =
    SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED;

HRESULT EnableShutdownPrivilege()
{
    HRESULT hr = S_OK;
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES privileges = {1, {}};

    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXIT_LAST_ERROR_IF(!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    EXIT_LAST_ERROR_IF(!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid));
    // It succeeds also when the token lacks the privilege, and says so in the last error.
    EXIT_LAST_ERROR_IF(!::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
                       ERROR_SUCCESS != ::GetLastError());

Exit:
    if (nullptr != token) {
        ::CloseHandle(token);
    }
    return hr;
}

} // namespace

HRESULT RestartComputer()
{
    HRESULT hr = EnableShutdownPrivilege();
    if (SUCCEEDED(hr) && !::InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, RESTART_REASON)) {
        hr = ResultFromLastError();
    }
    RunLogLine("restart %ls", SUCCEEDED(hr) ? L"started" : RunLogReason(hr).text);
    return hr;
}
