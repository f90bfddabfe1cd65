// The setup run: each package of the manifest, in manifest order, is compared
// with what is installed, written out, optionally cached, and handed to the
// installer. A failure removes again what this run installed and deletes the
// files it wrote; a restart result simply stops the run.
#include "setuprun.h"

#include "cache.h"
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
    DWORD isCached;
    DWORD isInstalled;
    // The run's transform, copied beside an uncached staged package so that
    // "TRANSFORMS=@name" finds it where the installer looks; empty otherwise.
    WCHAR stagedTransformPath[MAX_PATH];
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
    WideString cachedTransformPath;
};

BOOL IsRestartResult(HRESULT hr)
{
    return hr == RESULT_RESTART_REQUIRED || hr == RESULT_RESTART_REQUIRED_ALT ||
           hr == RESULT_RESTART_STARTED;
}

// A path cut to fit its field would name some other file, so a path that does
// not fit is not recorded at all and the file it names is removed at once.
HRESULT RecordPath(WCHAR (&field)[MAX_PATH], LPCWSTR path)
{
    HRESULT hr = S_OK;

    hr = BoundedCopy(field, MAX_PATH, path);
    if (FAILED(hr)) {
        field[0] = L'\0';
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
        ShowSystemErrorMessage(RESULT_PRODUCT_VERSION);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}

// An uncached package is installed from its staged folder, and the installer
// looks for an "@" transform beside the package: the package gets its own copy
// of the run's transform there, recorded before it is written so that a failed
// run deletes it as well.
HRESULT PlaceTransformBesidePackage(LPCWSTR transformPath, PackageRunState* record)
{
    HRESULT hr = S_OK;
    WideString besidePath = nullptr;
    const LPCWSTR stagedName = FileutilNamePart(record->stagedPath);

    EXIT_IF_FAILED(StrutilCopy(&besidePath, record->stagedPath,
                               static_cast<DWORD>(stagedName - record->stagedPath)));
    EXIT_IF_FAILED(StrutilAppend(&besidePath, FileutilNamePart(transformPath), 0));
    EXIT_IF_FAILED(RecordPath(record->stagedTransformPath, besidePath));
    EXIT_LAST_ERROR_IF(!::CopyFileW(transformPath, besidePath, FALSE));

Exit:
    StrutilFree(besidePath);
    return hr;
}

// Adds " TRANSFORMS=@name" for a package that asks for the run's transform. A
// cached package takes the transform into the cache with it, and later packages
// of the run get none.
HRESULT ApplyTransform(SetupRun* run, const ManifestPackageEntry* entry, PackageRunState* record,
                       WideString* propertyText)
{
    HRESULT hr = S_OK;
    LPCWSTR transformName = nullptr;

    if (run->transformPath == nullptr || !(entry->flags & PKG_APPLY_TRANSFORM)) {
        goto Exit;
    }
    if (entry->flags & PKG_CACHE) {
        EXIT_IF_FAILED(CacheTransform(entry, run->transformPath, entry->flags & PKG_PER_MACHINE,
                                      &run->cachedTransformPath));
        StrutilFree(run->transformPath);
        run->transformPath = nullptr;
        transformName = FileutilNamePart(run->cachedTransformPath);
    } else {
        EXIT_IF_FAILED(PlaceTransformBesidePackage(run->transformPath, record));
        transformName = FileutilNamePart(record->stagedTransformPath);
    }
    EXIT_IF_FAILED(StrutilAppend(propertyText, TRANSFORM_TEXT, 0));
    EXIT_IF_FAILED(StrutilAppend(propertyText, transformName, 0));

Exit:
    return hr;
}

DWORD PackageUiLevel(const SetupRun* run, DWORD flags)
{
    if (flags & PKG_KEEP_UI_LEVEL) {
        return run->uiLevel;
    }
    return (flags & PKG_IGNORE_FAILURE) ? UI_LEVEL_BASIC_PROGRESS_ONLY : UI_LEVEL_BASIC;
}

// Stages, caches and installs one package whose action is not Skip. Returns
// S_OK, 1 for a tolerated failure, or the installer's failure or restart result.
HRESULT HandlePackage(SetupRun* run, DWORD index, InstallAction action)
{
    HRESULT hr = S_OK;
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    PackageRunState* record = &run->records[run->preparedCount];
    WideString propertyText = nullptr;
    WideString stagedPath = nullptr;
    WideString cachedPath = nullptr;
    LPCWSTR packagePath = nullptr;
    BOOL deleteStagedAfterCall = FALSE;

    ++run->preparedCount;

    EXIT_IF_FAILED(StrutilCopy(&propertyText, run->propertyText, 0));
    EXIT_IF_FAILED(StagePackage(entry, &stagedPath));
    EXIT_IF_FAILED(RecordPath(record->stagedPath, stagedPath));
    deleteStagedAfterCall = TRUE;
    packagePath = record->stagedPath;

    EXIT_IF_FAILED(ApplyTransform(run, entry, record, &propertyText));

    if (entry->flags & PKG_CACHE) {
        EXIT_IF_FAILED(CachePackage(entry, stagedPath, entry->flags & PKG_PER_MACHINE, &cachedPath));
        deleteStagedAfterCall = FALSE;  // moved into the cache
        EXIT_IF_FAILED(RecordPath(record->cachedPath, cachedPath));
        record->isCached = 1;
        packagePath = record->cachedPath;
    }

    hr = InvokeInstaller(entry->fileName, packagePath, propertyText, run->logPath, action,
                         PackageUiLevel(run, entry->flags), entry->flags & PKG_IGNORE_FAILURE,
                         entry->flags & PKG_PATCH_TARGET_REQUIRED);
    if (FAILED(hr)) {
        goto Exit;  // the staged copy stays for the clean-up, or for good after a restart
    }

    if (hr == INSTALLER_FAILURE_TOLERATED && record->isCached) {
        ::DeleteFileW(record->cachedPath);
        record->cachedPath[0] = L'\0';
        record->isCached = 0;
    } else if (hr == S_OK) {
        record->isInstalled = 1;
    }
    if (deleteStagedAfterCall) {
        ::DeleteFileW(record->stagedPath);
        if (record->stagedTransformPath[0] != L'\0') {
            ::DeleteFileW(record->stagedTransformPath);
        }
    }

Exit:
    StrutilFree(propertyText);
    StrutilFree(stagedPath);
    StrutilFree(cachedPath);
    return hr;
}

// Asks the installer to remove a product this run installed; the outcome is
// not examined.
void RequestRemoval(const SetupRun* run, const PackageRunState* record)
{
    InstallerSetUiLevel(UI_LEVEL_BASIC);
    if (run->logPath != nullptr) {
        InstallerEnableLog(INSTALLER_LOG_MODE, run->logPath, INSTALLER_LOG_APPEND);
    }
    InstallerRemoveProduct(record->productCode, INSTALLER_REMOVE_ALL);
}

void DeleteRecordedFile(const WCHAR (&path)[MAX_PATH])
{
    if (path[0] != L'\0') {
        ::DeleteFileW(path);
    }
}

// After a failure other than a restart result: undo every prepared package,
// in the order prepared.
void UndoPreparedPackages(const SetupRun* run)
{
    for (DWORD r = 0; r < run->preparedCount; ++r) {
        const PackageRunState* record = &run->records[r];
        if (record->isInstalled) {
            RequestRemoval(run, record);
        }
        DeleteRecordedFile(record->cachedPath);
        DeleteRecordedFile(record->stagedPath);
        DeleteRecordedFile(record->stagedTransformPath);
    }
}

// Every package entry in manifest order; the result is that of the last entry
// (0 when skipped or installed, 1 when its failure was tolerated) or the first
// failure, which stops the walk.
HRESULT RunPackages(SetupRun* run)
{
    HRESULT hr = S_OK;
    InstallAction action = InstallAction::Skip;

    for (DWORD k = 0; k < run->manifest->packageCount; ++k) {
        EXIT_IF_FAILED(ChooseInstallAction(run, k, &action));
        hr = S_OK;
        if (action != InstallAction::Skip) {
            EXIT_IF_FAILED(HandlePackage(run, k, action));
        }
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

    // One record more than entries, so that a manifest without packages still
    // gets a block and is not taken for a failed allocation.
    run.records = static_cast<PackageRunState*>(MemutilAllocate(
        (run.manifest->packageCount + 1) * static_cast<DWORD>(sizeof(PackageRunState)), TRUE));
    EXIT_IF_NULL_ALLOC(run.records);

    EXIT_IF_FAILED(SelectTransform(run.manifest, language, &run.transformPath));
    if (logPath != nullptr) {
        ::DeleteFileW(logPath);
    }
    if (run.manifest->packageCount > 0) {
        EXIT_IF_FAILED(InstallerLoad());
    }
    hr = RunPackages(&run);

Exit:
    if (FAILED(hr) && !IsRestartResult(hr)) {
        UndoPreparedPackages(&run);
    }
    if (run.transformPath != nullptr) {
        ::DeleteFileW(run.transformPath);
    }
    StrutilFree(run.transformPath);
    StrutilFree(run.cachedTransformPath);
    if (run.records != nullptr) {
        MemutilRelease(run.records);
    }
    return hr;
}
