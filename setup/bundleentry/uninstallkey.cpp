// The bundle's entry under the Uninstall key: what Windows shows, and what a
// later version of the bundle reads to replace it.
#include "uninstallkey.h"

#include "memutil.h"
#include "result.h"
#include "runlog.h"
#include "versionutil.h"

namespace {

// "...\Uninstall\{CODE}": the key, a separator, the code and its terminator.
constexpr DWORD ENTRY_KEY_CHARS = ARRAYSIZE(UNINSTALL_KEY) + PRODUCT_CODE_CHARS;
// A list longer than a bundle's 255 entries could name is no list of a bundle.
constexpr DWORD MAX_PRODUCT_LIST_BYTES = 256 * PRODUCT_CODE_CHARS * sizeof(WCHAR);
constexpr DWORD COMMAND_CHARS = MAX_PATH + 32;
constexpr DWORD INSTALL_DATE_CHARS = 9;
constexpr LONGLONG BYTES_PER_KIB = 1024;

HRESULT FormatEntryKey(LPCWSTR bundleCode, WCHAR (&key)[ENTRY_KEY_CHARS])
{
    return BoundedFormat(key, ENTRY_KEY_CHARS, L"%ls\\%ls", UNINSTALL_KEY, bundleCode);
}

HRESULT SetText(HKEY key, LPCWSTR name, LPCWSTR text)
{
    HRESULT hr = S_OK;
    const DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR));

    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes));

Exit:
    return hr;
}

HRESULT SetNumber(HKEY key, LPCWSTR name, DWORD number)
{
    HRESULT hr = S_OK;

    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                         sizeof(number)));

Exit:
    return hr;
}

// A link only when the vendor gave one.
HRESULT SetLinkText(HKEY key, LPCWSTR name, LPCWSTR link)
{
    return L'\0' != link[0] ? SetText(key, name, link) : S_OK;
}

// The size Windows shows: the bundle's copy holds every package and program
// it installs, so it stands for what the bundle takes.
HRESULT SetEntryValues(const RegistrationRun* registration, HKEY key, LPCWSTR copy, LONGLONG copyBytes,
                       const WCHAR* products, DWORD productsBytes)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = registration->record;
    WCHAR text[COMMAND_CHARS];
    WCHAR version[VERSION_TEXT_CHARS];
    SYSTEMTIME now = {};

    EXIT_IF_FAILED(SetText(key, L"DisplayName", record->displayName));
    EXIT_IF_FAILED(VersionutilFormat(VersionFromHalves(record->versionHigh, record->versionLow), version));
    EXIT_IF_FAILED(SetText(key, VERSION_VALUE, version));
    EXIT_IF_FAILED(SetText(key, L"Publisher", record->publisher));
    EXIT_IF_FAILED(SetText(key, L"DisplayIcon", copy));
    ::GetLocalTime(&now);
    EXIT_IF_FAILED(BoundedFormat(text, INSTALL_DATE_CHARS, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay));
    EXIT_IF_FAILED(SetText(key, L"InstallDate", text));
    EXIT_IF_FAILED(SetNumber(key, L"EstimatedSize", static_cast<DWORD>((copyBytes + BYTES_PER_KIB - 1) / BYTES_PER_KIB)));
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /uninstall", copy));
    EXIT_IF_FAILED(SetText(key, L"UninstallString", text));
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /uninstall /quiet", copy));
    EXIT_IF_FAILED(SetText(key, L"QuietUninstallString", text));
    // Nothing of a bundle can be chosen anew: Change repairs it, and Windows
    // offers no Repair of its own for an entry that is no installer product.
    EXIT_IF_FAILED(BoundedFormat(text, COMMAND_CHARS, L"\"%ls\" /repair", copy));
    EXIT_IF_FAILED(SetText(key, L"ModifyPath", text));
    EXIT_IF_FAILED(SetNumber(key, L"NoRepair", 1));
    EXIT_IF_FAILED(SetLinkText(key, L"HelpLink", record->helpLink));
    EXIT_IF_FAILED(SetLinkText(key, L"URLInfoAbout", record->aboutLink));
    EXIT_IF_FAILED(SetText(key, UPGRADE_CODE_VALUE, registration->upgradeCode));
    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, PRODUCT_CODES_VALUE, 0, REG_MULTI_SZ,
                                         reinterpret_cast<const BYTE*>(products), productsBytes));

