#include "testsupport.h"

namespace {

HANDLE StartProcess(const std::wstring& commandLine)
{
    std::wstring writable = commandLine;   // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Waits for the process; one that does not end in time is killed.
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD* exitCode)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
        return false;
    }
    return GetExitCodeProcess(process, exitCode) != FALSE;
}

} // namespace

bool RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD* exitCode)
{
    HANDLE process = StartProcess(commandLine);
    if (!process) return false;
    const bool finished = WaitForExit(process, timeoutMs, exitCode);
    CloseHandle(process);
    return finished;
}

RunResult RunWatched(const std::wstring& commandLine, DWORD timeoutMs, WPARAM answer)
{
    RunResult result;
    MessageBoxWatcher watcher(answer);
    HANDLE process = StartProcess(commandLine);
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
