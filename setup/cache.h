// Where packages land on disk: written into a per-product folder under the
// temporary folder or straight into the package cache, or extracted to a
// folder or file the user names.
//
// A setup run works in folders it holds (DirutilOpenFolder) from opening to
// the end of its work there, so that they cannot be renamed, replaced or made
// links meanwhile; every file it writes, holds or deletes in one is confirmed
// to be that folder's own entry. The all-users cache and the staging folders
// of an elevated run are moreover the program's own: made protected, or
// trusted as they are (DirutilCreateProtected).
#pragma once

#include <windows.h>
#include "manifest.h"
#include "strutil.h"

// A held folder and its path (no separator at the end).
struct PackageFolder {
    HANDLE handle;
    WCHAR path[MAX_PATH];
};
// A folder record that holds nothing yet.
inline PackageFolder NoPackageFolder()
{
    return {INVALID_HANDLE_VALUE, {}};
}

// The package's folder under the temporary folder, named after its product
// code: in an elevated run a protected one of its own ("{CODE}.1" and so on
// beside one that is not).
HRESULT OpenStagingFolder(const ManifestPackageEntry* entry, BOOL elevated, PackageFolder* folder);
// Applications\Cache in the all-users folder (S_FALSE, no handle, when it is
// not the program's own) or in the user's. Made when `create` is set; a
// missing one is S_FALSE otherwise.
HRESULT OpenCacheFolder(BOOL perMachine, BOOL create, PackageFolder* folder);
void CloseFolder(PackageFolder* folder);
// Closes a staging folder and removes it if nothing is left in it.
void CloseStagingFolder(PackageFolder* folder);

// The name of a package's copy in the cache: "{CODE}vA.B.C.D.msi" (or ".mst"
// for its transform).
constexpr DWORD CACHE_NAME_CHARS = 80;
HRESULT FormatCacheName(const ManifestPackageEntry* entry, LPCWSTR extension, WCHAR (&name)[CACHE_NAME_CHARS]);

// Writes a data resource as the file `name` in the folder and hands it back
// held for the installer call; `path` receives its path first, so a path
// too long to record writes nothing (0x8007007A). With `verify`, the held file
// must still hold the resource's bytes (RESULT_FILE_CHANGED, and it is deleted
// again): someone may have written to it between writing and holding.
HRESULT WritePackageFile(const PackageFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                         WCHAR (&path)[MAX_PATH], HANDLE* held);
// Holds a file that is already in the folder when it holds exactly the
// resource's bytes: S_OK held, S_FALSE when there is no such file,
// RESULT_FILE_CHANGED when it differs. The file itself is left as it is.
HRESULT HoldIntactFile(const PackageFolder* folder, LPCSTR resourceName, LPCWSTR name, WCHAR (&path)[MAX_PATH],
                       HANDLE* held);
// Deletes a file the run recorded in the folder (no folder held: nothing is
// deleted) and empties the record.
void DeletePackageFile(const PackageFolder* folder, WCHAR (&path)[MAX_PATH]);
// Deletes the cached copies (package and transform) of the entry's product in
// the folder: of every version, or of every other version than the entry's.
void DeleteCachedVersions(const PackageFolder* folder, const ManifestPackageEntry* entry, BOOL keepEntryVersion);

// `folder` is cut and restored in place while its tree is created.
HRESULT ExtractPackages(LPWSTR folder);
HRESULT ExtractFirstPackage(LPCWSTR filePath);
