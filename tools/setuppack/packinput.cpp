#include "setuppack.h"
#include "manifest.h"
#include "result.h"

#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>
#include <wtypes.h>

namespace {

constexpr DWORD PROPERTY_VALUE_CHARS = 80;
// The summary's Template: the platform, a ";", then the package's languages.
constexpr DWORD TEMPLATE_CHARS = 1024;
constexpr LPCWSTR PLATFORMS_64BIT[] = {L"x64", L"Arm64", L"Intel64", L"AMD64"};

// Reads one row of the Property table. S_FALSE when the package has no such
// property (or no Property table at all, as with a patch).
HRESULT ReadProperty(MSIHANDLE database, LPCWSTR name, WCHAR (&value)[PROPERTY_VALUE_CHARS])
{
    HRESULT hr = S_OK;
    MSIHANDLE view = 0;
    MSIHANDLE query = 0;
    MSIHANDLE record = 0;
    DWORD chars = PROPERTY_VALUE_CHARS;
    UINT error = 0;

    if (ERROR_SUCCESS != ::MsiDatabaseOpenViewW(database, L"SELECT `Value` FROM `Property` WHERE `Property` = ?",
                                                &view)) {
        hr = S_FALSE;
        goto Exit;
    }
    query = ::MsiCreateRecord(1);
    if (0 == query) {
        EXIT_WITH(E_OUTOFMEMORY);
    }
    EXIT_WIN32_IF_ERROR(::MsiRecordSetStringW(query, 1, name));
    EXIT_WIN32_IF_ERROR(::MsiViewExecute(view, query));
    error = ::MsiViewFetch(view, &record);
    if (ERROR_NO_MORE_ITEMS == error) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(error);
    EXIT_WIN32_IF_ERROR(::MsiRecordGetStringW(record, 1, value, &chars));

Exit:
    if (record) ::MsiCloseHandle(record);
    if (query) ::MsiCloseHandle(query);
    if (view) ::MsiCloseHandle(view);
    return hr;
}

// A property the package must carry unless the command line gives its value:
// reported on standard error as missing or unreadable, naming the switch to use.
HRESULT ReadRequiredProperty(MSIHANDLE database, LPCWSTR name, LPCWSTR overrideSwitch, LPCWSTR packagePath,
                             WCHAR (&value)[PROPERTY_VALUE_CHARS])
{
    HRESULT hr = ReadProperty(database, name, value);
    if (FAILED(hr)) {
        ReportError(L"cannot read the %ls of %ls (error 0x%08X)", name, packagePath, hr);
    } else if (S_FALSE == hr) {
        ReportError(L"%ls has no %ls property: give %ls", packagePath, name, overrideSwitch);
        hr = PACK_E_USAGE;
        TraceFailure(__FILE__, __LINE__, hr);
    }
    return hr;
}

HRESULT ReadProductCode(MSIHANDLE database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR value[PROPERTY_VALUE_CHARS] = {};

    EXIT_IF_FAILED(ReadRequiredProperty(database, L"ProductCode", L"/code", package->path, value));
    if (FAILED(ParseGuidText(value, &package->productCode))) {
        ReportError(L"%ls has a malformed ProductCode: %ls", package->path, value);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

HRESULT ReadProductVersion(MSIHANDLE database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR value[PROPERTY_VALUE_CHARS] = {};

    EXIT_IF_FAILED(ReadRequiredProperty(database, L"ProductVersion", L"/version", package->path, value));
    if (FAILED(ParseVersionText(value, &package->versionHigh, &package->versionLow))) {
        ReportError(L"%ls has a ProductVersion outside a.b.c.d (each 0 to 65535): %ls", package->path, value);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

// The platform part of the package's Template, empty when it names none.
HRESULT ReadPlatform(MSIHANDLE database, LPCWSTR packagePath, WCHAR (&platform)[TEMPLATE_CHARS])
{
    HRESULT hr = S_OK;
    MSIHANDLE summary = 0;
    UINT type = VT_EMPTY;
    INT number = 0;
    FILETIME time = {};
    DWORD chars = TEMPLATE_CHARS;
    LPWSTR languages = nullptr;
    UINT error = ::MsiGetSummaryInformationW(database, nullptr, 0, &summary);

    if (ERROR_SUCCESS == error) {
        error = ::MsiSummaryInfoGetPropertyW(summary, PID_TEMPLATE, &type, &number, &time, platform, &chars);
    }
    if (ERROR_SUCCESS != error) {
        ReportError(L"cannot read the platform of %ls from its summary (error %u)", packagePath, error);
        EXIT_WIN32_IF_ERROR(error);
    }
    if (VT_LPSTR != type) {
        platform[0] = L'\0';
    }
    languages = wcschr(platform, L';');
    if (languages) {
        *languages = L'\0';
    }

Exit:
    if (summary) ::MsiCloseHandle(summary);
    return hr;
}

BOOL Is64BitPlatform(LPCWSTR platform)
{
    for (LPCWSTR name : PLATFORMS_64BIT) {
        if (CSTR_EQUAL == ::CompareStringOrdinal(platform, -1, name, -1, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

// A package built for a 64-bit platform cannot be installed on a 32-bit
// Windows, so the bundle skips it there by itself.
HRESULT MarkArchitecture(MSIHANDLE database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR platform[TEMPLATE_CHARS] = {};

    EXIT_IF_FAILED(ReadPlatform(database, package->path, platform));
    if (!Is64BitPlatform(platform)) {
        goto Exit;
    }
    if (package->flags & PKG_32BIT_WINDOWS_ONLY) {
        ReportError(L"%ls is built for %ls, a 64-bit platform: it cannot be x86only", package->path, platform);
        EXIT_WITH(PACK_E_USAGE);
    }
    package->flags |= PKG_64BIT_WINDOWS_ONLY;
    ReportNote(L"%ls is built for %ls: x64only, installed on 64-bit Windows only", package->fileName, platform);

Exit:
    return hr;
}

} // namespace

HRESULT MapInputFile(LPCWSTR path, DWORD room, MappedFile* mapped)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER size = {};

    mapped->file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (INVALID_HANDLE_VALUE == mapped->file) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot open %ls (error 0x%08X)", path, hr);
        mapped->file = nullptr;
        goto Exit;
    }
    if (!::GetFileSizeEx(mapped->file, &size) || 0 == size.QuadPart || size.QuadPart > room) {
        ReportError(L"%ls is empty or too large to carry (packages and transforms take at most %u MiB together)",
                    path, MAX_PAYLOAD_BYTES / (1024 * 1024));
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    mapped->mapping = ::CreateFileMappingW(mapped->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapped->mapping) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot read %ls (error 0x%08X)", path, hr);
        goto Exit;
    }
    mapped->data = static_cast<const BYTE*>(::MapViewOfFile(mapped->mapping, FILE_MAP_READ, 0, 0, 0));
    if (!mapped->data) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot read %ls (error 0x%08X)", path, hr);
        goto Exit;
    }
    mapped->size = static_cast<DWORD>(size.QuadPart);

Exit:
    if (FAILED(hr)) {
        ReleaseMappedFile(mapped);
    }
    return hr;
}

void ReleaseMappedFile(MappedFile* mapped)
{
    if (mapped->data) ::UnmapViewOfFile(mapped->data);
    if (mapped->mapping) ::CloseHandle(mapped->mapping);
    if (mapped->file) ::CloseHandle(mapped->file);
    *mapped = MappedFile{};
}

HRESULT ReadPackage(PackageSpec* package)
{
    HRESULT hr = S_OK;
    MSIHANDLE database = 0;
    UINT error = 0;
    const BOOL patch = package->flags & PKG_PATCH;
    const BOOL identityGiven = package->hasProductCode && package->hasVersion;

    if (patch && identityGiven) {
        goto Exit;   // a patch carries neither, nor a platform; the command line gave both
    }
    error = ::MsiOpenDatabaseW(package->path, MSIDBOPEN_READONLY, &database);
    if (ERROR_SUCCESS != error && identityGiven) {
        goto Exit;   // nothing more to read, and no platform to read it from: carried as given
    }
    if (ERROR_SUCCESS != error) {
        hr = ResultFromWin32(error);
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"%ls is not an installer database (error %u): give /code and /version", package->path, error);
        goto Exit;
    }
    if (!package->hasProductCode) {
        EXIT_IF_FAILED(ReadProductCode(database, package));
    }
    if (!package->hasVersion) {
        EXIT_IF_FAILED(ReadProductVersion(database, package));
    }
    if (!patch) {
        EXIT_IF_FAILED(MarkArchitecture(database, package));
    }

Exit:
    if (database) ::MsiCloseHandle(database);
    return hr;
}
