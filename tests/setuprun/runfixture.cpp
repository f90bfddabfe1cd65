#include "runfixture.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

const std::vector<TestPackage> kPackages = {
#include "testpackages.inc"
};

constexpr DWORD kRunTimeoutMs = 180000;

std::wstring FromBuildTree(const char* unixPath)
{
    return WindowsPathFromUnix(unixPath);
}

std::wstring TrimEnd(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

const std::vector<TestPackage>& AllPackages()
{
    return kPackages;
}

const TestPackage* FindPackage(const std::wstring& file)
{
    for (const auto& package : kPackages) {
        if (file == package.file) return &package;
    }
    return nullptr;
}

const TestPackage& Package(const std::wstring& file)
{
    const TestPackage* package = FindPackage(file);
    if (package == nullptr) std::abort();  // a test names a package the build did not make
    return *package;
}

std::wstring PackagePath(const std::wstring& file)
{
    return FromBuildTree(PACKAGE_DIR) + L"\\" + file;
}

std::wstring WorkPath(const std::wstring& name)
{
    const std::wstring folder = FromBuildTree(WORK_DIR);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}

namespace {

// SETUPPACK_NATIVE names the native packer (build/native/setuppack) when the
// bundles are to be its: a scenario then shows that they install as those of
// setuppack.exe do.
std::wstring NativePacker()
{
    const char* path = std::getenv("SETUPPACK_NATIVE");
    return path ? FromBuildTree(path) : L"";
}

bool PackNatively(const std::wstring& packer, const std::wstring& arguments)
{
    if (GetFileAttributesW(packer.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "the native packer %ls is missing: build it with `make native`\n", packer.c_str());
        return false;
    }
    const Captured run = RunLinuxProgram(packer, arguments);
    fputs(run.errorText.c_str(), stderr);
    return 0 == run.exitCode;
}

} // namespace

bool MakeBundle(const std::wstring& bundle, const std::vector<BundleItem>& items,
                const std::wstring& moreArguments)
{
    std::wstring command = L"/out " + Quoted(bundle) + L" /stub " + Quoted(FromBuildTree(SETUP_EXE));
    for (const auto& item : items) {
        const bool program = item.file == L"testprereq.exe";
        command += (program ? L" /exe " + Quoted(FromBuildTree(TESTPREREQ_EXE)) : L" /package " + Quoted(PackagePath(item.file))) +
                   L" /flags " + item.flags + L" " + item.more;
    }
    command += L" " + moreArguments;
    DeleteFileW(bundle.c_str());

    const std::wstring native = NativePacker();
    if (!native.empty()) {
        return PackNatively(native, command) && FileExists(bundle);
    }
    DWORD exitCode = 0xFFFFFFFF;
    const bool finished = RunProcess(Quoted(FromBuildTree(SETUPPACK_EXE)) + L" " + command, kRunTimeoutMs, &exitCode);
    return finished && exitCode == 0 && FileExists(bundle);
}

bool RewriteFlags(const std::wstring& bundle, const std::vector<DWORD>& flags)
{
    std::string manifest = ResourceBytes(bundle, RT_RCDATA, L"MANIFEST", 0);
    for (size_t k = 0; k < flags.size(); ++k) {
        const size_t at = 4 + k * 168 + 164;   // the layout pinned in setup/manifest.h
        if (at + sizeof(DWORD) > manifest.size()) return false;
        memcpy(&manifest[at], &flags[k], sizeof(DWORD));
    }
    return WriteManifest(bundle, manifest);
}

RunResult RunBundle(const std::wstring& bundle, const std::wstring& switches, WPARAM answer)
{
    return RunWatched(Quoted(bundle) + L" " + switches, kRunTimeoutMs, answer);
}

RunResult RunBundleUnelevated(const std::wstring& bundle, const std::wstring& switches, WPARAM answer)
{
    return RunWatched(Quoted(bundle) + L" " + switches, kRunTimeoutMs, answer, true);
}

std::wstring RunFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\Temp\\";
}

void DeleteLogsStartingWith(const std::wstring& prefix, const std::wstring& folder)
{
    for (const auto& name : FilesIn(folder)) {
        if (name.compare(0, prefix.size(), prefix) == 0) DeleteFileW((folder + name).c_str());
    }
}

