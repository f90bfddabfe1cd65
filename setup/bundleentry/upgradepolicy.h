// Which registered versions of the bundle a run replaces: the entries of the
// same upgrade code in the bundle's hive. A newer one makes the run refuse; an
// older one, or the same version packed again, goes once this one is in place.
#pragma once

#include <windows.h>
#include "registration.h"

// Reads the registered bundles of the run's upgrade code into `registration`
// (related); `newerFound` when one is newer than this bundle.
HRESULT UpgradePolicyFindRelated(RegistrationRun* registration, BOOL* newerFound);
// The version the bundle's own entry shows: false when it has none.
BOOL UpgradePolicyOwnVersion(const RegistrationRun* registration, ULONGLONG* version);
// An older version goes once this one is in place: the products only it
// installed (a product both carry stays), the last first, then its copy and
// its entry. Its entry stays while one of them is still there, so that it can
// be removed from there.
void UpgradePolicyRetire(const RegistrationRun* registration, const RelatedBundle* related,
                         const PackageManifest* manifest, LPCWSTR logPath, DWORD uiLevel);
// After a failed run that kept a product of its own: an older version whose
// products are all gone (a major upgrade of this run replaced them) stands
// for nothing, and its copy and its entry go; one with a product still there
// keeps its entry. Nothing is removed.
void UpgradePolicyRetireIfEmpty(const RegistrationRun* registration, const RelatedBundle* related);
