#include "cache.h"
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"

#include <shlobj.h>

namespace {

constexpr DWORD TEMP_PATH_CHARS = MAX_PATH;
// Beside a per-product folder that cannot be trusted, "{CODE}.1" and so on.
constexpr DWORD STAGING_FOLDER_ATTEMPTS = 1000;

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

// What lies at the cache name is deleted, never replaced by the move: the
// move would go through a hard link or keep a planted file's owner. A failure
// fails the package; there is no other folder to try.
HRESULT CacheFile(const ManifestPackageEntry* entry, LPCWSTR source, LPCWSTR extension, BOOL perMachine,
                  WideString* cachedPath, HANDLE* held)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(FormatCachePath(entry, extension, perMachine, cachedPath));
    EXIT_IF_FAILED(FileutilDeleteIfPresent(*cachedPath));
    EXIT_IF_FAILED(FileutilMoveCreatingFolder(source, *cachedPath, FALSE, TRUE));
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_FILE_EXISTS);   // something appeared at the name meanwhile
    }
    hr = FileutilHold(*cachedPath, held);
    if (FAILED(hr)) {
        ::DeleteFileW(*cachedPath);   // not handed out, so nobody else would delete it
        goto Exit;
    }

Exit:
    return hr;
}

// The per-product folder of an elevated run must be its own: a folder someone
// else made there is left alone, and the package goes into a new one beside it.
HRESULT CreateProtectedStagingFolder(WideString* folder)
{
    HRESULT hr = S_OK;
    const DWORD length = lstrlenW(*folder);
    BOOL trusted = FALSE;

    for (DWORD attempt = 0; !trusted; ++attempt) {
        if (STAGING_FOLDER_ATTEMPTS == attempt) {
            EXIT_WITH(RESULT_FILE_EXISTS);
        }
        (*folder)[length] = L'\0';
        if (attempt > 0) {
            WCHAR suffix[12];
            EXIT_IF_FAILED(BoundedFormat(suffix, ARRAYSIZE(suffix), L".%u", attempt));
            EXIT_IF_FAILED(StrutilAppend(folder, suffix, 0));
        }
        EXIT_IF_FAILED(DirutilCreateProtected(*folder, &trusted));
    }

Exit:
    return hr;
}

// Applications\Cache under the all-users folder, made or secured as a
// protected folder; `trusted` is false when an existing one is not ours.
HRESULT PrepareMachineCacheFolder(BOOL* trusted)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH] = {};

    *trusted = FALSE;
    hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(BoundedAppend(folder, MAX_PATH, L"\\Applications"));
    EXIT_IF_FAILED(DirutilCreateProtected(folder, trusted));
    if (*trusted) {
        EXIT_IF_FAILED(BoundedAppend(folder, MAX_PATH, L"\\Cache"));
        EXIT_IF_FAILED(DirutilCreateProtected(folder, trusted));
    }

Exit:
    return hr;
}

} // namespace

HRESULT StagePackage(const ManifestPackageEntry* entry, BOOL elevated, WideString* stagedPath, HANDLE* held)
{
    HRESULT hr = S_OK;
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};

    EXIT_IF_FAILED(StrutilAllocate(stagedPath, TEMP_PATH_CHARS));
    EXIT_IF_FAILED(DirutilGetTempFolder(*stagedPath));

    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(AppendSeparator(stagedPath));
    EXIT_IF_FAILED(StrutilAppend(stagedPath, productCode, 0));
    if (elevated) {
        EXIT_IF_FAILED(CreateProtectedStagingFolder(stagedPath));
    } else {
        EXIT_IF_FAILED(DirutilCreateTree(*stagedPath, nullptr));
    }

    EXIT_IF_FAILED(StrutilAppend(stagedPath, L"\\", 0));
    EXIT_IF_FAILED(StrutilAppend(stagedPath, entry->fileName, 0));
    EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, *stagedPath, held));

Exit:
    return hr;
}

HRESULT ChooseCacheFolder(const ManifestPackageEntry* entry, BOOL elevated, BOOL* perMachine)
{
    HRESULT hr = S_OK;

    *perMachine = FALSE;
    if ((entry->flags & PKG_PER_MACHINE) && elevated) {
        EXIT_IF_FAILED(PrepareMachineCacheFolder(perMachine));
    }

Exit:
    return hr;
}

HRESULT CachePackage(const ManifestPackageEntry* entry, LPCWSTR stagedPath, BOOL perMachine, WideString* cachedPath,
                     HANDLE* held)
{
    return CacheFile(entry, stagedPath, L"msi", perMachine, cachedPath, held);
}

HRESULT CacheTransform(const ManifestPackageEntry* entry, LPCWSTR transformPath, BOOL perMachine,
                       WideString* cachedTransformPath, HANDLE* held)
{
    return CacheFile(entry, transformPath, L"mst", perMachine, cachedTransformPath, held);
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
        EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, path, nullptr));
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
    EXIT_IF_FAILED(ResrutilSaveDataToFile(ManifestPackage(manifest, 0)->resourceName, filePath, nullptr));

Exit:
    return hr;
}
