#include "payloadtest.h"
#include "testsupport.h"

std::wstring BinFile(const wchar_t* name)
{
    return WindowsPathFromUnix(PAYLOAD_BIN_DIR) + L"\\" + name;
}

std::wstring DataFile(const wchar_t* name)
{
    return WindowsPathFromUnix(PAYLOAD_DATA_DIR) + L"\\" + name;
}

std::wstring Arg(const std::wstring& path)
{
    return L" " + Quoted(path);
}

namespace {

// Appends what the pipe holds now, without waiting for more.
void DrainPipe(HANDLE readEnd, std::string* text)
{
    DWORD available = 0;
    while (::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char chunk[4096];
        DWORD read = 0;
        if (!::ReadFile(readEnd, chunk, sizeof(chunk) < available ? sizeof(chunk) : available, &read, nullptr) ||
            0 == read) {
            break;
        }
        text->append(chunk, read);
    }
}

} // namespace

Captured RunCapturing(const std::wstring& commandLine)
{
    Captured result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE errorRead = nullptr;
    HANDLE errorWrite = nullptr;
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    if (!::CreatePipe(&errorRead, &errorWrite, &inherit, 0) || !::CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
        return result;
    }
    ::SetHandleInformation(errorRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outputWrite;
    startup.hStdError = errorWrite;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    const BOOL started = ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(errorWrite);
    ::CloseHandle(outputWrite);
    if (started) {
        // Read while the process runs and stop when it has ended: waiting for
        // the pipe's end could hang, because a Wine service process that the
        // child happens to start (the desktop) inherits the write end.
        const ULONGLONG deadline = ::GetTickCount64() + 60000;
        bool ended = false;
        while (!ended && ::GetTickCount64() < deadline) {
            ended = WAIT_OBJECT_0 == ::WaitForSingleObject(process.hProcess, 20);
            DrainPipe(errorRead, &result.errorText);
            DrainPipe(outputRead, &result.outputText);
        }
        if (ended) {
            ::GetExitCodeProcess(process.hProcess, &result.exitCode);
        } else {
            ::TerminateProcess(process.hProcess, 1);
        }
        ::CloseHandle(process.hProcess);
        ::CloseHandle(process.hThread);
    }
    ::CloseHandle(errorRead);
    ::CloseHandle(outputRead);
    return result;
}

Captured Pack(const std::wstring& arguments)
{
    return PackWith(PackerBuild::Exe, arguments);
}

bool NativePackerBuilt(std::wstring* where)
{
    *where = WindowsPathFromUnix(NATIVE_PACKER_PATH);
    return INVALID_FILE_ATTRIBUTES != ::GetFileAttributesW(where->c_str());
}

std::wstring PathFor(PackerBuild packer, const std::wstring& windowsPath)
{
    return PackerBuild::Exe == packer ? windowsPath : UnixPathOf(windowsPath);
}

Captured PackWith(PackerBuild packer, const std::wstring& arguments)
{
    std::wstring native;
    if (PackerBuild::Exe == packer) {
        return RunCapturing(Quoted(BinFile(L"setuppack.exe")) + L" " + arguments);
    }
    NativePackerBuilt(&native);
    return RunLinuxProgram(native, arguments);
}

DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments)
{
    DWORD exitCode = 0xFFFFFFFF;
    RunProcess(Quoted(exe) + L" " + arguments, 60000, &exitCode);
    return exitCode;
}

std::string ReadBytes(const std::wstring& path)
{
    return ScratchFolder::ReadFile(path);
}

IMAGE_DATA_DIRECTORY* CertificateEntry(std::string& image)
{
    char* optional = &image[reinterpret_cast<IMAGE_DOS_HEADER*>(&image[0])->e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER)];
    return IMAGE_NT_OPTIONAL_HDR32_MAGIC == *reinterpret_cast<WORD*>(optional)
               ? &reinterpret_cast<IMAGE_OPTIONAL_HEADER32*>(optional)->DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY]
               : &reinterpret_cast<IMAGE_OPTIONAL_HEADER64*>(optional)->DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
}

namespace {

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param)
{
    auto* names = reinterpret_cast<std::vector<std::wstring>*>(param);
    names->push_back(IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : name);
    return TRUE;
}

} // namespace

std::vector<std::wstring> DataResourceNames(const std::wstring& module, LPCWSTR type)
{
    std::vector<std::wstring> names;
    HMODULE image = ::LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image) {
        ::EnumResourceNamesW(image, type, CollectName, reinterpret_cast<LONG_PTR>(&names));
        ::FreeLibrary(image);
    }
    return names;
}
