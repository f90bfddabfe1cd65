#include "setuppack.h"
#include "result.h"

#include <msi.h>
#include <msiquery.h>

namespace {

constexpr DWORD PROPERTY_VALUE_CHARS = 80;

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

HRESULT ReadPackageIdentity(PackageSpec* package)
{
    HRESULT hr = S_OK;
    MSIHANDLE database = 0;
    UINT error = 0;

    if (package->hasProductCode && package->hasVersion) {
        goto Exit;   // a patch carries neither; the command line gave both
    }
    error = ::MsiOpenDatabaseW(package->path, MSIDBOPEN_READONLY, &database);
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

Exit:
    if (database) ::MsiCloseHandle(database);
    return hr;
}
