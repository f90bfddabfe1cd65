// Where each entry's files are written: a cache or the run's staging folder.
#include "placement.h"

#include "cache.h"
#include "fileutil.h"
#include "resrutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "staging.h"
#include "strutil.h"

namespace {

// A cache of the run, opened once and held; null when the all-users one is
// not the program's own or when there is none and none is to be made.
HRESULT RunCache(RunFolders* folders, BOOL perMachine, BOOL create, const HeldFolder** folder)
{
    HRESULT hr = S_OK;
    HeldFolder* cache = perMachine ? &folders->machineCache : &folders->userCache;

    *folder = nullptr;
    if (INVALID_HANDLE_VALUE == cache->handle) {
        EXIT_IF_FAILED(OpenCacheFolder(perMachine, folders->elevated, create, cache));
    }
    if (INVALID_HANDLE_VALUE != cache->handle) {
        *folder = cache;
    }
    hr = S_OK;

Exit:
    return hr;
}

// An elevated run caches every package in the all-users cache, per-user ones
// too (Users may read it, so it stays a source for the user's repairs), and
// only when it is the program's own: a package it installs is never read from
// the user's profile. Without such a cache the package is staged and not
// cached (null). Any other run caches in the user's, which must be a real
// folder. A package never goes to the other one when writing fails.
HRESULT ChooseCacheFolder(RunFolders* folders, const HeldFolder** folder)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(RunCache(folders, folders->elevated, TRUE, folder));
    if (nullptr == *folder && !folders->elevated) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }

Exit:
    return hr;
}

// The package's and its transform's names in a cache ("{CODE}vVERSION.msi"
// and ".mst", in the package version's folder as directly in the cache, where
// earlier versions of this program kept them: the installed product knows its
// source by that name), or, staged, the package's own and its transform's
// resource name. Cabinets keep theirs.
struct PackageFileNames {
    WCHAR package[CACHE_NAME_CHARS];
    WCHAR transform[CACHE_NAME_CHARS];
};

HRESULT NamePackageFiles(const EntryFiles* files, const ManifestTransformEntry* transform, BOOL cached,
                         PackageFileNames* names)
{
    HRESULT hr = S_OK;

    if (cached) {
        EXIT_IF_FAILED(FormatCacheName(files->entry, L"msi", names->package));
        EXIT_IF_FAILED(FormatCacheName(files->entry, L"mst", names->transform));
    } else {
        EXIT_IF_FAILED(BoundedCopy(names->package, CACHE_NAME_CHARS, files->entry->fileName));
        if (transform) {
            EXIT_IF_FAILED(BoundedFormat(names->transform, CACHE_NAME_CHARS, L"%hs.mst", transform->resourceName));
        }
    }

Exit:
    return hr;
}

// Writes package, transform and cabinets into the record's folder, each held
// from the moment it is complete until the installer returns. In an elevated
// run each is also read back against the bundle's own bytes once it is held,
// so that nothing another program wrote in between is ever installed.
HRESULT WritePackageFiles(const RunFolders* folders, EntryFiles* files, const ManifestTransformEntry* transform,
                          const PackageFileNames* names, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(ResrutilWriteHeldFile(files->folder, files->entry->resourceName, names->package, folders->elevated,
                                    files->packagePath, packageHeld));
    if (transform) {
        EXIT_IF_FAILED(ResrutilWriteHeldFile(files->folder, transform->resourceName, names->transform, folders->elevated,
                                        files->transformPath, transformHeld));
    }
    EXIT_IF_FAILED(WriteCabinets(files->folder, folders->cabinets, files->index, folders->elevated, &files->cabinetHolds));

Exit:
    return hr;
}

// The held copy that is intact, or, when it is missing, a copy put back in its
// place. S_FALSE when the copy there is not intact or cannot be held, or none
// can be put back: what is there stays as it is.
HRESULT HoldOrRestoreCachedFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                                WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    const HRESULT hr = ResrutilHoldOrRestoreFile(folder, resourceName, name, verify, path, held);
    return FAILED(hr) ? S_FALSE : hr;
}

// A package without cabinets that an earlier version of this program cached,
// directly in the cache: held when intact (S_OK, its transform held or put
// back beside it), S_FALSE when there is none, a failure when it is not intact.
HRESULT UseEarlierCopy(const RunFolders* folders, EntryFiles* files, const HeldFolder* cache,
                       const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_OK;
    PackageFileNames names = {};

    EXIT_IF_FAILED(NamePackageFiles(files, transform, TRUE, &names));
    EXIT_IF_FAILED(ResrutilHoldIntactFile(cache, files->entry->resourceName, names.package, files->packagePath,
                                          packageHeld));
    if (S_OK == hr) {
        files->folder = cache;
        if (transform) {
            EXIT_IF_FAILED(HoldOrRestoreCachedFile(cache, transform->resourceName, names.transform, folders->elevated,
                                                   files->transformPath, transformHeld));
        }
    }

Exit:
    return hr;
}

