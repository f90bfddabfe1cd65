#include "manifest.h"
#include "options.h"
#include "resrutil.h"
#include "result.h"
#include "sysutil.h"

#include <objbase.h>

namespace {

constexpr LONG PRIMARY_LANGUAGE_MASK = 0x3FF;
constexpr LONG PRIMARY_LANGUAGE_CHINESE = 0x04;

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

DWORD PackagesWithCabinets(const PackageManifest* manifest)
{
    DWORD count = 0;
    for (DWORD k = 0; k < manifest->packageCount; ++k) {
        count += (ManifestPackage(manifest, k)->flags & PKG_CABINETS) ? 1 : 0;
    }
    return count;
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

// Traditional-script Chinese locales share one transform, simplified-script
// locales another; any other Chinese identifier stands for itself.
DWORD ChineseTransformLanguage(DWORD wanted)
{
    switch (wanted) {
    case 0x0404: case 0x0C04: case 0x1404:
        return 0x0404;
    case 0x0804: case 0x1004:
        return 0x0804;
    default:
        return wanted;
    }
}

// The last entry that matches: a later one supersedes an earlier one.
const ManifestTransformEntry* LastMatchingTransform(const PackageManifest* manifest, LONG language, BOOL exact)
{
    const ManifestTransformEntry* chosen = nullptr;
    for (DWORD j = 0; j < manifest->transformCount; ++j) {
        const ManifestTransformEntry* entry = ManifestTransform(manifest, j);
        if (LanguageMatches(language, entry->language, exact)) {
            chosen = entry;
        }
    }
    return chosen;
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

HRESULT LocateManifest(const PackageManifest** manifest)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;

    EXIT_IF_FAILED(ResrutilLocateData(nullptr, "MANIFEST", &data, &size));
    EXIT_IF_FAILED(ValidateManifest(data, size));
    *manifest = reinterpret_cast<const PackageManifest*>(data);

Exit:
    return hr;
}

HRESULT LocateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry** cabinets, DWORD* count)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;
    const ManifestCabinetEntry* list = nullptr;

    *cabinets = nullptr;
    *count = 0;
    if (0 == PackagesWithCabinets(manifest)) {
        goto Exit;
    }
    EXIT_IF_FAILED(ResrutilLocateData(nullptr, "CABINETS", &data, &size));
    if (0 != size % sizeof(ManifestCabinetEntry) || 0 != reinterpret_cast<ULONG_PTR>(data) % alignof(ManifestCabinetEntry)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    list = reinterpret_cast<const ManifestCabinetEntry*>(data);
    for (DWORD k = 0; k < size / sizeof(ManifestCabinetEntry); ++k) {
        if (!IsValidCabinet(manifest, list, k)) {
            EXIT_WITH(RESULT_INVALID_DATA);
        }
    }
    if (!EveryPackageHasCabinets(manifest, list, size / sizeof(ManifestCabinetEntry))) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    *cabinets = list;
    *count = size / sizeof(ManifestCabinetEntry);

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

// IsWow64Process2 names the native machine whatever the bitness of the asking
// process, so both builds take the same road, and it also tells an ARM64
// Windows. Windows before 10 lacks it; there, a 64-bit process, or a 32-bit one
// under WoW64, is on a 64-bit Windows.
BOOL IsWindows64Bit()
{
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);
    const auto isWow64Process2 = SysutilKernelFunction<IsWow64Process2Function>("IsWow64Process2");
    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    BOOL wow64 = FALSE;

    if (nullptr != isWow64Process2 && isWow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine)) {
        return IMAGE_FILE_MACHINE_AMD64 == nativeMachine || IMAGE_FILE_MACHINE_ARM64 == nativeMachine;
    }
    if (sizeof(void*) == 8) {
        return TRUE;
    }
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

BOOL PackageFitsWindows(const ManifestPackageEntry* entry, BOOL windows64Bit)
{
    const DWORD notHere = windows64Bit ? PKG_32BIT_WINDOWS_ONLY : PKG_64BIT_WINDOWS_ONLY;
    return 0 == (entry->flags & notHere);
}

HRESULT FormatProductCode(const ManifestPackageEntry* entry, WCHAR (&text)[PRODUCT_CODE_CHARS])
{
    HRESULT hr = S_OK;

    if (0 == ::StringFromGUID2(entry->productCode, text, PRODUCT_CODE_CHARS)) {
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }

Exit:
    return hr;
}

HRESULT FormatPackageVersion(const ManifestPackageEntry* entry, WCHAR (&text)[VERSION_TEXT_CHARS])
{
    return BoundedFormat(text, VERSION_TEXT_CHARS, L"%d.%d.%d.%d", HIWORD(entry->versionHigh),
                         LOWORD(entry->versionHigh), HIWORD(entry->versionLow), LOWORD(entry->versionLow));
}

BOOL LanguageMatches(LONG wanted, DWORD candidate, BOOL exact)
{
    if (LANGUAGE_USER_DEFAULT == wanted) {
        wanted = static_cast<LONG>(::GetUserDefaultUILanguage());
    }
    if (exact) {
        return static_cast<DWORD>(wanted) == candidate;
    }
    const LONG primary = wanted & PRIMARY_LANGUAGE_MASK;
    if (PRIMARY_LANGUAGE_CHINESE != primary) {
        return static_cast<DWORD>(primary) == (candidate & PRIMARY_LANGUAGE_MASK);
    }
    return ChineseTransformLanguage(static_cast<DWORD>(wanted)) == candidate;
}

const ManifestTransformEntry* SelectTransform(const PackageManifest* manifest, LONG language)
{
    const ManifestTransformEntry* chosen = LastMatchingTransform(manifest, language, TRUE);
    return chosen ? chosen : LastMatchingTransform(manifest, language, FALSE);
}
