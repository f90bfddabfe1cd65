#include "faultkit.h"
#include "testsupport.h"

#include <objbase.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>

namespace {

std::string CrashContext;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "\n*** crash 0x%08lX at %p during: %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress, CrashContext.c_str());
    std::fflush(stderr);
    // Ending here spares the test run a debugger that would wait for ever.
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

void AppendBytes(std::vector<BYTE>* bytes, const void* data, size_t size)
{
    const BYTE* first = static_cast<const BYTE*>(data);
    bytes->insert(bytes->end(), first, first + size);
}

void AppendName(std::vector<BYTE>* bytes, const std::string& name)
{
    char field[12] = {};
    memcpy(field, name.c_str(), std::min<size_t>(name.size(), sizeof(field)));
    AppendBytes(bytes, field, sizeof(field));
}

} // namespace

std::vector<BYTE> BuildManifest(const std::vector<PackageSpec>& packages,
                                const std::vector<TransformSpec>& transforms)
{
    std::vector<BYTE> bytes = {0, static_cast<BYTE>(packages.size()), static_cast<BYTE>(transforms.size()), 0};
    for (const PackageSpec& package : packages) {
        AppendName(&bytes, package.resourceName);
        WCHAR fileName[64] = {};
        memcpy(fileName, package.fileName.c_str(), std::min<size_t>(package.fileName.size(), 64) * sizeof(WCHAR));
        AppendBytes(&bytes, fileName, sizeof(fileName));
        AppendBytes(&bytes, &package.productCode, sizeof(GUID));
        AppendBytes(&bytes, &package.versionHigh, 4);
        AppendBytes(&bytes, &package.versionLow, 4);
        AppendBytes(&bytes, &package.flags, 4);
    }
    for (const TransformSpec& transform : transforms) {
        AppendName(&bytes, transform.resourceName);
        AppendBytes(&bytes, &transform.language, 4);
    }
    return bytes;
}

std::vector<BYTE> BuildCabinets(const std::vector<CabinetSpec>& cabinets)
{
    std::vector<BYTE> bytes;
    for (const CabinetSpec& cabinet : cabinets) {
        AppendName(&bytes, cabinet.resourceName);
        AppendBytes(&bytes, &cabinet.packageIndex, 4);
        WCHAR fileName[64] = {};
        memcpy(fileName, cabinet.fileName.c_str(), std::min<size_t>(cabinet.fileName.size(), 64) * sizeof(WCHAR));
        AppendBytes(&bytes, fileName, sizeof(fileName));
    }
    return bytes;
}

std::wstring GuidText(const GUID& guid)
{
    WCHAR text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring VersionText(DWORD high, DWORD low)
{
    WCHAR text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    return text;
}

GuardedBytes::~GuardedBytes()
{
    Release();
}

void GuardedBytes::Release()
{
    if (region_) ::VirtualFree(region_, 0, MEM_RELEASE);
    region_ = nullptr;
    data_ = nullptr;
}

const BYTE* GuardedBytes::Assign(const BYTE* data, size_t size)
{
    Release();
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t dataPages = (size + page - 1) / page + 1;
    regionSize_ = (dataPages + 1) * page;
    region_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, regionSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(region_ + dataPages * page, page, PAGE_NOACCESS, &old);
    BYTE* first = region_ + dataPages * page - size;
    if (size) memcpy(first, data, size);
    ::VirtualProtect(region_, dataPages * page, PAGE_READONLY, &old);
    data_ = first;
    return data_;
}

Sandbox::Sandbox(const wchar_t* name)
{
    WCHAR realTemp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, realTemp);
    root = std::wstring(realTemp) + name + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    temp = root + L"tmp\\";
    common = root + L"common";
    local = root + L"local";
    out = root + L"out";
    windows = root + L"win";
    RemoveTree(root, false);
    ::CreateDirectoryW(root.c_str(), nullptr);
    Clear();
}

Sandbox::~Sandbox()
{
    RemoveTree(root, false);
}

