#include "fileutil.h"
#include "dirutil.h"
#include "memutil.h"
#include "result.h"
#include "sysutil.h"

#include <string.h>
#include <wchar.h>

namespace {

// Random names tried before giving up: only a name someone made beforehand
// is ever taken, and nobody can guess them.
constexpr DWORD UNIQUE_NAME_ATTEMPTS = 16;
constexpr DWORD BASE_NAME_MAX_CAPACITY = 256;

bool IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

bool IsExistsError(DWORD error)
{
    return ERROR_FILE_EXISTS == error || ERROR_ALREADY_EXISTS == error;
}

// Files are copied through a buffer of one block and compared through one of
// two (a block of each): whatever a file's size, that is all the memory it takes.
constexpr DWORD BLOCK_BYTES = 1024 * 1024;

HANDLE CreateNewFile(LPCWSTR path)
{
    return ::CreateFileW(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

// Made new and held at once. An access to the data makes the share mode
// count, so that without FILE_SHARE_DELETE nobody can rename or delete the
// file. It is append access: a writer that lets others write (the installer
// and its service both write to one log) is let in, while read access would
// shut out one that does not let others read, as Wine's installer does.
HANDLE CreateSharedFile(LPCWSTR path)
{
    return ::CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file name of a path without its extension: the span [*start, *end).
void FindBaseName(LPCWSTR path, LPCWSTR* start, LPCWSTR* end)
{
    LPCWSTR name = (path[0] != L'\0' && path[1] == L':') ? path + 2 : path;
    for (LPCWSTR at = name; *at != L'\0'; ++at) {
        if (IsSeparator(*at)) {
            name = at + 1;
        }
    }
    LPCWSTR period = nullptr;
    LPCWSTR at = name;
    for (; *at != L'\0'; ++at) {
        if (*at == L'.') {
            period = at;
        }
    }
    *start = name;
    *end = period ? period : at;
}

DWORD NextBlock(ULONGLONG left)
{
    return left < BLOCK_BYTES ? static_cast<DWORD>(left) : BLOCK_BYTES;
}

void DeleteEntries(const HeldFolder* folder);

// One entry of a held folder, deleted through a handle opened as itself (a
// link, not what it leads to); a real folder is held and emptied first.
void DeleteEntry(const HeldFolder* folder, const WIN32_FIND_DATAW& found)
{
    WCHAR path[MAX_PATH];
    HeldFolder inner = NoHeldFolder();
    HANDLE entry = INVALID_HANDLE_VALUE;
    const DWORD attributes = found.dwFileAttributes;

    if (FAILED(DirutilPathIn(folder, found.cFileName, path))) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        S_OK == DirutilOpenFolder(path, &inner)) {
        DeleteEntries(&inner);
        DirutilClose(&inner);
    }
    entry = ::CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (INVALID_HANDLE_VALUE != entry) {
        if (DirutilIsEntryOf(entry, folder, found.cFileName)) {
            FileutilDeleteOnClose(entry);
        }
        ::CloseHandle(entry);
    }
}

void DeleteEntries(const HeldFolder* folder)
{
    WCHAR pattern[MAX_PATH];
    WIN32_FIND_DATAW found = {};
    HANDLE search = SUCCEEDED(DirutilPathIn(folder, L"*", pattern)) ? ::FindFirstFileW(pattern, &found)
                                                                     : INVALID_HANDLE_VALUE;

    for (BOOL more = INVALID_HANDLE_VALUE != search; more; more = ::FindNextFileW(search, &found)) {
        if (0 != lstrcmpW(found.cFileName, L".") && 0 != lstrcmpW(found.cFileName, L"..")) {
            DeleteEntry(folder, found);
        }
    }
    if (INVALID_HANDLE_VALUE != search) {
        ::FindClose(search);
    }
}

} // namespace

// Random digits make the name one that nobody could have made beforehand;
// should it be taken all the same, the next try has other digits.
HRESULT FileutilCreateUnique(const HeldFolder* folder, LPCWSTR prefix, LPCWSTR extension, WCHAR (&path)[MAX_PATH],
                             HANDLE* held)
{
    HRESULT hr = S_OK;
    SYSTEMTIME now = {};
    DWORD random = 0;

    ::GetLocalTime(&now);
    for (DWORD attempt = 0;; ++attempt) {
        if (UNIQUE_NAME_ATTEMPTS == attempt) {
            EXIT_WITH(RESULT_FILE_EXISTS);
        }
        EXIT_IF_FAILED(SysutilRandom(&random, sizeof(random)));
        EXIT_IF_FAILED(BoundedFormat(path, MAX_PATH, L"%ls\\%ls_%04u%02u%02u-%02u%02u%02u_%08lx.%ls", folder->path,
                                     prefix, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                     static_cast<unsigned long>(random), extension));
        *held = CreateSharedFile(path);
        if (INVALID_HANDLE_VALUE != *held) {
            break;
        }
        EXIT_LAST_ERROR_IF(!IsExistsError(::GetLastError()));
    }
    if (!DirutilIsEntryOf(*held, folder, FileutilNamePart(path))) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }

Exit:
    if (FAILED(hr)) {
        FileutilRelease(held);
        path[0] = L'\0';
    }
    return hr;
}

// A file made elsewhere through a link is left empty where it is: deleting it
// would be deleting through that link.
HRESULT FileutilCreateShared(const HeldFolder* folder, LPCWSTR path, HANDLE* held)
{
    HRESULT hr = S_OK;

    *held = CreateSharedFile(path);
    if (INVALID_HANDLE_VALUE == *held && IsExistsError(::GetLastError())) {
        EXIT_IF_FAILED(folder ? FileutilDeleteInFolder(folder, path) : FileutilDeleteIfPresent(path));
        if (S_FALSE == hr) {
            EXIT_WITH(RESULT_LINK_ENCOUNTERED);   // what is there is no file of the folder's own
        }
        *held = CreateSharedFile(path);
    }
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == *held);
    if (folder && !DirutilIsEntryOf(*held, folder, FileutilNamePart(path))) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }

