// Linux programs started from a test under Wine.
#include "testsupport.h"

#include <shellapi.h>
#include <stdio.h>
#include <wctype.h>

namespace {

bool FileThere(const std::wstring& path)
{
    return INVALID_FILE_ATTRIBUTES != ::GetFileAttributesW(path.c_str());
}

std::string FileBytes(const std::wstring& path)
{
    std::string bytes;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        char chunk[4096];
        for (size_t read; (read = fread(chunk, 1, sizeof(chunk), file)) > 0;) {
            bytes.append(chunk, read);
        }
        fclose(file);
    }
    return bytes;
}

// Wine's own call from a Windows path to the Linux one: it knows the
// prefix's drives and where each of them points.
using UnixFileNameCall = char*(CDECL*)(LPCWSTR);

bool IsWindowsPath(const std::wstring& text)
{
    return text.size() >= 3 && iswalpha(text[0]) && L':' == text[1] && L'\\' == text[2];
}

// An argument quoted so that it reads back as it is, by CommandLineToArgvW and
// by Wine when it starts a Linux program: backslashes double before a quote.
std::wstring QuotedArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (L'\\' == c) {
            ++backslashes;
            continue;
        }
        quoted.append(L'"' == c ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    return quoted.append(2 * backslashes, L'\\') + L"\"";
}

// The arguments of a command line split as CommandLineToArgvW splits them,
// Windows paths in the Linux form, each quoted again.
std::wstring LinuxArguments(const std::wstring& arguments)
{
    int count = 0;
    LPWSTR* words = ::CommandLineToArgvW((L"program " + arguments).c_str(), &count);
    std::wstring line;
    for (int k = 1; k < count; ++k) {
        line += L" " + QuotedArgument(UnixPathOf(words[k]));
    }
    ::LocalFree(words);
    return line;
}

} // namespace

std::wstring UnixPathOf(const std::wstring& windowsPath)
{
    static const auto unixFileName = reinterpret_cast<UnixFileNameCall>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!IsWindowsPath(windowsPath) || !unixFileName) {
        return windowsPath;
    }
    // Wine converts a path whole, and takes a missing folder for an error and
    // a device's name (Com1.msi) for the device: only the top folder is its.
    const size_t last = windowsPath.find_last_of(L'\\');
    if (last > 2) {
        const std::wstring folder = UnixPathOf(windowsPath.substr(0, last));
        return folder + (L'/' == folder.back() ? L"" : L"/") + windowsPath.substr(last + 1);
    }
    char* unixPath = unixFileName(windowsPath.c_str());
    if (!unixPath) {
        return windowsPath;
    }
    const std::wstring path = WideFromUtf8(unixPath);
    ::HeapFree(::GetProcessHeap(), 0, unixPath);
    return path;
}

// Wine starts a Linux program without a process handle, and hands it no pipe
// for its standard streams (its pipes are the wineserver's, not the kernel's).
// So a shell runs the program with its streams in files beside `base`, and
// writes its exit code last, by a rename, which says it has ended.
Captured RunLinuxProgram(const std::wstring& program, const std::wstring& arguments)
{
    Captured result;
    wchar_t temp[MAX_PATH] = {};
    wchar_t base[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    ::GetTempFileNameW(temp, L"npk", 0, base);
    const std::wstring script = L"base=$1; shift; \"$@\" >\"$base.out\" 2>\"$base.err\"; echo $? >\"$base.tmp\";"
                                L" mv \"$base.tmp\" \"$base.code\"";
    std::wstring line = L"Z:\\bin\\sh -c " + QuotedArgument(script) + L" program " + QuotedArgument(UnixPathOf(base)) +
                        L" " + QuotedArgument(UnixPathOf(program)) + LinuxArguments(arguments);
    const std::wstring code = std::wstring(base) + L".code";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        for (const ULONGLONG deadline = ::GetTickCount64() + 60000;
             !FileThere(code) && ::GetTickCount64() < deadline;) {
            ::Sleep(10);
        }
    }
    if (FileThere(code)) {
        result.exitCode = std::stoul("0" + FileBytes(code));
        result.outputText = FileBytes(std::wstring(base) + L".out");
        result.errorText = FileBytes(std::wstring(base) + L".err");
    }
    for (const wchar_t* suffix : {L"", L".out", L".err", L".code"}) {
        ::DeleteFileW((base + std::wstring(suffix)).c_str());
    }
    return result;
}

