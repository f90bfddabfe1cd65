// The counting wrappers that faultshim.h puts in place of the platform calls of
// the product sources, the in-process installer they hand out instead of
// msi.dll, and a recording failure hook. This file itself calls the real
// platform functions.
#include "faultcontrol.h"
#include "faultkit.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <msi.h>
#include <winnetwk.h>
#include <algorithm>
#include <cstring>
#include <cwctype>

FaultWorld Fault;

namespace {

std::set<std::pair<std::string, int>> SitesReached;
// The path each open file handle was opened by, for the security wrappers,
// and the access it was opened with.
std::map<HANDLE, std::wstring> OpenedPaths;
std::map<HANDLE, DWORD> OpenedAccess;

const FaultOpInfo OP_INFO[FAULT_OP_COUNT] = {
    {"HeapAlloc", E_OUTOFMEMORY, FaultReaction::Fails},
    {"HeapReAlloc", E_OUTOFMEMORY, FaultReaction::Fails},
    {"CreateFileW", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"WriteFile", static_cast<HRESULT>(0x80070070), FaultReaction::Fails},
    // The deletes before a create fail the operation; clean-up deletes are ignored.
    {"DeleteFileW", static_cast<HRESULT>(0x80070020), FaultReaction::Fails},
    {"CreateDirectoryW", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"GetFileAttributesW", S_OK, FaultReaction::Probe},
    {"FindFirstFileW", S_OK, FaultReaction::Probe},
    {"GetTempPathW", static_cast<HRESULT>(0x800700CB), FaultReaction::Fails},
    {"FindResourceExA", static_cast<HRESULT>(0x80070716), FaultReaction::Fails},
    {"LoadResource", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    {"SizeofResource", static_cast<HRESULT>(0x80070714), FaultReaction::Fails},
    {"LockResource", E_FAIL, FaultReaction::Fails},
    {"LoadStringW", static_cast<HRESULT>(0x80070716), FaultReaction::Fails},
    {"SHGetFolderPathW", static_cast<HRESULT>(0x80070003), FaultReaction::Fails},
    {"CommandLineToArgvW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    {"FormatMessageW", S_OK, FaultReaction::Ignored},
    {"LoadLibrary(msi)", static_cast<HRESULT>(0x8007007E), FaultReaction::Fails},
    {"GetProcAddress(msi)", static_cast<HRESULT>(0x8007007F), FaultReaction::Fails},
    {"MsiEnableLogW", S_OK, FaultReaction::Ignored},
    {"MsiGetProductInfoW", static_cast<HRESULT>(0x8007064A), FaultReaction::Fails},
    {"MsiInstallProductW", static_cast<HRESULT>(0x80070643), FaultReaction::Fails},
    {"MsiApplyPatchW", static_cast<HRESULT>(0x80070643), FaultReaction::Fails},
    {"MsiConfigureProductExW", S_OK, FaultReaction::Ignored},   // only the removal after a failure
    {"OpenProcessToken", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"GetTokenInformation", static_cast<HRESULT>(0x80070018), FaultReaction::Fails},
    {"GetModuleFileNameW", static_cast<HRESULT>(0x8007007A), FaultReaction::Fails},
    {"GetCurrentDirectoryW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    {"ShellExecuteExW", static_cast<HRESULT>(0x80070002), FaultReaction::Fails},
    {"WaitForSingleObject", static_cast<HRESULT>(0x80070006), FaultReaction::Fails},
    {"GetExitCodeProcess", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"GetFileType", static_cast<HRESULT>(0x80070032), FaultReaction::Fails},   // not a disk: not supported
    {"GetFileInformationByHandle", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    {"GetSecurityInfo", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    // A final path that cannot be told leaves an entry unconfirmed: the folder is
    // not used (another one is) or the file not written or deleted.
    {"GetFinalPathNameByHandleW", S_OK, FaultReaction::Probe},
    {"SetFileInformationByHandle", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"ReadFile", static_cast<HRESULT>(0x8007001E), FaultReaction::Fails},
    {"RemoveDirectoryW", S_OK, FaultReaction::Ignored},
    {"FindNextFileW", S_OK, FaultReaction::Ignored},
    {"GetDriveTypeW", S_OK, FaultReaction::Ignored},
    {"WNetGetUniversalNameW", static_cast<HRESULT>(0x800704B3), FaultReaction::Fails},
    // Products that cannot be listed: a fresh install is then kept after a failure.
    {"MsiEnumProductsW", S_OK, FaultReaction::Probe},
    {"SetProcessMitigationPolicy", S_OK, FaultReaction::Ignored},
    // Only the run's own log uses these: it never changes the outcome.
    {"ReOpenFile", S_OK, FaultReaction::Ignored},
    {"WideCharToMultiByte", S_OK, FaultReaction::Ignored},
    {"GetVersionExW", S_OK, FaultReaction::Ignored},
    // No Windows folder, no staging folder: the run cannot begin.
    {"GetSystemWindowsDirectoryW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    // A drive letter that cannot be asked about is no SUBST drive.
    {"QueryDosDeviceW", S_OK, FaultReaction::Ignored},
    {"CreateProcessW", static_cast<HRESULT>(0x80070002), FaultReaction::Fails},
    // Only detection rules ask these: a failure makes a rule not hold.
    {"MsiQueryProductStateW", S_OK, FaultReaction::Probe},
    {"MsiEnumRelatedProductsW", S_OK, FaultReaction::Probe},
    {"RegOpenKeyExW", S_OK, FaultReaction::Probe},
    {"RegQueryValueExW", S_OK, FaultReaction::Probe},
    {"SHGetKnownFolderPath", S_OK, FaultReaction::Probe},
    {"LoadLibrary(version)", S_OK, FaultReaction::Probe},
    {"GetFileVersionInfo*W/VerQueryValueW", S_OK, FaultReaction::Probe},
    {"CreateFileMappingW/MapViewOfFile", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    // A program file that is not the image's is read from by nobody.
    {"NtAreMappedFilesTheSame", static_cast<HRESULT>(0x80070570), FaultReaction::Fails},
    // A bundle's own entry: what cannot be written or read fails the run.
    {"RegCreateKeyExW", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"RegSetValueExW", static_cast<HRESULT>(0x8007001D), FaultReaction::Fails},
    {"RegDeleteKeyExW", static_cast<HRESULT>(0x80070005), FaultReaction::Fails},
    {"RegEnumKeyExW", static_cast<HRESULT>(0x8007001E), FaultReaction::Fails},
    // Only a copy of the bundle in use is moved aside, after its delete failed.
    {"MoveFileExW", S_OK, FaultReaction::Probe},
    // A write that stops short, as one to a full disk can: a file left
    // incomplete is a full disk's failure. The log's lines are only cut short.
    {"WriteFile (short)", static_cast<HRESULT>(0x80070070), FaultReaction::Fails},
    // No environment or system folder for a prerequisite program: it is not started.
    {"GetEnvironmentStringsW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
    {"GetSystemDirectoryW", static_cast<HRESULT>(0x80070008), FaultReaction::Fails},
};

// Counts the call and answers whether it is the one to fail.
bool ShouldFail(FaultOp op)
{
    const unsigned n = ++Fault.calls[op];
    if (Fault.armedOp != op) {
        return false;
    }
    if (n == Fault.armedAt || (Fault.persistent && n > Fault.armedAt)) {
        ++Fault.injected;
        return true;
    }
    return false;
}

// The root itself counts as under it, with or without its trailing backslash.
bool IsUnder(const std::wstring& path, std::wstring root)
{
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    if (path.compare(0, root.size(), root) != 0) return false;
    return path.size() == root.size() || path[root.size()] == L'\\';
}

// The run's own and the installer's logs, named by the program
// ("NAME_YYYYMMDD-HHMMSS_XXXXXXXX.LOG"), or any log. Writing one of the
// program's logs is no change that a run must not make, and a failure to write
// a log is never a reason for the run to end otherwise.
bool IsLogPath(const std::wstring& path, bool namedByProgram)
{
    const std::wstring upper = FaultNormalizePath(path);
    if (upper.size() < 29 || upper.compare(upper.size() - 4, 4, L".LOG") != 0) return false;
    if (!namedByProgram) return true;
    const std::wstring stamp = upper.substr(upper.size() - 29, 25);   // _DDDDDDDD-DDDDDD_HHHHHHHH
    for (size_t k = 0; k < stamp.size(); ++k) {
        const wchar_t c = stamp[k];
        const bool fits = (k == 0 || k == 16) ? c == L'_' : k == 9 ? c == L'-' : k < 16 ? std::iswdigit(c) != 0
                                                                                        : std::iswxdigit(c) != 0;
        if (!fits) return false;
    }
    return true;
}

// Every file-system change of the program goes through here.
void NoteWrite(LPCWSTR path)
{
    Fault.fileTouches += path == nullptr || !IsLogPath(path, true);
    if (Fault.writeRoots.empty() || path == nullptr) {
        return;
    }
    const std::wstring full = FaultNormalizePath(path);
    for (const std::wstring& root : Fault.writeRoots) {
        if (IsUnder(full, FaultNormalizePath(root))) {
            return;
        }
    }
    Fault.writesOutsideRoots.push_back(path);
}

std::wstring PathOf(HANDLE file)
{
    const auto found = OpenedPaths.find(file);
    return found == OpenedPaths.end() ? std::wstring() : FaultNormalizePath(found->second);
}

// The test's answer about the entry a handle was opened for, if it gave one.
const std::wstring* AnswerFor(const std::map<std::wstring, std::wstring>& answers, const std::wstring& path)
{
    for (const auto& answer : answers) {
        if (!path.empty() && FaultNormalizePath(answer.first) == path) return &answer.second;
    }
    return nullptr;
}

bool IsReparseAnswer(const std::wstring& path)
{
    return std::any_of(Fault.reparsePoints.begin(), Fault.reparsePoints.end(), [&path](const std::wstring& folder) {
        return !path.empty() && FaultNormalizePath(folder) == path;
    });
}

// Rendered by the platform itself, so a test compares it with the text the
// program's descriptor was made from.
std::wstring RenderSecurity(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
{
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
        return L"(not renderable)";
    }
    std::wstring rendered = text;
    ::LocalFree(text);
    return rendered;
}

bool IsMsiName(LPCWSTR name)
{
    if (name == nullptr) {
        return false;
    }
    std::wstring text(name);
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text.size() >= 3 && (text.size() >= 7 ? text.compare(text.size() - 7, 7, L"msi.dll") == 0
                                                 : text == L"msi");
}

// version.dll by its bare name or its full path.
bool IsVersionLibraryName(LPCWSTR name)
{
    std::wstring text(name ? name : L"");
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text == L"version.dll" || (text.size() > 12 && text.compare(text.size() - 12, 12, L"\\version.dll") == 0);
}

HMODULE VersionLibrary = nullptr;

// ---- the in-process installer -------------------------------------------

char FakeMsiModule;
DWORD CurrentUiLevel = 5;
std::wstring CurrentLogPath;
DWORD CurrentLogMode = 0;
DWORD CurrentLogAttributes = 0;

UINT Record(InstallerCall call, FaultOp op)
{
    call.uiLevel = CurrentUiLevel;
    call.logPath = CurrentLogPath;
    call.logMode = CurrentLogMode;
    call.logAttributes = CurrentLogAttributes;
    if (ShouldFail(op)) {
        call.result = 1603;
    } else {
        call.result = Fault.installerResult ? Fault.installerResult(call) : 0;
    }
    Fault.journal.push_back(call);
    return call.result;
}

UINT WINAPI FakeSetInternalUI(DWORD level, HWND* window)
{
    (void)window;
    ++Fault.installerSettings;
    const DWORD previous = CurrentUiLevel;
    CurrentUiLevel = level;
    return previous;
}

UINT WINAPI FakeEnableLog(DWORD mode, LPCWSTR path, DWORD attributes)
{
    ++Fault.installerSettings;
    if (ShouldFail(FAULT_MSI_ENABLE_LOG)) {
        return 1622;
    }
    CurrentLogMode = mode;
    CurrentLogPath = path ? path : L"";
    CurrentLogAttributes = attributes;
    return 0;
}

UINT WINAPI FakeGetProductInfo(LPCWSTR product, LPCWSTR property, LPWSTR value, DWORD* size)
{
    if (ShouldFail(FAULT_MSI_QUERY)) {
        return 1610;
    }
    if (product == nullptr || property == nullptr || lstrcmpW(property, L"VersionString") != 0) {
        return 1608;
    }
    for (const auto& installed : Fault.installedVersions) {
        if (lstrcmpiW(installed.first.c_str(), product) != 0) {
            continue;
        }
        const DWORD length = static_cast<DWORD>(installed.second.size());
        if (size == nullptr || value == nullptr || *size <= length) {
            if (size) *size = length;
            return 234;
        }
        memcpy(value, installed.second.c_str(), (length + 1) * sizeof(WCHAR));
        *size = length;
        return 0;
    }
    return 1605;
}

// The installed products are those the test says are installed.
UINT WINAPI FakeEnumProducts(DWORD index, LPWSTR product)
{
    if (ShouldFail(FAULT_MSI_ENUM)) {
        return 1610;
    }
    if (index >= Fault.installedVersions.size()) {
        ++Fault.productListings;
        return ERROR_NO_MORE_ITEMS;
    }
    lstrcpynW(product, Fault.installedVersions[index].first.c_str(), 39);
    return 0;
}

// A failing service answers that it is badly configured.
INT WINAPI FakeQueryProductState(LPCWSTR product)
{
    if (ShouldFail(FAULT_MSI_STATE)) {
        return INSTALLSTATE_BADCONFIG;
    }
    for (const auto& installed : Fault.installedVersions) {
        if (product != nullptr && lstrcmpiW(installed.first.c_str(), product) == 0) {
            return INSTALLSTATE_DEFAULT;
        }
    }
    return INSTALLSTATE_UNKNOWN;
}

// The products the test says are installed are the machine's: state "5". A
// failing state query answers that the product's configuration is damaged.
UINT WINAPI FakeGetProductInfoEx(LPCWSTR product, LPCWSTR userSid, DWORD context, LPCWSTR property, LPWSTR value,
                                 DWORD* size)
{
    (void)userSid;
    (void)context;
    if (property == nullptr || lstrcmpW(property, L"State") != 0) {
        return FakeGetProductInfo(product, property, value, size);
    }
    const INT state = FakeQueryProductState(product);
    if (state != INSTALLSTATE_DEFAULT) return state == INSTALLSTATE_UNKNOWN ? 1605 : 1610;
    if (size == nullptr || *size < 2) return 234;
    lstrcpynW(value, L"5", 2);
    *size = 1;
    return 0;
}

UINT WINAPI FakeEnumRelatedProducts(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR product)
{
    (void)reserved;
    if (ShouldFail(FAULT_MSI_RELATED)) {
        return 1610;
    }
    DWORD seen = 0;
    for (const auto& related : Fault.relatedProducts) {
        if (upgradeCode != nullptr && lstrcmpiW(related.first.c_str(), upgradeCode) == 0 && seen++ == index) {
            lstrcpynW(product, related.second.c_str(), 39);
            return 0;
        }
    }
    return ERROR_NO_MORE_ITEMS;
}

UINT WINAPI FakeInstallProduct(LPCWSTR package, LPCWSTR commandLine)
{
    InstallerCall call;
    call.ordinal = MSI_INSTALL_PRODUCT;
    call.target = package ? package : L"";
    call.commandLine = commandLine ? commandLine : L"";
    return Record(call, FAULT_MSI_INSTALL);
}

UINT WINAPI FakeApplyPatch(LPCWSTR patch, LPCWSTR product, int type, LPCWSTR commandLine)
{
    (void)product;
    (void)type;
    InstallerCall call;
    call.ordinal = MSI_APPLY_PATCH;
    call.target = patch ? patch : L"";
    call.commandLine = commandLine ? commandLine : L"";
    return Record(call, FAULT_MSI_PATCH);
}

UINT WINAPI FakeConfigureProductEx(LPCWSTR product, int level, int state, LPCWSTR commandLine)
{
    (void)level;
    (void)state;
    InstallerCall call;
    call.ordinal = MSI_CONFIGURE_PRODUCT_EX;
    call.target = product ? product : L"";
    call.commandLine = commandLine ? commandLine : L"";
    return Record(call, FAULT_MSI_CONFIGURE);
}

template <typename Function>
FARPROC AsProcedure(Function function)
{
    // Through a plain function pointer type, as GetProcAddress's callers do.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC FakeMsiOperation(LPCSTR name)
{
    if (!IS_INTRESOURCE(name)) {
        return nullptr;
    }
    switch (reinterpret_cast<ULONG_PTR>(name)) {
    case MSI_ENUM_PRODUCTS: return AsProcedure(FakeEnumProducts);
    case MSI_GET_PRODUCT_INFO: return AsProcedure(FakeGetProductInfo);
    case MSI_INSTALL_PRODUCT: return AsProcedure(FakeInstallProduct);
    case MSI_SET_INTERNAL_UI: return AsProcedure(FakeSetInternalUI);
    case MSI_ENABLE_LOG: return AsProcedure(FakeEnableLog);
    case MSI_APPLY_PATCH: return AsProcedure(FakeApplyPatch);
    case MSI_CONFIGURE_PRODUCT_EX: return AsProcedure(FakeConfigureProductEx);
    case MSI_QUERY_PRODUCT_STATE: return AsProcedure(FakeQueryProductState);
    case MSI_ENUM_RELATED_PRODUCTS: return AsProcedure(FakeEnumRelatedProducts);
    case MSI_GET_PRODUCT_INFO_EX: return AsProcedure(FakeGetProductInfoEx);
    default: return nullptr;
    }
}

HMODULE FakeMsiHandle()
{
    return reinterpret_cast<HMODULE>(&FakeMsiModule);
}

bool IsResourceNamed(LPCSTR name, const char* wanted)
{
    return !IS_INTRESOURCE(name) && lstrcmpiA(name, wanted) == 0;
}

// The lists a test serves from guarded memory in place of the program's own;
// the address of `found` stands for the resource, of `loaded` for its data.
struct ServedResource {
    const char* name;
    const BYTE* const* bytes;   // not served while null
    const DWORD* size;
    char found;
    char loaded;
};
ServedResource SERVED_RESOURCES[] = {
    {"MANIFEST", &Fault.manifestOverride, &Fault.manifestOverrideSize, 0, 0},
    {"CABINETS", &Fault.cabinetsOverride, &Fault.cabinetsOverrideSize, 0, 0},
    {"REGISTRATION", &Fault.registrationOverride, &Fault.registrationOverrideSize, 0, 0},
};

ServedResource* ServedNamed(LPCSTR name)
{
    for (ServedResource& served : SERVED_RESOURCES) {
        if (*served.bytes && IsResourceNamed(name, served.name)) return &served;
    }
    return nullptr;
}

ServedResource* ServedAs(const void* handle, bool loaded)
{
    for (ServedResource& served : SERVED_RESOURCES) {
        if (handle == (loaded ? &served.loaded : &served.found)) return &served;
    }
    return nullptr;
}

} // namespace

const FaultOpInfo& FaultInfo(int op)
{
    return OP_INFO[op];
}

const std::set<std::pair<std::string, int>>& FaultSitesReached()
{
    return SitesReached;
}

void FaultBeginRun()
{
    Fault.armedOp = -1;
    Fault.armedAt = 0;
    Fault.persistent = false;
    Fault.injected = 0;
    std::fill(std::begin(Fault.calls), std::end(Fault.calls), 0u);
    Fault.liveBlocks.clear();
    Fault.liveFiles.clear();
    Fault.liveFinds.clear();
    Fault.liveEnvironments.clear();
    Fault.liveViews.clear();
    Fault.liveMessages.clear();
    Fault.liveArgv.clear();
    Fault.liveDescriptors.clear();
    Fault.unknownReleases = 0;
    Fault.fileTouches = 0;
    Fault.writesOutsideRoots.clear();
    Fault.refusedDeletes.clear();
    Fault.boxes.clear();
    Fault.journal.clear();
    Fault.shellExecutes.clear();
    Fault.processStarts.clear();
    Fault.foldersMade.clear();
    Fault.deletedByHandle.clear();
    Fault.mitigations.clear();
    Fault.tempPath2Calls = 0;
    Fault.logFaults = 0;
    Fault.clock = 1000000;
    Fault.sleeps.clear();
    Fault.installerSettings = 0;
    Fault.productListings = 0;
    Fault.runSites.clear();
    Fault.registrationLookupFailed = false;
    CurrentUiLevel = 5;
    CurrentLogPath.clear();
    CurrentLogMode = 0;
    CurrentLogAttributes = 0;
}

void FaultArm(int op, unsigned at, bool persistent)
{
    Fault.armedOp = op;
    Fault.armedAt = at;
    Fault.persistent = persistent;
    Fault.injected = 0;
}

bool FaultReached()
{
    return Fault.injected != 0;
}

std::wstring FaultNormalizePath(const std::wstring& path)
{
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    WCHAR full[32768];
    const DWORD n = ::GetFullPathNameW(text.c_str(), 32768, full, nullptr);
    if (n > 0 && n < 32768) {
        text.assign(full, n);
    }
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

// The recording failure hook of the fault build.
void TraceFailure(const char* file, int line, HRESULT hr)
{
    (void)hr;
    const char* name = file ? file : "?";
    for (const char* p = name; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    SitesReached.insert({name, line});
    Fault.runSites.insert({name, line});
}

// ---- the wrappers --------------------------------------------------------

LPVOID WINAPI FaultHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (ShouldFail(FAULT_HEAP_ALLOC)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* block = ::HeapAlloc(heap, flags, bytes);
    if (block) Fault.liveBlocks.insert(block);
    return block;
}

LPVOID WINAPI FaultHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes)
{
    if (ShouldFail(FAULT_HEAP_REALLOC)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const bool known = Fault.liveBlocks.erase(block) != 0;
    if (!known) ++Fault.unknownReleases;
    void* moved = ::HeapReAlloc(heap, flags, block, bytes);
    Fault.liveBlocks.insert(moved ? moved : block);
    return moved;
}

BOOL WINAPI FaultHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    if (block && Fault.liveBlocks.erase(block) == 0) {
        ++Fault.unknownReleases;
    }
    return ::HeapFree(heap, flags, block);
}

HANDLE WINAPI FaultCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD attributes, HANDLE templateFile)
{
    if ((access & (GENERIC_WRITE | GENERIC_ALL)) != 0 || disposition != OPEN_EXISTING) {
        NoteWrite(path);
    }
    // A file opened to be deleted counts as refused until it is deleted: a
    // fault on the way may leave it, as a refused delete would.
    const bool opensToDelete = (access & DELETE) != 0 && disposition == OPEN_EXISTING && path != nullptr;
    if (ShouldFail(FAULT_CREATE_FILE)) {
        Fault.logFaults += disposition == CREATE_NEW && path != nullptr && IsLogPath(path, true);
        if (opensToDelete && ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            Fault.refusedDeletes.insert(FaultNormalizePath(path));
        }
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = ::CreateFileW(path, access, share, security, disposition, attributes, templateFile);
    if (file != INVALID_HANDLE_VALUE) {
        Fault.liveFiles.insert(file);
        OpenedPaths[file] = path;
        OpenedAccess[file] = access;
        if (opensToDelete) Fault.refusedDeletes.insert(FaultNormalizePath(path));
    }
    return file;
}

// A failing write has written part of the data first, as a full disk does.
BOOL WINAPI FaultWriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    Fault.fileTouches += !IsLogPath(PathOf(file), true);
    if (ShouldFail(FAULT_WRITE_FILE)) {
        Fault.logFaults += IsLogPath(PathOf(file), false);
        DWORD part = 0;
        ::WriteFile(file, data, bytes / 2, &part, overlapped);
        if (written) *written = part;
        ::SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    if (ShouldFail(FAULT_SHORT_WRITE)) {
        return ::WriteFile(file, data, bytes / 2, written, overlapped);
    }
    return ::WriteFile(file, data, bytes, written, overlapped);
}

BOOL WINAPI FaultCloseHandle(HANDLE handle)
{
    OpenedPaths.erase(handle);
    OpenedAccess.erase(handle);
    if (Fault.liveFiles.erase(handle) == 0) {
        ++Fault.unknownReleases;
    }
    return ::CloseHandle(handle);
}

// A file that is not there cannot be refused: its delete fails as the real one
// does, with "file not found".
BOOL WINAPI FaultDeleteFileW(LPCWSTR path)
{
    NoteWrite(path);
    const bool fail = ShouldFail(FAULT_DELETE_FILE);
    if (fail && path && ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        if (path) Fault.refusedDeletes.insert(FaultNormalizePath(path));
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return ::DeleteFileW(path);
}

BOOL WINAPI FaultCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    NoteWrite(path);
    if (ShouldFail(FAULT_CREATE_DIRECTORY)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL made = ::CreateDirectoryW(path, security);
    if (made && path) {
        const PSECURITY_DESCRIPTOR descriptor = security ? security->lpSecurityDescriptor : nullptr;
        Fault.foldersMade.push_back({FaultNormalizePath(path),
                                     descriptor ? RenderSecurity(descriptor, OWNER_SECURITY_INFORMATION |
                                                                                  GROUP_SECURITY_INFORMATION |
                                                                                  DACL_SECURITY_INFORMATION)
                                                : std::wstring()});
    }
    return made;
}

DWORD WINAPI FaultGetFileAttributesW(LPCWSTR path)
{
    if (ShouldFail(FAULT_FILE_ATTRIBUTES)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    return ::GetFileAttributesW(path);
}

HANDLE WINAPI FaultFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    if (ShouldFail(FAULT_FIND_FIRST_FILE)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE find = ::FindFirstFileW(pattern, data);
    if (find != INVALID_HANDLE_VALUE) Fault.liveFinds.insert(find);
    return find;
}

BOOL WINAPI FaultFindClose(HANDLE find)
{
    if (Fault.liveFinds.erase(find) == 0) {
        ++Fault.unknownReleases;
    }
    return ::FindClose(find);
}

namespace {

DWORD AnswerTempPath(DWORD size, LPWSTR buffer)
{
    if (ShouldFail(FAULT_TEMP_PATH)) {
        ::SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (Fault.tempPath.empty()) {
        return ::GetTempPathW(size, buffer);
    }
    const DWORD length = static_cast<DWORD>(Fault.tempPath.size());
    if (size <= length) {
        return length + 1;
    }
    memcpy(buffer, Fault.tempPath.c_str(), (length + 1) * sizeof(WCHAR));
    return length;
}

// Handed out for GetProcAddress(kernel32, "GetTempPath2W"), also where the
// platform lacks it (Wine 8): the program takes the path it prefers.
DWORD WINAPI FaultGetTempPath2W(DWORD size, LPWSTR buffer)
{
    ++Fault.tempPath2Calls;
    return AnswerTempPath(size, buffer);
}

// Handed out for SetProcessMitigationPolicy: recorded, never applied to the
// test process.
BOOL WINAPI FaultSetMitigation(int policy, PVOID buffer, SIZE_T size)
{
    Fault.mitigations.push_back({policy, size >= sizeof(DWORD) ? *static_cast<DWORD*>(buffer) : 0});
    if (ShouldFail(FAULT_MITIGATION)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// Handed out for WNetGetUniversalNameW: the server's name of a path on one of
// the test's network drives.
DWORD WINAPI FaultUniversalName(LPCWSTR path, DWORD level, LPVOID buffer, LPDWORD size)
{
    const auto drive = Fault.networkDrives.find(static_cast<wchar_t>(std::towupper(path[0])));
    if (ShouldFail(FAULT_UNIVERSAL_NAME) || drive == Fault.networkDrives.end() || drive->second.empty() ||
        level != UNIVERSAL_NAME_INFO_LEVEL) {
        return ERROR_NO_NET_OR_BAD_PATH;
    }
    const std::wstring name = drive->second + (path + 2);
    const DWORD needed = static_cast<DWORD>(sizeof(UNIVERSAL_NAME_INFOW) + (name.size() + 1) * sizeof(WCHAR));
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    UNIVERSAL_NAME_INFOW* info = static_cast<UNIVERSAL_NAME_INFOW*>(buffer);
    info->lpUniversalName = reinterpret_cast<LPWSTR>(info + 1);
    memcpy(info->lpUniversalName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return NO_ERROR;
}

using GenRandomFunction = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags);

// Handed out for BCryptGenRandom: the test's values first, then the real ones.
LONG WINAPI FaultGenRandom(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags)
{
    if (size == sizeof(ULONGLONG) && !Fault.randomValues.empty()) {
        memcpy(buffer, &Fault.randomValues.front(), size);
        Fault.randomValues.pop_front();
        return 0;
    }
    const auto real = reinterpret_cast<GenRandomFunction>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"bcrypt.dll"), "BCryptGenRandom")));
    return real(algorithm, buffer, size, flags);
}

using SameMappedFileFunction = LONG(NTAPI*)(PVOID first, PVOID second);
constexpr LONG STATUS_NOT_SAME_DEVICE_ANSWER = static_cast<LONG>(0xC00000D4);

// Handed out for NtAreMappedFilesTheSame: the platform's answer, unless the
// test has another file at the program's name or the call is to fail.
LONG NTAPI FaultSameMappedFile(PVOID first, PVOID second)
{
    if (ShouldFail(FAULT_SAME_FILE) || Fault.programFileReplaced) {
        return STATUS_NOT_SAME_DEVICE_ANSWER;
    }
    const auto real = reinterpret_cast<SameMappedFileFunction>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtAreMappedFilesTheSame")));
    return real(first, second);
}

// Handed out for version.dll's functions: the three reads of a version record
// count as one operation.
DWORD WINAPI FaultGetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle)
{
    if (ShouldFail(FAULT_FILE_VERSION)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return ::GetFileVersionInfoSizeW(path, handle);
}

BOOL WINAPI FaultGetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data)
{
    if (ShouldFail(FAULT_FILE_VERSION)) {
        ::SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ::GetFileVersionInfoW(path, handle, size, data);
}

// The platform sets no error when a block is missing: neither does the fault.
BOOL WINAPI FaultVerQueryValueW(LPCVOID record, LPCWSTR block, LPVOID* value, PUINT length)
{
    if (ShouldFail(FAULT_FILE_VERSION)) {
        ::SetLastError(0);
        return FALSE;
    }
    return ::VerQueryValueW(record, block, value, length);
}

FARPROC VersionFunction(LPCSTR name)
{
    if (lstrcmpA(name, "GetFileVersionInfoSizeW") == 0) return AsProcedure(FaultGetFileVersionInfoSizeW);
    if (lstrcmpA(name, "GetFileVersionInfoW") == 0) return AsProcedure(FaultGetFileVersionInfoW);
    if (lstrcmpA(name, "VerQueryValueW") == 0) return AsProcedure(FaultVerQueryValueW);
    return nullptr;
}

} // namespace

DWORD WINAPI FaultGetTempPathW(DWORD size, LPWSTR buffer)
{
    return AnswerTempPath(size, buffer);
}

HRSRC WINAPI FaultFindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language)
{
    if (ShouldFail(FAULT_FIND_RESOURCE)) {
        Fault.registrationLookupFailed = Fault.registrationLookupFailed || IsResourceNamed(name, "REGISTRATION");
        ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    if (ServedResource* served = ServedNamed(name)) {
        return reinterpret_cast<HRSRC>(&served->found);
    }
    return ::FindResourceExA(module, type, name, language);
}

HGLOBAL WINAPI FaultLoadResource(HMODULE module, HRSRC resource)
{
    if (ShouldFail(FAULT_LOAD_RESOURCE)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (ServedResource* served = ServedAs(resource, false)) {
        return reinterpret_cast<HGLOBAL>(&served->loaded);
    }
    return ::LoadResource(module, resource);
}

DWORD WINAPI FaultSizeofResource(HMODULE module, HRSRC resource)
{
    if (ShouldFail(FAULT_SIZEOF_RESOURCE)) {
        ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    if (const ServedResource* served = ServedAs(resource, false)) {
        ::SetLastError(0);
        return *served->size;
    }
    return ::SizeofResource(module, resource);
}

// LockResource leaves no error behind when it fails: the program must not turn
// that into success.
LPVOID WINAPI FaultLockResource(HGLOBAL loaded)
{
    if (ShouldFail(FAULT_LOCK_RESOURCE)) {
        ::SetLastError(0);
        return nullptr;
    }
    if (const ServedResource* served = ServedAs(loaded, true)) {
        return const_cast<BYTE*>(*served->bytes);
    }
    return ::LockResource(loaded);
}

int WINAPI FaultLoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int size)
{
    if (ShouldFail(FAULT_LOAD_STRING)) {
        ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    return ::LoadStringW(module, id, buffer, size);
}

HRESULT WINAPI FaultSHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    if (ShouldFail(FAULT_FOLDER_PATH)) {
        return static_cast<HRESULT>(0x80070003);
    }
    const int id = folder & 0xFF;
    const std::wstring* chosen = id == CSIDL_COMMON_APPDATA ? &Fault.commonAppData
                               : id == CSIDL_LOCAL_APPDATA ? &Fault.localAppData : nullptr;
    if (chosen == nullptr || chosen->empty()) {
        return ::SHGetFolderPathW(window, folder, token, flags, path);
    }
    if (chosen->size() >= MAX_PATH) {
        return E_INVALIDARG;
    }
    if (folder & CSIDL_FLAG_CREATE) {
        ::CreateDirectoryW(chosen->c_str(), nullptr);
    }
    memcpy(path, chosen->c_str(), (chosen->size() + 1) * sizeof(WCHAR));
    return S_OK;
}

LPWSTR WINAPI FaultGetCommandLineW()
{
    if (Fault.commandLine.empty()) {
        return ::GetCommandLineW();
    }
    return const_cast<LPWSTR>(Fault.commandLine.c_str());
}

LPWSTR* WINAPI FaultCommandLineToArgvW(LPCWSTR commandLine, int* count)
{
    if (ShouldFail(FAULT_SPLIT_COMMAND_LINE)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, count);
    if (argv) Fault.liveArgv.insert(argv);
    return argv;
}

DWORD WINAPI FaultFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                                 DWORD size, va_list* arguments)
{
    if (ShouldFail(FAULT_FORMAT_MESSAGE)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const DWORD n = ::FormatMessageW(flags, source, id, language, buffer, size, arguments);
    if (n != 0 && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        Fault.liveMessages.insert(*reinterpret_cast<HLOCAL*>(buffer));
    }
    return n;
}

HLOCAL WINAPI FaultLocalFree(HLOCAL block)
{
    if (block && Fault.liveMessages.erase(block) == 0 && Fault.liveArgv.erase(block) == 0 &&
        Fault.liveDescriptors.erase(block) == 0) {
        ++Fault.unknownReleases;
    }
    return ::LocalFree(block);
}

int WINAPI FaultMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    (void)owner;
    (void)type;
    Fault.boxes.push_back({caption ? caption : L"", text ? text : L""});
    return IDOK;
}

int WINAPI FaultMessageBoxExW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, WORD language)
{
    (void)language;
    return FaultMessageBoxW(owner, text, caption, type);
}

HMODULE WINAPI FaultLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    if (IsVersionLibraryName(name)) {
        if (ShouldFail(FAULT_LOAD_VERSION)) {
            ::SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        HMODULE module = ::LoadLibraryExW(name, file, flags);
        if (module) {
            VersionLibrary = module;
            ++Fault.liveVersionLibraries;
        }
        return module;
    }
    if (!IsMsiName(name)) {
        return ::LoadLibraryExW(name, file, flags);
    }
    if (ShouldFail(FAULT_LOAD_LIBRARY)) {
        // A system without the search flags refuses them as an invalid
        // parameter; a load by full path fails for want of the file.
        ::SetLastError((flags & LOAD_LIBRARY_SEARCH_SYSTEM32) ? ERROR_INVALID_PARAMETER : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (Fault.searchFlagsRefused && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ++Fault.liveModules;
    return FakeMsiHandle();
}

HMODULE WINAPI FaultLoadLibraryW(LPCWSTR name)
{
    return FaultLoadLibraryExW(name, nullptr, 0);
}

FARPROC WINAPI FaultGetProcAddress(HMODULE module, LPCSTR name)
{
    if (module != FakeMsiHandle()) {
        if (!IS_INTRESOURCE(name) && lstrcmpA(name, "GetTempPath2W") == 0) {
            return AsProcedure(FaultGetTempPath2W);
        }
        if (!IS_INTRESOURCE(name) && lstrcmpA(name, "SetProcessMitigationPolicy") == 0) {
            return AsProcedure(FaultSetMitigation);
        }
        if (!IS_INTRESOURCE(name) && lstrcmpA(name, "WNetGetUniversalNameW") == 0) {
            return AsProcedure(FaultUniversalName);
        }
        if (!IS_INTRESOURCE(name) && lstrcmpA(name, "BCryptGenRandom") == 0) {
            return AsProcedure(FaultGenRandom);
        }
        if (!IS_INTRESOURCE(name) && lstrcmpA(name, "NtAreMappedFilesTheSame") == 0) {
            return AsProcedure(FaultSameMappedFile);
        }
        if (module == VersionLibrary && !IS_INTRESOURCE(name)) {
            const FARPROC wrapper = VersionFunction(name);
            if (wrapper) return wrapper;
        }
        return ::GetProcAddress(module, name);
    }
    if (ShouldFail(FAULT_PROC_ADDRESS)) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC operation = FakeMsiOperation(name);
    if (operation == nullptr) ::SetLastError(ERROR_PROC_NOT_FOUND);
    return operation;
}

BOOL WINAPI FaultFreeLibrary(HMODULE module)
{
    if (module != nullptr && module == VersionLibrary) {
        --Fault.liveVersionLibraries;
    }
    if (module != FakeMsiHandle()) {
        return ::FreeLibrary(module);
    }
    --Fault.liveModules;
    return TRUE;
}

BOOL WINAPI FaultOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (ShouldFail(FAULT_OPEN_TOKEN)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL opened = ::OpenProcessToken(process, access, token);
    if (opened) Fault.liveFiles.insert(*token);
    return opened;
}

// Wine's token always says elevated; the test says what it is to say.
BOOL WINAPI FaultGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID information, DWORD size,
                                     PDWORD returned)
{
    if (ShouldFail(FAULT_TOKEN_INFORMATION)) {
        ::SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    const BOOL answered = ::GetTokenInformation(token, type, information, size, returned);
    if (answered && type == TokenElevation && Fault.tokenElevation != TokenAnswer::Real) {
        static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = Fault.tokenElevation == TokenAnswer::Elevated;
    }
    return answered;
}

DWORD WINAPI FaultGetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size)
{
    if (ShouldFail(FAULT_MODULE_FILE_NAME)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return ::GetModuleFileNameW(module, name, size);
}

DWORD WINAPI FaultGetCurrentDirectoryW(DWORD size, LPWSTR buffer)
{
    if (ShouldFail(FAULT_CURRENT_DIRECTORY)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return ::GetCurrentDirectoryW(size, buffer);
}

// Records the request and what the program file holds then; never starts the
// program itself.
BOOL WINAPI FaultCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                                LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD, LPVOID, LPCWSTR directory,
                                LPSTARTUPINFOW, LPPROCESS_INFORMATION information)
{
    const auto text = [](LPCWSTR value) { return std::wstring(value ? value : L""); };
    ProcessStart start = {text(application), text(commandLine), text(directory), inheritHandles != FALSE, {}, false};
    HANDLE writer = ::CreateFileW(start.application.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
    start.held = writer == INVALID_HANDLE_VALUE;
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
    ReadWholeFile(start.application, &start.bytes);
    Fault.processStarts.push_back(start);
    if (ShouldFail(FAULT_CREATE_PROCESS)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // Signalled events stand in for the process and its thread: a process
    // that has ended already, with exit code 0.
    information->hProcess = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    information->hThread = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    Fault.processStarts.back().process = information->hProcess;
    Fault.liveFiles.insert(information->hProcess);
    Fault.liveFiles.insert(information->hThread);
    return TRUE;
}

// Records the request; never starts the program itself. The elevated copy is
// played by a real process that exits with the test's code, so that waiting
// for it and reading its code are real.
BOOL WINAPI FaultInitiateSystemShutdownExW(LPWSTR, LPWSTR, DWORD timeout, BOOL force, BOOL restart, DWORD reason)
{
    HANDLE token = nullptr;
    LUID shutdown = {};
    PRIVILEGE_SET asked = {1, PRIVILEGE_SET_ALL_NECESSARY, {}};
    BOOL held = FALSE;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
        ::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown)) {
        asked.Privilege[0].Luid = shutdown;
        ::PrivilegeCheck(token, &asked, &held);
    }
    if (token) ::CloseHandle(token);
    Fault.shutdowns.push_back({timeout, static_cast<DWORD>(force), static_cast<DWORD>(restart), reason,
                               static_cast<DWORD>(held)});
    return TRUE;
}

BOOL WINAPI FaultShellExecuteExW(SHELLEXECUTEINFOW* info)
{
    const auto text = [](LPCWSTR value) { return std::wstring(value ? value : L""); };
    Fault.shellExecutes.push_back({text(info->lpVerb), text(info->lpFile), text(info->lpParameters),
                                   text(info->lpDirectory)});
    // Held when nobody could rename it now: an open for deleting is refused.
    WCHAR module[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    HANDLE renamer = ::CreateFileW(module, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    Fault.programFileHeldAtStart = renamer == INVALID_HANDLE_VALUE;
    if (renamer != INVALID_HANDLE_VALUE) ::CloseHandle(renamer);
    if (ShouldFail(FAULT_SHELL_EXECUTE)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (Fault.elevationDeclined) {
        ::SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    // Ended before it runs, with the chosen code: a Wine process start is slow
    // enough without the command interpreter's own.
    std::wstring line = L"cmd.exe /c exit";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &process)) {
        return FALSE;
    }
    ::TerminateProcess(process.hProcess, Fault.elevatedCopyExitCode);
    ::CloseHandle(process.hThread);
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
        info->hProcess = process.hProcess;
        Fault.liveFiles.insert(process.hProcess);
    } else {
        ::CloseHandle(process.hProcess);
    }
    return TRUE;
}

DWORD WINAPI FaultWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (ShouldFail(FAULT_WAIT)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return ::WaitForSingleObject(handle, milliseconds);
}

BOOL WINAPI FaultGetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    if (ShouldFail(FAULT_EXIT_CODE)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    for (ProcessStart& start : Fault.processStarts) {
        if (start.process == process) {
            start.codeRead = true;
            *exitCode = 0;
            return TRUE;
        }
    }
    return ::GetExitCodeProcess(process, exitCode);
}

DWORD WINAPI FaultGetFileType(HANDLE file)
{
    if (ShouldFail(FAULT_FILE_TYPE)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    return ::GetFileType(file);
}

BOOL WINAPI FaultGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    if (ShouldFail(FAULT_FILE_INFORMATION)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL answered = ::GetFileInformationByHandle(file, information);
    const std::wstring path = PathOf(file);
    if (answered && IsReparseAnswer(path)) {
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    // A hold (opened for reading only) that someone else's file slipped under.
    const std::wstring& other = Fault.holdFindsAnotherFileOf;
    if (answered && !other.empty() && OpenedAccess[file] == GENERIC_READ && path.size() >= other.size() &&
        path.compare(path.size() - other.size(), other.size(), other) == 0) {
        information->nFileIndexLow ^= 1;
    }
    return answered;
}

BOOL WINAPI FaultConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR* descriptor, PULONG size)
{
    if (ShouldFail(FAULT_DESCRIPTOR_FROM_TEXT)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const BOOL made = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor, size);
    if (made) Fault.liveDescriptors.insert(*descriptor);
    return made;
}

// A descriptor the test names is handed out as the platform hands one out: the
// owner and DACL point into it, and it is freed with LocalFree.
DWORD WINAPI FaultGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if (ShouldFail(FAULT_GET_SECURITY)) {
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring* answer = AnswerFor(Fault.folderSecurity, PathOf(handle));
    if (answer == nullptr || owner == nullptr || dacl == nullptr || descriptor == nullptr) {
        const DWORD error = ::GetSecurityInfo(handle, type, parts, owner, group, dacl, sacl, descriptor);
        if (error == ERROR_SUCCESS && descriptor && *descriptor) Fault.liveDescriptors.insert(*descriptor);
        return error;
    }
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(answer->c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
        return ::GetLastError();
    }
    Fault.liveDescriptors.insert(*descriptor);
    ::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    ::GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    if (!present) *dacl = nullptr;
    return ERROR_SUCCESS;
}

DWORD WINAPI FaultGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    if (ShouldFail(FAULT_FINAL_PATH)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const std::wstring* answer = AnswerFor(Fault.finalPaths, PathOf(file));
    if (answer == nullptr) {
        return ::GetFinalPathNameByHandleW(file, path, size, flags);
    }
    if (size <= answer->size()) {
        return static_cast<DWORD>(answer->size() + 1);
    }
    memcpy(path, answer->c_str(), (answer->size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(answer->size());
}

BOOL WINAPI FaultSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID information,
                                            DWORD size)
{
    const std::wstring path = PathOf(file);
    NoteWrite(path.empty() ? nullptr : path.c_str());
    if (ShouldFail(FAULT_SET_FILE_INFORMATION)) {
        if (type == FileDispositionInfo) Fault.refusedDeletes.insert(path);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL done = ::SetFileInformationByHandle(file, type, information, size);
    if (done && type == FileDispositionInfo) {
        Fault.refusedDeletes.erase(path);
        Fault.deletedByHandle.push_back(path);
    }
    return done;
}

BOOL WINAPI FaultReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (ShouldFail(FAULT_READ_FILE)) {
        ::SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ::ReadFile(file, data, bytes, read, overlapped);
}

BOOL WINAPI FaultGetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    if (ShouldFail(FAULT_READ_FILE)) {
        ::SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ::GetFileSizeEx(file, size);
}

BOOL WINAPI FaultSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method)
{
    if (ShouldFail(FAULT_READ_FILE)) {
        ::SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ::SetFilePointerEx(file, distance, position, method);
}

BOOL WINAPI FaultRemoveDirectoryW(LPCWSTR path)
{
    NoteWrite(path);
    if (ShouldFail(FAULT_REMOVE_DIRECTORY)) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return ::RemoveDirectoryW(path);
}

BOOL WINAPI FaultFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data)
{
    if (ShouldFail(FAULT_FIND_NEXT_FILE)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::FindNextFileW(find, data);
}

// A drive the test made a network drive is one.
UINT WINAPI FaultGetDriveTypeW(LPCWSTR root)
{
    if (ShouldFail(FAULT_DRIVE_TYPE)) {
        return DRIVE_UNKNOWN;
    }
    if (root && Fault.networkDrives.count(static_cast<wchar_t>(std::towupper(root[0])))) {
        return DRIVE_REMOTE;
    }
    return ::GetDriveTypeW(root);
}

namespace {

// The calls that only the run's log makes: a failure as the platform reports
// it, or the real call.
template <typename Result, typename Call>
Result FailOrCall(FaultOp op, DWORD error, Result failed, Call call)
{
    if (ShouldFail(op)) {
        ::SetLastError(error);
        return failed;
    }
    return call();
}

} // namespace

int WINAPI FaultWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int length, LPSTR bytes, int size,
                                    LPCCH defaultChar, LPBOOL usedDefault)
{
    return FailOrCall(FAULT_TO_UTF8, ERROR_INSUFFICIENT_BUFFER, 0, [&] {
        return ::WideCharToMultiByte(codePage, flags, text, length, bytes, size, defaultChar, usedDefault);
    });
}

// A handle opened again from another one names the same file.
HANDLE WINAPI FaultReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags)
{
    HANDLE file = FailOrCall(FAULT_REOPEN_FILE, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE,
                             [&] { return ::ReOpenFile(original, access, share, flags); });
    if (file != INVALID_HANDLE_VALUE) {
        Fault.liveFiles.insert(file);
        OpenedPaths[file] = OpenedPaths[original];
    }
    return file;
}

BOOL WINAPI FaultGetVersionExW(LPOSVERSIONINFOW version)
{
    return FailOrCall(FAULT_VERSION_INFO, ERROR_INVALID_PARAMETER, FALSE, [&] { return ::GetVersionExW(version); });
}

// Calls that cannot fail pass through; the clock is the test's.
void WINAPI FaultGetLocalTime(LPSYSTEMTIME time) { ::GetLocalTime(time); }
DWORD WINAPI FaultGetCurrentProcessId() { return ::GetCurrentProcessId(); }
ULONGLONG WINAPI FaultGetTickCount64() { return Fault.clock; }

void WINAPI FaultSleep(DWORD milliseconds)
{
    Fault.sleeps.push_back(milliseconds);
    Fault.clock += milliseconds;
}

LPWCH WINAPI FaultGetEnvironmentStringsW()
{
    if (ShouldFail(FAULT_ENVIRONMENT)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWCH block = ::GetEnvironmentStringsW();
    if (block) Fault.liveEnvironments.insert(block);
    return block;
}

BOOL WINAPI FaultFreeEnvironmentStringsW(LPWCH block)
{
    if (Fault.liveEnvironments.erase(block) == 0) ++Fault.unknownReleases;
    return ::FreeEnvironmentStringsW(block);
}

UINT WINAPI FaultGetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    if (ShouldFail(FAULT_SYSTEM_FOLDER)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return ::GetSystemDirectoryW(buffer, size);
}

UINT WINAPI FaultGetSystemWindowsDirectoryW(LPWSTR buffer, UINT size)
{
    if (ShouldFail(FAULT_WINDOWS_FOLDER)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (Fault.windowsFolder.empty()) {
        return ::GetSystemWindowsDirectoryW(buffer, size);
    }
    const UINT length = static_cast<UINT>(Fault.windowsFolder.size());
    if (size <= length) {
        return length + 1;
    }
    memcpy(buffer, Fault.windowsFolder.c_str(), (length + 1) * sizeof(WCHAR));
    return length;
}

// A SUBST drive of the test's answers "\??\FOLDER"; any other, nothing.
DWORD WINAPI FaultQueryDosDeviceW(LPCWSTR device, LPWSTR target, DWORD size)
{
    const auto drive = Fault.substDrives.find(static_cast<wchar_t>(std::towupper(device[0])));
    if (ShouldFail(FAULT_QUERY_DOS_DEVICE) || drive == Fault.substDrives.end()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const std::wstring answer = L"\\??\\" + drive->second;
    if (size < answer.size() + 2) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(target, answer.c_str(), (answer.size() + 1) * sizeof(WCHAR));
    target[answer.size() + 1] = L'\0';
    return static_cast<DWORD>(answer.size() + 2);
}

// Registry reads: keys are counted until closed.
LSTATUS WINAPI FaultRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY opened)
{
    if (ShouldFail(FAULT_REG_OPEN)) {
        return ERROR_ACCESS_DENIED;
    }
    const LSTATUS status = ::RegOpenKeyExW(key, subKey, options, access, opened);
    if (status == ERROR_SUCCESS) Fault.liveKeys.insert(*opened);
    return status;
}

// A failing read has filled part of the buffer, as a value that changes
// under the reader might.
LSTATUS WINAPI FaultRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                     LPDWORD size)
{
    if (ShouldFail(FAULT_REG_QUERY)) {
        if (data && size && *size) memset(data, 0xA5, *size);
        return ERROR_READ_FAULT;
    }
    return ::RegQueryValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI FaultRegCloseKey(HKEY key)
{
    if (Fault.liveKeys.erase(key) == 0) {
        ++Fault.unknownReleases;
    }
    return ::RegCloseKey(key);
}

// Registry writes: keys made are counted until closed, as opened ones are; a
// failing write has written nothing.
LSTATUS WINAPI FaultRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                    REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY created,
                                    LPDWORD disposition)
{
    if (ShouldFail(FAULT_REG_CREATE)) {
        return ERROR_ACCESS_DENIED;
    }
    const LSTATUS status =
        ::RegCreateKeyExW(key, subKey, reserved, keyClass, options, access, security, created, disposition);
    if (status == ERROR_SUCCESS) Fault.liveKeys.insert(*created);
    return status;
}

LSTATUS WINAPI FaultRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    return ShouldFail(FAULT_REG_SET) ? ERROR_WRITE_FAULT : ::RegSetValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI FaultRegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM view, DWORD reserved)
{
    return ShouldFail(FAULT_REG_DELETE) ? ERROR_ACCESS_DENIED : ::RegDeleteKeyExW(key, subKey, view, reserved);
}

LSTATUS WINAPI FaultRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD chars, LPDWORD reserved,
                                  LPWSTR keyClass, LPDWORD classChars, PFILETIME written)
{
    return ShouldFail(FAULT_REG_ENUM) ? ERROR_READ_FAULT
                                      : ::RegEnumKeyExW(key, index, name, chars, reserved, keyClass, classChars, written);
}

// A delete at the next restart is never scheduled. A file whose
// delete a fault refused is still that file where it was moved.
BOOL WINAPI FaultMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    NoteWrite(from);
    if (ShouldFail(FAULT_MOVE_FILE)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return TRUE;
    NoteWrite(to);
    const BOOL moved = ::MoveFileExW(from, to, flags);
    if (moved && Fault.refusedDeletes.count(FaultNormalizePath(from))) Fault.refusedDeletes.insert(FaultNormalizePath(to));
    return moved;
}

// As the platform does, a failure still hands out a text to be freed.
HRESULT WINAPI FaultSHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path)
{
    HRESULT hr = E_FAIL;
    if (ShouldFail(FAULT_KNOWN_FOLDER)) {
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(sizeof(WCHAR)));
        if (*path) **path = L'\0';
    } else {
        hr = ::SHGetKnownFolderPath(id, flags, token, path);
    }
    if (*path) Fault.liveFolderPaths.insert(*path);
    return hr;
}

void WINAPI FaultCoTaskMemFree(LPVOID block)
{
    if (block && Fault.liveFolderPaths.erase(block) == 0) {
        ++Fault.unknownReleases;
    }
    ::CoTaskMemFree(block);
}

HANDLE WINAPI FaultCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD sizeHigh,
                                     DWORD sizeLow, LPCWSTR name)
{
    if (ShouldFail(FAULT_MAP_FILE)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE mapping = ::CreateFileMappingW(file, security, protect, sizeHigh, sizeLow, name);
    if (mapping) Fault.liveFiles.insert(mapping);
    return mapping;
}

LPVOID WINAPI FaultMapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes)
{
    if (ShouldFail(FAULT_MAP_FILE)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* view = ::MapViewOfFile(mapping, access, offsetHigh, offsetLow, bytes);
    if (view) Fault.liveViews.insert(view);
    return view;
}

BOOL WINAPI FaultUnmapViewOfFile(LPCVOID view)
{
    if (Fault.liveViews.erase(const_cast<void*>(view)) == 0) {
        ++Fault.unknownReleases;
    }
    return ::UnmapViewOfFile(view);
}
