// The packer's command line, its inputs and the bundle it writes.
#pragma once

#include <windows.h>
#include "strutil.h"

constexpr DWORD MAX_BUNDLE_ENTRIES = 255;
constexpr DWORD MAX_FILE_NAME_CHARS = 63;
constexpr DWORD MAX_PRODUCT_NAME_CHARS = 255;
constexpr UINT PRODUCT_NAME_STRING_ID = 51001;
// What a bundle's packages and transforms may take together: the bundle is
// written, and later mapped, as one image, and Wine's resource writer fails on
// an image of 2 GiB. The stub and the resource directories fit in the last MiB.
constexpr DWORD MAX_PAYLOAD_BYTES = 2047u * 1024 * 1024;

// A failure that has been reported on standard error already; bad command
// lines are told apart from failures while reading or writing files.
constexpr HRESULT PACK_E_USAGE = static_cast<HRESULT>(0x80040201);

struct PackageSpec {
    LPCWSTR path;
    LPCWSTR fileName;   // points into path
    DWORD flags;
    GUID productCode;
    DWORD versionHigh;
    DWORD versionLow;
    BOOL hasProductCode;
    BOOL hasVersion;
};

struct TransformSpec {
    LPCWSTR path;
    DWORD language;
    BOOL hasLanguage;
};

struct PackOptions {
    LPCWSTR outPath;
    LPCWSTR stubPath;
    LPCWSTR productName;
    DWORD packageCount;
    DWORD transformCount;
    PackageSpec packages[MAX_BUNDLE_ENTRIES];
    TransformSpec transforms[MAX_BUNDLE_ENTRIES];
};

// One line "setuppack: ..." on standard error.
void ReportError(LPCWSTR format, ...);
// One line "setuppack: ..." on standard output: what the packer decided by itself.
void ReportNote(LPCWSTR format, ...);

HRESULT ParsePackCommandLine(int argc, LPWSTR* argv, PackOptions* options);
HRESULT ParseGuidText(LPCWSTR text, GUID* guid);
HRESULT ParseVersionText(LPCWSTR text, DWORD* high, DWORD* low);

// A read-only view of a whole input file; it stays valid until released.
struct MappedFile {
    HANDLE file;
    HANDLE mapping;
    const BYTE* data;
    DWORD size;
};

// A file larger than `room` bytes (what is left of the payload's limit) is refused.
HRESULT MapInputFile(LPCWSTR path, DWORD room, MappedFile* mapped);
void ReleaseMappedFile(MappedFile* mapped);
// Fills the product code and version that the command line left open from
// the package's Property table, and flags a package (not a patch) built for a
// 64-bit platform PKG_64BIT_WINDOWS_ONLY from its summary's Template.
HRESULT ReadPackage(PackageSpec* package);

HRESULT WriteBundle(const PackOptions* options, const MappedFile* packages, const MappedFile* transforms);
