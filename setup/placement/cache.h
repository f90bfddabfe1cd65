// The package cache, where packages are kept for the products installed from
// them, and extraction to a folder or file the user names.
//
// A setup run works in folders it holds (libs/dirutil.h) from opening to the
// end of its work there, reached without links; every file it writes, holds
// or deletes in one is confirmed to be that folder's own entry. The all-users
// cache is moreover the program's own: made protected, or trusted as it is.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "dirutil.h"
#include "strutil.h"

// The all-users cache: the one the program made, as its record says
// (ownedfolder.h), Applications\Cache in the all-users application-data folder
// unless another account made a folder of that name first. Or the user's,
// Applications\Cache in the user's; an elevated run uses it only when it lies
// in the user's profile folder. Made when `create` is set; S_FALSE, nothing
// held, when there is none to use.
HRESULT OpenCacheFolder(BOOL perMachine, BOOL elevated, BOOL create, HeldFolder* folder);
// Whether a run may write the user's cache: S_FALSE (logged) for an elevated
// run whose user's application-data folder lies outside the user's profile.
HRESULT UserCacheAllowed(BOOL elevated);

// The name of a package's copy in the cache: "{CODE}vA.B.C.D.msi" (or ".mst"
// for its transform); in its version's folder, or, as earlier versions of this
// program kept it, directly in the cache, where it is still used and deleted.
constexpr DWORD CACHE_NAME_CHARS = 80;
HRESULT FormatCacheName(const ManifestPackageEntry* entry, LPCWSTR extension, WCHAR (&name)[CACHE_NAME_CHARS]);
// The folder of a package version's copies in a cache, "{CODE}vA.B.C.D": its
// package and transform under the names above, and its cabinets under theirs,
// which those of two products may share. Made when missing and `create` (in
// the all-users cache, protected as the cache passes it on), and held.
// S_FALSE, nothing held, when there is none that can be used.
HRESULT OpenPackageCacheFolder(const HeldFolder* cache, const ManifestPackageEntry* entry, BOOL create,
                               HeldFolder* folder);

// A cached prerequisite program's own folder in the cache, named after its
// file and version ("vc_redist.x64v14.40.33810.0" for vc_redist.x64.exe), so
// that nothing else ever lies beside the program: made when missing, and
// held. S_FALSE when something else is in the way.
HRESULT OpenProgramCacheFolder(const HeldFolder* cache, const ManifestPackageEntry* entry, HeldFolder* folder);

// Deletes a file the run recorded in the folder (no folder held: nothing is
// deleted), logs it, and empties the record.
void DeletePackageFile(const HeldFolder* folder, WCHAR (&path)[MAX_PATH]);
// Deletes the cached copies of the product in the cache: of every version, or,
// with `keep`, of every version but that entry's. Those that earlier versions
// of this program kept directly in the cache (package and transform files),
// and the versions' folders with all their files (OpenPackageCacheFolder).
void DeleteCachedVersions(const HeldFolder* cache, LPCWSTR productCode, const ManifestPackageEntry* keep);

// `folder` is cut and restored in place while its tree is created.
HRESULT ExtractPackages(LPWSTR folder);
HRESULT ExtractFirstPackage(LPCWSTR filePath);