// The package version's folder in the chosen cache, where a package that is
// not there yet is written: S_FALSE when it cannot be had.
HRESULT OpenCachedPackageFolder(EntryFiles* files, const HeldFolder* cache)
{
    HRESULT hr = OpenPackageCacheFolder(cache, files->entry, TRUE, &files->cached);
    if (S_OK == hr) {
        files->folder = &files->cached;
    }
    return hr;
}

// A same-version run of a cached package: the cached copies existed before
// the run when the product was installed from them, and they stay its source.
// They are found in the package version's folder, or, for a package without
// cabinets, where an earlier version of this program kept them; installed
// from when intact, and put back (into the folder) when missing; never
// deleted or replaced. S_FALSE when they cannot be used as they are: the
// package is then staged instead.
HRESULT UseCachedCopies(RunFolders* folders, EntryFiles* files, const HeldFolder* cache,
                        const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_FALSE;
    PackageFileNames names = {};

    if (0 == CountCabinets(folders->cabinets, files->index)) {
        hr = UseEarlierCopy(folders, files, cache, transform, packageHeld, transformHeld);
        if (S_FALSE != hr) {
            hr = FAILED(hr) ? S_FALSE : hr;
            goto Exit;
        }
    }
    EXIT_IF_FAILED(OpenCachedPackageFolder(files, cache));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(NamePackageFiles(files, transform, TRUE, &names));
    EXIT_IF_FAILED(HoldOrRestoreCachedFile(files->folder, files->entry->resourceName, names.package,
                                           folders->elevated, files->packagePath, packageHeld));
    if (S_OK == hr && transform) {
        EXIT_IF_FAILED(HoldOrRestoreCachedFile(files->folder, transform->resourceName, names.transform,
                                               folders->elevated, files->transformPath, transformHeld));
    }
    if (S_OK == hr) {
        EXIT_IF_FAILED(HoldOrRestoreCabinets(files->folder, folders->cabinets, files->index, folders->elevated,
                                             &files->cabinetHolds));
    }

Exit:
    if (S_OK != hr) {
        FileutilRelease(packageHeld);
        FileutilRelease(transformHeld);
        ReleaseCabinetHolds(&files->cabinetHolds);
        DirutilCloseAndRemoveIfEmpty(&files->cached);
        files->packagePath[0] = L'\0';
        files->transformPath[0] = L'\0';
    }
    return hr;
}

// The run's staging folder, made with the first entry that needs it.
HRESULT OpenRunStagingRoot(RunFolders* folders)
{
    HRESULT hr = S_OK;

    if (INVALID_HANDLE_VALUE == folders->stagingRoot.handle) {
        EXIT_IF_FAILED(OpenStagingRoot(folders->elevated, RunLogPassedOver, &folders->stagingRoot));
        RunLogLine("staging folder: %ls", folders->stagingRoot.path);
    }

Exit:
    return hr;
}

// The entry's folder in the run's staging folder.
HRESULT OpenStagingFolder(RunFolders* folders, EntryFiles* files)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(OpenRunStagingRoot(folders));
    EXIT_IF_FAILED(OpenEntryFolder(&folders->stagingRoot, files->index, &files->staging));

Exit:
    return hr;
}

} // namespace

RunFolders PlacementNoFolders(BOOL elevated, const BundleCabinets* cabinets)
{
    return {NoHeldFolder(), NoHeldFolder(), NoHeldFolder(), elevated, cabinets};
}

void PlacementBeginEntry(EntryFiles* files, const ManifestPackageEntry* entry, DWORD index)
{
    files->entry = entry;
    files->index = index;
    files->staging = NoHeldFolder();
    files->cached = NoHeldFolder();
    files->cabinetHolds = NoCabinetHolds();
    files->folder = &files->staging;
}

