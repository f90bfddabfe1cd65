// Where packages land on disk: staged in the temporary folder, moved into the
// package cache, or extracted to a folder or file the user names.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "strutil.h"

HRESULT StagePackage(const ManifestPackageEntry* entry, WideString* stagedPath);
HRESULT CachePackage(const ManifestPackageEntry* entry, LPCWSTR stagedPath, BOOL perMachine, WideString* cachedPath);
HRESULT CacheTransform(const ManifestPackageEntry* entry, LPCWSTR transformPath, BOOL perMachine,
                       WideString* cachedTransformPath);
// Deletes the package's and its transform's cached copies of the entry's
// version, in whichever cache folder they lie; missing ones are no failure.
void DeleteCachedCopies(const ManifestPackageEntry* entry);
// `folder` is cut and restored in place while its tree is created.
HRESULT ExtractPackages(LPWSTR folder);
HRESULT ExtractFirstPackage(LPCWSTR filePath);
