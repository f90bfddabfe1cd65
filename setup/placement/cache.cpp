#include "bundlemanifest.h"
#include "cache.h"
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"
#include "ownedfolder.h"
#include "runlog.h"

#include <shlobj.h>

namespace {

// The names under which the record keeps the all-users folders (ownedfolder.h).
constexpr WCHAR APPLICATIONS_RECORD[] = L"Applications";
constexpr WCHAR MACHINE_CACHE_RECORD[] = L"MachineCache";

BOOL EndsWithSeparator(LPCWSTR path)
{
    const SIZE_T length = lstrlenW(path);
    return length > 0 && (L'\\' == path[length - 1] || L'/' == path[length - 1]);
}

// Appends a separator unless the text already ends with one, so that paths
// handed to the installer carry no doubled separators.
HRESULT AppendSeparator(WideString* path)
{
    return EndsWithSeparator(*path) ? S_OK : StrutilAppend(path, L"\\", 0);
}

BOOL HasExtension(LPCWSTR name, LPCWSTR extension)
{
    const int length = lstrlenW(name);
    const int extensionLength = lstrlenW(extension);
    return length > extensionLength &&
           CSTR_EQUAL == ::CompareStringOrdinal(name + length - extensionLength, -1, extension, -1, TRUE);
}

// A copy that earlier versions of this program kept directly in the cache
// that is to go: a package or transform file, and, when an entry's version is
// kept, of another version.
BOOL IsCopyToDelete(const WIN32_FIND_DATAW& found, const ManifestPackageEntry* keep)
{
    WCHAR own[CACHE_NAME_CHARS];
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(HasExtension(found.cFileName, L".msi") || HasExtension(found.cFileName, L".mst"))) {
        return FALSE;
    }
    if (nullptr == keep) {
        return TRUE;
    }
    static const LPCWSTR EXTENSIONS[] = {L"msi", L"mst"};
    for (const LPCWSTR extension : EXTENSIONS) {
        if (FAILED(FormatCacheName(keep, extension, own)) ||
            CSTR_EQUAL == ::CompareStringOrdinal(found.cFileName, -1, own, -1, TRUE)) {
            return FALSE;
        }
    }
    return TRUE;
}

// "{CODE}vA.B.C.D" without extension: the name of a package version's folder.
HRESULT FormatCacheFolderName(const ManifestPackageEntry* entry, WCHAR (&name)[CACHE_NAME_CHARS])
{
    HRESULT hr = S_OK;
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};

    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(FormatPackageVersion(entry, version));
    EXIT_IF_FAILED(BoundedFormat(name, CACHE_NAME_CHARS, L"%lsv%ls", productCode, version));

Exit:
    return hr;
}

// A package version's folder of the product that is to go: "{CODE}v" and a
// version of digits and dots, and, when an entry's version is kept, of
// another version.
BOOL IsCopyFolderToDelete(const WIN32_FIND_DATAW& found, const ManifestPackageEntry* keep)
{
    WCHAR own[CACHE_NAME_CHARS];
    LPCWSTR version = found.cFileName + PRODUCT_CODE_CHARS;   // after "{CODE}v"
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || lstrlenW(found.cFileName) <= static_cast<int>(PRODUCT_CODE_CHARS)) {
        return FALSE;
    }
    for (LPCWSTR at = version; *at; ++at) {
        if ((*at < L'0' || *at > L'9') && L'.' != *at) {
            return FALSE;
        }
    }
    return nullptr == keep || (SUCCEEDED(FormatCacheFolderName(keep, own)) &&
                               CSTR_EQUAL != ::CompareStringOrdinal(found.cFileName, -1, own, -1, TRUE));
}

// Every file in a package version's folder goes (through the folder held,
// never through a link), then the folder itself when it is empty.
void DeleteCacheFolder(const HeldFolder* cache, LPCWSTR name)
{
    HeldFolder folder = NoHeldFolder();
    WCHAR path[MAX_PATH] = {};
    WCHAR pattern[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;

    if (FAILED(DirutilPathIn(cache, name, path)) ||
        S_OK != DirutilOpenFolder(path, &folder) ||
        FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\*", folder.path))) {
        DirutilClose(&folder);
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && SUCCEEDED(DirutilPathIn(&folder, found.cFileName, path))) {
            DeletePackageFile(&folder, path);
        }
    }
    if (INVALID_HANDLE_VALUE != find) {
        ::FindClose(find);
    }
    DirutilCloseAndRemoveIfEmpty(&folder);
}

