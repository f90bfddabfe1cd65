// The bundle's manifest as the run reads it from its own program file, and the
// choices it makes from it for this machine and language.
#include "bundlemanifest.h"
#include "options.h"
#include "fileutil.h"
#include "memutil.h"
#include "payloadutil.h"
#include "resrutil.h"
#include "runlog.h"
#include "result.h"
#include "strutil.h"
#include "sysutil.h"

#include <objbase.h>

namespace {

constexpr LONG PRIMARY_LANGUAGE_MASK = 0x3FF;
constexpr LONG PRIMARY_LANGUAGE_CHINESE = 0x04;

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

HRESULT LocateManifest(const PackageManifest** manifest)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;
    const PackageManifest* read = nullptr;
    DWORD damaged = MANIFEST_NO_ENTRY;

    EXIT_IF_FAILED(ResrutilLocateData(nullptr, "MANIFEST", &data, &size));
    read = reinterpret_cast<const PackageManifest*>(data);
    hr = ValidateManifest(data, size, &damaged);
    if (FAILED(hr)) {
        // An entry is found damaged only once the sizes hold every entry.
        RunLogDamagedList(L"manifest", damaged,
                          MANIFEST_NO_ENTRY == damaged ? nullptr : ManifestPackage(read, damaged)->fileName);
        goto Exit;
    }
    *manifest = read;

Exit:
    return hr;
}

HRESULT LocateCabinets(const PackageManifest* manifest, const ManifestCabinetEntry** cabinets, DWORD* count)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;
    const ManifestCabinetEntry* list = nullptr;
    DWORD damaged = MANIFEST_NO_ENTRY;

    *cabinets = nullptr;
    *count = 0;
    if (!ManifestHasCabinets(manifest)) {
        goto Exit;
    }
    EXIT_IF_FAILED(ResrutilLocateData(nullptr, "CABINETS", &data, &size));
    if (0 != size % sizeof(ManifestCabinetEntry) || 0 != reinterpret_cast<ULONG_PTR>(data) % alignof(ManifestCabinetEntry)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    list = reinterpret_cast<const ManifestCabinetEntry*>(data);
    hr = ValidateCabinets(manifest, list, size / sizeof(ManifestCabinetEntry), &damaged);
    if (FAILED(hr)) {
        RunLogDamagedList(L"cabinet list", damaged, MANIFEST_NO_ENTRY == damaged ? nullptr : list[damaged].fileName);
        goto Exit;
    }
    *cabinets = list;
    *count = size / sizeof(ManifestCabinetEntry);

Exit:
    return hr;
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

BOOL BundleHasWindow(const PackageManifest* manifest)
{
    return nullptr != manifest && 0 != (manifest->bundleFlags & BUNDLE_WINDOW);
}

namespace {

constexpr BYTE UTF16_MARK[] = {0xFF, 0xFE};

HRESULT LicenceFromBytes(const BYTE* bytes, DWORD size, BOOL richText, WideString* text)
{
    HRESULT hr = S_OK;
    int chars = 0;
    const UINT codePage = richText ? RICH_TEXT_CODE_PAGE : CP_UTF8;

    if (!richText && size >= sizeof(UTF16_MARK) && 0 == memcmp(bytes, UTF16_MARK, sizeof(UTF16_MARK))) {
        chars = static_cast<int>((size - sizeof(UTF16_MARK)) / sizeof(WCHAR));
        EXIT_IF_FAILED(StrutilAllocate(text, static_cast<DWORD>(chars) + 1));
        memcpy(*text, bytes + sizeof(UTF16_MARK), chars * sizeof(WCHAR));
    } else {
        chars = ::MultiByteToWideChar(codePage, 0, reinterpret_cast<LPCSTR>(bytes), static_cast<int>(size), nullptr, 0);
        EXIT_LAST_ERROR_IF(0 == chars);
        EXIT_IF_FAILED(StrutilAllocate(text, static_cast<DWORD>(chars) + 1));
        ::MultiByteToWideChar(codePage, 0, reinterpret_cast<LPCSTR>(bytes), static_cast<int>(size), *text, chars);
    }
    (*text)[chars] = L'\0';

Exit:
    return hr;
}

} // namespace

HRESULT BundleLicence(WideString* text, BOOL* richText)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};
    BYTE* bytes = nullptr;

    *text = nullptr;
    *richText = FALSE;
    EXIT_IF_FAILED(PayloadutilOpenProgramFile(&program));
    hr = PayloadutilLocate(program, LICENSE_PAYLOAD, &range);
    if (HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND) == hr) {
        EXIT_WITH(S_FALSE);
    }
    EXIT_IF_FAILED(hr);
    if (range.size > MAX_LICENSE_BYTES) {
        RunLogLine("the licence is larger than %lu bytes: the bundle is damaged", MAX_LICENSE_BYTES);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    bytes = static_cast<BYTE*>(MemutilAllocate(static_cast<SIZE_T>(range.size), FALSE));
    EXIT_IF_NULL_ALLOC(bytes);
    EXIT_IF_FAILED(FileutilReadAt(program, range.offset, bytes, static_cast<DWORD>(range.size), RESULT_INVALID_DATA));
    *richText = range.size >= LICENSE_RICH_TEXT_START_BYTES &&
                0 == memcmp(bytes, LICENSE_RICH_TEXT_START, LICENSE_RICH_TEXT_START_BYTES);
    EXIT_IF_FAILED(LicenceFromBytes(bytes, static_cast<DWORD>(range.size), *richText, text));

Exit:
    if (bytes) MemutilRelease(bytes);
    if (INVALID_HANDLE_VALUE != program) ::CloseHandle(program);
    return hr;
}
