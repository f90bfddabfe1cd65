// Where packages land on disk: staged in the temporary folder, moved into the
// package cache, or extracted to a folder or file the user names.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "strutil.h"

// Writes the package into its per-product folder under the temporary folder,
// a protected one of its own in an elevated run. With `held`, the staged file
// is handed back held (FileutilHoldWritten) for the installer call; without, it
// is closed (it is about to be moved).
HRESULT StagePackage(const ManifestPackageEntry* entry, BOOL elevated, WideString* stagedPath, HANDLE* held);
// The cache folder of a package, chosen once for package and transform: the
// all-users one when the entry has PKG_PER_MACHINE, the process is elevated
// and Applications\Cache there is trustworthy (made or secured as a protected
// folder); otherwise the user's.
HRESULT ChooseCacheFolder(const ManifestPackageEntry* entry, BOOL elevated, BOOL* perMachine);
// Move the file into the chosen cache folder (never over an existing file, and
// never into the other folder) and hand it back held for the installer call.
HRESULT CachePackage(const ManifestPackageEntry* entry, LPCWSTR stagedPath, BOOL perMachine, WideString* cachedPath,
                     HANDLE* held);
HRESULT CacheTransform(const ManifestPackageEntry* entry, LPCWSTR transformPath, BOOL perMachine,
                       WideString* cachedTransformPath, HANDLE* held);
// Deletes the package's and its transform's cached copies of the entry's
// version, in whichever cache folder they lie; missing ones are no failure.
void DeleteCachedCopies(const ManifestPackageEntry* entry);
// `folder` is cut and restored in place while its tree is created.
HRESULT ExtractPackages(LPWSTR folder);
HRESULT ExtractFirstPackage(LPCWSTR filePath);