Exit:
    if (FAILED(hr)) {
        FileutilRelease(held);
    }
    return hr;
}

HRESULT FileutilDeleteIfPresent(LPCWSTR path)
{
    HRESULT hr = S_OK;

    if (!::DeleteFileW(path)) {
        hr = ResultFromLastError();
        if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
            hr = S_OK;
        } else {
            EXIT_WITH(hr);
        }
    }

Exit:
    return hr;
}

// CREATE_NEW never opens what is there, so a planted file or a hard link into
// another file is deleted rather than written through. Whatever appears at the
// name between the delete and the second create makes the create fail.
HRESULT FileutilCreateNew(LPCWSTR path, const HeldFolder* folder, HANDLE* file)
{
    HRESULT hr = S_OK;
    HANDLE created = CreateNewFile(path);

    if (INVALID_HANDLE_VALUE == created && IsExistsError(::GetLastError())) {
        EXIT_IF_FAILED(folder ? FileutilDeleteInFolder(folder, path) : FileutilDeleteIfPresent(path));
        if (S_FALSE == hr) {
            EXIT_WITH(RESULT_LINK_ENCOUNTERED);   // what is there is no file of the folder's own
        }
        created = CreateNewFile(path);
    }
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == created);
    if (folder && !DirutilIsEntryOf(created, folder, FileutilNamePart(path))) {
        FileutilDeleteOnClose(created);
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }
    *file = created;
    created = INVALID_HANDLE_VALUE;

Exit:
    if (INVALID_HANDLE_VALUE != created) {
        ::CloseHandle(created);
    }
    return hr;
}

HRESULT FileutilHold(LPCWSTR path, HANDLE* held)
{
    HRESULT hr = S_OK;

    *held = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == *held);

Exit:
    return hr;
}

// The writer itself cannot be the hold: readers that deny writing (the
// installer among them) cannot open a file someone has open for writing. A
// bridge that reads and lets the writer be keeps the file open while the
// writer closes; the hold then fails if anyone else opened it for writing
// meanwhile, and is refused if the name no longer leads to the file written.
HRESULT FileutilHoldWritten(LPCWSTR path, HANDLE* writer, HANDLE* held)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION written = {};
    BY_HANDLE_FILE_INFORMATION holding = {};
    HANDLE bridge = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == bridge);
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(*writer, &written));
    ::CloseHandle(*writer);
    *writer = INVALID_HANDLE_VALUE;
    EXIT_IF_FAILED(FileutilHold(path, held));
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(*held, &holding));
    if (written.dwVolumeSerialNumber != holding.dwVolumeSerialNumber ||
        written.nFileIndexHigh != holding.nFileIndexHigh || written.nFileIndexLow != holding.nFileIndexLow) {
        EXIT_WITH(RESULT_FILE_CHANGED);
    }

