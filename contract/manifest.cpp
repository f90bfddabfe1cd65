// The manifest's layout rules, which the packer writes by and the run checks
// before it uses an entry.
#include "manifest.h"
#include "result.h"
#include "strutil.h"

#include <wchar.h>

namespace {

// Characters Windows forbids in a file name besides the control characters.
constexpr WCHAR FORBIDDEN_NAME_CHARACTERS[] = L"\\/:*?<>\"|";
constexpr WCHAR FIRST_PRINTABLE_CHARACTER = L' ';
// Names Windows opens as a device in every folder, whatever extension follows.
constexpr const char* DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// ... and these followed by one digit, or a superscript 1, 2 or 3 (the names
// Windows documents as reserved: 0 too, though older Windows opens COM0 as a file).
constexpr const char* NUMBERED_DEVICE_NAMES[] = {"COM", "LPT"};
constexpr WCHAR DEVICE_SUPERSCRIPT_DIGITS[] = L"\u00B9\u00B2\u00B3";

BOOL HasTerminator(const char* field, SIZE_T count)
{
    return nullptr != memchr(field, '\0', count);
}

// The same letters as `ascii` (upper-case), in either case.
BOOL IsAsciiNameIgnoringCase(LPCWSTR name, SIZE_T length, const char* ascii)
{
    SIZE_T k = 0;
    for (; k < length && ascii[k]; ++k) {
        const WCHAR ch = (name[k] >= L'a' && name[k] <= L'z') ? static_cast<WCHAR>(name[k] - L'a' + L'A') : name[k];
        if (ch != static_cast<WCHAR>(ascii[k])) {
            return FALSE;
        }
    }
    return k == length && '\0' == ascii[k];
}

BOOL IsDeviceDigit(WCHAR ch)
{
    return (ch >= L'0' && ch <= L'9') || nullptr != wcschr(DEVICE_SUPERSCRIPT_DIGITS, ch);
}

// Windows looks at the part before the first dot, spaces at its end left out.
BOOL IsDeviceName(LPCWSTR name)
{
    SIZE_T length = 0;
    while (L'\0' != name[length] && L'.' != name[length]) {
        ++length;
    }
    while (length > 0 && L' ' == name[length - 1]) {
        --length;
    }
    for (const char* device : DEVICE_NAMES) {
        if (IsAsciiNameIgnoringCase(name, length, device)) {
            return TRUE;
        }
    }
    for (const char* device : NUMBERED_DEVICE_NAMES) {
        if (4 == length && IsDeviceDigit(name[3]) && IsAsciiNameIgnoringCase(name, 3, device)) {
            return TRUE;
        }
    }
    return FALSE;
}

// A name field: ended within the field, and a plain name.
BOOL IsPlainFileName(const WCHAR (&name)[MANIFEST_NAME_CHARS])
{
    return nullptr != wmemchr(name, L'\0', ARRAYSIZE(name)) && ManifestIsPlainName(name);
}

BOOL SameName(LPCWSTR a, LPCWSTR b)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(a, -1, b, -1, TRUE);
}

BOOL HasTransformExtension(LPCWSTR name)
{
    constexpr WCHAR EXTENSION[] = L".mst";
    const int length = lstrlenW(name);
    const int extension = ARRAYSIZE(EXTENSION) - 1;
    return length >= extension && SameName(name + length - extension, EXTENSION);
}

// A cabinet the run may write beside its package: the installer finds it
// there by its name, and nothing else of the entry may be overwritten by it.
BOOL IsValidCabinet(const PackageManifest* manifest, const ManifestCabinetEntry* cabinets, DWORD index)
{
    const ManifestCabinetEntry& cabinet = cabinets[index];
    if (!HasTerminator(cabinet.resourceName, sizeof(cabinet.resourceName)) || !IsPlainFileName(cabinet.fileName) ||
        cabinet.packageIndex >= manifest->packageCount || HasTransformExtension(cabinet.fileName)) {
        return FALSE;
    }
    const ManifestPackageEntry* package = ManifestPackage(manifest, cabinet.packageIndex);
    if (!(package->flags & PKG_CABINETS) || SameName(cabinet.fileName, package->fileName)) {
        return FALSE;
    }
    for (DWORD other = 0; other < index; ++other) {
        if (cabinets[other].packageIndex == cabinet.packageIndex && SameName(cabinets[other].fileName, cabinet.fileName)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL EveryPackageHasCabinets(const PackageManifest* manifest, const ManifestCabinetEntry* cabinets, DWORD count)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        BOOL has = !(ManifestPackage(manifest, k)->flags & PKG_CABINETS);
        for (DWORD c = 0; c < count && !has; ++c) {
            has = cabinets[c].packageIndex == k;
        }
        if (!has) {
            return FALSE;
        }
    }
    return TRUE;
}

// A program entry is started by its file name: it must name a program, and
// carry no flag that only a package can follow.
BOOL IsSoundProgramEntry(const ManifestPackageEntry* entry)
{
    const int length = lstrlenW(entry->fileName);
    return 0 == (entry->flags & ~(PKG_PROGRAM | PKG_PROGRAM_FLAGS)) && length > 4 &&
           CSTR_EQUAL == ::CompareStringOrdinal(entry->fileName + length - 4, -1, L".exe", -1, TRUE);
}

DWORD RequiredManifestSize(const PackageManifest* manifest)
{
    return sizeof(PackageManifest) + manifest->packageCount * sizeof(ManifestPackageEntry) +
           manifest->transformCount * sizeof(ManifestTransformEntry);
}

} // namespace

