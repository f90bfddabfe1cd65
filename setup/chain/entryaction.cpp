// What the run is to do with each entry: by the version the installer reports
// for a package's product, by a program's rules, and by what was asked.
#include "entryaction.h"

#include "bundlemanifest.h"
#include "fileutil.h"
#include "installer.h"
#include "messages.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "versionutil.h"

namespace {

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
HRESULT ChooseByInstalledVersion(const ManifestPackageEntry* entry, EntryRecord* record, InstallAction* action)
{
    HRESULT hr = S_OK;
    WCHAR versionText[INSTALLER_VERSION_CHARS] = {};
    DWORD versionChars = INSTALLER_VERSION_CHARS;
    ULONGLONG installed = 0;

    const UINT queried =
        InstallerQueryVersion(EntryProductContext(entry), record->productCode, versionText, &versionChars);
    RunLogLine("  installed version: %ls (query result %u)", queried == ERROR_SUCCESS ? versionText : L"none", queried);
    if (queried == INSTALLER_UNKNOWN_PRODUCT || queried == INSTALLER_UNKNOWN_PROPERTY) {
        record->package.wasUnknown = queried == INSTALLER_UNKNOWN_PRODUCT;
        *action = InstallAction::Install;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(queried);

    // The installer's own text always parses; were it not to, it counts as 0.0.0.0.
    VersionutilParse(versionText, lstrlenW(versionText), &installed);
    *action = CompareVersions(entry->versionHigh, entry->versionLow, VersionHigh(installed), VersionLow(installed));

Exit:
    return hr;
}

// A repair changes nothing that is absent: only a product installed at the
// package's own version is installed again. A patch is re-applied by its
// product's repair.
HRESULT ChooseRepair(const ManifestPackageEntry* entry, EntryRecord* record, InstallAction* action)
{
    HRESULT hr = S_OK;

    *action = InstallAction::Skip;
    if (entry->flags & PKG_PATCH) {
        RunLogLine("  action: skip: a patch is applied again by its product's repair");
        goto Exit;
    }
    EXIT_IF_FAILED(ChooseByInstalledVersion(entry, record, action));
    if (InstallAction::SameVersion == *action) {
        *action = InstallAction::Repair;
        goto Exit;
    }
    RunLogLine("  action: skip: a repair changes nothing that is absent, and the product is %ls",
               InstallAction::Install == *action ? L"not installed" : L"installed at another version");
    *action = InstallAction::Skip;

Exit:
    return hr;
}

} // namespace

HRESULT ChooseEntryAction(const ActionScope* scope, const ManifestPackageEntry* entry, DWORD index, EntryRecord* record,
                          InstallAction* action)
{
    HRESULT hr = S_OK;

    *action = InstallAction::Skip;
    // The record may hold what was chosen for a skipped entry of the other kind.
    ZeroMemory(record, sizeof(*record));
    RunLogPackage(index, entry);
    // A package for the other kind of Windows is skipped like an older one, also
    // by /uninstall: its product cannot have been installed here by this bundle.
    if (!PackageFitsWindows(entry, scope->windows64Bit)) {
        RunLogLine("  action: skip: for %ls Windows only", scope->windows64Bit ? L"32-bit" : L"64-bit");
        goto Exit;
    }
    EXIT_IF_FAILED(FormatProductCode(entry, record->productCode));

    if (IsProgramEntry(entry)) {
        EXIT_IF_FAILED(PrereqChooseAction(scope->requested, entry, &record->program.parameters, action));
        goto Exit;
    }
    if ((entry->flags & PKG_PATCH) && scope->requested != InstallAction::Repair) {
        *action = InstallAction::ApplyPatch;
    } else if (scope->requested == InstallAction::Uninstall) {
        // A later version's major upgrade may have replaced the product, and
        // the installer refuses a package's removal of a product it no longer
        // has (the package's launch conditions fail).
        if (!InstallerHasProduct(EntryProductContext(entry), record->productCode)) {
            RunLogLine("  action: skip: not installed: nothing to remove");
            goto Exit;
        }
        *action = InstallAction::Uninstall;
    } else if (scope->requested == InstallAction::Repair) {
        EXIT_IF_FAILED(ChooseRepair(entry, record, action));
        if (InstallAction::Skip == *action) {
            goto Exit;   // logged with its reason
        }
    } else {
        EXIT_IF_FAILED(ChooseByInstalledVersion(entry, record, action));
    }
    RunLogAction(*action);

    if (*action == InstallAction::MinorUpgrade && !(entry->flags & PKG_ALLOW_UPGRADE)) {
        RunLogLine("  refused: the package does not allow an in-place upgrade (1638)");
        ShowSystemErrorMessage(RESULT_PRODUCT_VERSION);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}
