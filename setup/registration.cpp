#include "registration.h"

#include "cache.h"
#include "dirutil.h"
#include "elevation.h"
#include "fileutil.h"
#include "installer.h"
#include "memutil.h"
#include "messages.h"
#include "resrutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "sysutil.h"

#include <objbase.h>

namespace {

constexpr WCHAR UNINSTALL_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// "...\Uninstall\{CODE}": the key, a separator, the code and its terminator.
constexpr DWORD ENTRY_KEY_CHARS = ARRAYSIZE(UNINSTALL_KEY) + PRODUCT_CODE_CHARS;
// The entry is where Windows' own 64-bit tools look on a 64-bit Windows,
// whatever the bitness of the program (32-bit Windows ignores the flag).
constexpr REGSAM NATIVE_VIEW = KEY_WOW64_64KEY;
// The values a later version of the bundle reads; Windows' own beside them.
constexpr WCHAR UPGRADE_CODE_VALUE[] = L"BundleUpgradeCode";
constexpr WCHAR PRODUCT_CODES_VALUE[] = L"BundleProductCodes";
constexpr WCHAR VERSION_VALUE[] = L"DisplayVersion";
constexpr WCHAR HIDDEN_PACKAGE_TEXT[] = L" ARPSYSTEMCOMPONENT=1";
// A list longer than a bundle's 255 entries could name is no list of a bundle.
constexpr DWORD MAX_PRODUCT_LIST_BYTES = 256 * PRODUCT_CODE_CHARS * sizeof(WCHAR);
constexpr DWORD REGISTRY_NAME_CHARS = 256;
constexpr DWORD COMMAND_CHARS = MAX_PATH + 32;
constexpr DWORD INSTALL_DATE_CHARS = 9;
constexpr LONGLONG BYTES_PER_KIB = 1024;

BOOL HasTerminator(const WCHAR* field, DWORD chars)
{
    for (DWORD k = 0; k < chars; ++k) {
        if (L'\0' == field[k]) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL IsBracedGuid(LPCWSTR text)
{
    return StrutilIsBracedGuid(text, lstrlenW(text));
}

BOOL SameCode(LPCWSTR a, LPCWSTR b)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(a, -1, b, -1, TRUE);
}

BOOL IsNewer(DWORD high, DWORD low, DWORD thanHigh, DWORD thanLow)
{
    return high > thanHigh || (high == thanHigh && low > thanLow);
}

// S_FALSE when the bundle carries no record.
HRESULT LocateRegistration(const BundleRegistration** record)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;

    *record = nullptr;
    hr = ResrutilLocateData(nullptr, REGISTRATION_RESOURCE, &data, &size);
    if (ResultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND) == hr || ResultFromWin32(ERROR_RESOURCE_TYPE_NOT_FOUND) == hr) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(hr);
    EXIT_IF_FAILED(ValidateRegistration(data, size));
    *record = reinterpret_cast<const BundleRegistration*>(data);

Exit:
    return hr;
}

// Entries that this Windows runs decide, as they decide elevation.
BOOL HasPerMachineEntry(const PackageManifest* manifest, BOOL windows64Bit)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if ((entry->flags & PKG_PER_MACHINE) && PackageFitsWindows(entry, windows64Bit)) {
            return TRUE;
        }
    }
    return FALSE;
}

// The products the bundle stands for: its installer packages for this Windows.
BOOL IsRegisteredProduct(const ManifestPackageEntry* entry, BOOL windows64Bit)
{
    return !(entry->flags & (PKG_PROGRAM | PKG_PATCH)) && PackageFitsWindows(entry, windows64Bit);
}

