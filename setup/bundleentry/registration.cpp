// The bundle's own entry through its run: what it replaces before the chain,
// and after it the copy and the entry, or their removal.
#include "registration.h"

#include "bundlecopy.h"
#include "bundlemanifest.h"
#include "cache.h"
#include "installer.h"
#include "memutil.h"
#include "messages.h"
#include "resrutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "uninstallkey.h"
#include "upgradepolicy.h"
#include "versionutil.h"

#include <objbase.h>

HRESULT RegistrationLocateRecord(const BundleRegistration** record)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;

    *record = nullptr;
    hr = ResrutilLocateData(nullptr, REGISTRATION_RESOURCE, &data, &size);
    if (ResultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND) == hr || ResultFromWin32(ERROR_RESOURCE_TYPE_NOT_FOUND) == hr) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(hr);
    EXIT_IF_FAILED(ValidateRegistration(data, size));
    *record = reinterpret_cast<const BundleRegistration*>(data);

Exit:
    return hr;
}

namespace {

// Entries that this Windows runs decide, as they decide elevation.
BOOL HasPerMachineEntry(const PackageManifest* manifest, BOOL windows64Bit)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if ((entry->flags & PKG_PER_MACHINE) && PackageFitsWindows(entry, windows64Bit)) {
            return TRUE;
        }
    }
    return FALSE;
}

// The products the bundle stands for: its installer packages for this Windows.
BOOL IsRegisteredProduct(const ManifestPackageEntry* entry, BOOL windows64Bit)
{
    return !(entry->flags & (PKG_PROGRAM | PKG_PATCH)) && PackageFitsWindows(entry, windows64Bit);
}

// The products of the bundle that are there after its run, one after another,
// each terminated, and an empty one last; `bytes` counts all of it.
HRESULT ListPresentProducts(const PackageManifest* manifest, BOOL windows64Bit, WideString* list, DWORD* bytes)
{
    HRESULT hr = S_OK;
    WCHAR* at = nullptr;

    *list = static_cast<WideString>(
        MemutilAllocate((manifest->packageCount * PRODUCT_CODE_CHARS + 1) * sizeof(WCHAR), TRUE));
    EXIT_IF_NULL_ALLOC(*list);
    at = *list;
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (IsRegisteredProduct(entry, windows64Bit)) {
            EXIT_IF_FAILED(FormatProductCode(entry, *reinterpret_cast<WCHAR(*)[PRODUCT_CODE_CHARS]>(at)));
            at += InstallerHasProduct(EntryProductContext(entry), at) ? PRODUCT_CODE_CHARS : 0;
        }
    }
    *at = L'\0';
    *bytes = static_cast<DWORD>((at - *list + 1) * sizeof(WCHAR));

Exit:
    return hr;
}

BOOL AnyProductPresent(const PackageManifest* manifest, BOOL windows64Bit)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (IsRegisteredProduct(entry, windows64Bit) && SUCCEEDED(FormatProductCode(entry, code)) &&
            InstallerHasProduct(EntryProductContext(entry), code)) {
            RunLogLine("product %ls is still there: the bundle's entry stays", code);
            return TRUE;
        }
    }
    return FALSE;
}

// The copy and the entry, naming the bundle's products that are there.
HRESULT WriteEntry(const RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit)
{
    HRESULT hr = S_OK;
    WideString products = nullptr;
    DWORD productsBytes = 0;
    WCHAR copy[MAX_PATH] = {};
    LONGLONG copyBytes = 0;
    BOOL copyWritten = FALSE;

    if (!registration->perMachine) {
        EXIT_IF_FAILED(UserCacheAllowed(registration->elevated));
        if (S_FALSE == hr) {
            RunLogLine("the bundle's entry is not written: its copy would lie outside the user's profile");
            hr = S_OK;
            goto Exit;
        }
    }
    EXIT_IF_FAILED(ListPresentProducts(manifest, windows64Bit, &products, &productsBytes));
    EXIT_IF_FAILED(BundleCopyKeep(registration, copy, &copyBytes));
    copyWritten = S_OK == hr;
    EXIT_IF_FAILED(UninstallKeyWrite(registration, copy, copyBytes, products, productsBytes));
    copyWritten = FALSE;

Exit:
    if (copyWritten) {
        BundleCopyDelete(registration, registration->bundleCode);
    }
    if (products) {
        MemutilRelease(products);
    }
    return hr;
}

HRESULT FinishInstall(const RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                      LPCWSTR logPath, DWORD uiLevel)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(WriteEntry(registration, manifest, windows64Bit));
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        UpgradePolicyRetire(registration, &registration->related[k], manifest, logPath, uiLevel);
    }

Exit:
    return hr;
}

// A product whose removal failed (and was tolerated) keeps the entry, so that
// the user can try again from it. The entry goes first: an entry that stays
// keeps the copy its commands run, while a copy that cannot be deleted is
// left as cached packages are.
HRESULT FinishRemoval(const RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                      HRESULT chainResult)
{
    HRESULT hr = chainResult;

    if (AnyProductPresent(manifest, windows64Bit)) {
        hr = S_OK == chainResult ? INSTALLER_FAILURE_TOLERATED : chainResult;
        goto Exit;
    }
    EXIT_IF_FAILED(UninstallKeyDelete(registration, registration->bundleCode));
    BundleCopyDelete(registration, registration->bundleCode);
    hr = chainResult;

Exit:
    return hr;
}

} // namespace

