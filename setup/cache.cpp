#include "cache.h"
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"
#include "runlog.h"

#include <shlobj.h>

namespace {

// Beside a per-product folder that cannot be used, "{CODE}.1" and so on.
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

HRESULT FormatInFolder(const PackageFolder* folder, LPCWSTR name, WCHAR (&path)[MAX_PATH])
{
    return BoundedFormat(path, MAX_PATH, L"%ls\\%ls", folder->path, name);
}

// One candidate name of the staging folder, made and held: S_FALSE when the
// name is taken by something the run may not use. The temporary folder itself
// is made when missing.
HRESULT OpenStagingCandidate(LPWSTR path, BOOL elevated, HANDLE* folder)
{
    HRESULT hr = S_OK;
    BOOL made = FALSE;

    if (elevated) {
        EXIT_IF_FAILED(DirutilCreateProtected(path, folder));
        goto Exit;
    }
    made = ::CreateDirectoryW(path, nullptr);
    if (!made && ERROR_PATH_NOT_FOUND == ::GetLastError()) {
        EXIT_IF_FAILED(DirutilCreateTree(path, nullptr));
        made = TRUE;
    }
    EXIT_LAST_ERROR_IF(!made && ERROR_ALREADY_EXISTS != ::GetLastError());
    EXIT_IF_FAILED(DirutilOpenFolder(path, folder));
    if (S_FALSE == hr && made) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);   // the folder just made is not there as made
    }

Exit:
    return hr;
}

BOOL HasExtension(LPCWSTR name, LPCWSTR extension)
{
    const int length = lstrlenW(name);
    const int extensionLength = lstrlenW(extension);
    return length > extensionLength &&
           CSTR_EQUAL == ::CompareStringOrdinal(name + length - extensionLength, -1, extension, -1, TRUE);
}

// A cached copy of the entry's product that is to go: a package or transform
// file, and, when the entry's own version is kept, of another version.
BOOL IsCopyToDelete(const WIN32_FIND_DATAW& found, const ManifestPackageEntry* entry, BOOL keepEntryVersion)
{
    WCHAR own[CACHE_NAME_CHARS];
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(HasExtension(found.cFileName, L".msi") || HasExtension(found.cFileName, L".mst"))) {
        return FALSE;
    }
    if (!keepEntryVersion) {
        return TRUE;
    }
    static const LPCWSTR EXTENSIONS[] = {L"msi", L"mst"};
    for (const LPCWSTR extension : EXTENSIONS) {
        if (FAILED(FormatCacheName(entry, extension, own)) ||
            CSTR_EQUAL == ::CompareStringOrdinal(found.cFileName, -1, own, -1, TRUE)) {
            return FALSE;
        }
    }
    return TRUE;
}

} // namespace

HRESULT OpenStagingFolder(const ManifestPackageEntry* entry, BOOL elevated, PackageFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};
    WCHAR base[MAX_PATH] = {};

    EXIT_IF_FAILED(DirutilGetTempFolder(base));
    if (!EndsWithSeparator(base)) {
        EXIT_IF_FAILED(BoundedAppend(base, MAX_PATH, L"\\"));
    }
    EXIT_IF_FAILED(FormatProductCode(entry, productCode));
    EXIT_IF_FAILED(BoundedAppend(base, MAX_PATH, productCode));

    for (DWORD attempt = 0; INVALID_HANDLE_VALUE == folder->handle; ++attempt) {
        if (STAGING_FOLDER_ATTEMPTS == attempt) {
            EXIT_WITH(RESULT_FILE_EXISTS);
        }
        EXIT_IF_FAILED(attempt > 0 ? BoundedFormat(folder->path, MAX_PATH, L"%ls.%u", base, attempt)
                                   : BoundedCopy(folder->path, MAX_PATH, base));
        EXIT_IF_FAILED(OpenStagingCandidate(folder->path, elevated, &folder->handle));
    }
    hr = S_OK;

Exit:
    return hr;
}