BOOL IsCarried(const PackageManifest* manifest, LPCWSTR productCode)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (!(entry->flags & (PKG_PROGRAM | PKG_PATCH)) && SUCCEEDED(FormatProductCode(entry, code)) &&
            SameCode(code, productCode)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Installed, or advertised: anything but unknown here and installed for
// another user only. A state that cannot be told counts as present.
BOOL IsProductPresent(LPCWSTR productCode)
{
    const INT state = InstallerQueryProductState(productCode);
    return INSTALLER_STATE_UNKNOWN != state && INSTALLER_STATE_ABSENT != state;
}

HKEY EntryHive(const RegistrationRun* registration)
{
    return registration->perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

LPCWSTR HiveName(const RegistrationRun* registration)
{
    return registration->perMachine ? L"HKLM" : L"HKCU";
}

HRESULT FormatEntryKey(LPCWSTR bundleCode, WCHAR (&key)[ENTRY_KEY_CHARS])
{
    return BoundedFormat(key, ENTRY_KEY_CHARS, L"%ls\\%ls", UNINSTALL_KEY, bundleCode);
}

DWORD RemovalUiLevel(DWORD uiLevel)
{
    return IsUnattendedUiLevel(uiLevel) ? uiLevel : UI_LEVEL_BASIC;
}

// A REG_SZ value: S_FALSE when it is missing or of another type.
HRESULT ReadText(HKEY key, LPCWSTR name, WCHAR* text, DWORD chars)
{
    HRESULT hr = S_OK;
    DWORD type = REG_NONE;
    DWORD bytes = (chars - 1) * sizeof(WCHAR);
    const LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);

    if (ERROR_FILE_NOT_FOUND == status || ERROR_MORE_DATA == status || (ERROR_SUCCESS == status && REG_SZ != type)) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    text[bytes / sizeof(WCHAR)] = L'\0';

Exit:
    return hr;
}

// The REG_MULTI_SZ list of product codes, terminated twice whatever the value
// held; S_FALSE (and null) when there is none.
HRESULT ReadProductList(HKEY key, WideString* list)
{
    HRESULT hr = S_OK;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, PRODUCT_CODES_VALUE, nullptr, &type, nullptr, &bytes);

    *list = nullptr;
    if (ERROR_FILE_NOT_FOUND == status || (ERROR_SUCCESS == status && (REG_MULTI_SZ != type || 0 == bytes))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    if (bytes > MAX_PRODUCT_LIST_BYTES) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    *list = static_cast<WideString>(MemutilAllocate(bytes + 2 * sizeof(WCHAR), TRUE));
    EXIT_IF_NULL_ALLOC(*list);
    status = ::RegQueryValueExW(key, PRODUCT_CODES_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(*list), &bytes);
    EXIT_WIN32_IF_ERROR(ERROR_SUCCESS == status && REG_MULTI_SZ != type ? ERROR_INVALID_DATA : status);

Exit:
    if (S_OK != hr && nullptr != *list) {
        MemutilRelease(*list);
        *list = nullptr;
    }
    return hr;
}

// One entry of the Uninstall key: a bundle of the same upgrade code is either
// newer (this run refuses) or one that this run replaces.
HRESULT ReadRelatedBundle(RegistrationRun* registration, HKEY uninstall, LPCWSTR name, BOOL* newerFound)
{
    HRESULT hr = S_OK;
    HKEY entry = nullptr;
    WCHAR upgradeCode[PRODUCT_CODE_CHARS + 1] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};
    DWORD high = 0;
    DWORD low = 0;
    RelatedBundle* related = &registration->related[registration->relatedCount];
    LPCWSTR kept = L"its products cannot be told: left as it is";
    const LSTATUS status = ::RegOpenKeyExW(uninstall, name, 0, KEY_QUERY_VALUE | NATIVE_VIEW, &entry);

    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;   // removed meanwhile
    }
    EXIT_WIN32_IF_ERROR(status);
    EXIT_IF_FAILED(ReadText(entry, UPGRADE_CODE_VALUE, upgradeCode, ARRAYSIZE(upgradeCode)));
    if (S_FALSE == hr || !SameCode(upgradeCode, registration->upgradeCode)) {
        hr = S_OK;
        goto Exit;
    }
    EXIT_IF_FAILED(ReadText(entry, VERSION_VALUE, version, ARRAYSIZE(version)));
    if (S_FALSE == hr || S_OK != FileutilParseVersion(version, &high, &low)) {
        RunLogLine(L"registered bundle %ls of this upgrade code has no version: left as it is", name);
        hr = S_OK;
        goto Exit;
    }
    if (IsNewer(high, low, registration->record->versionHigh, registration->record->versionLow)) {
        RunLogLine(L"registered bundle %ls of this upgrade code is version %ls, newer than this one", name, version);
        *newerFound = TRUE;
        goto Exit;
    }
    if (MAX_RELATED_BUNDLES == registration->relatedCount) {
        RunLogLine(L"registered bundle %ls version %ls: more older versions than one run replaces, left as it is",
                   name, version);
        goto Exit;
    }
    EXIT_IF_FAILED(BoundedCopy(related->bundleCode, PRODUCT_CODE_CHARS, name));
    related->versionHigh = high;
    related->versionLow = low;
    // HKCU is the user's to change: an elevated run removes no product because
    // a value there names it.
    if (registration->perMachine || !registration->elevated) {
        related->retirable = SUCCEEDED(ReadProductList(entry, &related->products));
    } else {
        kept = L"an elevated run does not take its product list from HKCU: left as it is";
    }
    ++registration->relatedCount;
    RunLogLine(L"registered bundle %ls version %ls of this upgrade code: %ls", name, version,
               related->retirable ? L"replaced once this run succeeds" : kept);