BOOL ManifestIsPlainName(LPCWSTR name)
{
    SIZE_T length = 0;
    for (; L'\0' != name[length]; ++length) {
        if (name[length] < FIRST_PRINTABLE_CHARACTER || nullptr != wcschr(FORBIDDEN_NAME_CHARACTERS, name[length])) {
            return FALSE;
        }
    }
    // Windows drops a trailing dot or space when it opens the file, so the
    // name would stand for another; "." and ".." end in a dot too.
    return length > 0 && L'.' != name[length - 1] && L' ' != name[length - 1] && !IsDeviceName(name);
}

// A licence only with the window, its kind only with a licence, and no
// choice this program does not know.
BOOL AreSoundBundleFlags(BYTE flags)
{
    return 0 == (flags & ~BUNDLE_KNOWN_FLAGS) && (!(flags & BUNDLE_LICENSE) || (flags & BUNDLE_WINDOW)) &&
           (!(flags & BUNDLE_LICENSE_RTF) || (flags & BUNDLE_LICENSE));
}

HRESULT ValidateManifest(const void* data, DWORD size, DWORD* damagedEntry)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = static_cast<const PackageManifest*>(data);

    if (damagedEntry) {
        *damagedEntry = MANIFEST_NO_ENTRY;
    }
    if (size < sizeof(PackageManifest) || size < RequiredManifestSize(manifest) ||
        !AreSoundBundleFlags(manifest->bundleFlags)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (!HasTerminator(entry->resourceName, sizeof(entry->resourceName)) || !IsPlainFileName(entry->fileName) ||
            PKG_ARCHITECTURE_FLAGS == (entry->flags & PKG_ARCHITECTURE_FLAGS) ||
            ((entry->flags & PKG_PROGRAM) && !IsSoundProgramEntry(entry)) ||
            ((entry->flags & PKG_CABINETS) && (entry->flags & PKG_PATCH))) {
            if (damagedEntry) {
                *damagedEntry = k;
            }
            EXIT_WITH(RESULT_INVALID_DATA);
        }
    }
    for (DWORD j = 0; j < manifest->transformCount; ++j) {
        const ManifestTransformEntry* entry = ManifestTransform(manifest, j);
        if (!HasTerminator(entry->resourceName, sizeof(entry->resourceName))) {
            EXIT_WITH(RESULT_INVALID_DATA);
        }
    }

Exit:
    return hr;
}

const ManifestPackageEntry* ManifestPackage(const PackageManifest* manifest, DWORD index)
{
    const BYTE* first = reinterpret_cast<const BYTE*>(manifest) + sizeof(PackageManifest);
    return reinterpret_cast<const ManifestPackageEntry*>(first + index * sizeof(ManifestPackageEntry));
}

const ManifestTransformEntry* ManifestTransform(const PackageManifest* manifest, DWORD index)
{
    const BYTE* first = reinterpret_cast<const BYTE*>(ManifestPackage(manifest, manifest->packageCount));
    return reinterpret_cast<const ManifestTransformEntry*>(first + index * sizeof(ManifestTransformEntry));
}

HRESULT FormatPackageVersion(const ManifestPackageEntry* entry, WCHAR (&text)[VERSION_TEXT_CHARS])
{
    return VersionutilFormat(VersionFromHalves(entry->versionHigh, entry->versionLow), text);
}

BOOL ManifestHasCabinets(const PackageManifest* manifest)
{
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        if (ManifestPackage(manifest, k)->flags & PKG_CABINETS) {
            return TRUE;
        }
    }
    return FALSE;
}

HRESULT ValidateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry* cabinets, DWORD count,
                         DWORD* damagedEntry)
{
    if (damagedEntry) {
        *damagedEntry = MANIFEST_NO_ENTRY;
    }
    for (DWORD k = 0; k < count; ++k) {
        if (!IsValidCabinet(manifest, cabinets, k)) {
            if (damagedEntry) {
                *damagedEntry = k;
            }
            return RESULT_INVALID_DATA;
        }
    }
    return EveryPackageHasCabinets(manifest, cabinets, count) ? S_OK : RESULT_INVALID_DATA;
}
