#include "testsupport.h"

namespace {

// The unelevated half of this process's token (Wine gives every process the
// elevated one and keeps the other as its linked token), as a primary token.
HANDLE LimitedToken()
{
    HANDLE own = nullptr;
    HANDLE primary = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) &&
        GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size)) {
        DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary);
        CloseHandle(linked.LinkedToken);
    }
    if (own) CloseHandle(own);
    return primary;
}

} // namespace

HANDLE StartProcess(const std::wstring& commandLine, bool limited)
{
    std::wstring writable = commandLine;   // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    HANDLE token = limited ? LimitedToken() : nullptr;
    const BOOL started = limited ? token && CreateProcessAsUserW(token, nullptr, &writable[0], nullptr, nullptr, FALSE, 0,
                                                                 nullptr, nullptr, &startup, &info)
                                 : CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                                  &startup, &info);
    if (token) CloseHandle(token);
    // A Linux program that Wine starts gives no process handle, and then the
    // thread handle is no handle at all: closing it would close one of ours.
    if (!started || !info.hProcess) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD* exitCode)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
        return false;
    }
    return GetExitCodeProcess(process, exitCode) != FALSE;
}

bool RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD* exitCode)
{
    HANDLE process = StartProcess(commandLine, false);
    if (!process) return false;
    const bool finished = WaitForExit(process, timeoutMs, exitCode);
    CloseHandle(process);
    return finished;
}

RunResult RunWatched(const std::wstring& commandLine, DWORD timeoutMs, WPARAM answer, bool limited)
{
    RunResult result;
    MessageBoxWatcher watcher(answer);
    HANDLE process = StartProcess(commandLine, limited);
    if (process) {
        result.started = true;
        result.finished = WaitForExit(process, timeoutMs, &result.exitCode);
        CloseHandle(process);
    }
    result.boxes = watcher.Stop();
    return result;
}

std::wstring WindowsPathFromUnix(const char* unixPath)
{
    std::wstring path = WideFromUtf8(unixPath);
    for (auto& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
    return path;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring WideFromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], count);
    return wide;
}

std::string Utf8FromWide(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], count,
                        nullptr, nullptr);
    return narrow;
}