Exit:
    if (nullptr != entry) {
        ::RegCloseKey(entry);
    }
    return hr;
}

HRESULT FindRelatedBundles(RegistrationRun* registration, BOOL* newerFound)
{
    HRESULT hr = S_OK;
    HKEY uninstall = nullptr;
    WCHAR name[REGISTRY_NAME_CHARS];
    LSTATUS status = ::RegOpenKeyExW(EntryHive(registration), UNINSTALL_KEY, 0,
                                     KEY_ENUMERATE_SUB_KEYS | NATIVE_VIEW, &uninstall);

    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    for (DWORD index = 0;; ++index) {
        DWORD chars = ARRAYSIZE(name);
        status = ::RegEnumKeyExW(uninstall, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (ERROR_NO_MORE_ITEMS == status) {
            break;
        }
        if (ERROR_MORE_DATA == status) {
            continue;   // a name that long is no bundle code
        }
        EXIT_WIN32_IF_ERROR(status);
        if (IsBracedGuid(name) && !SameCode(name, registration->bundleCode)) {
            EXIT_IF_FAILED(ReadRelatedBundle(registration, uninstall, name, newerFound));
        }
    }

Exit:
    if (nullptr != uninstall) {
        ::RegCloseKey(uninstall);
    }
    return hr;
}

// The products of the bundle that are there after its run, one after another,
// each terminated, and an empty one last; `bytes` counts all of it.
HRESULT ListPresentProducts(const PackageManifest* manifest, BOOL windows64Bit, WideString* list, DWORD* bytes)
{
    HRESULT hr = S_OK;
    WCHAR* at = nullptr;

    *list = static_cast<WideString>(
        MemutilAllocate((manifest->packageCount * PRODUCT_CODE_CHARS + 1) * sizeof(WCHAR), TRUE));
    EXIT_IF_NULL_ALLOC(*list);
    at = *list;
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (IsRegisteredProduct(entry, windows64Bit)) {
            EXIT_IF_FAILED(FormatProductCode(entry, *reinterpret_cast<WCHAR(*)[PRODUCT_CODE_CHARS]>(at)));
            at += IsProductPresent(at) ? PRODUCT_CODE_CHARS : 0;
        }
    }
    *at = L'\0';
    *bytes = static_cast<DWORD>((at - *list + 1) * sizeof(WCHAR));

Exit:
    return hr;
}

BOOL AnyProductPresent(const PackageManifest* manifest, BOOL windows64Bit)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (IsRegisteredProduct(entry, windows64Bit) && SUCCEEDED(FormatProductCode(entry, code)) &&
            IsProductPresent(code)) {
            RunLogLine(L"product %ls is still there: the bundle's entry stays", code);
            return TRUE;
        }
    }
    return FALSE;
}

// Applications\Cache\{CODE} in the cache of the bundle's scope; S_FALSE, with
// nothing held, when there is none (or, to write, when the all-users cache is
// not the program's own).
HRESULT OpenBundleFolder(const RegistrationRun* registration, LPCWSTR bundleCode, BOOL create, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    HeldFolder* cache = registration->perMachine ? registration->machineCache : registration->userCache;

    *folder = NoHeldFolder();
    if (INVALID_HANDLE_VALUE == cache->handle) {
        EXIT_IF_FAILED(OpenCacheFolder(registration->perMachine, create, cache));
    }
    if (INVALID_HANDLE_VALUE == cache->handle) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenChild(cache, bundleCode, create, folder));

Exit:
    return hr;
}