void Sandbox::Clear() const
{
    RemoveTree(root, true);
    ::CreateDirectoryW(temp.c_str(), nullptr);
    ::CreateDirectoryW(common.c_str(), nullptr);
    ::CreateDirectoryW(local.c_str(), nullptr);
    ::CreateDirectoryW(windows.c_str(), nullptr);
    ::CreateDirectoryW((windows + L"\\Temp").c_str(), nullptr);
}

void Sandbox::PointProgramHere() const
{
    Fault.tempPath = temp;
    Fault.commonAppData = common;
    Fault.localAppData = local;
    Fault.windowsFolder = windows;
    Fault.writeRoots = {temp, common, local, out, windows};
}

void RemoveTree(const std::wstring& folder, bool keepFolder)
{
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((base + L"*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = base + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path, false);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    if (!keepFolder) ::RemoveDirectoryW(folder.c_str());
}

namespace {

void SnapshotInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* entries)
{
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((root + relative + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries->push_back(Upper(relative + name + L"\\"));
            SnapshotInto(root, relative + name + L"\\", entries);
        } else {
            entries->push_back(Upper(relative + name));
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
}

} // namespace

std::vector<std::wstring> Sandbox::Snapshot() const
{
    std::vector<std::wstring> entries;
    SnapshotInto(root, L"", &entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool ReadWholeFile(const std::wstring& path, std::string* content)
{
    content->clear();
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        content->append(buffer, read);
    }
    ::CloseHandle(file);
    return true;
}

void WriteWholeFile(const std::wstring& path, const std::string& content)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::string ResourceBytes(const char* name)
{
    WCHAR path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return PayloadBytes(path, name);
}

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool StartsWith(const std::wstring& text, const std::wstring& head)
{
    return text.compare(0, head.size(), head) == 0;
}

std::vector<std::string> BookProblems()
{
    std::vector<std::string> problems;
    if (!Fault.liveBlocks.empty()) problems.push_back(std::to_string(Fault.liveBlocks.size()) + " heap block(s) leaked");
    if (!Fault.liveFiles.empty()) problems.push_back(std::to_string(Fault.liveFiles.size()) + " file handle(s) leaked");
    if (!Fault.liveFinds.empty()) problems.push_back(std::to_string(Fault.liveFinds.size()) + " find handle(s) leaked");
    if (!Fault.liveEnvironments.empty()) problems.push_back("environment block not freed");
    if (!Fault.liveViews.empty()) problems.push_back(std::to_string(Fault.liveViews.size()) + " view(s) of files not unmapped");
    if (!Fault.liveMessages.empty()) problems.push_back("message text not freed");
    if (!Fault.liveArgv.empty()) problems.push_back("argument array not freed");
    if (!Fault.liveDescriptors.empty()) problems.push_back(std::to_string(Fault.liveDescriptors.size()) + " security descriptor(s) not freed");
    if (!Fault.liveKeys.empty()) problems.push_back(std::to_string(Fault.liveKeys.size()) + " registry key(s) not closed");
    if (!Fault.liveFolderPaths.empty()) problems.push_back("known-folder path not freed");
    if (Fault.liveVersionLibraries != 0) problems.push_back("version.dll loaded " + std::to_string(Fault.liveVersionLibraries) + " times more than freed");
    if (Fault.liveModules < 0 || Fault.liveModules > 1) problems.push_back("installer module loaded " + std::to_string(Fault.liveModules) + " times");
    if (Fault.unknownReleases != 0) problems.push_back(std::to_string(Fault.unknownReleases) + " release(s) of unknown blocks or handles");
    for (const std::wstring& path : Fault.writesOutsideRoots) problems.push_back("write outside the allowed folders: " + Narrow(path));
    return problems;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void SetCrashContext(const std::string& context)
{
    static bool installed = false;
    if (!installed) {
        ::SetUnhandledExceptionFilter(ReportCrash);
        installed = true;
    }
    CrashContext = context;
}

bool IsRunLogEntry(const std::wstring& entry)
{
    for (const wchar_t* folder : {L"TMP\\", L"WIN\\TEMP\\"}) {
        const size_t length = wcslen(folder);
        if (StartsWith(entry, folder) && EndsWith(entry, L".LOG") && entry.find(L'\\', length) == std::wstring::npos) {
            return true;
        }
    }
    return false;
}