Exit:
    return hr;
}

} // namespace

HKEY UninstallKeyHive(const RegistrationRun* registration)
{
    return registration->perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

LPCWSTR UninstallKeyHiveName(const RegistrationRun* registration)
{
    return registration->perMachine ? L"HKLM" : L"HKCU";
}

// A REG_SZ value: S_FALSE when it is missing or of another type.
HRESULT UninstallKeyReadText(HKEY key, LPCWSTR name, WCHAR* text, DWORD chars)
{
    HRESULT hr = S_OK;
    DWORD type = REG_NONE;
    DWORD bytes = (chars - 1) * sizeof(WCHAR);
    const LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);

    if (ERROR_FILE_NOT_FOUND == status || ERROR_MORE_DATA == status || (ERROR_SUCCESS == status && REG_SZ != type)) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    text[bytes / sizeof(WCHAR)] = L'\0';

Exit:
    return hr;
}

// The REG_MULTI_SZ list of product codes, terminated twice whatever the value
// held; S_FALSE (and null) when there is none.
HRESULT UninstallKeyReadProducts(HKEY key, WideString* list)
{
    HRESULT hr = S_OK;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, PRODUCT_CODES_VALUE, nullptr, &type, nullptr, &bytes);

    *list = nullptr;
    if (ERROR_FILE_NOT_FOUND == status || (ERROR_SUCCESS == status && (REG_MULTI_SZ != type || 0 == bytes))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    if (bytes > MAX_PRODUCT_LIST_BYTES) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    *list = static_cast<WideString>(MemutilAllocate(bytes + 2 * sizeof(WCHAR), TRUE));
    EXIT_IF_NULL_ALLOC(*list);
    status = ::RegQueryValueExW(key, PRODUCT_CODES_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(*list), &bytes);
    EXIT_WIN32_IF_ERROR(ERROR_SUCCESS == status && REG_MULTI_SZ != type ? ERROR_INVALID_DATA : status);

Exit:
    if (S_OK != hr && nullptr != *list) {
        MemutilRelease(*list);
        *list = nullptr;
    }
    return hr;
}

// A key made by this call goes again when a value cannot be written: no
// half-written entry is left. One that was there (the same bundle run again)
// keeps what it had.
HRESULT UninstallKeyWrite(const RegistrationRun* registration, LPCWSTR copy, LONGLONG copyBytes, const WCHAR* products,
                   DWORD productsBytes)
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    DWORD disposition = 0;
    WCHAR path[ENTRY_KEY_CHARS];

    EXIT_IF_FAILED(FormatEntryKey(registration->bundleCode, path));
    EXIT_WIN32_IF_ERROR(::RegCreateKeyExW(UninstallKeyHive(registration), path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_SET_VALUE | NATIVE_VIEW, nullptr, &key, &disposition));
    hr = SetEntryValues(registration, key, copy, copyBytes, products, productsBytes);
    ::RegCloseKey(key);
    if (FAILED(hr) && REG_CREATED_NEW_KEY == disposition) {
        ::RegDeleteKeyExW(UninstallKeyHive(registration), path, NATIVE_VIEW, 0);
    }
    EXIT_IF_FAILED(hr);
    RunLogLine("entry written: %ls\\%ls", UninstallKeyHiveName(registration), path);

Exit:
    return hr;
}

HRESULT UninstallKeyDelete(const RegistrationRun* registration, LPCWSTR bundleCode)
{
    HRESULT hr = S_OK;
    WCHAR path[ENTRY_KEY_CHARS];
    LSTATUS status = ERROR_SUCCESS;

    EXIT_IF_FAILED(FormatEntryKey(bundleCode, path));
    status = ::RegDeleteKeyExW(UninstallKeyHive(registration), path, NATIVE_VIEW, 0);
    if (ERROR_FILE_NOT_FOUND == status) {
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    RunLogLine("entry removed: %ls\\%ls", UninstallKeyHiveName(registration), path);

Exit:
    return hr;
}