BOOL IsSameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first = {};
    BY_HANDLE_FILE_INFORMATION second = {};
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The copy at `path` is the very file this process runs from: started from
// the entry, to repair, it stays as it is.
BOOL IsRunningCopy(const HeldFolder* folder, LPCWSTR path, HANDLE program)
{
    HANDLE copy = INVALID_HANDLE_VALUE;
    const BOOL same = SUCCEEDED(FileutilHold(path, &copy)) && DirutilIsEntryOf(copy, folder, FileutilNamePart(path)) &&
                      IsSameFile(copy, program);
    if (INVALID_HANDLE_VALUE != copy) {
        ::CloseHandle(copy);
    }
    return same;
}

// A byte copy of the program file this process runs from, held while it is
// written and, in an elevated run, read back against the held program file.
// S_FALSE when the copy there is the running program itself. `bytes` is its size.
HRESULT KeepBundleCopy(const RegistrationRun* registration, WCHAR (&path)[MAX_PATH], LONGLONG* bytes)
{
    HRESULT hr = S_OK;
    HeldFolder folder = NoHeldFolder();
    HANDLE program = INVALID_HANDLE_VALUE;
    HANDLE copy = INVALID_HANDLE_VALUE;
    WCHAR programPath[MAX_PATH];
    WCHAR identity[FILE_IDENTITY_CHARS];
    LARGE_INTEGER size = {};

    EXIT_IF_FAILED(OpenBundleFolder(registration, registration->bundleCode, TRUE, &folder));
    if (S_FALSE == hr) {
        RunLogLine(L"the %ls cache cannot take the bundle's copy: it is not the program's own, or it leads elsewhere",
                   registration->perMachine ? L"all-users" : L"user's");
        EXIT_WITH(registration->perMachine ? RESULT_LOG_FOLDER_UNTRUSTED : RESULT_LINK_ENCOUNTERED);
    }
    EXIT_IF_FAILED(HoldProgramFile(&program, programPath, identity));
    EXIT_IF_FAILED(DirutilPathIn(&folder, FileutilNamePart(programPath), path));
    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(program, &size));
    *bytes = size.QuadPart;
    if (IsRunningCopy(&folder, path, program)) {
        RunLogLine(L"the bundle's copy %ls is the program of this run: kept", path);
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(FileutilCopyToNew(program, 0, static_cast<ULONGLONG>(size.QuadPart), path, &folder,
                                     registration->elevated, &copy));
    RunLogLine(L"the bundle's copy: %ls", path);

Exit:
    if (INVALID_HANDLE_VALUE != copy) {
        ::CloseHandle(copy);
    }
    if (INVALID_HANDLE_VALUE != program) {
        ::CloseHandle(program);
    }
    DirutilClose(&folder);
    return hr;
}

HRESULT SetText(HKEY key, LPCWSTR name, LPCWSTR text)
{
    HRESULT hr = S_OK;
    const DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR));

    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes));

Exit:
    return hr;
}

HRESULT SetNumber(HKEY key, LPCWSTR name, DWORD number)
{
    HRESULT hr = S_OK;

    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                         sizeof(number)));

Exit:
    return hr;
}

// A link only when the vendor gave one.
HRESULT SetLinkText(HKEY key, LPCWSTR name, LPCWSTR link)
{
    return L'\0' != link[0] ? SetText(key, name, link) : S_OK;
}