// Holds the folder at a path in a claim's way (made new, or made by an earlier
// version): S_FALSE, nothing held, when it is not such a folder.
using FolderClaim = HRESULT (*)(LPCWSTR path, HeldFolder* folder);

// The folder `name` in a held folder, recorded as the program's own when
// `claim` holds it; `how` tells the log how it became the program's.
HRESULT ClaimFolder(const HeldFolder* parent, LPCWSTR name, LPCWSTR record, FolderClaim claim, LPCWSTR how,
                    HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];

    EXIT_IF_FAILED(DirutilPathIn(parent, name, path));
    EXIT_IF_FAILED(claim(path, folder));
    if (S_OK == hr) {
        EXIT_IF_FAILED(OwnedFolderRecord(record, folder));
        RunLogLine("%ls, %ls, is the program's own", path, how);
    }

Exit:
    if (FAILED(hr)) {
        DirutilClose(folder);
    }
    return hr;
}

// Another account's folder at the name is passed over for one the run makes
// under a name nobody can take first ("Cache-1a2b..."): what another account
// made never stops a run, nor is it ever used.
HRESULT MakeAnother(const HeldFolder* parent, LPCWSTR name, LPCWSTR record, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR prefix[MAX_PATH];

    RunLogLine("%ls\\%ls is not the program's own: a folder of its own is made instead", parent->path, name);
    EXIT_IF_FAILED(BoundedFormat(prefix, MAX_PATH, L"%ls-", name));
    EXIT_IF_FAILED(DirutilCreateUnique(parent, prefix, TRUE, RunLogPassedOver, folder));
    EXIT_IF_FAILED(OwnedFolderRecord(record, folder));
    RunLogLine("made %ls, the program's own", folder->path);

Exit:
    if (FAILED(hr)) {
        DirutilClose(folder);
    }
    return hr;
}

// The folder `name` of the program's in a held one: the recorded one, else
// one made now when `create`, or one an earlier version made protected as
// only administrators can make it (where the platform keeps owners), or
// (MakeAnother) one beside another account's. S_FALSE, nothing held, when
// there is none.
HRESULT OpenOwnedFolder(const HeldFolder* parent, LPCWSTR name, LPCWSTR record, BOOL create, HeldFolder* folder)
{
    HRESULT hr = OwnedFolderOpen(record, folder);
    if (S_FALSE == hr && create) {
        hr = ClaimFolder(parent, name, record, DirutilCreateProtectedNew, L"made now", folder);
    }
    if (S_FALSE == hr) {
        hr = ClaimFolder(parent, name, record, DirutilOpenProtected, L"made by an earlier version", folder);
    }
    if (S_FALSE == hr && create) {
        hr = MakeAnother(parent, name, record, folder);
    }
    return hr;
}

// The all-users cache, Applications\Cache in the all-users application-data
// folder, or where the record says the program made its own instead.
HRESULT OpenMachineCache(BOOL create, HeldFolder* cache)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH] = {};
    HeldFolder appData = NoHeldFolder();
    HeldFolder applications = NoHeldFolder();

    EXIT_IF_FAILED(OwnedFolderOpen(MACHINE_CACHE_RECORD, cache));
    if (S_OK == hr) {
        goto Exit;
    }
    hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | (create ? CSIDL_FLAG_CREATE : 0), nullptr,
                            SHGFP_TYPE_CURRENT, path);
    EXIT_IF_FAILED(hr);
    // Only administrators can move the all-users folder: where it really is.
    EXIT_IF_FAILED(DirutilOpenWhereItIs(path, &appData));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(OpenOwnedFolder(&appData, L"Applications", APPLICATIONS_RECORD, create, &applications));
    if (S_OK == hr) {
        EXIT_IF_FAILED(OpenOwnedFolder(&applications, L"Cache", MACHINE_CACHE_RECORD, create, cache));
    }

Exit:
    DirutilClose(&applications);
    DirutilClose(&appData);
    return hr;
}