BOOL RegistrationNeedsMachineEntry(const PackageManifest* manifest, BOOL windows64Bit)
{
    const BundleRegistration* record = nullptr;
    return S_OK == RegistrationLocateRecord(&record) && HasPerMachineEntry(manifest, windows64Bit);
}

namespace {

// The record and where its entry is: S_FALSE when the bundle registers nothing.
HRESULT ReadRecord(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated, InstallAction action,
                   RegistrationRun* registration)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(RegistrationLocateRecord(&registration->record));
    if (S_FALSE == hr) {
        goto Exit;
    }
    registration->perMachine = HasPerMachineEntry(manifest, windows64Bit);
    registration->elevated = elevated;
    registration->removal = InstallAction::Uninstall == action;
    if (0 == ::StringFromGUID2(registration->record->bundleCode, registration->bundleCode, PRODUCT_CODE_CHARS) ||
        0 == ::StringFromGUID2(registration->record->upgradeCode, registration->upgradeCode, PRODUCT_CODE_CHARS)) {
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }

Exit:
    return hr;
}

// The own entry of this version decides first; else the newest older one
// (the own entry's too) is the one replaced.
void Classify(const RegistrationRun* registration, BOOL newerFound, RegisteredVersion* found)
{
    const ULONGLONG version = VersionFromHalves(registration->record->versionHigh, registration->record->versionLow);
    ULONGLONG own = 0;
    const BOOL ownFound = UpgradePolicyOwnVersion(registration, &own);

    if (newerFound) {
        *found = {Registered::Newer, 0};
        return;
    }
    if (ownFound && version == own) {
        *found = {Registered::Same, own};
        return;
    }
    *found = {Registered::Nothing, 0};
    if (ownFound && own < version) {
        *found = {Registered::Older, own};
    }
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        if (registration->related[k].version >= found->version) {
            *found = {Registered::Older, registration->related[k].version};
        }
    }
}

} // namespace

HRESULT RegistrationLookUp(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated,
                           RegisteredVersion* found)
{
    HRESULT hr = S_OK;
    RegistrationRun registration = {};
    BOOL newerFound = FALSE;

    *found = {Registered::Nothing, 0};
    registration.lookUpOnly = TRUE;
    EXIT_IF_FAILED(ReadRecord(manifest, windows64Bit, elevated, InstallAction::Install, &registration));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    EXIT_IF_FAILED(UpgradePolicyFindRelated(&registration, &newerFound));
    Classify(&registration, newerFound, found);

Exit:
    RegistrationRelease(&registration);
    return hr;
}

HRESULT RegistrationBegin(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated, InstallAction action,
                          HeldFolder* machineCache, HeldFolder* userCache,
                          RegistrationRun* registration)
{
    HRESULT hr = S_OK;
    BOOL newerFound = FALSE;

    *registration = {};
    registration->machineCache = machineCache;
    registration->userCache = userCache;
    EXIT_IF_FAILED(ReadRecord(manifest, windows64Bit, elevated, action, registration));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    RunLogLine("registration: bundle %ls, upgrade code %ls, its entry in %ls", registration->bundleCode,
               registration->upgradeCode, UninstallKeyHiveName(registration));
    EXIT_IF_FAILED(UpgradePolicyFindRelated(registration, &newerFound));
    if (newerFound) {
        RunLogLine("refused: a newer version of this bundle is installed (1638)");
        ShowSystemErrorMessage(RESULT_PRODUCT_VERSION);
        EXIT_WITH(RESULT_PRODUCT_VERSION);
    }

Exit:
    return hr;
}

HRESULT RegistrationFinish(RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                           InstallAction action, LPCWSTR logPath, DWORD uiLevel, HRESULT chainResult)
{
    HRESULT hr = chainResult;

    if (nullptr == registration->record) {
        goto Exit;
    }
    if (InstallAction::Uninstall == action) {
        hr = FinishRemoval(registration, manifest, windows64Bit, chainResult);
        goto Exit;
    }
    EXIT_IF_FAILED(FinishInstall(registration, manifest, windows64Bit, logPath, uiLevel));
    hr = chainResult;

Exit:
    return hr;
}

void RegistrationKeepAfterFailure(const RegistrationRun* registration, const PackageManifest* manifest,
                                  BOOL windows64Bit)
{
    if (nullptr == registration->record) {
        return;
    }
    RunLogLine("a product this run installed replaced others and stays: the bundle's entry names what is there");
    const HRESULT hr = WriteEntry(registration, manifest, windows64Bit);
    if (FAILED(hr)) {
        RunLogLine("  the entry cannot be written: error %lu", static_cast<DWORD>(hr) & 0xFFFF);
        return;
    }
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        UpgradePolicyRetireIfEmpty(registration, &registration->related[k]);
    }
}

void RegistrationRelease(RegistrationRun* registration)
{
    for (DWORD k = 0; k < registration->relatedCount; ++k) {
        if (nullptr != registration->related[k].products) {
            MemutilRelease(registration->related[k].products);
            registration->related[k].products = nullptr;
        }
    }
    registration->relatedCount = 0;
}