// The size Windows shows: the bundle's copy holds every package and program
// it installs, so it stands for what the bundle takes.
HRESULT SetEntryValues(const RegistrationRun* registration, HKEY key, LPCWSTR copy, LONGLONG copyBytes,
                       const WCHAR* products, DWORD productsBytes)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = registration->record;
    WCHAR text[COMMAND_CHARS];
    SYSTEMTIME now = {};

    EXIT_IF_FAILED(SetText(key, L"DisplayName", record->displayName));
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"%lu.%lu.%lu.%lu", HIWORD(record->versionHigh),
                                 LOWORD(record->versionHigh), HIWORD(record->versionLow), LOWORD(record->versionLow)));
    EXIT_IF_FAILED(SetText(key, VERSION_VALUE, text));
    EXIT_IF_FAILED(SetText(key, L"Publisher", record->publisher));
    EXIT_IF_FAILED(SetText(key, L"DisplayIcon", copy));
    ::GetLocalTime(&now);
    EXIT_IF_FAILED(BoundedFormat(text, INSTALL_DATE_CHARS, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay));
    EXIT_IF_FAILED(SetText(key, L"InstallDate", text));
    EXIT_IF_FAILED(SetNumber(key, L"EstimatedSize", static_cast<DWORD>((copyBytes + BYTES_PER_KIB - 1) / BYTES_PER_KIB)));
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /uninstall", copy));
    EXIT_IF_FAILED(SetText(key, L"UninstallString", text));
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /uninstall /quiet", copy));
    EXIT_IF_FAILED(SetText(key, L"QuietUninstallString", text));
    // Nothing of a bundle can be chosen anew: Change repairs it, and Windows
    // offers no Repair of its own for an entry that is no installer product.
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /repair", copy));
    EXIT_IF_FAILED(SetText(key, L"ModifyPath", text));
    EXIT_IF_FAILED(SetNumber(key, L"NoRepair", 1));
    EXIT_IF_FAILED(SetLinkText(key, L"HelpLink", record->helpLink));
    EXIT_IF_FAILED(SetLinkText(key, L"URLInfoAbout", record->aboutLink));
    EXIT_IF_FAILED(SetText(key, UPGRADE_CODE_VALUE, registration->upgradeCode));
    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, PRODUCT_CODES_VALUE, 0, REG_MULTI_SZ,
                                         reinterpret_cast<const BYTE*>(products), productsBytes));

Exit:
    return hr;
}

// A key made by this call goes again when a value cannot be written: no
// half-written entry is left. One that was there (the same bundle run again)
// keeps what it had.
HRESULT WriteEntry(const RegistrationRun* registration, LPCWSTR copy, LONGLONG copyBytes, const WCHAR* products,
                   DWORD productsBytes)
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    DWORD disposition = 0;
    WCHAR path[ENTRY_KEY_CHARS];

    EXIT_IF_FAILED(FormatEntryKey(registration->bundleCode, path));
    EXIT_WIN32_IF_ERROR(::RegCreateKeyExW(EntryHive(registration), path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_SET_VALUE | NATIVE_VIEW, nullptr, &key, &disposition));
    hr = SetEntryValues(registration, key, copy, copyBytes, products, productsBytes);
    ::RegCloseKey(key);
    if (FAILED(hr) && REG_CREATED_NEW_KEY == disposition) {
        ::RegDeleteKeyExW(EntryHive(registration), path, NATIVE_VIEW, 0);
    }
    EXIT_IF_FAILED(hr);
    RunLogLine(L"entry written: %ls\\%ls", HiveName(registration), path);

Exit:
    return hr;
}

HRESULT DeleteEntry(const RegistrationRun* registration, LPCWSTR bundleCode)
{
    HRESULT hr = S_OK;
    WCHAR path[ENTRY_KEY_CHARS];
    LSTATUS status = ERROR_SUCCESS;

    EXIT_IF_FAILED(FormatEntryKey(bundleCode, path));
    status = ::RegDeleteKeyExW(EntryHive(registration), path, NATIVE_VIEW, 0);
    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    RunLogLine(L"entry removed: %ls\\%ls", HiveName(registration), path);

Exit:
    return hr;
}