// Whether `path` lies inside `folder` (a separator follows its text).
BOOL IsInside(LPCWSTR path, LPCWSTR folder)
{
    const int length = lstrlenW(folder);
    return lstrlenW(path) > length && L'\\' == path[length] &&
           CSTR_EQUAL == ::CompareStringOrdinal(path, length, folder, length, TRUE);
}

// The user's application-data folder as HKCU names it is the user's to move:
// an elevated run writes there only when it really lies in the user's
// profile folder, which only administrators can move.
HRESULT CheckInUserProfile(const HeldFolder* appData)
{
    HRESULT hr = S_OK;
    WCHAR profile[MAX_PATH] = {};
    HeldFolder held = NoHeldFolder();

    EXIT_IF_FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile));
    EXIT_IF_FAILED(DirutilOpenWhereItIs(profile, &held));
    if (S_OK == hr && IsInside(appData->path, held.path)) {
        goto Exit;
    }
    RunLogLine("the user's application-data folder %ls is not in the user's profile: an elevated run writes nothing "
               "there",
               appData->path);
    hr = S_FALSE;

Exit:
    DirutilClose(&held);
    return hr;
}

// The user's application-data folder, held where it really is; in an
// elevated run only when it lies in the user's profile (S_FALSE, nothing
// held, otherwise, and when it is missing and not to be made).
HRESULT OpenUserAppData(BOOL elevated, BOOL create, HeldFolder* appData)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH] = {};

    EXIT_IF_FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0), nullptr,
                                      SHGFP_TYPE_CURRENT, path));
    EXIT_IF_FAILED(DirutilOpenWhereItIs(path, appData));
    if (S_OK == hr && elevated) {
        EXIT_IF_FAILED(CheckInUserProfile(appData));
    }

Exit:
    if (S_OK != hr) {
        DirutilClose(appData);
    }
    return hr;
}

} // namespace

HRESULT UserCacheAllowed(BOOL elevated)
{
    HeldFolder appData = NoHeldFolder();
    const HRESULT hr = elevated ? OpenUserAppData(elevated, TRUE, &appData) : S_OK;
    DirutilClose(&appData);
    return hr;
}

// The user's cache is made below where the user's application-data folder
// really is.
HRESULT OpenCacheFolder(BOOL perMachine, BOOL elevated, BOOL create, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    HeldFolder appData = NoHeldFolder();
    HeldFolder applications = NoHeldFolder();

    *folder = NoHeldFolder();
    if (perMachine) {
        EXIT_IF_FAILED(OpenMachineCache(create, folder));
        goto Exit;
    }
    EXIT_IF_FAILED(OpenUserAppData(elevated, create, &appData));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenChild(&appData, L"Applications", create, &applications));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenChild(&applications, L"Cache", create, folder));

Exit:
    DirutilClose(&applications);
    DirutilClose(&appData);
    return hr;
}

HRESULT FormatCacheName(const ManifestPackageEntry* entry, LPCWSTR extension, WCHAR (&name)[CACHE_NAME_CHARS])
{
    HRESULT hr = S_OK;
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};

    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(FormatPackageVersion(entry, version));
    EXIT_IF_FAILED(BoundedFormat(name, CACHE_NAME_CHARS, L"%lsv%ls.%ls", productCode, version, extension));

Exit:
    return hr;
}

HRESULT OpenPackageCacheFolder(const HeldFolder* cache, const ManifestPackageEntry* entry, BOOL create,
                               HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR name[CACHE_NAME_CHARS] = {};

    *folder = NoHeldFolder();
    EXIT_IF_FAILED(FormatCacheFolderName(entry, name));
    EXIT_IF_FAILED(DirutilOpenChild(cache, name, create, folder));

Exit:
    return hr;
}

HRESULT OpenProgramCacheFolder(const HeldFolder* cache, const ManifestPackageEntry* entry, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR version[VERSION_TEXT_CHARS] = {};
    WCHAR name[MAX_PATH] = {};
    const int stemLength = HasExtension(entry->fileName, L".exe") ? lstrlenW(entry->fileName) - 4 : -1;

    if (stemLength <= 0) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(FormatPackageVersion(entry, version));
    EXIT_IF_FAILED(BoundedFormat(name, MAX_PATH, L"%.*lsv%ls", stemLength, entry->fileName, version));
    EXIT_IF_FAILED(DirutilOpenChild(cache, name, TRUE, folder));

Exit:
    return hr;
}

