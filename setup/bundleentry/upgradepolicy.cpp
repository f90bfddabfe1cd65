// Which registered versions of the bundle a run replaces, and their retiring.
#include "upgradepolicy.h"

#include "bundlecopy.h"
#include "bundlemanifest.h"
#include "fileutil.h"
#include "installer.h"
#include "result.h"
#include "runlog.h"
#include "uninstallkey.h"
#include "versionutil.h"

namespace {

BOOL IsBracedGuid(LPCWSTR text)
{
    return StrutilIsBracedGuid(text, lstrlenW(text));
}

BOOL SameCode(LPCWSTR a, LPCWSTR b)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(a, -1, b, -1, TRUE);
}

BOOL IsCarried(const PackageManifest* manifest, LPCWSTR productCode)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (!(entry->flags & (PKG_PROGRAM | PKG_PATCH)) && SUCCEEDED(FormatProductCode(entry, code)) &&
            SameCode(code, productCode)) {
            return TRUE;
        }
    }
    return FALSE;
}

// One entry of the Uninstall key: a bundle of the same upgrade code is either
// newer (this run refuses) or one that this run replaces.
HRESULT ReadRelatedBundle(RegistrationRun* registration, HKEY uninstall, LPCWSTR name, BOOL* newerFound)
{
    HRESULT hr = S_OK;
    HKEY entry = nullptr;
    WCHAR upgradeCode[PRODUCT_CODE_CHARS + 1] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};
    ULONGLONG registered = 0;
    RelatedBundle* related = &registration->related[registration->relatedCount];
    const char* kept = "its products cannot be told: left as it is";
    const LSTATUS status = ::RegOpenKeyExW(uninstall, name, 0, KEY_QUERY_VALUE | NATIVE_VIEW, &entry);

    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;   // removed meanwhile
    }
    EXIT_WIN32_IF_ERROR(status);
    EXIT_IF_FAILED(UninstallKeyReadText(entry, UPGRADE_CODE_VALUE, upgradeCode, ARRAYSIZE(upgradeCode)));
    if (S_FALSE == hr || !SameCode(upgradeCode, registration->upgradeCode)) {
        hr = S_OK;
        goto Exit;
    }
    EXIT_IF_FAILED(UninstallKeyReadText(entry, VERSION_VALUE, version, ARRAYSIZE(version)));
    if (S_FALSE == hr || !VersionutilParse(version, lstrlenW(version), &registered)) {
        if (!registration->lookUpOnly) {
            RunLogLine("registered bundle %ls of this upgrade code has no version: left as it is", name);
        }
        hr = S_OK;
        goto Exit;
    }
    if (registered > VersionFromHalves(registration->record->versionHigh, registration->record->versionLow)) {
        if (!registration->lookUpOnly) {
            RunLogLine("registered bundle %ls of this upgrade code is version %ls, newer than this one", name, version);
        }
        *newerFound = TRUE;
        goto Exit;
    }
    if (MAX_RELATED_BUNDLES == registration->relatedCount) {
        if (!registration->lookUpOnly) {
            RunLogLine("registered bundle %ls version %ls: more older versions than one run replaces, left as it is",
                       name, version);
        }
        goto Exit;
    }
    EXIT_IF_FAILED(BoundedCopy(related->bundleCode, PRODUCT_CODE_CHARS, name));
    related->version = registered;
    // HKCU is the user's to change: an elevated run removes no product because
    // a value there names it.
    if (registration->perMachine || !registration->elevated) {
        related->retirable = SUCCEEDED(UninstallKeyReadProducts(entry, &related->products));
    } else {
        kept = "an elevated run does not take its product list from HKCU: left as it is";
    }
    ++registration->relatedCount;
    if (!registration->lookUpOnly) {
        RunLogLine("registered bundle %ls version %ls of this upgrade code: %hs", name, version,
                   registration->removal  ? "a removal leaves it as it is"
                   : related->retirable   ? "replaced once this run succeeds"
                                          : kept);
    }

Exit:
    if (nullptr != entry) {
        ::RegCloseKey(entry);
    }
    return hr;
}

// The `index`-th code of a list (0 first), or null past its end.
LPCWSTR ListedProduct(const WCHAR* list, DWORD index)
{
    for (; nullptr != list && L'\0' != *list; list += lstrlenW(list) + 1) {
        if (0 == index--) {
            return list;
        }
    }
    return nullptr;
}

// Where an older version's products are asked for: a per-machine bundle's of
// the machine only, so that a user's own copy of a product never counts.
ProductContext BundleContext(const RegistrationRun* registration)
{
    return registration->perMachine ? ProductContext::Machine : ProductContext::Any;
}

