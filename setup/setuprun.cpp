// The setup run: each package of the manifest, in manifest order, is compared
// with what is installed, written out, optionally cached, and handed to the
// installer. A failure removes again what this run freshly installed and
// deletes the files it wrote that no installed product uses. A restart the
// installer has started stops the run; a restart that is only required is
// reported at the end, after every package.
#include "setuprun.h"

#include "cache.h"
#include "elevation.h"
#include "fileutil.h"
#include "installer.h"
#include "manifest.h"
#include "memutil.h"
#include "messages.h"
#include "result.h"
#include "resrutil.h"
#include "strutil.h"

namespace {

constexpr HRESULT RESULT_RESTART_REQUIRED = static_cast<HRESULT>(0x80070BC2);      // 3010
constexpr HRESULT RESULT_RESTART_REQUIRED_ALT = static_cast<HRESULT>(0x80070BC3);  // 3011
constexpr HRESULT RESULT_RESTART_STARTED = static_cast<HRESULT>(0x80070669);       // 1641
constexpr HRESULT RESULT_PRODUCT_VERSION = static_cast<HRESULT>(0x80070666);       // 1638

constexpr UINT INSTALLER_UNKNOWN_PRODUCT = 1605;
constexpr UINT INSTALLER_UNKNOWN_PROPERTY = 1608;

constexpr WCHAR TRANSFORM_TEXT[] = L" TRANSFORMS=@";

// One record per package that the run prepared, in the order prepared.
struct PackageRunState {
    WCHAR productCode[PRODUCT_CODE_CHARS];
    WCHAR stagedPath[MAX_PATH];
    WCHAR cachedPath[MAX_PATH];
    // 1 while the cached copies (package and transform) are this run's to delete
    // again: they are no longer once an upgrade or patch from them succeeded,
    // and never were for a same-version run, whose copy the installed product
    // was installed from.
    DWORD isCached;
    // 1 when this run installed the product fresh (it was unknown before) and
    // the installer succeeded or asked for a restart: only such a product is
    // removed again after a failure.
    DWORD isInstalled;
    // The run's transform, copied beside an uncached staged package so that
    // "TRANSFORMS=@name" finds it where the installer looks; empty otherwise.
    WCHAR stagedTransformPath[MAX_PATH];
    WCHAR cachedTransformPath[MAX_PATH];
    const ManifestPackageEntry* entry;
};

struct SetupRun {
    LPCWSTR propertyText;      // never null: the empty text stands for none
    LPCWSTR logPath;           // null when the command line gave none
    DWORD uiLevel;
    InstallAction requestedAction;
    const PackageManifest* manifest;
    PackageRunState* records;  // one per package entry
    DWORD preparedCount;       // records in use; never above the package count
    WideString transformPath;  // the temporary transform file, until cached
    HRESULT restartRequired;   // the first 3010 or 3011 of the run, else S_OK
    // Asked once for the whole run.
    BOOL windows64Bit;         // packages for the other kind are skipped
    BOOL elevated;             // the all-users cache and protected staging folders
};

// 3010 and 3011: the package is installed and the machine needs a restart
// later. Nothing is restarting now, so the run goes on.
BOOL IsRestartRequired(HRESULT hr)
{
    return hr == RESULT_RESTART_REQUIRED || hr == RESULT_RESTART_REQUIRED_ALT;
}

void Release(HANDLE* held)
{
    if (INVALID_HANDLE_VALUE != *held) {
        ::CloseHandle(*held);
        *held = INVALID_HANDLE_VALUE;
    }
}

// A path cut to fit its field would name some other file, so a path that does
// not fit is not recorded at all and the file it names (held or not) is
// removed at once.
HRESULT RecordPath(WCHAR (&field)[MAX_PATH], LPCWSTR path, HANDLE* held = nullptr)
{
    HRESULT hr = S_OK;

    hr = BoundedCopy(field, MAX_PATH, path);
    if (FAILED(hr)) {
        field[0] = L'\0';
        if (held) {
            Release(held);
        }
        ::DeleteFileW(path);
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }

Exit:
    return hr;
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
HRESULT ChooseByInstalledVersion(const ManifestPackageEntry* entry, LPCWSTR productCode,
                                 InstallAction* action)
{
    HRESULT hr = S_OK;
    WCHAR versionText[INSTALLER_VERSION_CHARS] = {};
    DWORD versionChars = INSTALLER_VERSION_CHARS;
    DWORD installedHigh = 0;
    DWORD installedLow = 0;

    const UINT queried = InstallerQueryVersion(productCode, versionText, &versionChars);
    if (queried == INSTALLER_UNKNOWN_PRODUCT || queried == INSTALLER_UNKNOWN_PROPERTY) {
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

// Decides what the installer is to do with package entry `index`. The next free
// record receives the product code; it becomes the package's record only if the
// package is handled.
HRESULT ChooseInstallAction(SetupRun* run, DWORD index, InstallAction* action)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    PackageRunState* record = nullptr;

    *action = InstallAction::Skip;
    // A package for the other kind of Windows is skipped like an older one, also
    // by /uninstall: its product cannot have been installed here by this bundle.
    if (!PackageFitsWindows(entry, run->windows64Bit)) {
        goto Exit;
    }
    // Each entry takes at most one record, so this only guards the table's end.
    if (run->preparedCount >= run->manifest->packageCount) {
        EXIT_WITH(E_UNEXPECTED);
    }
    record = &run->records[run->preparedCount];
    EXIT_IF_FAILED(FormatProductCode(entry, record->productCode));

    if (entry->flags & PKG_PATCH) {
        *action = InstallAction::ApplyPatch;
    } else if (run->requestedAction == InstallAction::Uninstall) {
        *action = InstallAction::Uninstall;
    } else {
        EXIT_IF_FAILED(ChooseByInstalledVersion(entry, record->productCode, action));
    }

    if (*action == InstallAction::MinorUpgrade && !(entry->flags & PKG_ALLOW_UPGRADE)) {
        ShowSystemErrorMessageUnlessUnattended(RESULT_PRODUCT_VERSION, run->uiLevel);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}

// An uncached package is installed from its staged folder, and the installer
// looks for an "@" transform beside the package: the package gets its own copy
// of the run's transform there, recorded before it is written so that a failed
// run deletes it as well, and held for the installer call.
HRESULT PlaceTransformBesidePackage(LPCWSTR transformPath, PackageRunState* record, HANDLE* held)
{
    HRESULT hr = S_OK;
    WideString besidePath = nullptr;
    const LPCWSTR stagedName = FileutilNamePart(record->stagedPath);

    EXIT_IF_FAILED(StrutilCopy(&besidePath, record->stagedPath,
                               static_cast<DWORD>(stagedName - record->stagedPath)));
    EXIT_IF_FAILED(StrutilAppend(&besidePath, FileutilNamePart(transformPath), 0));
    EXIT_IF_FAILED(RecordPath(record->stagedTransformPath, besidePath));
    EXIT_IF_FAILED(FileutilCopyNew(transformPath, besidePath));
    EXIT_IF_FAILED(FileutilHold(besidePath, held));

Exit:
    StrutilFree(besidePath);
    return hr;
}

// Adds " TRANSFORMS=@name" for a package that asks for the run's transform. A
// cached package takes the transform into its cache folder with it, and later
// packages of the run get none. The transform the installer will read is held.
HRESULT ApplyTransform(SetupRun* run, PackageRunState* record, BOOL cached, BOOL perMachine,
                       WideString* propertyText, HANDLE* held)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = record->entry;
    WideString cachedTransformPath = nullptr;
    LPCWSTR transformName = nullptr;

    if (run->transformPath == nullptr || !(entry->flags & PKG_APPLY_TRANSFORM)) {
        goto Exit;
    }
    if (cached) {
        EXIT_IF_FAILED(CacheTransform(entry, run->transformPath, perMachine, &cachedTransformPath, held));
        StrutilFree(run->transformPath);
        run->transformPath = nullptr;
        EXIT_IF_FAILED(RecordPath(record->cachedTransformPath, cachedTransformPath, held));
        transformName = FileutilNamePart(record->cachedTransformPath);
    } else {
        EXIT_IF_FAILED(PlaceTransformBesidePackage(run->transformPath, record, held));
        transformName = FileutilNamePart(record->stagedTransformPath);
    }
    EXIT_IF_FAILED(StrutilAppend(propertyText, TRANSFORM_TEXT, 0));
    EXIT_IF_FAILED(StrutilAppend(propertyText, transformName, 0));

Exit:
    StrutilFree(cachedTransformPath);
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

void DeleteRecordedFile(WCHAR (&path)[MAX_PATH])
{
    if (path[0] != L'\0') {
        ::DeleteFileW(path);
        path[0] = L'\0';
    }
}

// The cached copies go only while no installed product uses them.
void DeleteOwnedCacheFiles(PackageRunState* record)
{
    if (record->isCached) {
        DeleteRecordedFile(record->cachedPath);
        DeleteRecordedFile(record->cachedTransformPath);
        record->isCached = 0;
    }
}

// After an installer call that did not fail (success, a tolerated failure, or
// a restart that is required later): what the run keeps of the package.
void SettlePackage(PackageRunState* record, InstallAction action, HRESULT installed)
{
    if (installed == INSTALLER_FAILURE_TOLERATED) {
        DeleteOwnedCacheFiles(record);
    } else if (action == InstallAction::Install) {
        record->isInstalled = 1;
    } else if (action == InstallAction::Uninstall) {
        if (record->entry->flags & PKG_CACHE) {
            DeleteCachedCopies(record->entry);   // the product they were kept for is gone
        }
    } else {
        record->isCached = 0;   // the upgraded or patched product now uses it
    }
}

// Stages, caches and installs one package whose action is not Skip. Returns
// S_OK, 1 for a tolerated failure, or the installer's failure or restart result.
// A removal never caches: it would leave a copy of a product that is gone.
// From the moment the package and its transform are in place until the
// installer returns, both are held open so that nobody can change them.
HRESULT HandlePackage(SetupRun* run, DWORD index, InstallAction action)
{
    HRESULT hr = S_OK;
    PackageRunState* record = &run->records[run->preparedCount];
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    const BOOL cached = (entry->flags & PKG_CACHE) && action != InstallAction::Uninstall;
    WideString propertyText = nullptr;
    WideString stagedPath = nullptr;
    WideString cachedPath = nullptr;
    LPCWSTR packagePath = nullptr;
    BOOL deleteStagedAfterCall = FALSE;
    BOOL perMachine = FALSE;
    HANDLE packageHeld = INVALID_HANDLE_VALUE;
    HANDLE transformHeld = INVALID_HANDLE_VALUE;

    ++run->preparedCount;
    record->entry = entry;
    record->isCached = cached && action != InstallAction::SameVersion;

    EXIT_IF_FAILED(StrutilCopy(&propertyText, run->propertyText, 0));
    if (cached) {
        EXIT_IF_FAILED(ChooseCacheFolder(entry, run->elevated, &perMachine));
    }
    EXIT_IF_FAILED(StagePackage(entry, run->elevated, &stagedPath, cached ? nullptr : &packageHeld));
    EXIT_IF_FAILED(RecordPath(record->stagedPath, stagedPath, &packageHeld));
    deleteStagedAfterCall = TRUE;
    packagePath = record->stagedPath;

    EXIT_IF_FAILED(ApplyTransform(run, record, cached, perMachine, &propertyText, &transformHeld));

    if (cached) {
        EXIT_IF_FAILED(CachePackage(entry, stagedPath, perMachine, &cachedPath, &packageHeld));
        deleteStagedAfterCall = FALSE;  // moved into the cache
        EXIT_IF_FAILED(RecordPath(record->cachedPath, cachedPath, &packageHeld));
        packagePath = record->cachedPath;
    }

    hr = InvokeInstaller(entry->fileName, packagePath, propertyText, run->logPath, action,
                         PackageUiLevel(run, entry->flags), entry->flags & PKG_IGNORE_FAILURE,
                         entry->flags & PKG_PATCH_TARGET_REQUIRED);
    Release(&packageHeld);
    Release(&transformHeld);
    if (FAILED(hr) && !IsRestartRequired(hr)) {
        goto Exit;  // the staged copy stays for the clean-up, or for good after a started restart
    }

    SettlePackage(record, action, hr);
    if (deleteStagedAfterCall) {
        DeleteRecordedFile(record->stagedPath);
        DeleteRecordedFile(record->stagedTransformPath);
    }

Exit:
    Release(&packageHeld);
    Release(&transformHeld);
    StrutilFree(propertyText);
    StrutilFree(stagedPath);
    StrutilFree(cachedPath);
    return hr;
}

// After a failure other than a started restart: undo every prepared package,
// in the order prepared. Only fresh installs are removed; an upgrade, a patch
// or a same-version run leaves the product as the run found or made it.
void UndoPreparedPackages(SetupRun* run)
{
    for (DWORD r = 0; r < run->preparedCount; ++r) {
        PackageRunState* record = &run->records[r];
        if (record->isInstalled) {
            RemoveInstalledProduct(record->entry->fileName, record->productCode, run->logPath,
                                   RemovalUiLevel(run));
        }
        DeleteOwnedCacheFiles(record);
        DeleteRecordedFile(record->stagedPath);
        DeleteRecordedFile(record->stagedTransformPath);
    }
}

// Every package entry in manifest order; the result is that of the last entry
// (0 when skipped or installed, 1 when its failure was tolerated), the first
// restart that a package required (it wins over a tolerated failure: the
// machine still needs it), or the first failure, which stops the walk.
HRESULT RunPackages(SetupRun* run)
{
    HRESULT hr = S_OK;
    InstallAction action = InstallAction::Skip;

    for (DWORD k = 0; k < run->manifest->packageCount; ++k) {
        EXIT_IF_FAILED(ChooseInstallAction(run, k, &action));
        hr = S_OK;
        if (action == InstallAction::Skip) {
            continue;
        }
        hr = HandlePackage(run, k, action);
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

} // namespace

HRESULT RunSetup(LPCWSTR propertyText, LONG language, LPCWSTR logPath, DWORD uiLevel,
                 InstallAction action)
{
    HRESULT hr = S_OK;
    SetupRun run = {};
    run.propertyText = propertyText != nullptr ? propertyText : L"";
    run.logPath = logPath;
    run.uiLevel = uiLevel;
    run.requestedAction = action;

    EXIT_IF_FAILED(LocateManifest(&run.manifest));
    run.windows64Bit = IsWindows64Bit();
    EXIT_IF_FAILED(IsProcessElevated(&run.elevated));
    // Before anything is written: an elevated copy may do the whole run instead.
    if (NeedsElevatedCopy(run.manifest, uiLevel, run.elevated, run.windows64Bit)) {
        hr = RunElevatedCopy();
        goto Exit;
    }

    // One record more than entries, so that a manifest without packages still
    // gets a block and is not taken for a failed allocation.
    run.records = static_cast<PackageRunState*>(MemutilAllocate(
        (run.manifest->packageCount + 1) * static_cast<DWORD>(sizeof(PackageRunState)), TRUE));
    EXIT_IF_NULL_ALLOC(run.records);

    EXIT_IF_FAILED(SelectTransform(run.manifest, language, &run.transformPath));
    if (logPath != nullptr) {
        EXIT_IF_FAILED(FileutilCreateEmptyFile(logPath));
    }
    if (run.manifest->packageCount > 0) {
        EXIT_IF_FAILED(InstallerLoad());
    }
    hr = RunPackages(&run);

Exit:
    if (FAILED(hr) && hr != RESULT_RESTART_STARTED && !IsRestartRequired(hr)) {
        UndoPreparedPackages(&run);
    }
    if (run.transformPath != nullptr) {
        ::DeleteFileW(run.transformPath);
    }
    StrutilFree(run.transformPath);
    if (run.records != nullptr) {
        MemutilRelease(run.records);
    }
    return hr;
}