void DeletePackageFile(const HeldFolder* folder, WCHAR (&path)[MAX_PATH])
{
    if (L'\0' != path[0] && INVALID_HANDLE_VALUE != folder->handle) {
        RunLogDeleted(path, FileutilDeleteInFolder(folder, path));
    }
    path[0] = L'\0';
}

void DeleteCachedVersions(const HeldFolder* cache, LPCWSTR productCode, const ManifestPackageEntry* keep)
{
    WCHAR pattern[MAX_PATH] = {};
    WCHAR path[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;

    if (INVALID_HANDLE_VALUE == cache->handle ||
        FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\%lsv*", cache->path, productCode))) {
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (IsCopyToDelete(found, keep) && SUCCEEDED(DirutilPathIn(cache, found.cFileName, path))) {
            DeletePackageFile(cache, path);
        } else if (IsCopyFolderToDelete(found, keep)) {
            DeleteCacheFolder(cache, found.cFileName);
        }
    }
    if (INVALID_HANDLE_VALUE != find) {
        ::FindClose(find);
    }
}

namespace {

// Each cabinet of package entry `index` (LocateCabinets), written beside the
// package at `packagePath` under its own name.
HRESULT ExtractCabinets(const ManifestCabinetEntry* cabinets, DWORD count, DWORD index, LPCWSTR packagePath)
{
    HRESULT hr = S_OK;
    WideString path = nullptr;
    const DWORD folderChars = static_cast<DWORD>(FileutilNamePart(packagePath) - packagePath);

    for (DWORD c = 0; c < count; ++c) {
        if (cabinets[c].packageIndex != index) {
            continue;
        }
        EXIT_IF_FAILED(StrutilCopy(&path, packagePath, folderChars));
        EXIT_IF_FAILED(StrutilAppend(&path, cabinets[c].fileName, 0));
        EXIT_IF_FAILED(ResrutilSaveDataToFile(cabinets[c].resourceName, path, nullptr, nullptr));
    }

Exit:
    if (path) {
        StrutilFree(path);
    }
    return hr;
}

} // namespace

// The manifest is checked before the folder is made, so a damaged bundle
// leaves nothing behind, not even an empty folder. Each package's cabinets
// follow it into the folder, where the installer looks for them.
HRESULT ExtractPackages(LPWSTR folder)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = nullptr;
    const ManifestCabinetEntry* cabinets = nullptr;
    DWORD cabinetCount = 0;
    WideString path = nullptr;

    EXIT_IF_FAILED(LocateManifest(&manifest));
    EXIT_IF_FAILED(LocateCabinets(manifest, &cabinets, &cabinetCount));
    EXIT_IF_FAILED(DirutilCreateTree(folder, nullptr));

    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        EXIT_IF_FAILED(StrutilCopy(&path, folder, 0));
        EXIT_IF_FAILED(AppendSeparator(&path));
        EXIT_IF_FAILED(StrutilAppend(&path, entry->fileName, 0));
        EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, path, nullptr, nullptr));
        EXIT_IF_FAILED(ExtractCabinets(cabinets, cabinetCount, k, path));
    }

Exit:
    if (path) {
        StrutilFree(path);
    }
    return hr;
}

// The first installer package: a prerequisite program before it is no
// package, and its bytes under the .msi name asked for would be no package
// either. Its cabinets go beside the named file: without them it could not
// be installed from there.
HRESULT ExtractFirstPackage(LPCWSTR filePath)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = nullptr;
    const ManifestCabinetEntry* cabinets = nullptr;
    DWORD cabinetCount = 0;
    DWORD k = 0;

    EXIT_IF_FAILED(LocateManifest(&manifest));
    while (k < manifest->packageCount && (ManifestPackage(manifest, k)->flags & PKG_PROGRAM)) {
        ++k;
    }
    if (k == manifest->packageCount) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(LocateCabinets(manifest, &cabinets, &cabinetCount));
    EXIT_IF_FAILED(ResrutilSaveDataToFile(ManifestPackage(manifest, k)->resourceName, filePath, nullptr, nullptr));
    EXIT_IF_FAILED(ExtractCabinets(cabinets, cabinetCount, k, filePath));

Exit:
    return hr;
}
