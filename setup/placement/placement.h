// Where each entry's files are written for the installer or to be run: a
// package or program that is cached goes into its folder in a cache (the
// all-users one in an elevated run, when it is the program's own, else the
// user's), where an earlier run's intact copies are used again; any other into
// a folder of its own in the run's staging folder. Every file is held from the
// moment it is complete until it has been used.
#pragma once

#include <windows.h>
#include "cabinets.h"
#include "dirutil.h"
#include "manifest.h"

// The folders of one run, opened when first needed and held until it ends.
struct RunFolders {
    HeldFolder machineCache;
    HeldFolder userCache;
    HeldFolder stagingRoot;
    BOOL elevated;                    // the all-users cache, protected and checked files
    const BundleCabinets* cabinets;   // the bundle's, written beside their packages
};

// One entry's files, from their writing until the run lets them go.
struct EntryFiles {
    const ManifestPackageEntry* entry;
    DWORD index;                     // of the entry in the manifest
    WCHAR packagePath[MAX_PATH];     // the file handed to the installer, or the program
    WCHAR transformPath[MAX_PATH];   // its transform beside it; empty when none
    // The entry's own folder in the run's staging folder, held from staging
    // until its files are gone; unused by an entry placed in a cache.
    HeldFolder staging;
    // The entry's own folder in a cache, held while the run uses it: a cached
    // program's, or a package version's (OpenPackageCacheFolder).
    HeldFolder cached;
    // Where package, transform and cabinets, or the program, lie: the staging
    // folder, the entry's own folder in a cache, or a cache itself, where
    // earlier versions of this program kept a package without cabinets.
    const HeldFolder* folder;
    // The package's cabinets beside it, held from their writing until the
    // installer returns.
    CabinetHolds cabinetHolds;
    // 1 while the files are this run's to delete again: staged copies always;
    // cached ones only until an installed product or program uses them.
    DWORD ownsFiles;
};

RunFolders PlacementNoFolders(BOOL elevated, const BundleCabinets* cabinets);
// Makes `files` the entry's, with nothing written yet.
void PlacementBeginEntry(EntryFiles* files, const ManifestPackageEntry* entry, DWORD index);

// Writes the package (and `transform`, when it is to be applied) where the
// installer will read it: into its folder in a cache when `cached`, else into
// its entry folder in the staging folder. `reuse` (a same-version run or a
// repair) installs from the intact cached copies an earlier run left, putting
// back missing ones, and never replaces them; a cache that cannot be used as
// it is leaves the package staged.
HRESULT PlacementPlacePackage(RunFolders* folders, EntryFiles* files, BOOL cached, BOOL reuse,
                              const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld);
// The same for a program: a cached one runs from its folder in the cache (a
// removal or repair from the intact copy there, or from one put back).
HRESULT PlacementPlaceProgram(RunFolders* folders, EntryFiles* files, BOOL reuse, HANDLE* held);

// The temporary folder a program is run with, in the run's staging folder
// whether the program is staged or cached, made and held: removed with all
// in it (FileutilRemoveTree) once the program has ended.
HRESULT PlacementOpenProgramTemp(RunFolders* folders, const EntryFiles* files, HeldFolder* temp);

BOOL PlacementIsStaged(const EntryFiles* files);
// Deletes the entry's files while the run owns them; a package version's
// folder in a cache goes with the last of its files.
void PlacementDeleteOwnedFiles(const RunFolders* folders, EntryFiles* files);
// The cached copies of a product's versions in both caches (an elevated run
// caches per-user packages in the all-users one too), but `keep`'s version;
// the all-users cache only when it is the program's own.
void PlacementDeleteCachedProductCopies(RunFolders* folders, LPCWSTR productCode, const ManifestPackageEntry* keep);
// Lets the entry's folders go, removing them when empty.
void PlacementReleaseEntry(EntryFiles* files);
// Lets the run's folders go: the staging folder is removed when empty.
void PlacementRelease(RunFolders* folders);