HRESULT PlacementPlacePackage(RunFolders* folders, EntryFiles* files, BOOL cached, BOOL reuse,
                              const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_OK;
    PackageFileNames names = {};
    const HeldFolder* cache = nullptr;

    if (cached) {
        EXIT_IF_FAILED(ChooseCacheFolder(folders, &cache));
        RunLogCacheFolder(folders->elevated, nullptr != cache);
    }
    if (cached && cache) {
        if (reuse) {
            EXIT_IF_FAILED(UseCachedCopies(folders, files, cache, transform, packageHeld, transformHeld));
        } else {
            EXIT_IF_FAILED(OpenCachedPackageFolder(files, cache));
            if (S_OK == hr) {
                files->ownsFiles = 1;
                EXIT_IF_FAILED(NamePackageFiles(files, transform, TRUE, &names));
                EXIT_IF_FAILED(WritePackageFiles(folders, files, transform, &names, packageHeld, transformHeld));
            }
        }
        if (S_OK == hr) {
            goto Exit;
        }
        RunLogLine("  the cached copies cannot be used as they are: the package is staged instead");
    }
    EXIT_IF_FAILED(OpenStagingFolder(folders, files));
    files->folder = &files->staging;
    files->ownsFiles = 1;
    EXIT_IF_FAILED(NamePackageFiles(files, transform, FALSE, &names));
    EXIT_IF_FAILED(WritePackageFiles(folders, files, transform, &names, packageHeld, transformHeld));

Exit:
    return hr;
}

HRESULT PlacementPlaceProgram(RunFolders* folders, EntryFiles* files, BOOL reuse, HANDLE* held)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = files->entry;
    const HeldFolder* cache = nullptr;

    if (entry->flags & PKG_CACHE) {
        EXIT_IF_FAILED(ChooseCacheFolder(folders, &cache));
        RunLogCacheFolder(folders->elevated, nullptr != cache);
    }
    if (nullptr != cache) {
        EXIT_IF_FAILED(OpenProgramCacheFolder(cache, entry, &files->cached));
    }
    if (nullptr != cache && S_OK == hr) {
        files->folder = &files->cached;
        if (reuse) {
            EXIT_IF_FAILED(HoldOrRestoreCachedFile(files->folder, entry->resourceName, entry->fileName, folders->elevated,
                                                   files->packagePath, held));
        } else {
            files->ownsFiles = 1;
            EXIT_IF_FAILED(ResrutilWriteHeldFile(files->folder, entry->resourceName, entry->fileName, folders->elevated,
                                                 files->packagePath, held));
        }
        if (S_OK == hr) {
            goto Exit;
        }
        RunLogLine("  the cached copy cannot be used as it is: the program is staged instead");
    }
    EXIT_IF_FAILED(OpenStagingFolder(folders, files));
    files->folder = &files->staging;
    files->ownsFiles = 1;
    EXIT_IF_FAILED(ResrutilWriteHeldFile(files->folder, entry->resourceName, entry->fileName, folders->elevated,
                                         files->packagePath, held));

Exit:
    return hr;
}

BOOL PlacementIsStaged(const EntryFiles* files)
{
    return files->folder == &files->staging;
}

void PlacementDeleteOwnedFiles(const RunFolders* folders, EntryFiles* files)
{
    if (files->ownsFiles) {
        DeletePackageFile(files->folder, files->packagePath);
        DeletePackageFile(files->folder, files->transformPath);
        DeleteCabinets(files->folder, folders->cabinets, files->index);
        files->ownsFiles = 0;
        if (files->folder == &files->cached) {
            DirutilCloseAndRemoveIfEmpty(&files->cached);
        }
    }
}

void PlacementDeleteCachedProductCopies(RunFolders* folders, LPCWSTR productCode, const ManifestPackageEntry* keep)
{
    const HeldFolder* folder = nullptr;
    if (SUCCEEDED(RunCache(folders, TRUE, FALSE, &folder)) && folder) {
        DeleteCachedVersions(folder, productCode, keep);
    }
    if (SUCCEEDED(RunCache(folders, FALSE, FALSE, &folder)) && folder) {
        DeleteCachedVersions(folder, productCode, keep);
    }
}


HRESULT PlacementOpenProgramTemp(RunFolders* folders, const EntryFiles* files, HeldFolder* temp)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(OpenRunStagingRoot(folders));
    EXIT_IF_FAILED(OpenProgramTempFolder(&folders->stagingRoot, files->index, temp));

Exit:
    return hr;
}

void PlacementReleaseEntry(EntryFiles* files)
{
    DirutilCloseAndRemoveIfEmpty(&files->staging);
    DirutilCloseAndRemoveIfEmpty(&files->cached);
}

void PlacementRelease(RunFolders* folders)
{
    DirutilCloseAndRemoveIfEmpty(&folders->stagingRoot);
    DirutilClose(&folders->machineCache);
    DirutilClose(&folders->userCache);
}
