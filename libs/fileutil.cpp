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
constexpr DWORD VERSION_PART_MAX = 0xFFFF;
constexpr int VERSION_PARTS = 4;

bool IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

bool IsExistsError(DWORD error)
{
    return ERROR_FILE_EXISTS == error || ERROR_ALREADY_EXISTS == error;
}

// Files are copied and compared in blocks of this size.
constexpr DWORD COMPARE_BLOCK_BYTES = 64 * 1024;

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

// Stores one version part into the words: parts 1 and 3 are the upper halves.
void StoreVersionPart(int part, DWORD value, DWORD* high, DWORD* low)
{
    DWORD* word = part < 2 ? high : low;
    *word |= (part % 2 == 0) ? (value << 16) : value;
}

// Both files are read from their start in blocks; neither is ever read whole
// into memory.
HRESULT RewindFile(HANDLE file)
{
    HRESULT hr = S_OK;
    const LARGE_INTEGER start = {};

    EXIT_LAST_ERROR_IF(!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN));

Exit:
    return hr;
}

// A short write is a full disk that reported success.
HRESULT CopyBlocks(HANDLE source, HANDLE target, BYTE* block)
{
    HRESULT hr = S_OK;
    DWORD read = 0;
    DWORD written = 0;

    EXIT_IF_FAILED(RewindFile(source));
    for (;;) {
        EXIT_LAST_ERROR_IF(!::ReadFile(source, block, COMPARE_BLOCK_BYTES, &read, nullptr));
        if (0 == read) {
            break;
        }
        EXIT_LAST_ERROR_IF(!::WriteFile(target, block, read, &written, nullptr));
        if (written != read) {
            EXIT_WITH(RESULT_DISK_FULL);
        }
    }

Exit:
    return hr;
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

HRESULT FileutilCopyToNew(HANDLE source, LPCWSTR path, const HeldFolder* folder, HANDLE* held)
{
    HRESULT hr = S_OK;
    HANDLE file = INVALID_HANDLE_VALUE;
    BYTE* block = static_cast<BYTE*>(MemutilAllocate(COMPARE_BLOCK_BYTES, FALSE));
    BOOL incomplete = FALSE;

    EXIT_IF_NULL_ALLOC(block);
    EXIT_IF_FAILED(FileutilCreateNew(path, folder, &file));
    incomplete = TRUE;
    EXIT_IF_FAILED(CopyBlocks(source, file, block));
    EXIT_IF_FAILED(FileutilHoldWritten(path, &file, held));
    incomplete = FALSE;

Exit:
    // Through the writer while it is open; once it is closed, by name.
    if (incomplete && INVALID_HANDLE_VALUE != file) {
        FileutilDeleteOnClose(file);
    } else if (incomplete) {
        FileutilDeleteInFolder(folder, path);
    }
    if (INVALID_HANDLE_VALUE != file) {
        ::CloseHandle(file);
    }
    if (block) {
        MemutilRelease(block);
    }
    return hr;
}

HRESULT FileutilMatchesFile(HANDLE file, HANDLE other)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER size = {};
    LARGE_INTEGER otherSize = {};
    BYTE* blocks = static_cast<BYTE*>(MemutilAllocate(2 * COMPARE_BLOCK_BYTES, FALSE));
    DWORD read = 0;
    DWORD otherRead = 0;

    EXIT_IF_NULL_ALLOC(blocks);
    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(file, &size));
    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(other, &otherSize));
    if (size.QuadPart != otherSize.QuadPart) {
        EXIT_WITH(RESULT_FILE_CHANGED);
    }
    EXIT_IF_FAILED(RewindFile(file));
    EXIT_IF_FAILED(RewindFile(other));
    do {
        EXIT_LAST_ERROR_IF(!::ReadFile(file, blocks, COMPARE_BLOCK_BYTES, &read, nullptr));
        EXIT_LAST_ERROR_IF(!::ReadFile(other, blocks + COMPARE_BLOCK_BYTES, COMPARE_BLOCK_BYTES, &otherRead, nullptr));
        if (read != otherRead || 0 != memcmp(blocks, blocks + COMPARE_BLOCK_BYTES, read)) {
            EXIT_WITH(RESULT_FILE_CHANGED);
        }
    } while (0 != read);

Exit:
    if (blocks) {
        MemutilRelease(blocks);
    }
    return hr;
}

// Whatever the file's name leads to by now, it is this file that goes when
// the handle closes.
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

// Reads up to four dotted parts of 16 bits each. A bad part stops the reading
// with S_FALSE and keeps the parts read before it, so a caller that only checks
// for failure goes on with the version made of those parts.
HRESULT FileutilParseVersion(LPCWSTR text, DWORD* high, DWORD* low)
{
    HRESULT hr = S_OK;
    LPCWSTR at = text;
    LPWSTR end = nullptr;
    DWORD value = 0;

    *high = 0;
    *low = 0;
    if (nullptr == text) {
        EXIT_WITH(E_INVALIDARG);
    }
    if (*at == L'v' || *at == L'V') {
        ++at;
    }

    for (int part = 0; part < VERSION_PARTS; ++part) {
        value = ::wcstoul(at, &end, 10);
        const bool lastPart = (VERSION_PARTS - 1 == part);
        const bool endsWell = (*end == L'\0') || (!lastPart && *end == L'.');
        if (value > VERSION_PART_MAX || !endsWell) {
            hr = S_FALSE;
            goto Exit;
        }
        StoreVersionPart(part, value, high, low);
        if (*end == L'\0') {
            break;
        }
        at = end + 1;
    }

Exit:
    return hr;
}
