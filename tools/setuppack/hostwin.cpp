// The packer's host on Windows: Win32 files and msi.dll.
#include "host.h"
#include "fileutil.h"
#include "result.h"
#include "strutil.h"

#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>
#include <wtypes.h>

const WCHAR HOST_PATH_SEPARATOR = L'\\';
const LPCWSTR HOST_DEFAULT_STUB_PLACES[2] = {L"setup.exe", L"..\\..\\i686\\bin\\setup.exe"};
const LPCWSTR HOST_DEFAULT_STUB_TEXT = L"beside the packer or in ..\\..\\i686\\bin";

namespace {

HANDLE HandleOf(const HostFile* file)
{
    return reinterpret_cast<HANDLE>(file->value);
}

HRESULT Opened(HANDLE handle, HostFile* file)
{
    if (INVALID_HANDLE_VALUE == handle) {
        *file = HostFile{};
        return ResultFromLastError();
    }
    file->value = reinterpret_cast<intptr_t>(handle);
    file->open = TRUE;
    return S_OK;
}

} // namespace

void HostWriteLine(HostStream stream, LPCWSTR text)
{
    char bytes[4096];
    const int count = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
    if (count > 0) {
        bytes[count - 1] = '\n';
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(HostStream::Error == stream ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), bytes,
                    static_cast<DWORD>(count), &written, nullptr);
    }
}

HRESULT HostOpenRead(LPCWSTR path, HostFile* file, ULONGLONG* size)
{
    HRESULT hr = Opened(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr), file);
    if (SUCCEEDED(hr)) {
        hr = HostFileSize(file, size);
        if (FAILED(hr)) HostClose(file);
    }
    return hr;
}

HRESULT HostOpenReadWrite(LPCWSTR path, HostFile* file)
{
    return Opened(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr), file);
}

HRESULT HostOpenIdentity(LPCWSTR path, HostFile* file)
{
    const HRESULT hr = Opened(::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                              file);
    return FAILED(hr) ? S_FALSE : hr;
}

void HostClose(HostFile* file)
{
    if (file->open) ::CloseHandle(HandleOf(file));
    *file = HostFile{};
}

HRESULT HostReadAt(const HostFile* file, ULONGLONG offset, void* data, DWORD size, HRESULT shortRead)
{
    return FileutilReadAt(HandleOf(file), offset, data, size, shortRead);
}

HRESULT HostWriteAt(const HostFile* file, ULONGLONG offset, const void* data, DWORD size)
{
    HRESULT hr = S_OK;
    OVERLAPPED at = {};
    DWORD written = 0;

    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    EXIT_LAST_ERROR_IF(!::WriteFile(HandleOf(file), data, size, &written, &at));
    if (written != size) {
        EXIT_WITH(RESULT_DISK_FULL);
    }

Exit:
    return hr;
}

HRESULT HostFileSize(const HostFile* file, ULONGLONG* size)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER bytes = {};

    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(HandleOf(file), &bytes));
    *size = static_cast<ULONGLONG>(bytes.QuadPart);

Exit:
    return hr;
}

HRESULT HostSetFileSize(const HostFile* file, ULONGLONG size)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER end = {};

    end.QuadPart = static_cast<LONGLONG>(size);
    EXIT_LAST_ERROR_IF(!::SetFilePointerEx(HandleOf(file), end, nullptr, FILE_BEGIN));
    EXIT_LAST_ERROR_IF(!::SetEndOfFile(HandleOf(file)));

Exit:
    return hr;
}

BOOL HostIsSameFile(const HostFile* a, const HostFile* b)
{
    return a->open && b->open && FileutilIsSameFile(HandleOf(a), HandleOf(b));
}

HRESULT HostFullPath(LPCWSTR path, WCHAR (&full)[MAX_PATH], LPWSTR* namePart)
{
    const DWORD length = ::GetFullPathNameW(path, MAX_PATH, full, namePart);
    return 0 == length || length >= MAX_PATH ? RESULT_INSUFFICIENT_BUFFER : S_OK;
}

HostPathKind HostKindOf(LPCWSTR path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    return INVALID_FILE_ATTRIBUTES == attributes              ? HostPathKind::Missing
           : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? HostPathKind::Folder
                                                             : HostPathKind::File;
}

LPCWSTR HostNamePart(LPCWSTR path)
{
    return FileutilNamePart(path);
}

HRESULT HostProgramFolder(WCHAR (&folder)[MAX_PATH])
{
    HRESULT hr = S_OK;
    const DWORD length = ::GetModuleFileNameW(nullptr, folder, MAX_PATH);

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    folder[FileutilNamePart(folder) - folder] = L'\0';

Exit:
    return hr;
}

