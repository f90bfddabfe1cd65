// A bundle's own Add/Remove Programs entry, for a bundle packed with
// /upgradecode (registrationrecord.h); any other bundle registers nothing and
// none of this touches its run.
//
// The entry is Software\Microsoft\Windows\CurrentVersion\Uninstall\{BUNDLE
// CODE} in the native registry view, in HKLM for a per-machine bundle (any of
// its entries for this Windows is per-machine, packages and programs alike),
// else in HKCU. Beside what Windows shows, it keeps the bundle's upgrade code
// and the product codes of the packages it carries that are installed, so that
// a later version of the bundle knows what to remove. Its commands run the
// bundle's copy of itself, kept in Applications\Cache\{BUNDLE CODE} of the
// cache of the bundle's scope (cache.h).
//
// The setup run asks this room before its chain (a newer version of the
// bundle registered, and the older ones to replace) and after it: a
// successful install or repair writes the copy and the entry and retires the
// older versions; a failed install that kept a product replacing others
// writes them too; a removal that left none of the bundle's products removes
// the copy and the entry.
#pragma once

#include <windows.h>
#include "dirutil.h"
#include "manifest.h"
#include "options.h"
#include "person.h"
#include "registrationrecord.h"
#include "strutil.h"

// Registered bundles of the same upgrade code that a run replaces; more are
// left as they are (and logged).
constexpr DWORD MAX_RELATED_BUNDLES = 8;

// An older version of the bundle (or the same version packed again), as its
// entry says.
struct RelatedBundle {
    WCHAR bundleCode[PRODUCT_CODE_CHARS];
    ULONGLONG version;   // versionutil.h
    // The product codes it installed, one after another, each terminated, an
    // empty one last (REG_MULTI_SZ); null when it names none.
    WideString products;
    // Whether the run may remove its products and itself: not when its list
    // cannot be read, nor when an elevated run cannot trust it (in HKCU).
    BOOL retirable;
};

struct RegistrationRun {
    const BundleRegistration* record;   // null: the bundle registers nothing
    BOOL perMachine;
    BOOL elevated;
    BOOL removal;   // /uninstall: the run replaces no other version
    // The welcome page's look-up, which logs nothing of the bundles it reads:
    // what each means to the run depends on the action chosen there, and is
    // logged once, when the run begins.
    BOOL lookUpOnly;
    // The run's caches (cache.h), opened when first needed and held by the
    // run: a cache this run made is the one it trusts.
    HeldFolder* machineCache;
    HeldFolder* userCache;
    WCHAR bundleCode[PRODUCT_CODE_CHARS];
    WCHAR upgradeCode[PRODUCT_CODE_CHARS];
    RelatedBundle related[MAX_RELATED_BUNDLES];
    DWORD relatedCount;
};

// The bundle's record, validated: S_FALSE (and null) when it carries none.
HRESULT RegistrationLocateRecord(const BundleRegistration** record);
// Whether the bundle registers an entry in HKLM: its run needs elevation.
BOOL RegistrationNeedsMachineEntry(const PackageManifest* manifest, BOOL windows64Bit);

// Before the welcome page: how the registered versions of the bundle (its own
// entry's and those of its upgrade code) stand to this one; Nothing when the
// bundle registers nothing.
HRESULT RegistrationLookUp(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated,
                           RegisteredVersion* found);
// Before the chain: reads the record and the registered bundles of its
// upgrade code. A newer one makes the run refuse whatever it was to do with
// RESULT_PRODUCT_VERSION (1638), told to the person.
HRESULT RegistrationBegin(const PackageManifest* manifest, BOOL windows64Bit, BOOL elevated, InstallAction action,
                          HeldFolder* machineCache, HeldFolder* userCache,
                          RegistrationRun* registration);
// After a chain that did not fail (`chainResult` S_OK, 1 or a restart
// required): the entry and what goes with it. Returns the run's result: the
// chain's, or the failure of writing the entry, or 1 after a removal that left
// one of the bundle's products installed (the entry stays for another try).
HRESULT RegistrationFinish(RegistrationRun* registration, const PackageManifest* manifest, BOOL windows64Bit,
                           InstallAction action, LPCWSTR logPath, DWORD uiLevel, HRESULT chainResult);
// After a failed run in which a fresh install replaced other products (a
// major upgrade, which the clean-up does not undo): the copy and the entry,
// naming the bundle's products that stay, so that they can be removed from
// it. An older version's entry goes only when none of its products is left
// (UpgradePolicyRetireIfEmpty): the run did not succeed. The run's result
// stays the failure, whether the entry could be written or not.
void RegistrationKeepAfterFailure(const RegistrationRun* registration, const PackageManifest* manifest,
                                  BOOL windows64Bit);
void RegistrationRelease(RegistrationRun* registration);
