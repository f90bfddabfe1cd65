#include "cache.h"
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"

#include <shlobj.h>

namespace {

constexpr DWORD TEMP_PATH_CHARS = MAX_PATH;

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

// The cache file of a package entry: product code and version under
// Applications\Cache in the all-users or the user's application-data folder.
HRESULT FormatCachePath(const ManifestPackageEntry* entry, LPCWSTR extension, BOOL perMachine,
                        WideString* cachedPath)
{
    HRESULT hr = S_OK;
    WCHAR appData[MAX_PATH] = {};
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};
    const int folder = (perMachine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA) | CSIDL_FLAG_CREATE;

    hr = ::SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, appData);
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(FormatPackageVersion(entry, version));
    EXIT_IF_FAILED(StrutilFormat(cachedPath, L"%ls\\Applications\\Cache\\%lsv%ls.%ls", appData, productCode,
                                 version, extension));

Exit:
    return hr;
}

void DeleteCacheFile(const ManifestPackageEntry* entry, LPCWSTR extension, BOOL perMachine)
{
    WideString path = nullptr;
    if (SUCCEEDED(FormatCachePath(entry, extension, perMachine, &path))) {
        ::DeleteFileW(path);
    }
    StrutilFree(path);
}

HRESULT CacheFile(const ManifestPackageEntry* entry, LPCWSTR source, LPCWSTR extension, BOOL perMachine,
                  WideString* cachedPath)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(FormatCachePath(entry, extension, perMachine, cachedPath));

    hr = FileutilMoveCreatingFolder(source, *cachedPath, TRUE, TRUE);
    if (FAILED(hr) && perMachine) {
        // The all-users folder may refuse this user; the user's own folder will not.
        hr = CacheFile(entry, source, extension, FALSE, cachedPath);
    }

Exit:
    return hr;
}

} // namespace

HRESULT StagePackage(const ManifestPackageEntry* entry, WideString* stagedPath)
{
    HRESULT hr = S_OK;
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};

    EXIT_IF_FAILED(StrutilAllocate(stagedPath, TEMP_PATH_CHARS));
    EXIT_IF_FAILED(DirutilGetTempFolder(*stagedPath));

    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(AppendSeparator(stagedPath));
    EXIT_IF_FAILED(StrutilAppend(stagedPath, productCode, 0));
    EXIT_IF_FAILED(StrutilAppend(stagedPath, L"\\", 0));
    EXIT_IF_FAILED(DirutilCreateTree(*stagedPath, nullptr));

    EXIT_IF_FAILED(StrutilAppend(stagedPath, entry->fileName, 0));
    EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, *stagedPath, CREATE_ALWAYS));

Exit:
    return hr;
}

HRESULT CachePackage(const ManifestPackageEntry* entry, LPCWSTR stagedPath, BOOL perMachine, WideString* cachedPath)
{
    return CacheFile(entry, stagedPath, L"msi", perMachine, cachedPath);
}

HRESULT CacheTransform(const ManifestPackageEntry* entry, LPCWSTR transformPath, BOOL perMachine,
                       WideString* cachedTransformPath)
{
    return CacheFile(entry, transformPath, L"mst", perMachine, cachedTransformPath);
}

// A copy may lie in either folder: the all-users one, or the user's where an
// earlier run fell back to it.
void DeleteCachedCopies(const ManifestPackageEntry* entry)
{
    static const LPCWSTR EXTENSIONS[] = {L"msi", L"mst"};
    for (const LPCWSTR extension : EXTENSIONS) {
        if (entry->flags & PKG_PER_MACHINE) {
            DeleteCacheFile(entry, extension, TRUE);
        }
        DeleteCacheFile(entry, extension, FALSE);
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
        EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, path, CREATE_ALWAYS));
    }

Exit:
    if (path) {
        StrutilFree(path);
    }
    return hr;
}

HRESULT ExtractFirstPackage(LPCWSTR filePath)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = nullptr;

    EXIT_IF_FAILED(LocateManifest(&manifest));
    if (0 == manifest->packageCount) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(ResrutilSaveDataToFile(ManifestPackage(manifest, 0)->resourceName, filePath, CREATE_ALWAYS));

Exit:
    return hr;
}
