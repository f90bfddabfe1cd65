// The MANIFEST resource: a fixed-layout record listing the embedded packages and
// language transforms, read in place from the mapped executable.
#pragma once

#include <windows.h>
#include <stddef.h>
#include "strutil.h"
#include "versionutil.h"

constexpr DWORD PKG_PER_MACHINE = 0x1;
constexpr DWORD PKG_CACHE = 0x4;
constexpr DWORD PKG_KEEP_UI_LEVEL = 0x8;
constexpr DWORD PKG_IGNORE_FAILURE = 0x10;
constexpr DWORD PKG_ALLOW_UPGRADE = 0x20;
constexpr DWORD PKG_APPLY_TRANSFORM = 0x80;
constexpr DWORD PKG_PATCH = 0x100;
constexpr DWORD PKG_PATCH_TARGET_REQUIRED = 0x200;
// A package for one kind of Windows only: a run on the other kind skips it.
// Both bits together make the manifest invalid.
constexpr DWORD PKG_64BIT_WINDOWS_ONLY = 0x400;
constexpr DWORD PKG_32BIT_WINDOWS_ONLY = 0x800;
constexpr DWORD PKG_ARCHITECTURE_FLAGS = PKG_64BIT_WINDOWS_ONLY | PKG_32BIT_WINDOWS_ONLY;
// A prerequisite program (EXE<nn>, its parameters in ARG<nn>: prereqargs.h)
// rather than an installer package; its product code is all zero.
constexpr DWORD PKG_PROGRAM = 0x1000;
// The only other bits a program entry may carry.
constexpr DWORD PKG_PROGRAM_FLAGS = PKG_PER_MACHINE | PKG_CACHE | PKG_IGNORE_FAILURE | PKG_ARCHITECTURE_FLAGS;
// A package kept out of Add/Remove Programs: the bundle's own entry stands for
// it (registration.h). Its installs and repairs pass ARPSYSTEMCOMPONENT=1.
constexpr DWORD PKG_HIDDEN = 0x2000;
// An installer package that reads cabinets from beside itself: the CABINETS
// list names them. Set by the packer alone, so that a list that cannot be
// read is never taken for one that is not there.
constexpr DWORD PKG_CABINETS = 0x4000;

// A file name field of an entry, its terminator included.
constexpr DWORD MANIFEST_NAME_CHARS = 64;

// Every field lies at its natural alignment, so the layout needs no packing;
// the asserts below pin it to the bytes the packer writes.
struct ManifestPackageEntry {
    char resourceName[12];
    WCHAR fileName[MANIFEST_NAME_CHARS];
    GUID productCode;
    DWORD versionHigh;
    DWORD versionLow;
    DWORD flags;
};

struct ManifestTransformEntry {
    char resourceName[12];
    DWORD language;
};

// The CABINETS data resource: the cabinets that installer packages read from
// beside themselves, carried as payloads and written beside their package
// wherever it goes. Bundles without such packages, and those of earlier
// packers, have none.
struct ManifestCabinetEntry {
    char resourceName[12];   // the payload ("CAB00")
    DWORD packageIndex;      // the package entry that reads it
    WCHAR fileName[MANIFEST_NAME_CHARS];   // its name beside the package, as the package's Media table gives it
};

// What a bundle asks of the run as a whole, in PackageManifest::bundleFlags.
// Bundles of earlier packers have 0 there.
// The bundle's own window stands for every package's interface.
constexpr BYTE BUNDLE_WINDOW = 0x1;
// A licence the person accepts before installing: the payload LICENSE_PAYLOAD,
// rich text with BUNDLE_LICENSE_RTF, else plain text (UTF-8, or UTF-16 after
// its byte order mark). Only a bundle with the window has one.
constexpr BYTE BUNDLE_LICENSE = 0x2;
constexpr BYTE BUNDLE_LICENSE_RTF = 0x4;
constexpr BYTE BUNDLE_KNOWN_FLAGS = BUNDLE_WINDOW | BUNDLE_LICENSE | BUNDLE_LICENSE_RTF;
inline constexpr char LICENSE_PAYLOAD[] = "LIC00";
// How rich text begins: the packer takes an .rtf licence only so, and the run
// knows rich text by it. Without the terminator.
inline constexpr char LICENSE_RICH_TEXT_START[] = "{\\rtf";
constexpr DWORD LICENSE_RICH_TEXT_START_BYTES = sizeof(LICENSE_RICH_TEXT_START) - 1;
// A licence is read whole into the window's text box, so it is kept small.
constexpr DWORD MAX_LICENSE_BYTES = 1024 * 1024;

struct PackageManifest {
    BYTE reserved0;
    BYTE packageCount;
    BYTE transformCount;
    BYTE bundleFlags;
    // packageCount package entries follow, then transformCount transform entries.
};

static_assert(sizeof(ManifestPackageEntry) == 168, "package entry layout");
static_assert(sizeof(ManifestTransformEntry) == 16, "transform entry layout");
static_assert(sizeof(PackageManifest) == 4, "manifest header layout");
static_assert(sizeof(ManifestCabinetEntry) == 144 && offsetof(ManifestCabinetEntry, fileName) == 16,
              "cabinet entry layout");
static_assert(offsetof(ManifestPackageEntry, fileName) == 12 && offsetof(ManifestPackageEntry, productCode) == 140 &&
                  offsetof(ManifestPackageEntry, versionHigh) == 156 && offsetof(ManifestPackageEntry, flags) == 164,
              "package entry field offsets");

constexpr DWORD PRODUCT_CODE_CHARS = 39;   // braced GUID text and its terminator

// A file name from the manifest, which the run writes or starts in a folder
// of its own choosing: one file there and nothing else. Not empty; no folder or
// drive (\ / :), wildcard (* ?), control character or other character
// Windows forbids (< > " |); no trailing dot or space (so not "." or "..");
// no device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, in any
// case, also with an extension: "nul.cab"). Plain character tests alone, so
// that the packer checks by the same rule on any host.
BOOL ManifestIsPlainName(LPCWSTR name);

// What ValidateManifest and ValidateCabinets give as the damaged entry when
// the damage lies elsewhere (the sizes, a transform entry, a missing list).
constexpr DWORD MANIFEST_NO_ENTRY = 0xFFFFFFFF;

// The checks the run makes on the manifest's bytes before any entry is used
// (sizes, name fields, file names, architecture flags): 0x8007000D when it is
// damaged, and then `damagedEntry`, when given, is the first package entry
// found damaged.
HRESULT ValidateManifest(const void* data, DWORD size, DWORD* damagedEntry = nullptr);
// Whether a package entry has PKG_CABINETS, so that a cabinet list goes with it.
BOOL ManifestHasCabinets(const PackageManifest* manifest);
// A cabinet list: each entry names such a package entry and a plain file name
// that is neither its package's own nor a transform's (".mst"), once per
// package, and each such package has one at least; 0x8007000D otherwise, with
// `damagedEntry` as for ValidateManifest.
HRESULT ValidateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry* cabinets, DWORD count,
                         DWORD* damagedEntry = nullptr);
const ManifestPackageEntry* ManifestPackage(const PackageManifest* manifest, DWORD index);
inline BOOL IsProgramEntry(const ManifestPackageEntry* entry)
{
    return 0 != (entry->flags & PKG_PROGRAM);
}
const ManifestTransformEntry* ManifestTransform(const PackageManifest* manifest, DWORD index);

// Version text ("%d.%d.%d.%d", 36 units).
HRESULT FormatPackageVersion(const ManifestPackageEntry* entry, WCHAR (&text)[VERSION_TEXT_CHARS]);
