#include "bundlemanifest.h"
#include "cache.h"
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"
#include "runlog.h"

#include <shlobj.h>

namespace {

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
void DeleteCacheFolder(const HeldFolder* cache, LPCWSTR name, BOOL protect)
{
    HeldFolder folder = NoHeldFolder();
    WCHAR path[MAX_PATH] = {};
    WCHAR pattern[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;

    if (FAILED(DirutilPathIn(cache, name, path)) ||
        S_OK != (protect ? DirutilOpenProtected(path, &folder) : DirutilOpenFolder(path, &folder)) ||
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

} // namespace

// The all-users chain is opened through the held Applications, so neither can
// be swapped for a link between the checks; the user's is made below where the
// user's application-data folder really is.
HRESULT OpenCacheFolder(BOOL perMachine, BOOL create, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH] = {};
    HeldFolder appData = NoHeldFolder();
    HeldFolder applications = NoHeldFolder();
    const int id = perMachine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA;

    *folder = NoHeldFolder();
    hr = ::SHGetFolderPathW(nullptr, id | (create ? CSIDL_FLAG_CREATE : 0), nullptr, SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }
    if (perMachine) {
        EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, L"\\Applications"));
        EXIT_IF_FAILED(create ? DirutilCreateProtected(path, &applications) : DirutilOpenProtected(path, &applications));
        if (S_FALSE == hr) {
            goto Exit;
        }
        EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, L"\\Cache"));
        EXIT_IF_FAILED(create ? DirutilCreateProtected(path, folder) : DirutilOpenProtected(path, folder));
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenWhereItIs(path, &appData));
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

HRESULT OpenPackageCacheFolder(const HeldFolder* cache, const ManifestPackageEntry* entry, BOOL protect, BOOL create,
                               HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR name[CACHE_NAME_CHARS] = {};
    WCHAR path[MAX_PATH] = {};

    *folder = NoHeldFolder();
    EXIT_IF_FAILED(FormatCacheFolderName(entry, name));
    EXIT_IF_FAILED(DirutilPathIn(cache, name, path));
    if (protect) {
        EXIT_IF_FAILED(create ? DirutilCreateProtected(path, folder) : DirutilOpenProtected(path, folder));
    } else {
        EXIT_IF_FAILED(DirutilOpenChild(cache, name, create, folder));
    }

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

void DeleteCachedVersions(const HeldFolder* cache, LPCWSTR productCode, const ManifestPackageEntry* keep, BOOL protect)
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
            DeleteCacheFolder(cache, found.cFileName, protect);
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
