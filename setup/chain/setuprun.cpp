// The setup run: each entry of the manifest, in manifest order, is compared
// with what is installed and written where it is read (a staging folder of
// its own, or the package cache): a package is handed to the installer, a
// prerequisite program, when its rules say it is not there, is started. A
// failure removes again what this run freshly installed and deletes the files
// it wrote that no installed product uses. A restart the
// installer has started stops the run; a restart that is only required is
// reported at the end, after every package.
#include "setuprun.h"

#include "bundlemanifest.h"
#include "copyoutcome.h"
#include "elevation.h"
#include "entryaction.h"
#include "fileutil.h"
#include "installer.h"
#include "installermessages.h"
#include "memutil.h"
#include "messages.h"
#include "person.h"
#include "registration.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "strutil.h"

namespace {

constexpr WCHAR TRANSFORM_TEXT[] = L" TRANSFORMS=@";
constexpr WCHAR HIDDEN_PACKAGE_TEXT[] = L" ARPSYSTEMCOMPONENT=1";

struct SetupRun {
    LPCWSTR propertyText;      // never null: the empty text stands for none
    LPCWSTR logPath;           // the /log file as started; null without one
    WCHAR startedLogPath[MAX_PATH];
    ActionScope scope;         // what was asked, on which Windows, at which UI level
    const PackageManifest* manifest;
    BundleCabinets cabinets;
    EntryRecord* records;      // one per package entry
    DWORD preparedCount;       // records in use; never above the package count
    // The transform chosen for the language, written beside each package that
    // applies it; the first cached package takes it, and later ones get none.
    const ManifestTransformEntry* transform;
    HRESULT restartRequired;   // the first 3010 or 3011 of the run, else S_OK
    RunFolders folders;        // the caches and the staging folder
    RegistrationRun registration;   // the bundle's own entry, when it has one
    // A fresh install of the run removed other products (a major upgrade):
    // after a later failure it stays, and the bundle's entry stands for it.
    BOOL replacedProducts;
    LPCWSTR failedEntry;   // the file name of the entry whose failure ended the run
    DWORD shareStart;      // the entry at work's share of the chain's bar
    DWORD shareEnd;
    CopyOutcome copy;      // what an elevated copy that did the run handed back
    WCHAR shownLog[MAX_PATH];   // the log "Open log" opens instead of the run's own
};

// Adds " TRANSFORMS=@name": the installer looks for it beside the package.
HRESULT AppendTransformText(const EntryFiles* files, WideString* propertyText)
{
    HRESULT hr = S_OK;

    if (L'\0' != files->transformPath[0]) {
        EXIT_IF_FAILED(StrutilAppend(propertyText, TRANSFORM_TEXT, 0));
        EXIT_IF_FAILED(StrutilAppend(propertyText, FileutilNamePart(files->transformPath), 0));
    }

Exit:
    return hr;
}

// A hidden package's " ARPSYSTEMCOMPONENT=1" on every call but its removal:
// the bundle's own entry stands for it in Add/Remove Programs.
HRESULT AppendHiddenText(const ManifestPackageEntry* entry, InstallAction action, WideString* text)
{
    if ((entry->flags & PKG_HIDDEN) && InstallAction::Uninstall != action) {
        return StrutilAppend(text, HIDDEN_PACKAGE_TEXT, 0);
    }
    return S_OK;
}

// /quiet and /passive hold for every package, whatever its flags: a forced
// basic UI would show the installer's modal error dialogs to nobody.
DWORD PackageUiLevel(const SetupRun* run, DWORD flags)
{
    if (IsUnattendedUiLevel(run->scope.uiLevel) || (flags & PKG_KEEP_UI_LEVEL)) {
        return run->scope.uiLevel;
    }
    return (flags & PKG_IGNORE_FAILURE) ? UI_LEVEL_BASIC_PROGRESS_ONLY : UI_LEVEL_BASIC;
}

// The installer records where a package was installed from as its product's
// source, which a repair reads later, cabinets included. A per-machine
// product's must stay where only administrators can change it: an elevated
// run caches every per-machine package in the all-users cache, whatever its
// flags; only where no such cache can be had (logged) is one staged.
BOOL KeepsItsSource(const SetupRun* run, const ManifestPackageEntry* entry)
{
    return (entry->flags & PKG_CACHE) || (run->folders.elevated && (entry->flags & PKG_PER_MACHINE));
}

void DeleteCachedEntryCopies(SetupRun* run, const EntryRecord* record, BOOL keepEntryVersion)
{
    if (KeepsItsSource(run, record->files.entry)) {
        PlacementDeleteCachedProductCopies(&run->folders, record->productCode,
                                           keepEntryVersion ? record->files.entry : nullptr);
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
        RunLogLine("  the package removed %ls", before->codes[k]);
        PlacementDeleteCachedProductCopies(&run->folders, before->codes[k], nullptr);
    }
    run->replacedProducts |= told && 0 != before->count;
    return told && 0 == before->count;
}

// After an installer call that did not fail (success, a tolerated failure, or
// a restart that is required later): what the run keeps of the package.
void SettlePackage(SetupRun* run, EntryRecord* record, InstallAction action, HRESULT installed,
                   ProductList* before, HRESULT listed)
{
    if (installed == INSTALLER_FAILURE_TOLERATED) {
        PlacementDeleteOwnedFiles(&run->folders, &record->files);
        return;
    }
    switch (action) {
    case InstallAction::Install:
        record->isInstalled = record->package.wasUnknown && SettleFreshInstall(run, before, listed);
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
    if (!PlacementIsStaged(&record->files) && !record->isInstalled) {
        record->files.ownsFiles = 0;
    }
}

// A fresh install needs the products known before its call: whether it
// removed any tells whether it may be undone, and whose cached copies go.
BOOL IsFreshInstall(const EntryRecord* record, InstallAction action)
{
    return InstallAction::Install == action && record->package.wasUnknown;
}

// The next record becomes the entry's: from here on the clean-up sees it.
EntryRecord* PrepareRecord(SetupRun* run, DWORD index)
{
    EntryRecord* record = &run->records[run->preparedCount++];
    const ManifestPackageEntry* entry = ManifestPackage(run->manifest, index);
    PlacementBeginEntry(&record->files, entry, index);
    if (IsProgramEntry(entry)) {
        record->program.held = INVALID_HANDLE_VALUE;
    }
    return record;
}

// Stages or caches and installs one package whose action is not Skip. Returns
// S_OK, 1 for a tolerated failure, or the installer's failure or restart result.
// From the moment the package and its transform are complete until the
// installer returns, both are held open so that nobody can change them.
HRESULT HandlePackage(SetupRun* run, DWORD index, InstallAction action)
{
    HRESULT hr = S_OK;
    EntryRecord* record = PrepareRecord(run, index);
    EntryFiles* files = &record->files;
    const ManifestPackageEntry* entry = files->entry;
    const ManifestTransformEntry* transform = (entry->flags & PKG_APPLY_TRANSFORM) ? run->transform : nullptr;
    // A removal never caches: it would leave a copy of a product that is gone.
    const BOOL cached = KeepsItsSource(run, entry) && run->scope.requested != InstallAction::Uninstall;
    const BOOL reuse = InstallAction::SameVersion == action || InstallAction::Repair == action;
    WideString propertyText = nullptr;
    HANDLE packageHeld = INVALID_HANDLE_VALUE;
    HANDLE transformHeld = INVALID_HANDLE_VALUE;
    ProductList before = {};
    HRESULT listed = E_FAIL;   // not listed: whether it removed others is unknown

    EXIT_IF_FAILED(StrutilCopy(&propertyText, run->propertyText, 0));
    EXIT_IF_FAILED(PlacementPlacePackage(&run->folders, files, cached, reuse, transform, &packageHeld, &transformHeld));
    if (transform && !PlacementIsStaged(files)) {
        run->transform = nullptr;
    }
    EXIT_IF_FAILED(AppendTransformText(files, &propertyText));
    EXIT_IF_FAILED(AppendHiddenText(entry, action, &propertyText));
    if (IsFreshInstall(record, action)) {
        listed = InstallerListProducts(&before);
    }

    {
        const BOOL heard = PersonHasWindow() && InstallerMessagesBegin(entry->fileName, run->shareStart, run->shareEnd);
        hr = InvokeInstaller(entry->fileName, files->packagePath, propertyText, run->logPath, action,
                             PackageUiLevel(run, entry->flags), entry->flags & PKG_IGNORE_FAILURE,
                             entry->flags & PKG_PATCH_TARGET_REQUIRED);
        if (heard) {
            InstallerMessagesEnd();
        }
    }
    FileutilRelease(&packageHeld);
    FileutilRelease(&transformHeld);
    ReleaseCabinetHolds(&files->cabinetHolds);
    if (FAILED(hr) && !IsRestartRequired(hr)) {
        goto Exit;  // the files stay for the clean-up, or for good after a started restart
    }

    SettlePackage(run, record, action, hr, &before, listed);
    if (PlacementIsStaged(files)) {
        PlacementDeleteOwnedFiles(&run->folders, files);
        DirutilCloseAndRemoveIfEmpty(&files->staging);
    }

Exit:
    FileutilRelease(&packageHeld);
    FileutilRelease(&transformHeld);
    ReleaseCabinetHolds(&files->cabinetHolds);
    InstallerReleaseProducts(&before);
    StrutilFree(propertyText);
    return hr;
}

// After a failure other than a started restart: undo every prepared entry,
// the last installed first, since a later entry may build on an earlier one.
// Only fresh installs are removed; an upgrade, a patch or a same-version run
// leaves the product as the run found or made it. A product that stays (its
// removal failed) keeps its cached copies.
void UndoPreparedPackages(SetupRun* run)
{
    RunLogLine("clean-up after the failure");
    for (DWORD r = run->preparedCount; r-- > 0;) {
        EntryRecord* record = &run->records[r];
        EntryFiles* files = &record->files;
        if (record->isInstalled && IsProgramEntry(files->entry)) {
            PrereqRemoveAgain(&run->folders, files, &record->program);
        } else if (record->isInstalled) {
            record->package.removalResult = RemoveInstalledProduct(files->entry->fileName, record->productCode,
                                                                   run->logPath, RemovalUiLevel(run->scope.uiLevel));
            if (!IsProductRemoved(record->package.removalResult)) {
                files->ownsFiles = PlacementIsStaged(files);
            }
        }
        PlacementDeleteOwnedFiles(&run->folders, files);
        PlacementReleaseEntry(files);
    }
}

// Whatever the run still holds when it ends: the staging folders of a run
// that stopped at a started restart keep their packages, and the caches. A
// staged program is not needed after the run; a cached one stays.
void ReleaseRunFolders(SetupRun* run)
{
    for (DWORD r = 0; r < run->preparedCount; ++r) {
        EntryRecord* record = &run->records[r];
        if (IsProgramEntry(record->files.entry)) {
            FileutilRelease(&record->program.held);
            if (PlacementIsStaged(&record->files)) {
                PlacementDeleteOwnedFiles(&run->folders, &record->files);
            }
        }
        PlacementReleaseEntry(&record->files);
    }
    PlacementRelease(&run->folders);
}

// A removal goes the last entry first where later entries build on earlier
// ones: packages after a runtime's setup program, and a registered bundle's
// products, which its entry removes as one. Any other bundle's removal keeps
// manifest order, as it always has.
BOOL RemovesLastFirst(const SetupRun* run)
{
    if (InstallAction::Uninstall != run->scope.requested) {
        return FALSE;
    }
    BOOL hasProgram = FALSE;
    for (DWORD k = 0; k < run->manifest->packageCount && !hasProgram; ++k) {
        hasProgram = IsProgramEntry(ManifestPackage(run->manifest, k));
    }
    return hasProgram || nullptr != run->registration.record;
}

// Each entry takes at most one record, so the bound only guards the table's end.
HRESULT ChooseAction(SetupRun* run, DWORD index, InstallAction* action)
{
    if (run->preparedCount >= run->manifest->packageCount) {
        return E_UNEXPECTED;
    }
    return ChooseEntryAction(&run->scope, ManifestPackage(run->manifest, index), index,
                             &run->records[run->preparedCount], action);
}

// Writes and runs one prerequisite program whose action is not Skip.
HRESULT HandleProgram(SetupRun* run, DWORD index, InstallAction action)
{
    EntryRecord* record = PrepareRecord(run, index);
    return PrereqRun(&run->folders, &record->files, &record->program, action, run->scope.uiLevel,
                     &record->isInstalled);
}

// Each entry has an equal share of the chain's bar, the `done` before it full.
DWORD ChainPosition(DWORD done, DWORD count)
{
    return static_cast<DWORD>(static_cast<ULONGLONG>(PERSON_PROGRESS_END) * done / count);
}

// Every package entry in manifest order, or the last first for some removals
// (RemovesLastFirst); the result is that of the last entry handled (0 when
// skipped or installed, 1 when its failure was tolerated), the first restart
// that a package required (it wins over a tolerated failure: the machine
// still needs it), or the first failure, which stops the walk.
HRESULT RunPackages(SetupRun* run)
{
    HRESULT hr = S_OK;
    InstallAction action = InstallAction::Skip;
    const DWORD count = run->manifest->packageCount;
    const BOOL lastFirst = RemovesLastFirst(run);

    for (DWORD i = 0; i < count; ++i) {
        const DWORD k = lastFirst ? count - 1 - i : i;
        const ManifestPackageEntry* entry = ManifestPackage(run->manifest, k);
        if (PersonCancelled()) {
            RunLogLine("cancelled by the person before %ls", entry->fileName);
            EXIT_WITH(RESULT_CANCELLED_BY_USER);
        }
        run->shareStart = ChainPosition(i, count);
        run->shareEnd = ChainPosition(i + 1, count);
        PersonProgress(entry->fileName, nullptr, run->shareStart);
        EXIT_IF_FAILED(ChooseAction(run, k, &action));
        hr = S_OK;
        if (action == InstallAction::Skip) {
            continue;
        }
        hr = IsProgramEntry(entry) ? HandleProgram(run, k, action) : HandlePackage(run, k, action);
        if (FAILED(hr) && !IsRestartRequired(hr)) {
            run->failedEntry = entry->fileName;
        }
        if (IsRestartRequired(hr)) {
            if (SUCCEEDED(run->restartRequired)) {
                run->restartRequired = hr;
            }
            hr = S_OK;
        }
        EXIT_IF_FAILED(hr);
    }
    PersonProgress(nullptr, nullptr, PERSON_PROGRESS_END);
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
    const BOOL windows64Bit = run->scope.windows64Bit;
    if (HasPerMachinePackage(run->manifest, windows64Bit) || RegistrationNeedsMachineEntry(run->manifest, windows64Bit)) {
        return TRUE;
    }
    for (DWORD k = 0; k < run->manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(run->manifest, k);
        PrereqParameters parameters = {};
        InstallAction action = InstallAction::Skip;
        if ((entry->flags & (PKG_PROGRAM | PKG_PER_MACHINE)) == (PKG_PROGRAM | PKG_PER_MACHINE) &&
            PackageFitsWindows(entry, windows64Bit)) {
            RunLogPackage(k, entry);
            // Parameters that cannot be read fail the run later: no prompt first.
            if (SUCCEEDED(PrereqChooseAction(run->scope.requested, entry, &parameters, &action)) &&
                InstallAction::Skip != action) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

// The run goes on in an elevated copy, and this process keeps the window's
// last page: it names the entry the copy failed on, and "Open log" opens the
// /log file, which the copy wrote, else this process's own log, placed now,
// which names the copy's.
HRESULT RunInElevatedCopy(SetupRun* run, LPCWSTR logPath)
{
    WCHAR windowPlace[WINDOW_PLACE_CHARS];

    RunLogLine("an entry for all users has work to do: the run is handed to an elevated copy");
    const HRESULT hr = RunElevatedCopy(PersonHandOverWindow(windowPlace), &run->copy);
    RunLogLine("the elevated copy ended with %d", ExitCodeFromResult(hr));
    run->failedEntry = L'\0' != run->copy.entry[0] ? run->copy.entry : nullptr;
    RunLogStartFile(nullptr, run->folders.elevated, run->startedLogPath);
    if (nullptr != logPath && ::GetFullPathNameW(logPath, MAX_PATH, run->shownLog, nullptr) >= MAX_PATH) {
        run->shownLog[0] = L'\0';
    }
    return hr;
}

} // namespace

HRESULT RunSetup(LPCWSTR propertyText, LONG language, LPCWSTR logPath, DWORD uiLevel, InstallAction action,
                 LPCWSTR elevatedCopyOf, BOOL noRestart, const RECT* windowPlace, const OutcomeAddress* outcomeTo)
{
    HRESULT hr = S_OK;
    SetupRun run = {};
    run.propertyText = propertyText != nullptr ? propertyText : L"";
    BOOL elevated = FALSE;
    RegisteredVersion registered = {Registered::Nothing, 0};
    run.scope = {action, IsWindows64Bit(), uiLevel};

    PersonBeginRun(uiLevel);
    EXIT_IF_FAILED(IsProcessElevated(&elevated));
    run.folders = PlacementNoFolders(elevated, &run.cabinets);
    RunLogMachine(run.scope.windows64Bit, elevated, nullptr != elevatedCopyOf);
    if (nullptr != elevatedCopyOf) {
        EXIT_IF_FAILED(IsStartedFromFile(elevatedCopyOf));
    }
    EXIT_IF_FAILED(LocateManifest(&run.manifest));
    EXIT_IF_FAILED(LocateCabinets(run.manifest, &run.cabinets.list, &run.cabinets.count));
    PersonOpenWindow(uiLevel, BundleHasWindow(run.manifest), action, nullptr != elevatedCopyOf, windowPlace);
    if (PersonWelcomes()) {
        EXIT_IF_FAILED(RegistrationLookUp(run.manifest, run.scope.windows64Bit, elevated, &registered));
    }
    EXIT_IF_FAILED(PersonWelcome(&registered, &action));
    run.scope.requested = action;
    // The window stands for every package's interface, and a program runs
    // with its unattended arguments.
    if (PersonHasWindow()) {
        run.scope.uiLevel = UI_LEVEL_NONE;
    }
    // Before anything is written: an elevated copy may do the whole run instead.
    // The copy itself never starts another one.
    if (nullptr == elevatedCopyOf && MayAskForElevation(uiLevel, elevated) && HasPerMachineWork(&run)) {
        hr = RunInElevatedCopy(&run, logPath);
        goto Exit;
    }

    // One record more than entries, so that a manifest without packages still
    // gets a block and is not taken for a failed allocation.
    run.records = static_cast<EntryRecord*>(MemutilAllocate(
        (run.manifest->packageCount + 1) * static_cast<DWORD>(sizeof(EntryRecord)), TRUE));
    EXIT_IF_NULL_ALLOC(run.records);

    run.transform = SelectTransform(run.manifest, language);
    hr = RunLogStartFile(logPath, elevated, run.startedLogPath);
    if (RESULT_LOG_FOLDER_UNTRUSTED == hr) {
        ShowLogRefused(logPath);
    }
    EXIT_IF_FAILED(hr);
    // The installer writes the file that was checked and made, by that path.
    run.logPath = nullptr != logPath ? run.startedLogPath : nullptr;
    EXIT_IF_FAILED(RegistrationBegin(run.manifest, run.scope.windows64Bit, elevated, action,
                                     &run.folders.machineCache, &run.folders.userCache, &run.registration));
    if (run.manifest->packageCount > 0) {
        EXIT_IF_FAILED(InstallerLoad());
    }
    hr = RunPackages(&run);
    // The entry is the chain's last step: when it cannot be written, what the
    // run installed fresh is removed again, as after a package's failure.
    if (SUCCEEDED(hr) || IsRestartRequired(hr)) {
        hr = RegistrationFinish(&run.registration, run.manifest, run.scope.windows64Bit, action, run.logPath,
                                run.scope.uiLevel, hr);
    }

Exit:
    if (FAILED(hr) && hr != RESULT_RESTART_STARTED && !IsRestartRequired(hr)) {
        UndoPreparedPackages(&run);
        if (run.replacedProducts) {
            RegistrationKeepAfterFailure(&run.registration, run.manifest, run.scope.windows64Bit);
        }
    }
    if (run.records != nullptr) {
        ReleaseRunFolders(&run);
        MemutilRelease(run.records);
    }
    RegistrationRelease(&run.registration);
    OutcomeHandBack(outcomeTo, run.failedEntry, RunLogPath());
    hr = PersonFinish(hr, run.failedEntry, L'\0' != run.shownLog[0] ? run.shownLog : RunLogPath(), noRestart);
    PersonEndRun();
    return hr;
}
