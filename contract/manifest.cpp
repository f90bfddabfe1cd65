// The manifest's layout rules, which the packer writes by and the run checks
// before it uses an entry.
#include "manifest.h"
#include "result.h"
#include "strutil.h"

namespace {

BOOL HasTerminator(const char* field, SIZE_T count)
{
    return nullptr != memchr(field, '\0', count);
}

// A package's file name lands under folders the program chooses; a separator
// or a drive mark would let the manifest choose the folder instead.
BOOL IsPlainFileName(const WCHAR (&name)[64])
{
    if (L'\0' == name[0]) {
        return FALSE;
    }
    for (const WCHAR ch : name) {
        if (L'\0' == ch) {
            return TRUE;
        }
        if (L'\\' == ch || L'/' == ch || L':' == ch) {
            return FALSE;
        }
    }
    return FALSE;   // no terminator inside the field
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

HRESULT ValidateManifest(const void* data, DWORD size)
{
    HRESULT hr = S_OK;
    const PackageManifest* manifest = static_cast<const PackageManifest*>(data);

    if (size < sizeof(PackageManifest) || size < RequiredManifestSize(manifest)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        const ManifestPackageEntry* entry = ManifestPackage(manifest, k);
        if (!HasTerminator(entry->resourceName, sizeof(entry->resourceName)) || !IsPlainFileName(entry->fileName) ||
            PKG_ARCHITECTURE_FLAGS == (entry->flags & PKG_ARCHITECTURE_FLAGS) ||
            ((entry->flags & PKG_PROGRAM) && !IsSoundProgramEntry(entry)) ||
            ((entry->flags & PKG_CABINETS) && (entry->flags & PKG_PATCH))) {
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

HRESULT ValidateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry* cabinets, DWORD count)
{
    for (DWORD k = 0; k < count; ++k) {
        if (!IsValidCabinet(manifest, cabinets, k)) {
            return RESULT_INVALID_DATA;
        }
    }
    return EveryPackageHasCabinets(manifest, cabinets, count) ? S_OK : RESULT_INVALID_DATA;
}