std::string RunLogText(const std::wstring& bundleName, const std::wstring& folder)
{
    std::string latest;
    ULONGLONG latestTime = 0;
    for (const auto& name : FilesIn(folder)) {
        if (name.compare(0, bundleName.size() + 1, bundleName + L"_") != 0) continue;
        const std::string text = ReadFileBytes(folder + name);
        const ULONGLONG time = LastWriteTime(folder + name);
        if (text.find(" setup ") == 19 && time >= latestTime) {
            latest = text;
            latestTime = time;
        }
    }
    return latest;
}

std::vector<std::wstring> InstallerLogsNamedIn(const std::string& runLog)
{
    std::vector<std::wstring> logs;
    const std::string mark = "installer log: ";
    for (size_t at = runLog.find(mark); at != std::string::npos; at = runLog.find(mark, at + 1)) {
        const size_t start = at + mark.size();
        logs.push_back(WideFromUtf8(runLog.substr(start, runLog.find("\r\n", start) - start)));
    }
    return logs;
}

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

std::vector<std::wstring> StagingFolders(const std::wstring& base)
{
    std::vector<std::wstring> folders;
    for (const auto& name : FoldersIn(base.substr(0, base.size() - 1))) {
        if (_wcsnicmp(name.c_str(), L"Setup-", 6) == 0) folders.push_back(base + name);
    }
    return folders;
}

bool IsStagedPath(const std::wstring& path, const TestPackage& package, const std::wstring& base)
{
    const std::wstring folder = base + L"Setup-";
    const std::wstring name = std::wstring(L"\\") + package.file;
    if (path.size() < folder.size() + 16 + 2 + name.size() || 0 != _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) ||
        path.compare(path.size() - name.size(), name.size(), name) != 0) {
        return false;
    }
    const std::wstring entry = path.substr(folder.size() + 16, path.size() - name.size() - folder.size() - 16);
    return entry.size() >= 2 && entry[0] == L'\\' && entry.find_first_not_of(L"0123456789", 1) == std::wstring::npos;
}

namespace {

constexpr wchar_t kOwnedFoldersKey[] = L"Software\\Tessaro\\Setup\\Folders";

}  // namespace

std::wstring CacheFolder(bool perMachine)
{
    // The all-users one is where the program's record says it made it: the
    // folder's path follows four numbers in the record.
    wchar_t record[4 + MAX_PATH + 600] = {};
    DWORD size = sizeof(record);
    if (perMachine && RegGetValueW(HKEY_LOCAL_MACHINE, kOwnedFoldersKey, L"MachineCache",
                                   RRF_RT_REG_BINARY | RRF_SUBKEY_WOW6464KEY, nullptr, record, &size) == ERROR_SUCCESS) {
        return record + 8;
    }
    return KnownFolder(perMachine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA) + L"\\Applications\\Cache";
}

std::wstring CachedPath(const TestPackage& package, bool perMachine, const wchar_t* extension)
{
    const std::wstring name = std::wstring(package.code) + L"v" + package.version;
    return CacheFolder(perMachine) + L"\\" + name + L"\\" + name + extension;
}

