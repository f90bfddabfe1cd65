// The setup run: each entry of the manifest, in manifest order, is compared
// with what is installed and written where it is read (a staging folder of
// its own, or the package cache): a package is handed to the installer, a
// prerequisite program, when its rules say it is not there, is started. A
// failure removes again what this run freshly installed and deletes the files
// it wrote that no installed product uses. A restart the
// installer has started stops the run; a restart that is only required is
// reported at the end, after every package.
#include "setuprun.h"

#include "cabinets.h"
#include "cache.h"
#include "detect.h"
#include "elevation.h"
#include "fileutil.h"
#include "installer.h"
#include "bundlemanifest.h"
#include "memutil.h"
#include "messages.h"
#include "prereqargs.h"
#include "program.h"
#include "registration.h"
#include "result.h"
#include "results.h"
#include "resrutil.h"
#include "runlog.h"
#include "staging.h"
#include "strutil.h"

namespace {

constexpr WCHAR TRANSFORM_TEXT[] = L" TRANSFORMS=@";

// One record per entry that the run prepared, in the order prepared.
struct PackageRunState {
    WCHAR productCode[PRODUCT_CODE_CHARS];
    WCHAR packagePath[MAX_PATH];     // the file handed to the installer, or the program
    WCHAR transformPath[MAX_PATH];   // its transform beside it; empty when none
    // The entry's own folder in the run's staging folder, held from staging
    // until its files are gone; unused by a package installed from a cache.
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
    // 1 while package and transform are this run's to delete again: staged
    // copies always; cached ones only until an installed product uses them.
    DWORD ownsFiles;
    // 1 when the installer knew nothing of the product before the run (1605):
    // an advertised product (1608) is installed, but it was there before.
    DWORD wasUnknown;
    // 1 when this run installed the product fresh (its call succeeded or asked
    // for a restart) and the call removed no other product, as a major upgrade
    // does: only such a product is removed again after a failure. A program:
    // when it ran as one that can be removed again.
    DWORD isInstalled;
    // The installer's answer when the clean-up asked it to remove the product.
    UINT removalResult;
    const ManifestPackageEntry* entry;
    DWORD index;   // of the entry in the manifest
    PrereqParameters program;   // a program's parameters; unused by a package
    // A program that may be removed again stays held from its run until the
    // run ends, so that the clean-up runs the very bytes it checked.
    HANDLE programHeld;
};

struct SetupRun {
    LPCWSTR propertyText;      // never null: the empty text stands for none
    LPCWSTR logPath;           // null when the command line gave none
    DWORD uiLevel;
    InstallAction requestedAction;
    const PackageManifest* manifest;
    BundleCabinets cabinets;
    PackageRunState* records;  // one per package entry
    DWORD preparedCount;       // records in use; never above the package count
    // The transform chosen for the language, written beside each package that
    // applies it; the first cached package takes it, and later ones get none.
    const ManifestTransformEntry* transform;
    HRESULT restartRequired;   // the first 3010 or 3011 of the run, else S_OK
    // The two caches and the staging folder, opened when first needed and held
    // until the run ends.
    HeldFolder machineCache;
    HeldFolder userCache;
    HeldFolder stagingRoot;
    // Asked once for the whole run.
    BOOL windows64Bit;         // packages for the other kind are skipped
    BOOL elevated;             // the all-users cache, protected and checked files
    RegistrationRun registration;   // the bundle's own entry, when it has one
};

// 3010 and 3011: the package is installed and the machine needs a restart
// later. Nothing is restarting now, so the run goes on.
BOOL IsRestartRequired(HRESULT hr)
{
    return hr == RESULT_RESTART_REQUIRED || hr == RESULT_RESTART_REQUIRED_TO_FINISH;
}

InstallAction CompareVersions(DWORD packageHigh, DWORD packageLow, DWORD installedHigh,
                              DWORD installedLow)
{
    if (packageHigh == installedHigh && packageLow == installedLow) {
        return InstallAction::SameVersion;
    }
    const BOOL sameMajor = (packageHigh >> 16) == (installedHigh >> 16);
    if ((sameMajor && packageHigh > installedHigh) ||
        (packageHigh == installedHigh && packageLow > installedLow)) {
        return InstallAction::MinorUpgrade;
    }
    if (packageHigh > installedHigh) {
        return InstallAction::MajorUpgrade;
    }
    return InstallAction::Skip;
}

// The action for a package that is neither a patch nor being removed, from the
// version the installer reports for its product code.
HRESULT ChooseByInstalledVersion(const ManifestPackageEntry* entry, PackageRunState* record, InstallAction* action)
{
    HRESULT hr = S_OK;
    WCHAR versionText[INSTALLER_VERSION_CHARS] = {};
    DWORD versionChars = INSTALLER_VERSION_CHARS;
    DWORD installedHigh = 0;
    DWORD installedLow = 0;

    const UINT queried = InstallerQueryVersion(record->productCode, versionText, &versionChars);
    RunLogLine(L"  installed version: %ls (query result %u)", queried == ERROR_SUCCESS ? versionText : L"none", queried);
    if (queried == INSTALLER_UNKNOWN_PRODUCT || queried == INSTALLER_UNKNOWN_PROPERTY) {
        record->wasUnknown = queried == INSTALLER_UNKNOWN_PRODUCT;
        *action = InstallAction::Install;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(queried);

    EXIT_IF_FAILED(FileutilParseVersion(versionText, &installedHigh, &installedLow));
    hr = S_OK;
    *action = CompareVersions(entry->versionHigh, entry->versionLow, installedHigh, installedLow);

Exit:
    return hr;
}

BOOL IsProgramEntry(const ManifestPackageEntry* entry)
{
    return 0 != (entry->flags & PKG_PROGRAM);
}

// A prerequisite program runs when its rules say it is not there; under
// /uninstall it runs with its uninstall arguments when it is there and has
// them, and a program without them is permanent: other products may use what
// it installed. /repair runs one that is there with its repair arguments, and
// leaves one without them alone.
HRESULT ChooseProgramAction(const SetupRun* run, const ManifestPackageEntry* entry, PrereqParameters* parameters,
                            InstallAction* action)
{
    HRESULT hr = S_OK;
    BOOL present = FALSE;
    const BOOL removal = InstallAction::Uninstall == run->requestedAction;
    const BOOL repair = InstallAction::Repair == run->requestedAction;

    *action = InstallAction::Skip;
    EXIT_IF_FAILED(PrereqLocateParameters(entry->resourceName, parameters));
    if (removal && nullptr == parameters->uninstallArgs.text) {
        RunLogLine(L"  action: keep: a permanent prerequisite (no uninstall arguments)");
        goto Exit;
    }
    if (repair && nullptr == parameters->repairArgs.text) {
        RunLogLine(L"  action: skip: no repair arguments");
        goto Exit;
    }
    EXIT_IF_FAILED(DetectPrerequisite(parameters, &present));
    if (removal || repair) {
        *action = !present ? InstallAction::Skip : removal ? InstallAction::Uninstall : InstallAction::Repair;
        RunLogLine(!present ? L"  action: skip: not present" : removal ? L"  action: remove" : L"  action: repair");
    } else {
        *action = present ? InstallAction::Skip : InstallAction::Install;
        RunLogLine(present ? L"  action: skip: present" : L"  action: run");
    }

Exit:
    return hr;
}

// A repair changes nothing that is absent: only a product installed at the
// package's own version is installed again. A patch is re-applied by its
// product's repair.
HRESULT ChooseRepair(const ManifestPackageEntry* entry, PackageRunState* record, InstallAction* action)
{
    HRESULT hr = S_OK;

    *action = InstallAction::Skip;
    if (entry->flags & PKG_PATCH) {
        RunLogLine(L"  action: skip: a patch is applied again by its product's repair");
        goto Exit;
    }
    EXIT_IF_FAILED(ChooseByInstalledVersion(entry, record, action));
    if (InstallAction::SameVersion == *action) {
        *action = InstallAction::Repair;
        goto Exit;
    }
    RunLogLine(L"  action: skip: a repair changes nothing that is absent, and the product is %ls",
               InstallAction::Install == *action ? L"not installed" : L"installed at another version");
    *action = InstallAction::Skip;

Exit:
    return hr;
}

// Decides what the installer is to do with package entry `index`. The next free
// record receives the product code; it becomes the package's record only if the
// package is handled.
HRESULT ChooseInstallAction(SetupRun* run, DWORD index, InstallAction* action)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    PackageRunState* record = nullptr;

    *action = InstallAction::Skip;
    RunLogPackage(index, entry);
    // A package for the other kind of Windows is skipped like an older one, also
    // by /uninstall: its product cannot have been installed here by this bundle.
    if (!PackageFitsWindows(entry, run->windows64Bit)) {
        RunLogLine(L"  action: skip: for %ls Windows only", run->windows64Bit ? L"32-bit" : L"64-bit");
        goto Exit;
    }
    // Each entry takes at most one record, so this only guards the table's end.
    if (run->preparedCount >= run->manifest->packageCount) {
        EXIT_WITH(E_UNEXPECTED);
    }
    record = &run->records[run->preparedCount];
    EXIT_IF_FAILED(FormatProductCode(entry, record->productCode));

    if (IsProgramEntry(entry)) {
        EXIT_IF_FAILED(ChooseProgramAction(run, entry, &record->program, action));
        goto Exit;
    }
    if ((entry->flags & PKG_PATCH) && run->requestedAction != InstallAction::Repair) {
        *action = InstallAction::ApplyPatch;
    } else if (run->requestedAction == InstallAction::Uninstall) {
        *action = InstallAction::Uninstall;
    } else if (run->requestedAction == InstallAction::Repair) {
        EXIT_IF_FAILED(ChooseRepair(entry, record, action));
        if (InstallAction::Skip == *action) {
            goto Exit;   // logged with its reason
        }
    } else {
        EXIT_IF_FAILED(ChooseByInstalledVersion(entry, record, action));
    }
    RunLogAction(*action);

    if (*action == InstallAction::MinorUpgrade && !(entry->flags & PKG_ALLOW_UPGRADE)) {
        RunLogLine(L"  refused: the package does not allow an in-place upgrade (1638)");
        ShowSystemErrorMessageUnlessUnattended(RESULT_PRODUCT_VERSION, run->uiLevel);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}

// A cache of the run, opened once and held; null when the all-users one is
// not the program's own or when there is none and none is to be made.
HRESULT RunCache(SetupRun* run, BOOL perMachine, BOOL create, const HeldFolder** folder)
{
    HRESULT hr = S_OK;
    HeldFolder* cache = perMachine ? &run->machineCache : &run->userCache;

    *folder = nullptr;
    if (INVALID_HANDLE_VALUE == cache->handle) {
        EXIT_IF_FAILED(OpenCacheFolder(perMachine, create, cache));
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
HRESULT ChooseCacheFolder(SetupRun* run, const HeldFolder** folder)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(RunCache(run, run->elevated, TRUE, folder));
    if (nullptr == *folder && !run->elevated) {
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

HRESULT NamePackageFiles(const PackageRunState* record, const ManifestTransformEntry* transform, BOOL cached,
                         PackageFileNames* names)
{
    HRESULT hr = S_OK;

    if (cached) {
        EXIT_IF_FAILED(FormatCacheName(record->entry, L"msi", names->package));
        EXIT_IF_FAILED(FormatCacheName(record->entry, L"mst", names->transform));
    } else {
        EXIT_IF_FAILED(BoundedCopy(names->package, CACHE_NAME_CHARS, record->entry->fileName));
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
HRESULT WritePackageFiles(const SetupRun* run, PackageRunState* record, const ManifestTransformEntry* transform,
                          const PackageFileNames* names, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(ResrutilWriteHeldFile(record->folder, record->entry->resourceName, names->package, run->elevated,
                                    record->packagePath, packageHeld));
    if (transform) {
        EXIT_IF_FAILED(ResrutilWriteHeldFile(record->folder, transform->resourceName, names->transform, run->elevated,
                                        record->transformPath, transformHeld));
    }
    EXIT_IF_FAILED(WriteCabinets(record->folder, &run->cabinets, record->index, run->elevated, &record->cabinetHolds));

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
HRESULT UseEarlierCopy(const SetupRun* run, PackageRunState* record, const HeldFolder* cache,
                       const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_OK;
    PackageFileNames names = {};

    EXIT_IF_FAILED(NamePackageFiles(record, transform, TRUE, &names));
    EXIT_IF_FAILED(ResrutilHoldIntactFile(cache, record->entry->resourceName, names.package, record->packagePath,
                                          packageHeld));
    if (S_OK == hr) {
        record->folder = cache;
        if (transform) {
            EXIT_IF_FAILED(HoldOrRestoreCachedFile(cache, transform->resourceName, names.transform, run->elevated,
                                                   record->transformPath, transformHeld));
        }
    }

Exit:
    return hr;
}

// The package version's folder in the chosen cache, where a package that is
// not there yet is written: S_FALSE when it cannot be had.
HRESULT OpenCachedPackageFolder(SetupRun* run, PackageRunState* record, const HeldFolder* cache)
{
    HRESULT hr = OpenPackageCacheFolder(cache, record->entry, cache == &run->machineCache, TRUE, &record->cached);
    if (S_OK == hr) {
        record->folder = &record->cached;
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
HRESULT UseCachedCopies(SetupRun* run, PackageRunState* record, const HeldFolder* cache,
                        const ManifestTransformEntry* transform, HANDLE* packageHeld, HANDLE* transformHeld)
{
    HRESULT hr = S_FALSE;
    PackageFileNames names = {};

    if (0 == CountCabinets(&run->cabinets, record->index)) {
        hr = UseEarlierCopy(run, record, cache, transform, packageHeld, transformHeld);
        if (S_FALSE != hr) {
            hr = FAILED(hr) ? S_FALSE : hr;
            goto Exit;
        }
    }
    EXIT_IF_FAILED(OpenCachedPackageFolder(run, record, cache));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(NamePackageFiles(record, transform, TRUE, &names));
    EXIT_IF_FAILED(HoldOrRestoreCachedFile(record->folder, record->entry->resourceName, names.package,
                                           run->elevated, record->packagePath, packageHeld));
    if (S_OK == hr && transform) {
        EXIT_IF_FAILED(HoldOrRestoreCachedFile(record->folder, transform->resourceName, names.transform,
                                               run->elevated, record->transformPath, transformHeld));
    }
    if (S_OK == hr) {
        EXIT_IF_FAILED(HoldOrRestoreCabinets(record->folder, &run->cabinets, record->index, run->elevated,
                                             &record->cabinetHolds));
    }

Exit:
    if (S_OK != hr) {
        FileutilRelease(packageHeld);
        FileutilRelease(transformHeld);
        ReleaseCabinetHolds(&record->cabinetHolds);
        DirutilCloseAndRemoveIfEmpty(&record->cached);
        record->packagePath[0] = L'\0';
        record->transformPath[0] = L'\0';
    }
    return hr;
}

// The entry's folder in the run's staging folder, which is made with the
// first entry that needs it.
HRESULT OpenStagingFolder(SetupRun* run, PackageRunState* record)
{
    HRESULT hr = S_OK;

    if (INVALID_HANDLE_VALUE == run->stagingRoot.handle) {
        EXIT_IF_FAILED(OpenStagingRoot(run->elevated, &run->stagingRoot));
    }
    EXIT_IF_FAILED(OpenEntryFolder(&run->stagingRoot, record->index, &record->staging));

Exit:
    return hr;
}

// Writes the package (and the run's transform, if it applies it) where the
// installer will read it: into the cache for a cached package, else into a
// folder of its own in the run's staging folder.
HRESULT PlacePackage(SetupRun* run, PackageRunState* record, InstallAction action, HANDLE* packageHeld,
                     HANDLE* transformHeld)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = record->entry;
    const ManifestTransformEntry* transform = (entry->flags & PKG_APPLY_TRANSFORM) ? run->transform : nullptr;
    // A removal never caches: it would leave a copy of a product that is gone.
    const BOOL cached = (entry->flags & PKG_CACHE) && run->requestedAction != InstallAction::Uninstall;
    PackageFileNames names = {};
    const HeldFolder* cache = nullptr;

    if (cached) {
        EXIT_IF_FAILED(ChooseCacheFolder(run, &cache));
        RunLogCacheFolder(run->elevated, nullptr != cache);
    }
    if (cached && cache) {
        if (InstallAction::SameVersion == action || InstallAction::Repair == action) {
            EXIT_IF_FAILED(UseCachedCopies(run, record, cache, transform, packageHeld, transformHeld));
        } else {
            EXIT_IF_FAILED(OpenCachedPackageFolder(run, record, cache));
            if (S_OK == hr) {
                record->ownsFiles = 1;
                EXIT_IF_FAILED(NamePackageFiles(record, transform, TRUE, &names));
                EXIT_IF_FAILED(WritePackageFiles(run, record, transform, &names, packageHeld, transformHeld));
            }
        }
        if (S_OK == hr) {
            if (transform) {
                run->transform = nullptr;
            }
            goto Exit;
        }
        RunLogLine(L"  the cached copies cannot be used as they are: the package is staged instead");
    }
    EXIT_IF_FAILED(OpenStagingFolder(run, record));
    record->folder = &record->staging;
    record->ownsFiles = 1;
    EXIT_IF_FAILED(NamePackageFiles(record, transform, FALSE, &names));
    EXIT_IF_FAILED(WritePackageFiles(run, record, transform, &names, packageHeld, transformHeld));

Exit:
    return hr;
}

// Adds " TRANSFORMS=@name": the installer looks for it beside the package.
HRESULT AppendTransformText(const PackageRunState* record, WideString* propertyText)
{
    HRESULT hr = S_OK;

    if (L'\0' != record->transformPath[0]) {
        EXIT_IF_FAILED(StrutilAppend(propertyText, TRANSFORM_TEXT, 0));
        EXIT_IF_FAILED(StrutilAppend(propertyText, FileutilNamePart(record->transformPath), 0));
    }

Exit:
    return hr;
}

// /quiet and /passive hold for every package, whatever its flags: a forced
// basic UI would show the installer's modal error dialogs to nobody.
DWORD PackageUiLevel(const SetupRun* run, DWORD flags)
{
    if (IsUnattendedUiLevel(run->uiLevel) || (flags & PKG_KEEP_UI_LEVEL)) {
        return run->uiLevel;
    }
    return (flags & PKG_IGNORE_FAILURE) ? UI_LEVEL_BASIC_PROGRESS_ONLY : UI_LEVEL_BASIC;
}

// The removal after a failure runs unattended when the run does.
DWORD RemovalUiLevel(const SetupRun* run)
{
    return IsUnattendedUiLevel(run->uiLevel) ? run->uiLevel : UI_LEVEL_BASIC;
}

// A package version's folder in a cache goes with the last of its files.
void DeleteOwnedFiles(const SetupRun* run, PackageRunState* record)
{
    if (record->ownsFiles) {
        DeletePackageFile(record->folder, record->packagePath);
        DeletePackageFile(record->folder, record->transformPath);
        DeleteCabinets(record->folder, &run->cabinets, record->index);
        record->ownsFiles = 0;
        if (record->folder == &record->cached) {
            DirutilCloseAndRemoveIfEmpty(&record->cached);
        }
    }
}

// The cached copies of a product's versions in both caches (an elevated run
// caches per-user packages in the all-users one too), but `keep`'s version;
// the all-users cache only when it is the program's own.
void DeleteCachedProductCopies(SetupRun* run, LPCWSTR productCode, const ManifestPackageEntry* keep)
{
    const HeldFolder* folder = nullptr;
    if (SUCCEEDED(RunCache(run, TRUE, FALSE, &folder)) && folder) {
        DeleteCachedVersions(folder, productCode, keep, TRUE);
    }
    if (SUCCEEDED(RunCache(run, FALSE, FALSE, &folder)) && folder) {
        DeleteCachedVersions(folder, productCode, keep, FALSE);
    }
}

void DeleteCachedEntryCopies(SetupRun* run, const PackageRunState* record, BOOL keepEntryVersion)
{
    if (record->entry->flags & PKG_CACHE) {
        DeleteCachedProductCopies(run, record->productCode, keepEntryVersion ? record->entry : nullptr);
    }
}

// A fresh install that removed other products (a major upgrade with a new
// product code) is not one to undo: its removal would leave neither. Whether
// it did is told by the products known before and after the call; when that
// cannot be told, it is kept. The cached copies of the products it removed
// served them alone: they go, in whichever cache they are.
BOOL SettleFreshInstall(SetupRun* run, ProductList* before, HRESULT listed)
{
    const BOOL told = SUCCEEDED(listed) && SUCCEEDED(InstallerKeepRemoved(before));

    for (DWORD k = 0; told && k < before->count; ++k) {
        RunLogLine(L"  the package removed %ls", before->codes[k]);
        DeleteCachedProductCopies(run, before->codes[k], nullptr);
    }
    return told && 0 == before->count;
}

// After an installer call that did not fail (success, a tolerated failure, or
// a restart that is required later): what the run keeps of the package.
void SettlePackage(SetupRun* run, PackageRunState* record, InstallAction action, HRESULT installed,
                   ProductList* before, HRESULT listed)
{
    if (installed == INSTALLER_FAILURE_TOLERATED) {
        DeleteOwnedFiles(run, record);
        return;
    }
    switch (action) {
    case InstallAction::Install:
        record->isInstalled = record->wasUnknown && SettleFreshInstall(run, before, listed);
        break;
    case InstallAction::Uninstall:
        DeleteCachedEntryCopies(run, record, FALSE);   // the product they were kept for is gone
        break;
    case InstallAction::MinorUpgrade:
    case InstallAction::MajorUpgrade:
        DeleteCachedEntryCopies(run, record, TRUE);    // the versions it replaced
        break;
    default:
        break;
    }
    // Cached copies now belong to the installed product, unless the clean-up
    // may still remove it again.
    if (record->folder != &record->staging && !record->isInstalled) {
        record->ownsFiles = 0;
    }
}

// A fresh install needs the products known before its call: whether it
// removed any tells whether it may be undone, and whose cached copies go.
BOOL IsFreshInstall(const PackageRunState* record, InstallAction action)
{
    return InstallAction::Install == action && record->wasUnknown;
}

// The next record becomes the entry's: from here on the clean-up sees it.
void PrepareRecord(SetupRun* run, PackageRunState* record, DWORD index)
{
    ++run->preparedCount;
    record->entry = ManifestPackage(run->manifest, index);
    record->index = index;
    record->staging = NoHeldFolder();
    record->cached = NoHeldFolder();
    record->programHeld = INVALID_HANDLE_VALUE;
    record->cabinetHolds = NoCabinetHolds();
    record->folder = &record->staging;
}

// Stages or caches and installs one package whose action is not Skip. Returns
// S_OK, 1 for a tolerated failure, or the installer's failure or restart result.
// From the moment the package and its transform are complete until the
// installer returns, both are held open so that nobody can change them.
HRESULT HandlePackage(SetupRun* run, DWORD index, InstallAction action)
{
    HRESULT hr = S_OK;
    PackageRunState* record = &run->records[run->preparedCount];
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    WideString propertyText = nullptr;
    HANDLE packageHeld = INVALID_HANDLE_VALUE;
    HANDLE transformHeld = INVALID_HANDLE_VALUE;
    ProductList before = {};
    HRESULT listed = E_FAIL;   // not listed: whether it removed others is unknown

    PrepareRecord(run, record, index);
    EXIT_IF_FAILED(StrutilCopy(&propertyText, run->propertyText, 0));
    EXIT_IF_FAILED(PlacePackage(run, record, action, &packageHeld, &transformHeld));
    EXIT_IF_FAILED(AppendTransformText(record, &propertyText));
    EXIT_IF_FAILED(RegistrationAppendPackageText(entry, action, &propertyText));
    if (IsFreshInstall(record, action)) {
        listed = InstallerListProducts(&before);
    }

    hr = InvokeInstaller(entry->fileName, record->packagePath, propertyText, run->logPath, action,
                         PackageUiLevel(run, entry->flags), entry->flags & PKG_IGNORE_FAILURE,
                         entry->flags & PKG_PATCH_TARGET_REQUIRED);
    FileutilRelease(&packageHeld);
    FileutilRelease(&transformHeld);
    ReleaseCabinetHolds(&record->cabinetHolds);
    if (FAILED(hr) && !IsRestartRequired(hr)) {
        goto Exit;  // the files stay for the clean-up, or for good after a started restart
    }

    SettlePackage(run, record, action, hr, &before, listed);
    if (record->folder == &record->staging) {
        DeleteOwnedFiles(run, record);
        DirutilCloseAndRemoveIfEmpty(&record->staging);
    }

Exit:
    FileutilRelease(&packageHeld);
    FileutilRelease(&transformHeld);
    ReleaseCabinetHolds(&record->cabinetHolds);
    InstallerReleaseProducts(&before);
    StrutilFree(propertyText);
    return hr;
}

// A program is written into a folder of its own: a cached one into its
// folder in the cache (its removal and repair run from the intact copy there, or from
// one put back), any other into its entry folder in the staging folder.
HRESULT PlaceProgram(SetupRun* run, PackageRunState* record, InstallAction action, HANDLE* held)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = record->entry;
    const HeldFolder* cache = nullptr;

    if (entry->flags & PKG_CACHE) {
        EXIT_IF_FAILED(ChooseCacheFolder(run, &cache));
        RunLogCacheFolder(run->elevated, nullptr != cache);
    }
    if (nullptr != cache) {
        EXIT_IF_FAILED(OpenProgramCacheFolder(cache, entry, &record->cached));
    }
    if (nullptr != cache && S_OK == hr) {
        record->folder = &record->cached;
        if (InstallAction::Uninstall == action || InstallAction::Repair == action) {
            EXIT_IF_FAILED(HoldOrRestoreCachedFile(record->folder, entry->resourceName, entry->fileName, run->elevated,
                                                   record->packagePath, held));
        } else {
            record->ownsFiles = 1;
            EXIT_IF_FAILED(ResrutilWriteHeldFile(record->folder, entry->resourceName, entry->fileName, run->elevated,
                                                 record->packagePath, held));
        }
        if (S_OK == hr) {
            goto Exit;
        }
        RunLogLine(L"  the cached copy cannot be used as it is: the program is staged instead");
    }
    EXIT_IF_FAILED(OpenStagingFolder(run, record));
    record->folder = &record->staging;
    record->ownsFiles = 1;
    EXIT_IF_FAILED(ResrutilWriteHeldFile(record->folder, entry->resourceName, entry->fileName, run->elevated,
                                         record->packagePath, held));

Exit:
    return hr;
}

// Its uninstall arguments for a removal, its repair arguments for a repair;
// in a run with the full interface the arguments for it when the vendor gave
// them, else its arguments.
TextSpan ProgramArguments(const SetupRun* run, const PackageRunState* record, InstallAction action)
{
    const PrereqParameters* parameters = &record->program;
    if (InstallAction::Uninstall == action || InstallAction::Repair == action) {
        return InstallAction::Uninstall == action ? parameters->uninstallArgs : parameters->repairArgs;
    }
    return UI_LEVEL_FULL == run->uiLevel && nullptr != parameters->uiArgs.text ? parameters->uiArgs
                                                                               : parameters->args;
}

// After a run of the program that did not fail. One that can be removed again
// stays held until the run ends, for the clean-up; a cached one stays in the
// cache for good, unless the clean-up removes it again.
void SettleProgram(const SetupRun* run, PackageRunState* record, InstallAction action, HRESULT ran, HANDLE* held)
{
    const BOOL installed = ran != INSTALLER_FAILURE_TOLERATED && InstallAction::Install == action;

    record->isInstalled = installed && nullptr != record->program.uninstallArgs.text;
    if (record->isInstalled) {
        record->programHeld = *held;
        *held = INVALID_HANDLE_VALUE;
    }
    FileutilRelease(held);
    if (InstallAction::Uninstall == action) {
        record->ownsFiles = 1;   // what the copy was kept for is gone
    } else if (installed && record->folder == &record->cached) {
        record->ownsFiles = record->isInstalled;
    }
    if (!record->isInstalled) {
        DeleteOwnedFiles(run, record);
        DirutilCloseAndRemoveIfEmpty(&record->staging);
        DirutilCloseAndRemoveIfEmpty(&record->cached);
    }
}

// Writes and runs one prerequisite program whose action is not Skip. Returns
// S_OK, 1 for a tolerated failure, or the program's failure or restart
// result. The program is held from the moment it is complete until it ends.
HRESULT HandleProgram(SetupRun* run, DWORD index, InstallAction action)
{
    HRESULT hr = S_OK;
    PackageRunState* record = &run->records[run->preparedCount];
    HANDLE held = INVALID_HANDLE_VALUE;

    PrepareRecord(run, record, index);
    EXIT_IF_FAILED(PlaceProgram(run, record, action, &held));
    hr = RunPrerequisite(record->packagePath, ProgramArguments(run, record, action), &record->program, run->uiLevel,
                         record->entry->flags & PKG_IGNORE_FAILURE);
    if (FAILED(hr) && !IsRestartRequired(hr)) {
        goto Exit;  // the files stay for the clean-up
    }
    SettleProgram(run, record, action, hr, &held);

Exit:
    FileutilRelease(&held);
    return hr;
}

// The clean-up's removal of a program this run installed: run from the copy
// held for it, with its uninstall arguments. Whether it worked decides
// whether its cached copy goes too.
void RemoveProgramAgain(const SetupRun* run, PackageRunState* record)
{
    DWORD exitCode = 0;
    const PrereqParameters* parameters = &record->program;

    RunLogLine(L"removing %ls", record->entry->fileName);
    HRESULT hr = RunProgram(record->packagePath, parameters->uninstallArgs, parameters, RemovalUiLevel(run), &exitCode);
    FileutilRelease(&record->programHeld);
    if (SUCCEEDED(hr)) {
        hr = ProgramExitResult(parameters, exitCode, FALSE);
        RunLogLine(L"  removal exit code %lu, taken as %d", exitCode, ExitCodeFromResult(hr));
    }
    record->ownsFiles = SUCCEEDED(hr) || IsRestartRunResult(hr) || record->folder == &record->staging;
}

// After a failure other than a started restart: undo every prepared package,
// the last installed first, since a later package may build on an earlier
// one. Only fresh installs are removed; an upgrade, a patch or a same-version
// run leaves the product as the run found or made it. A product that stays
// (its removal failed) keeps its cached copies.
void UndoPreparedPackages(SetupRun* run)
{
    RunLogLine(L"clean-up after the failure");
    for (DWORD r = run->preparedCount; r-- > 0;) {
        PackageRunState* record = &run->records[r];
        if (record->isInstalled && IsProgramEntry(record->entry)) {
            RemoveProgramAgain(run, record);
        } else if (record->isInstalled) {
            record->removalResult = RemoveInstalledProduct(record->entry->fileName, record->productCode,
                                                           run->logPath, RemovalUiLevel(run));
            if (!IsProductRemoved(record->removalResult)) {
                record->ownsFiles = record->folder == &record->staging;
            }
        }
        DeleteOwnedFiles(run, record);
        DirutilCloseAndRemoveIfEmpty(&record->staging);
        DirutilCloseAndRemoveIfEmpty(&record->cached);
    }
}

// Whatever the run still holds when it ends: the staging folders of a run
// that stopped at a started restart keep their packages, and the caches. A
// staged program is not needed after the run; a cached one stays.
void ReleaseRunFolders(SetupRun* run)
{
    for (DWORD r = 0; r < run->preparedCount; ++r) {
        PackageRunState* record = &run->records[r];
        FileutilRelease(&record->programHeld);
        if (IsProgramEntry(record->entry) && record->folder == &record->staging) {
            DeleteOwnedFiles(run, record);
        }
        DirutilCloseAndRemoveIfEmpty(&record->staging);
        DirutilCloseAndRemoveIfEmpty(&record->cached);
    }
    DirutilCloseAndRemoveIfEmpty(&run->stagingRoot);
    DirutilClose(&run->machineCache);
    DirutilClose(&run->userCache);
}

// A removal goes the last entry first where later entries build on earlier
// ones: packages after a runtime's setup program, and a registered bundle's
// products, which its entry removes as one. Any other bundle's removal keeps
// manifest order, as it always has.
BOOL RemovesLastFirst(const SetupRun* run)
{
    if (InstallAction::Uninstall != run->requestedAction) {
        return FALSE;
    }
    BOOL hasProgram = FALSE;
    for (DWORD k = 0; k < run->manifest->packageCount && !hasProgram; ++k) {
        hasProgram = IsProgramEntry(ManifestPackage(run->manifest, k));
    }
    return hasProgram || nullptr != run->registration.record;
}

// Every package entry in manifest order, or the last first for some removals
// (RemovesLastFirst); the result is that of the last entry handled (0 when skipped or installed, 1 when its failure was
// tolerated), the first restart that a package required (it wins over a
// tolerated failure: the machine still needs it), or the first failure, which
// stops the walk.
HRESULT RunPackages(SetupRun* run)
{
    HRESULT hr = S_OK;
    InstallAction action = InstallAction::Skip;
    const DWORD count = run->manifest->packageCount;
    const BOOL lastFirst = RemovesLastFirst(run);

    for (DWORD i = 0; i < count; ++i) {
        const DWORD k = lastFirst ? count - 1 - i : i;
        EXIT_IF_FAILED(ChooseInstallAction(run, k, &action));
        hr = S_OK;
        if (action == InstallAction::Skip) {
            continue;
        }
        hr = IsProgramEntry(ManifestPackage(run->manifest, k)) ? HandleProgram(run, k, action)
                                                                : HandlePackage(run, k, action);
        if (IsRestartRequired(hr)) {
            if (SUCCEEDED(run->restartRequired)) {
                run->restartRequired = hr;
            }
            hr = S_OK;
        }
        EXIT_IF_FAILED(hr);
    }
    if (FAILED(run->restartRequired)) {
        hr = run->restartRequired;
    }

Exit:
    return hr;
}

// A package for all users always asks for elevation, and so does a bundle
// whose own entry is in HKLM; a program for all users only when it is to run
// (its rules are evaluated for that, and again before it would run).
BOOL HasPerMachineWork(const SetupRun* run)
{
    if (HasPerMachinePackage(run->manifest, run->windows64Bit) ||
        RegistrationNeedsMachineEntry(run->manifest, run->windows64Bit)) {
        return TRUE;
    }
    for (DWORD k = 0; k < run->manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(run->manifest, k);
        PrereqParameters parameters = {};
        InstallAction action = InstallAction::Skip;
        if ((entry->flags & (PKG_PROGRAM | PKG_PER_MACHINE)) == (PKG_PROGRAM | PKG_PER_MACHINE) &&
            PackageFitsWindows(entry, run->windows64Bit)) {
            RunLogPackage(k, entry);
            // Parameters that cannot be read fail the run later: no prompt first.
            if (SUCCEEDED(ChooseProgramAction(run, entry, &parameters, &action)) && InstallAction::Skip != action) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

} // namespace

HRESULT RunSetup(LPCWSTR propertyText, LONG language, LPCWSTR logPath, DWORD uiLevel, InstallAction action,
                 LPCWSTR elevatedCopyOf)
{
    HRESULT hr = S_OK;
    SetupRun run = {};
    run.propertyText = propertyText != nullptr ? propertyText : L"";
    run.logPath = logPath;
    run.uiLevel = uiLevel;
    run.requestedAction = action;
    run.machineCache = NoHeldFolder();
    run.userCache = NoHeldFolder();
    run.stagingRoot = NoHeldFolder();

    run.windows64Bit = IsWindows64Bit();
    EXIT_IF_FAILED(IsProcessElevated(&run.elevated));
    RunLogMachine(run.windows64Bit, run.elevated, nullptr != elevatedCopyOf);
    if (nullptr != elevatedCopyOf) {
        EXIT_IF_FAILED(IsStartedFromFile(elevatedCopyOf));
    }
    EXIT_IF_FAILED(LocateManifest(&run.manifest));
    EXIT_IF_FAILED(LocateCabinets(run.manifest, &run.cabinets.list, &run.cabinets.count));
    // Before anything is written: an elevated copy may do the whole run instead.
    // The copy itself never starts another one.
    if (nullptr == elevatedCopyOf && MayAskForElevation(uiLevel, run.elevated) && HasPerMachineWork(&run)) {
        RunLogLine(L"an entry for all users has work to do: the run is handed to an elevated copy");
        hr = RunElevatedCopy(uiLevel);
        RunLogLine(L"the elevated copy ended with %d", ExitCodeFromResult(hr));
        goto Exit;
    }

    // One record more than entries, so that a manifest without packages still
    // gets a block and is not taken for a failed allocation.
    run.records = static_cast<PackageRunState*>(MemutilAllocate(
        (run.manifest->packageCount + 1) * static_cast<DWORD>(sizeof(PackageRunState)), TRUE));
    EXIT_IF_NULL_ALLOC(run.records);

    run.transform = SelectTransform(run.manifest, language);
    hr = RunLogStartFile(logPath, run.elevated);
    if (RESULT_LOG_FOLDER_UNTRUSTED == hr) {
        ShowLogRefusedUnlessUnattended(logPath, uiLevel);
    }
    EXIT_IF_FAILED(hr);
    EXIT_IF_FAILED(RegistrationBegin(run.manifest, run.windows64Bit, run.elevated, uiLevel, &run.machineCache,
                                     &run.userCache, &run.registration));
    if (run.manifest->packageCount > 0) {
        EXIT_IF_FAILED(InstallerLoad());
    }
    hr = RunPackages(&run);
    // The entry is the chain's last step: when it cannot be written, what the
    // run installed fresh is removed again, as after a package's failure.
    if (SUCCEEDED(hr) || IsRestartRequired(hr)) {
        hr = RegistrationFinish(&run.registration, run.manifest, run.windows64Bit, action, logPath, uiLevel, hr);
    }

Exit:
    if (FAILED(hr) && hr != RESULT_RESTART_STARTED && !IsRestartRequired(hr)) {
        UndoPreparedPackages(&run);
    }
    if (run.records != nullptr) {
        ReleaseRunFolders(&run);
        MemutilRelease(run.records);
    }
    RegistrationRelease(&run.registration);
    return hr;
}