// Out of the cache into the run's log folder, under a name nobody runs by
// accident; an elevated run has it deleted at the next restart, from a folder
// only administrators can change.
HRESULT MoveOutOfTheWay(const RegistrationRun* registration, LPCWSTR path)
{
    HRESULT hr = S_OK;
    const HeldFolder* logs = RunLogFolder();
    WCHAR target[MAX_PATH];
    DWORD random = 0;

    if (nullptr == logs) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    EXIT_IF_FAILED(SysutilRandom(&random, sizeof(random)));
    EXIT_IF_FAILED(BoundedFormat(target, MAX_PATH, L"%ls\\%ls_%08lx.removed", logs->path, FileutilNamePart(path),
                                 static_cast<unsigned long>(random)));
    EXIT_LAST_ERROR_IF(!::MoveFileExW(path, target, 0));
    RunLogLine(L"  moved %ls, which is in use, to %ls", path, target);
    if (registration->elevated && ::MoveFileExW(target, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        RunLogLine(L"  %ls goes at the next restart", target);
    }

Exit:
    return hr;
}

// A copy in use cannot be deleted: the program of this very run, started from
// the entry, or the one whose run handed itself to this elevated copy and
// holds it until this copy ends. It is moved away; where even that fails, an
// elevated run has it deleted at the next restart where it is, but only in the
// all-users cache, which only administrators can change.
void DeleteCopyFile(const RegistrationRun* registration, const HeldFolder* folder, LPCWSTR path,
                    BOOL* scheduled)
{
    const HRESULT deleted = FileutilDeleteInFolder(folder, path);
    if (SUCCEEDED(deleted)) {
        RunLogDeleted(path, deleted);
    } else if (SUCCEEDED(MoveOutOfTheWay(registration, path))) {
        return;
    } else if (registration->elevated && registration->perMachine &&
               ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        RunLogLine(L"  %ls is in use: it goes at the next restart", path);
        *scheduled = TRUE;
    } else {
        RunLogDeleted(path, deleted);
    }
}

// The bundle's folder in the cache with every file in it.
void DeleteBundleCopy(const RegistrationRun* registration, LPCWSTR bundleCode)
{
    HeldFolder folder = NoHeldFolder();
    WCHAR pattern[MAX_PATH];
    WCHAR path[MAX_PATH];
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;
    BOOL scheduled = FALSE;

    if (S_OK != OpenBundleFolder(registration, bundleCode, FALSE, &folder) ||
        FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\*", folder.path))) {
        DirutilClose(&folder);
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            SUCCEEDED(DirutilPathIn(&folder, found.cFileName, path))) {
            DeleteCopyFile(registration, &folder, path, &scheduled);
        }
    }
    if (INVALID_HANDLE_VALUE != find) {
        ::FindClose(find);
    }
    BoundedCopy(path, MAX_PATH, folder.path);
    DirutilCloseAndRemoveIfEmpty(&folder);
    if (scheduled) {
        ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);   // after the file in it
    }
}

// The `index`-th code of a list (0 first), or null past its end.
LPCWSTR ListedProduct(const WCHAR* list, DWORD index)
{
    for (; nullptr != list && L'\0' != *list; list += lstrlenW(list) + 1) {
        if (0 == index--) {
            return list;
        }
    }
    return nullptr;
}

// An older version goes once this one is in place: the products only it
// installed (a product both carry stays), the last first, then its copy and
// its entry. Its entry stays while one of them is still there, so that it can
// be removed from there.
void RetireRelatedBundle(const RegistrationRun* registration, const RelatedBundle* related,
                         const PackageManifest* manifest, LPCWSTR logPath, DWORD uiLevel)
{
    BOOL removed = TRUE;
    DWORD count = 0;

    if (!related->retirable) {
        return;
    }
    while (nullptr != ListedProduct(related->products, count)) {
        ++count;
    }
    for (DWORD k = count; k-- > 0;) {
        const LPCWSTR code = ListedProduct(related->products, k);
        if (IsBracedGuid(code) && !IsCarried(manifest, code)) {
            removed = IsProductRemoved(RemoveInstalledProduct(code, code, logPath, RemovalUiLevel(uiLevel))) &&
                      removed;
        }
    }
    if (!removed) {
        RunLogLine(L"bundle %ls keeps its entry: a product of it is still there", related->bundleCode);
        return;
    }
    if (SUCCEEDED(DeleteEntry(registration, related->bundleCode))) {
        DeleteBundleCopy(registration, related->bundleCode);
    }
}

HRESULT FinishInstall(const RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                      LPCWSTR logPath, DWORD uiLevel)
{
    HRESULT hr = S_OK;
    WideString products = nullptr;
    DWORD productsBytes = 0;
    WCHAR copy[MAX_PATH] = {};
    LONGLONG copyBytes = 0;
    BOOL copyWritten = FALSE;

    EXIT_IF_FAILED(ListPresentProducts(manifest, windows64Bit, &products, &productsBytes));
    EXIT_IF_FAILED(KeepBundleCopy(registration, copy, &copyBytes));
    copyWritten = S_OK == hr;
    EXIT_IF_FAILED(WriteEntry(registration, copy, copyBytes, products, productsBytes));
    copyWritten = FALSE;
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        RetireRelatedBundle(registration, &registration->related[k], manifest, logPath, uiLevel);
    }

Exit:
    if (copyWritten) {
        DeleteBundleCopy(registration, registration->bundleCode);
    }
    if (products) {
        MemutilRelease(products);
    }
    return hr;
}

