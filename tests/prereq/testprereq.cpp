// testprereq.exe: a prerequisite program (a runtime's own setup) for the tests
// that pack one with setuppack /exe and run the bundle under Wine.
//
// Every start appends one line, UTF-8, to the file that the environment
// variable TESSARO_PREREQ_RECORD names (nothing when it is unset or empty):
//
//     folder=<current folder>\tprogram=<its own path>\ttemp=<TEMP>\ttmp=<TMP>\tpath=<PATH>\tcommand=<its whole command line>\n
//
// and then, as a runtime's setup unpacks, writes %TEMP%\unpacked\payload.txt.
//
// The environment, not the registry, names the file: a test sets it for the
// setup.exe it starts, and the program inherits it from there.
//
// Arguments (names not case-sensitive; any other argument is ignored, as real
// setups ignore what they do not know, so /install /quiet /norestart may stay):
//   /exit N        exit with N (decimal, or hex after 0x; 0x80070005 works too); default 0
//   /version TEXT  the text it writes as Version; default v14.40.33810.00
//   /uninstall     remove the values (the whole key) instead of writing them
//
// Unless /uninstall is given, a start whose exit code is 0, 3010 or 1641 (an
// install that worked) writes, in the 64-bit registry view,
//
//     HKLM\Software\TessaroTests\Prereq   Installed = 1 (REG_DWORD), Version = TEXT (REG_SZ)
//
// so that afterwards the rules
//
//     HKLM64\Software\TessaroTests\Prereq:Installed = 1
//     HKLM64\Software\TessaroTests\Prereq:Version >= v14.40
//
// hold. Any other exit code leaves the registry alone, as a failed install
// does. A write or removal that fails makes it exit with 1603 instead.
//
// Its version record says 14.40.33810.0 (testprereq.rc).
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string>

namespace {

constexpr wchar_t RECORD_VARIABLE[] = L"TESSARO_PREREQ_RECORD";
constexpr wchar_t KEY[] = L"Software\\TessaroTests\\Prereq";
constexpr wchar_t DEFAULT_VERSION[] = L"v14.40.33810.00";
constexpr DWORD INSTALL_FAILED = 1603;

struct Request {
    DWORD exitCode = 0;
    std::wstring version = DEFAULT_VERSION;
    bool uninstall = false;
};

bool Is(const wchar_t* argument, const wchar_t* name)
{
    return lstrcmpiW(argument, name) == 0;
}

Request ReadArguments(int argc, wchar_t** argv)
{
    Request request;
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (Is(argv[i], L"/exit") && valued) {
            request.exitCode = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 0));
        } else if (Is(argv[i], L"/version") && valued) {
            request.version = argv[++i];
        } else if (Is(argv[i], L"/uninstall")) {
            request.uninstall = true;
        }
    }
    return request;
}

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

std::wstring Variable(const wchar_t* name)
{
    wchar_t value[4 * MAX_PATH] = L"";
    const DWORD length = GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return length < ARRAYSIZE(value) ? value : L"";
}

void Unpack()
{
    const std::wstring folder = Variable(L"TEMP") + L"\\unpacked";
    CreateDirectoryW(folder.c_str(), nullptr);
    HANDLE file = CreateFileW((folder + L"\\payload.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

bool Record()
{
    wchar_t path[MAX_PATH] = L"";
    wchar_t folder[MAX_PATH] = L"";
    wchar_t program[MAX_PATH] = L"";
    const DWORD length = GetEnvironmentVariableW(RECORD_VARIABLE, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    GetCurrentDirectoryW(MAX_PATH, folder);
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::string line = Utf8(std::wstring(L"folder=") + folder + L"\tprogram=" + program + L"\ttemp=" +
                                  Variable(L"TEMP") + L"\ttmp=" + Variable(L"TMP") + L"\tpath=" + Variable(L"PATH") +
                                  L"\tcommand=" + GetCommandLineW()) + "\n";
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return true;
}

bool WriteValues(const std::wstring& version)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD installed = 1;
    const bool written =
        RegSetValueExW(key, L"Installed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&installed), sizeof(installed)) ==
            ERROR_SUCCESS &&
        RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

bool RemoveValues()
{
    const LONG removed = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, KEY, KEY_WOW64_64KEY, 0);
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

bool IsWorkingInstall(DWORD exitCode)
{
    return exitCode == 0 || exitCode == 3010 || exitCode == 1641;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const Request request = argv ? ReadArguments(argc, argv) : Request();
    LocalFree(argv);
    if (Record()) Unpack();
    DWORD exitCode = request.exitCode;
    if (request.uninstall ? !RemoveValues() : IsWorkingInstall(exitCode) && !WriteValues(request.version)) {
        exitCode = INSTALL_FAILED;
    }
    ExitProcess(exitCode);
}