HRESULT HostCreateScratchCopy(LPCWSTR folder, LPCWSTR source, WCHAR (&scratch)[MAX_PATH], int* failedStep)
{
    HRESULT hr = S_OK;

    *failedStep = 0;
    EXIT_LAST_ERROR_IF(0 == ::GetTempFileNameW(folder, L"spk", 0, scratch));
    *failedStep = 1;
    if (!::CopyFileW(source, scratch, FALSE)) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ::DeleteFileW(scratch);
        scratch[0] = L'\0';
    }

Exit:
    return hr;
}

HRESULT HostReplaceFile(LPCWSTR source, LPCWSTR target)
{
    HRESULT hr = S_OK;

    EXIT_LAST_ERROR_IF(!::MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING));

Exit:
    return hr;
}

void HostDeleteFile(LPCWSTR path)
{
    ::DeleteFileW(path);
}

struct HostDatabase {
    MSIHANDLE handle;
};

struct HostMediaRows {
    MSIHANDLE view;
    MSIHANDLE record;
};

UINT HostOpenDatabase(LPCWSTR path, HostDatabase** database)
{
    MSIHANDLE handle = 0;
    const UINT error = ::MsiOpenDatabaseW(path, MSIDBOPEN_READONLY, &handle);
    *database = nullptr;
    if (ERROR_SUCCESS == error) {
        *database = new HostDatabase{handle};
    }
    return error;
}

void HostCloseDatabase(HostDatabase* database)
{
    if (database) {
        ::MsiCloseHandle(database->handle);
        delete database;
    }
}

HRESULT HostReadProperty(HostDatabase* database, LPCWSTR name, LPWSTR value, DWORD chars)
{
    HRESULT hr = S_OK;
    MSIHANDLE view = 0;
    MSIHANDLE query = 0;
    MSIHANDLE record = 0;
    UINT error = 0;

    if (ERROR_SUCCESS != ::MsiDatabaseOpenViewW(database->handle,
                                                L"SELECT `Value` FROM `Property` WHERE `Property` = ?", &view)) {
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

UINT HostReadTemplate(HostDatabase* database, LPWSTR value, DWORD chars)
{
    MSIHANDLE summary = 0;
    UINT type = VT_EMPTY;
    INT number = 0;
    FILETIME time = {};
    UINT error = ::MsiGetSummaryInformationW(database->handle, nullptr, 0, &summary);

    if (ERROR_SUCCESS == error) {
        error = ::MsiSummaryInfoGetPropertyW(summary, PID_TEMPLATE, &type, &number, &time, value, &chars);
    }
    if (ERROR_SUCCESS == error && VT_LPSTR != type) {
        value[0] = L'\0';
    }
    if (summary) ::MsiCloseHandle(summary);
    return error;
}

HRESULT HostOpenMediaRows(HostDatabase* database, HostMediaRows** rows)
{
    HRESULT hr = S_OK;

    *rows = new HostMediaRows{};
    if (MSICONDITION_NONE == ::MsiDatabaseIsTablePersistentW(database->handle, L"Media")) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(::MsiDatabaseOpenViewW(database->handle, L"SELECT `Cabinet` FROM `Media` ORDER BY `DiskId`",
                                               &(*rows)->view));
    EXIT_WIN32_IF_ERROR(::MsiViewExecute((*rows)->view, 0));

Exit:
    return hr;
}

HRESULT HostNextCabinet(HostMediaRows* rows, LPWSTR name, DWORD chars)
{
    HRESULT hr = S_OK;
    UINT error = ERROR_SUCCESS;

    if (0 == rows->view) {
        hr = S_FALSE;
        goto Exit;
    }
    if (rows->record) {
        ::MsiCloseHandle(rows->record);
        rows->record = 0;
    }
    error = ::MsiViewFetch(rows->view, &rows->record);
    if (ERROR_NO_MORE_ITEMS == error) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(error);
    EXIT_WIN32_IF_ERROR(::MsiRecordGetStringW(rows->record, 1, name, &chars));

Exit:
    return hr;
}

void HostCloseMediaRows(HostMediaRows* rows)
{
    if (rows) {
        if (rows->record) ::MsiCloseHandle(rows->record);
        if (rows->view) ::MsiCloseHandle(rows->view);
        delete rows;
    }
}

int wmain(int argc, wchar_t** argv)
{
    return PackerMain(argc, argv);
}