// A product whose removal failed (and was tolerated) keeps the entry, so that
// the user can try again from it. The entry goes first: an entry that stays
// keeps the copy its commands run, while a copy that cannot be deleted is
// left as cached packages are.
HRESULT FinishRemoval(const RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                      HRESULT chainResult)
{
    HRESULT hr = chainResult;

    if (AnyProductPresent(manifest, windows64Bit)) {
        hr = S_OK == chainResult ? INSTALLER_FAILURE_TOLERATED : chainResult;
        goto Exit;
    }
    EXIT_IF_FAILED(DeleteEntry(registration, registration->bundleCode));
    DeleteBundleCopy(registration, registration->bundleCode);
    hr = chainResult;

Exit:
    return hr;
}

} // namespace

HRESULT ValidateRegistration(const void* data, DWORD size)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = static_cast<const BundleRegistration*>(data);

    if (size < sizeof(BundleRegistration) || record->size < sizeof(BundleRegistration) || record->size > size ||
        !HasTerminator(record->displayName, REGISTRATION_NAME_CHARS) || L'\0' == record->displayName[0] ||
        !HasTerminator(record->publisher, REGISTRATION_NAME_CHARS) ||
        !HasTerminator(record->helpLink, REGISTRATION_LINK_CHARS) ||
        !HasTerminator(record->aboutLink, REGISTRATION_LINK_CHARS) || IsEqualGUID(GUID(), record->upgradeCode) ||
        IsEqualGUID(GUID(), record->bundleCode)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

BOOL RegistrationNeedsMachineEntry(const PackageManifest* manifest, BOOL windows64Bit)
{
    const BundleRegistration* record = nullptr;
    return S_OK == LocateRegistration(&record) && HasPerMachineEntry(manifest, windows64Bit);
}

HRESULT RegistrationBegin(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated, DWORD uiLevel,
                          HeldFolder* machineCache, HeldFolder* userCache, RegistrationRun* registration)
{
    HRESULT hr = S_OK;
    BOOL newerFound = FALSE;

    *registration = {};
    registration->machineCache = machineCache;
    registration->userCache = userCache;
    EXIT_IF_FAILED(LocateRegistration(&registration->record));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    registration->perMachine = HasPerMachineEntry(manifest, windows64Bit);
    registration->elevated = elevated;
    if (0 == ::StringFromGUID2(registration->record->bundleCode, registration->bundleCode, PRODUCT_CODE_CHARS) ||
        0 == ::StringFromGUID2(registration->record->upgradeCode, registration->upgradeCode, PRODUCT_CODE_CHARS)) {
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }
    RunLogLine(L"registration: bundle %ls, upgrade code %ls, its entry in %ls", registration->bundleCode,
               registration->upgradeCode, HiveName(registration));
    EXIT_IF_FAILED(FindRelatedBundles(registration, &newerFound));
    if (newerFound) {
        RunLogLine(L"refused: a newer version of this bundle is installed (1638)");
        ShowSystemErrorMessageUnlessUnattended(RESULT_PRODUCT_VERSION, uiLevel);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}

HRESULT RegistrationAppendPackageText(const ManifestPackageEntry* entry, InstallAction action, WideString* text)
{
    if ((entry->flags & PKG_HIDDEN) && InstallAction::Uninstall != action) {
        return StrutilAppend(text, HIDDEN_PACKAGE_TEXT, 0);
    }
    return S_OK;
}

HRESULT RegistrationFinish(RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                           InstallAction action, LPCWSTR logPath, DWORD uiLevel, HRESULT chainResult)
{
    HRESULT hr = chainResult;

    if (nullptr == registration->record) {
        goto Exit;
    }
    if (InstallAction::Uninstall == action) {
        hr = FinishRemoval(registration, manifest, windows64Bit, chainResult);
        goto Exit;
    }
    EXIT_IF_FAILED(FinishInstall(registration, manifest, windows64Bit, logPath, uiLevel));
    hr = chainResult;

Exit:
    return hr;
}

void RegistrationRelease(RegistrationRun* registration)
{
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        if (nullptr != registration->related[k].products) {
            MemutilRelease(registration->related[k].products);
            registration->related[k].products = nullptr;
        }
    }
    registration->relatedCount = 0;
}