HRESULT OpenCacheFolder(BOOL perMachine, BOOL create, PackageFolder* folder)
{
    HRESULT hr = S_OK;
    HANDLE applications = INVALID_HANDLE_VALUE;
    const int id = perMachine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA;

    hr = ::SHGetFolderPathW(nullptr, id | (create ? CSIDL_FLAG_CREATE : 0), nullptr, SHGFP_TYPE_CURRENT,
                            folder->path);
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(BoundedAppend(folder->path, MAX_PATH, L"\\Applications"));
    if (perMachine) {
        // Cache is opened through the held Applications, so neither can be
        // swapped for a link between the checks.
        EXIT_IF_FAILED(create ? DirutilCreateProtected(folder->path, &applications)
                              : DirutilOpenProtected(folder->path, &applications));
        if (S_FALSE == hr) {
            goto Exit;
        }
        EXIT_IF_FAILED(BoundedAppend(folder->path, MAX_PATH, L"\\Cache"));
        EXIT_IF_FAILED(create ? DirutilCreateProtected(folder->path, &folder->handle)
                              : DirutilOpenProtected(folder->path, &folder->handle));
    } else {
        EXIT_IF_FAILED(BoundedAppend(folder->path, MAX_PATH, L"\\Cache"));
        if (create) {
            EXIT_IF_FAILED(DirutilCreateTree(folder->path, nullptr));
        }
        EXIT_IF_FAILED(DirutilOpenFolder(folder->path, &folder->handle));
    }

Exit:
    if (INVALID_HANDLE_VALUE != applications) {
        ::CloseHandle(applications);
    }
    return hr;
}

void CloseFolder(PackageFolder* folder)
{
    if (INVALID_HANDLE_VALUE != folder->handle) {
        ::CloseHandle(folder->handle);
        folder->handle = INVALID_HANDLE_VALUE;
    }
}

// Once the hold is gone the name may lead anywhere, but removing a folder
// never follows a link and never removes one that is not empty.
void CloseStagingFolder(PackageFolder* folder)
{
    if (INVALID_HANDLE_VALUE != folder->handle) {
        CloseFolder(folder);
        ::RemoveDirectoryW(folder->path);
    }
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

HRESULT WritePackageFile(const PackageFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                         WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = S_OK;

    // Files are written only into a folder the run holds.
    if (INVALID_HANDLE_VALUE == folder->handle) {
        EXIT_WITH(E_HANDLE);
    }
    hr = FormatInFolder(folder, name, path);
    if (FAILED(hr)) {
        path[0] = L'\0';   // a path cut to fit would name another file
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(ResrutilSaveDataToFile(resourceName, path, folder->handle, held));
    if (verify) {
        hr = ResrutilFileMatchesData(resourceName, *held);
        if (FAILED(hr)) {
            ::CloseHandle(*held);
            *held = INVALID_HANDLE_VALUE;
            DeletePackageFile(folder, path);
            goto Exit;
        }
    }

Exit:
    return hr;
}

HRESULT HoldIntactFile(const PackageFolder* folder, LPCSTR resourceName, LPCWSTR name, WCHAR (&path)[MAX_PATH],
                       HANDLE* held)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(FormatInFolder(folder, name, path));
    hr = FileutilHold(path, held);
    if (RESULT_FILE_NOT_FOUND == hr) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(hr);
    if (!DirutilIsEntryOf(*held, folder->handle, name)) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }
    EXIT_IF_FAILED(ResrutilFileMatchesData(resourceName, *held));

Exit:
    if (S_OK != hr) {
        path[0] = L'\0';
        if (INVALID_HANDLE_VALUE != *held) {
            ::CloseHandle(*held);
            *held = INVALID_HANDLE_VALUE;
        }
    }
    return hr;
}

void DeletePackageFile(const PackageFolder* folder, WCHAR (&path)[MAX_PATH])
{
    if (L'\0' != path[0] && INVALID_HANDLE_VALUE != folder->handle) {
        RunLogDeleted(path, FileutilDeleteInFolder(folder->handle, path));
    }
    path[0] = L'\0';
}

void DeleteCachedVersions(const PackageFolder* folder, const ManifestPackageEntry* entry, BOOL keepEntryVersion)
{
    WCHAR productCode[PRODUCT_CODE_CHARS] = {};
    WCHAR pattern[MAX_PATH] = {};
    WCHAR path[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    HANDLE find = INVALID_HANDLE_VALUE;

    if (INVALID_HANDLE_VALUE == folder->handle || FAILED(FormatProductCode(entry, productCode)) ||
        FAILED(BoundedFormat(pattern, MAX_PATH, L"%ls\\%lsv*", folder->path, productCode))) {
        return;
    }
    find = ::FindFirstFileW(pattern, &found);
    for (BOOL more = INVALID_HANDLE_VALUE != find; more; more = ::FindNextFileW(find, &found)) {
        if (IsCopyToDelete(found, entry, keepEntryVersion) && SUCCEEDED(FormatInFolder(folder, found.cFileName, path))) {
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
        EXIT_IF_FAILED(ResrutilSaveDataToFile(entry->resourceName, path, INVALID_HANDLE_VALUE, nullptr));
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
    EXIT_IF_FAILED(ResrutilSaveDataToFile(ManifestPackage(manifest, 0)->resourceName, filePath,
                                          INVALID_HANDLE_VALUE, nullptr));

Exit:
    return hr;
}