void ForgetFiles(const TestPackage& package)
{
    // Wine keeps no owners, so a run trusts only an all-users cache it made
    // itself: the next run starts without one (nor a link a test left there).
    const std::wstring applications = KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Applications";
    RemoveUnixLink(applications);
    RemoveUnixLink(applications + L"\\Cache");
    RemoveFolderTree(applications);
    // And the folders the program made beside others' (Applications-*, Cache-*).
    RemoveFolderTree(CacheFolder(true));
    WIN32_FIND_DATAW found = {};
    const HANDLE find = FindFirstFileW((applications + L"-*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        RemoveFolderTree(KnownFolder(CSIDL_COMMON_APPDATA) + L"\\" + found.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kOwnedFoldersKey, KEY_WOW64_64KEY, 0);
    const std::wstring userCopy = CachedPath(package, false);
    RemoveFolderTree(userCopy.substr(0, userCopy.rfind(L'\\')));
    // What a stopped run left (a restart started, a failed test).
    for (const std::wstring& base : {RunFolder(), TempFolder()}) {
        for (const auto& folder : StagingFolders(base)) RemoveFolderTree(folder);
    }
}

namespace {

std::wstring EntryKey(const std::wstring& bundleCode)
{
    return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + bundleCode;
}

} // namespace

std::wstring BundleCodeOf(const std::wstring& bundle)
{
    const std::string record = ResourceBytes(bundle, RT_RCDATA, L"REGISTRATION", 0);
    wchar_t code[40] = {};
    if (record.size() >= 40) StringFromGUID2(*reinterpret_cast<const GUID*>(record.data() + 24), code, 40);
    return code;
}

std::wstring EntryValue(const std::wstring& bundleCode, const wchar_t* name, bool perMachine)
{
    wchar_t data[4096] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t) * 2;
    DWORD type = REG_NONE;
    if (RegGetValueW(perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, EntryKey(bundleCode).c_str(), name,
                     RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS) {
        return L"";
    }
    if (type == REG_DWORD) return std::to_wstring(*reinterpret_cast<DWORD*>(data));
    std::wstring text;
    for (const wchar_t* item = data; *item; item += wcslen(item) + 1) text += (text.empty() ? L"" : L"|") + std::wstring(item);
    return text;
}

std::wstring BundleCacheFolder(const std::wstring& bundleCode, bool perMachine)
{
    return CacheFolder(perMachine) + L"\\" + bundleCode;
}

void ForgetRegistration(const std::wstring& bundleCode)
{
    for (const bool perMachine : {true, false}) {
        RegDeleteKeyExW(perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, EntryKey(bundleCode).c_str(), KEY_WOW64_64KEY, 0);
        RemoveFolderTree(BundleCacheFolder(bundleCode, perMachine));
    }
}

namespace {

// The Unix path Wine maps an existing file's or folder's Windows path to
// (wine_get_unix_file_name); for a name that is not there yet, its folder's.
std::string UnixPath(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const size_t slash = path.find_last_of(L'\\');
        return UnixPath(path.substr(0, slash)) + "/" + Utf8FromWide(path.substr(slash + 1));
    }
    using UnixNameFunction = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    const std::string text = name ? name : "";
    if (name) HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Wine starts a Linux program as it starts a Windows one, but its handle does
// not wait for the program: the caller waits for what it does.
void RunShell(const std::string& command)
{
    DWORD exitCode = 0;
    RunProcess(L"Z:\\bin\\sh -c \"" + WideFromUtf8(command) + L"\"", kRunTimeoutMs, &exitCode);
}

bool IsLink(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool WaitUntil(const std::function<bool()>& done)
{
    for (int tries = 0; tries < 100 && !done(); ++tries) Sleep(50);
    return done();
}

} // namespace

bool MakeUnixLink(const std::wstring& link, const std::wstring& target)
{
    RunShell("ln -sfn '" + UnixPath(target) + "' '" + UnixPath(link) + "'");
    return WaitUntil([&link]() { return IsLink(link); });
}

void RemoveUnixLink(const std::wstring& link)
{
    if (!IsLink(link)) return;
    RunShell("rm -f '" + UnixPath(link) + "'");
    WaitUntil([&link]() { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

void RemoveFolderTree(const std::wstring& folder)
{
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    RunShell("rm -rf '" + UnixPath(folder) + "'");
    WaitUntil([&folder]() { return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

bool StartRepointer(const std::wstring& watched, const std::wstring& link, const std::wstring& newTarget)
{
    const std::wstring ready = WorkPath(L"repointer-ready");
    DeleteFileW(ready.c_str());
    RunShell("python3 '" + std::string(REPOINT_SCRIPT) + "' '" + UnixPath(watched) + "' '" + UnixPath(link) + "' '" +
             UnixPath(newTarget) + "' '" + UnixPath(ready) + "' 10 </dev/null >/dev/null 2>&1 &");
    return WaitUntil([&ready]() { return FileExists(ready); });
}

void StopRepointer()
{
    RunShell("pkill -f '" + std::string(REPOINT_SCRIPT) + "'");
    Sleep(200);
}

ULONGLONG LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

namespace {

std::vector<std::wstring> EntriesIn(const std::wstring& folder, bool folders)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder == folders && found.cFileName[0] != L'.') names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

} // namespace

std::vector<std::wstring> FilesIn(const std::wstring& folder)
{
    return EntriesIn(folder, false);
}

std::vector<std::wstring> FoldersIn(const std::wstring& folder)
{
    return EntriesIn(folder, true);
}

std::wstring SystemText(HRESULT code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                        nullptr, static_cast<DWORD>(code), 0x400,
                                        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length ? TrimEnd(std::wstring(text, length)) : std::wstring();
    LocalFree(text);
    return result;
}