Exit:
    if (FAILED(hr)) {
        FileutilRelease(held);
    }
    if (INVALID_HANDLE_VALUE != bridge) {
        ::CloseHandle(bridge);
    }
    return hr;
}

void FileutilRelease(HANDLE* held)
{
    if (INVALID_HANDLE_VALUE != *held) {
        ::CloseHandle(*held);
        *held = INVALID_HANDLE_VALUE;
    }
}

HRESULT FileutilFormatIdentity(HANDLE file, WCHAR (&identity)[FILE_IDENTITY_CHARS])
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};

    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(file, &information));
    EXIT_IF_FAILED(BoundedFormat(identity, FILE_IDENTITY_CHARS, L"%08lX-%08lX%08lX", information.dwVolumeSerialNumber,
                                 information.nFileIndexHigh, information.nFileIndexLow));

Exit:
    return hr;
}

HRESULT FileutilReadAt(HANDLE file, ULONGLONG offset, void* buffer, DWORD size, HRESULT shortRead)
{
    HRESULT hr = S_OK;
    OVERLAPPED at = {};
    DWORD read = 0;

    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    EXIT_LAST_ERROR_IF(!::ReadFile(file, buffer, size, &read, &at));
    if (read != size) {
        EXIT_WITH(shortRead);
    }

Exit:
    return hr;
}

HRESULT FileutilCopyRange(HANDLE source, ULONGLONG offset, ULONGLONG size, HANDLE target)
{
    HRESULT hr = S_OK;
    BYTE* buffer = static_cast<BYTE*>(MemutilAllocate(BLOCK_BYTES, FALSE));
    ULONGLONG done = 0;
    DWORD written = 0;

    EXIT_IF_NULL_ALLOC(buffer);
    while (done < size) {
        const DWORD block = NextBlock(size - done);
        EXIT_IF_FAILED(FileutilReadAt(source, offset + done, buffer, block, RESULT_INVALID_DATA));
        EXIT_LAST_ERROR_IF(!::WriteFile(target, buffer, block, &written, nullptr));
        if (written != block) {
            EXIT_WITH(RESULT_DISK_FULL);
        }
        done += block;
    }

Exit:
    if (buffer) {
        MemutilRelease(buffer);
    }
    return hr;
}

// The file is always a new one (FileutilCreateNew): what was at the path is
// deleted, never written through. Only a file on a disk counts as written: a
// device such as NUL would swallow the bytes and report success.
HRESULT FileutilCopyToNew(HANDLE source, ULONGLONG offset, ULONGLONG size, LPCWSTR path, const HeldFolder* folder,
                          BOOL verify, HANDLE* held)
{
    HRESULT hr = S_OK;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD type = FILE_TYPE_UNKNOWN;
    BOOL incomplete = FALSE;

    EXIT_IF_FAILED(FileutilCreateNew(path, folder, &file));
    type = ::GetFileType(file);
    if (FILE_TYPE_DISK != type) {
        // A device is not ours to delete; a file whose type could not be told
        // is the empty one just created.
        incomplete = FILE_TYPE_UNKNOWN == type;
        EXIT_WITH(RESULT_NOT_SUPPORTED);
    }

    incomplete = TRUE;
    EXIT_IF_FAILED(FileutilCopyRange(source, offset, size, file));
    if (held) {
        EXIT_IF_FAILED(FileutilHoldWritten(path, &file, held));
    }
    if (held && verify) {
        EXIT_IF_FAILED(FileutilMatchesRange(*held, source, offset, size));
    }
    incomplete = FALSE;

Exit:
    if (incomplete && held) {
        FileutilRelease(held);   // no delete gets past a hold
    }
    // Through the writer while it is open; once it is closed, by name.
    if (incomplete && INVALID_HANDLE_VALUE != file) {
        FileutilDeleteOnClose(file);
    } else if (incomplete && folder) {
        FileutilDeleteInFolder(folder, path);
    } else if (incomplete) {
        ::DeleteFileW(path);
    }
    FileutilRelease(&file);
    return hr;
}

