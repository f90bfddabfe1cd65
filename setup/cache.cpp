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

HRESULT FormatInFolder(const HeldFolder* folder, LPCWSTR name, WCHAR (&path)[MAX_PATH])
{
    return BoundedFormat(path, MAX_PATH, L"%ls\\%ls", folder->path, name);
}

BOOL HasExtension(LPCWSTR name, LPCWSTR extension)
{
    const int length = lstrlenW(name);
    const int extensionLength = lstrlenW(extension);
    return length > extensionLength &&
           CSTR_EQUAL == ::CompareStringOrdinal(name + length - extensionLength, -1, extension, -1, TRUE);
}

// A cached copy of the product that is to go: a package or transform file,
// and, when an entry's version is kept, of another version.
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

// A folder of the user's cache chain: made when missing if `create`.
HRESULT OpenCacheChild(const HeldFolder* parent, LPCWSTR name, BOOL create, HeldFolder* child)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];

    if (create) {
        EXIT_IF_FAILED(DirutilOpenChild(parent, name, child));
        goto Exit;
    }
    EXIT_IF_FAILED(FormatInFolder(parent, name, path));
    EXIT_IF_FAILED(DirutilOpenFolder(path, child));

Exit:
    return hr;
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
    EXIT_IF_FAILED(OpenCacheChild(&appData, L"Applications", create, &applications));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(OpenCacheChild(&applications, L"Cache", create, folder));

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
    EXIT_IF_FAILED(DirutilOpenChild(cache, name, folder));

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

void DeleteCachedVersions(const HeldFolder* folder, LPCWSTR productCode, const ManifestPackageEntry* keep)
{
    WCHAR pattern[MAX_PATH] = {};
    WCHAR path[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;

    if (INVALID_HANDLE_VALUE == folder->handle ||
        FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\%lsv*", folder->path, productCode))) {
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (IsCopyToDelete(found, keep) && SUCCEEDED(FormatInFolder(folder, found.cFileName, path))) {
            DeletePackageFile(folder, path);
        }
    }
    if (INVALID_HANDLE_VALUE != find) {
        ::FindClose(find);
    }
}

// The manifest is checked before the folder is made, so a damaged bundle
// leaves nothing behind, not even an empty folder.
HRESULT ExtractPackages(LPWSTR folder)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = nullptr;
    WideString path = nullptr;

    EXIT_IF_FAILED(LocateManifest(&manifest));
    EXIT_IF_FAILED(DirutilCreateTree(folder, nullptr));

    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        EXIT_IF_FAILED(StrutilCopy(&path, folder, 0));
        EXIT_IF_FAILED(AppendSeparator(&path));
        EXIT_IF_FAILED(StrutilAppend(&path, entry->fileName, 0));
        EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, path, nullptr, nullptr));
    }

Exit:
    if (path) {
        StrutilFree(path);
    }
    return hr;
}

// The first installer package: a prerequisite program before it is no
// package, and its bytes under the .msi name asked for would be no package either.
HRESULT ExtractFirstPackage(LPCWSTR filePath)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = nullptr;
    DWORD k = 0;

    EXIT_IF_FAILED(LocateManifest(&manifest));
    while (k < manifest->packageCount && (ManifestPackage(manifest, k)->flags & PKG_PROGRAM)) {
        ++k;
    }
    if (k == manifest->packageCount) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(ResrutilSaveDataToFile(ManifestPackage(manifest, k)->resourceName, filePath, nullptr, nullptr));

Exit:
    return hr;
}