void DeleteRelatedEntry(const RegistrationRun* registration, const RelatedBundle* related)
{
    if (SUCCEEDED(UninstallKeyDelete(registration, related->bundleCode))) {
        BundleCopyDelete(registration, related->bundleCode);
    }
}

} // namespace

HRESULT UpgradePolicyFindRelated(RegistrationRun* registration, BOOL* newerFound)
{
    HRESULT hr = S_OK;
    HKEY uninstall = nullptr;
    WCHAR name[REGISTRY_NAME_CHARS];
    LSTATUS status = ::RegOpenKeyExW(UninstallKeyHive(registration), UNINSTALL_KEY, 0,
                                     KEY_ENUMERATE_SUB_KEYS | NATIVE_VIEW, &uninstall);

    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    for (DWORD index = 0;; ++index) {
        DWORD chars = ARRAYSIZE(name);
        status = ::RegEnumKeyExW(uninstall, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (ERROR_NO_MORE_ITEMS == status) {
            break;
        }
        if (ERROR_MORE_DATA == status) {
            continue;   // a name that long is no bundle code
        }
        EXIT_WIN32_IF_ERROR(status);
        if (IsBracedGuid(name) && !SameCode(name, registration->bundleCode)) {
            EXIT_IF_FAILED(ReadRelatedBundle(registration, uninstall, name, newerFound));
        }
    }

Exit:
    if (nullptr != uninstall) {
        ::RegCloseKey(uninstall);
    }
    return hr;
}

BOOL UpgradePolicyOwnVersion(const RegistrationRun* registration, ULONGLONG* version)
{
    HKEY uninstall = nullptr;
    HKEY entry = nullptr;
    WCHAR text[VERSION_TEXT_CHARS] = {};
    BOOL read = FALSE;

    if (ERROR_SUCCESS == ::RegOpenKeyExW(UninstallKeyHive(registration), UNINSTALL_KEY, 0, KEY_QUERY_VALUE | NATIVE_VIEW,
                                         &uninstall) &&
        ERROR_SUCCESS == ::RegOpenKeyExW(uninstall, registration->bundleCode, 0, KEY_QUERY_VALUE | NATIVE_VIEW, &entry)) {
        read = S_OK == UninstallKeyReadText(entry, VERSION_VALUE, text, ARRAYSIZE(text)) &&
               VersionutilParse(text, lstrlenW(text), version);
    }
    if (nullptr != entry) {
        ::RegCloseKey(entry);
    }
    if (nullptr != uninstall) {
        ::RegCloseKey(uninstall);
    }
    return read;
}

// An older version goes once this one is in place: the products only it
// installed (a product both carry stays), the last first, then its copy and
// its entry. Its entry stays while one of them is still there, so that it can
// be removed from there.
void UpgradePolicyRetire(const RegistrationRun* registration, const RelatedBundle* related,
                         const PackageManifest* manifest, LPCWSTR logPath, DWORD uiLevel)
{
    BOOL removed = TRUE;
    DWORD count = 0;

    if (!related->retirable) {
        return;
    }
    while (nullptr != ListedProduct(related->products, count)) {
        ++count;
    }
    for (DWORD k = count; k-- > 0;) {
        const LPCWSTR code = ListedProduct(related->products, k);
        if (!IsBracedGuid(code) || IsCarried(manifest, code)) {
            continue;
        }
        // This run's major upgrade may have removed it already.
        if (!InstallerHasProduct(BundleContext(registration), code)) {
            RunLogLine("product %ls of bundle %ls is gone already", code, related->bundleCode);
            continue;
        }
        removed = IsProductRemoved(RemoveInstalledProduct(code, code, logPath, RemovalUiLevel(uiLevel))) && removed;
    }
    if (!removed) {
        RunLogLine("bundle %ls keeps its entry: a product of it is still there", related->bundleCode);
        return;
    }
    DeleteRelatedEntry(registration, related);
}

void UpgradePolicyRetireIfEmpty(const RegistrationRun* registration, const RelatedBundle* related)
{
    LPCWSTR code = nullptr;

    if (!related->retirable) {
        return;
    }
    for (DWORD k = 0; nullptr != (code = ListedProduct(related->products, k)); ++k) {
        if (InstallerHasProduct(BundleContext(registration), code)) {
            RunLogLine("bundle %ls keeps its entry: its product %ls is still there", related->bundleCode, code);
            return;
        }
    }
    RunLogLine("bundle %ls stands for no installed product: its entry goes", related->bundleCode);
    DeleteRelatedEntry(registration, related);
}