HRESULT FileutilMatchesRange(HANDLE file, HANDLE source, ULONGLONG offset, ULONGLONG size)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER fileSize = {};
    BYTE* buffer = nullptr;
    ULONGLONG done = 0;

    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(file, &fileSize));
    if (static_cast<ULONGLONG>(fileSize.QuadPart) != size) {
        EXIT_WITH(RESULT_FILE_CHANGED);
    }
    buffer = static_cast<BYTE*>(MemutilAllocate(2 * BLOCK_BYTES, FALSE));
    EXIT_IF_NULL_ALLOC(buffer);
    while (done < size) {
        const DWORD block = NextBlock(size - done);
        BYTE* const held = buffer + BLOCK_BYTES;
        EXIT_IF_FAILED(FileutilReadAt(file, done, held, block, RESULT_FILE_CHANGED));
        EXIT_IF_FAILED(FileutilReadAt(source, offset + done, buffer, block, RESULT_INVALID_DATA));
        if (0 != memcmp(buffer, held, block)) {
            EXIT_WITH(RESULT_FILE_CHANGED);
        }
        done += block;
    }

Exit:
    if (buffer) {
        MemutilRelease(buffer);
    }
    return hr;
}

BOOL FileutilRemoveTree(HeldFolder* folder)
{
    if (INVALID_HANDLE_VALUE == folder->handle) {
        return TRUE;
    }
    DeleteEntries(folder);
    DirutilClose(folder);
    return ::RemoveDirectoryW(folder->path);
}

HRESULT FileutilDeleteOnClose(HANDLE file)
{
    HRESULT hr = S_OK;
    FILE_DISPOSITION_INFO disposition = {TRUE};

    EXIT_LAST_ERROR_IF(!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)));

Exit:
    return hr;
}

HRESULT FileutilDeleteInFolder(const HeldFolder* folder, LPCWSTR path)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};
    HANDLE file = ::CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);

    if (INVALID_HANDLE_VALUE == file) {
        hr = ResultFromLastError();
        if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
            hr = S_OK;
            goto Exit;
        }
        EXIT_WITH(hr);
    }
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(file, &information));
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !DirutilIsEntryOf(file, folder, FileutilNamePart(path))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(FileutilDeleteOnClose(file));

Exit:
    if (INVALID_HANDLE_VALUE != file) {
        ::CloseHandle(file);
    }
    return hr;
}

LPCWSTR FileutilNamePart(LPCWSTR path)
{
    if (nullptr == path) {
        return nullptr;
    }
    LPCWSTR name = path;
    for (LPCWSTR at = path; *at != L'\0'; ++at) {
        if (IsSeparator(*at) || *at == L':') {
            name = at + 1;
        }
    }
    return name;
}

// The buffer is sized from the path, with room for the terminator, up to 256
// characters; a longer name is refused rather than cut.
HRESULT FileutilBaseName(LPCWSTR path, WideString* baseName)
{
    HRESULT hr = S_OK;
    size_t length = 0;
    DWORD capacity = 0;
    WideString name = nullptr;
    LPCWSTR start = nullptr;
    LPCWSTR end = nullptr;

    EXIT_IF_FAILED(BoundedLength(path, BOUNDED_MAX_SIZE, &length));
    capacity = length < BASE_NAME_MAX_CAPACITY ? static_cast<DWORD>(length) + 1 : BASE_NAME_MAX_CAPACITY;
    EXIT_IF_FAILED(StrutilAllocate(&name, capacity));

    FindBaseName(path, &start, &end);
    if (static_cast<size_t>(end - start) + 1 > capacity) {
        hr = E_INVALIDARG;
        goto Exit;
    }
    EXIT_IF_FAILED(BoundedCopyCount(name, capacity, start, static_cast<size_t>(end - start)));

    *baseName = name;
    name = nullptr;

Exit:
    if (name) {
        StrutilFree(name);
    }
    return hr;
}

BOOL FileutilIsSameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first = {};
    BY_HANDLE_FILE_INFORMATION second = {};
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}
