// The bundle's manifest as the run reads it from its own program file, and the
// choices it makes from it for this machine and language.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "strutil.h"

// Locates "MANIFEST" in the running executable and validates it
// (ValidateManifest).
HRESULT LocateManifest(const PackageManifest** manifest);
// Locates "CABINETS" beside the manifest when a package entry has
// PKG_CABINETS, and validates it (ValidateCabinets). Without such a package
// there is no cabinet (null and 0); 0x8007000D when the list is damaged.
HRESULT LocateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry** cabinets, DWORD* count);

// Whether the running Windows is a 64-bit one (x64, or ARM64, which runs x64
// packages too), whatever the bitness of this process.
BOOL IsWindows64Bit();
// Whether the entry's architecture flags let it run on this kind of Windows.
BOOL PackageFitsWindows(const ManifestPackageEntry* entry, BOOL windows64Bit);

// Product code text (39 units).
HRESULT FormatProductCode(const ManifestPackageEntry* entry, WCHAR (&text)[PRODUCT_CODE_CHARS]);

BOOL LanguageMatches(LONG wanted, DWORD candidate, BOOL exact);
// The transform for the language: an exact match first, else one of the same
// primary language; the later of two matches. Null when none suits.
const ManifestTransformEntry* SelectTransform(const PackageManifest* manifest, LONG language);

// Whether the bundle shows a window of its own (the packer's /window), and the
// licence the person accepts in it (/license).
BOOL BundleHasWindow(const PackageManifest* manifest);
// The licence's text (the payload LICENSE_PAYLOAD, at most MAX_LICENSE_BYTES):
// UTF-16 after its byte order mark, else UTF-8; `richText` when it is rich
// text (the packer lets only rich text begin so), carried byte for byte
// (RICH_TEXT_CODE_PAGE) for the rich edit control.
constexpr UINT RICH_TEXT_CODE_PAGE = 28591;   // ISO 8859-1: one character a byte S_FALSE (and null) when the
// bundle has none.
HRESULT BundleLicence(WideString* text, BOOL* richText);
