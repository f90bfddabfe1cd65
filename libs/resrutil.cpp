#include "resrutil.h"
#include "fileutil.h"
#include "payloadutil.h"
#include "result.h"
#include "strutil.h"

namespace {

constexpr DWORD LOAD_TEXT_START_CAPACITY = 64;

} // namespace

HRESULT ResrutilLocateData(HMODULE module, LPCSTR name, const BYTE** data, DWORD* size)
{
    return ResrutilLocateResource(module, MAKEINTRESOURCEA(10), name, data, size);
}

// The bytes stay where the loader put them: the pointer is into the mapped image
// and lives as long as the process. An empty resource counts as missing.
HRESULT ResrutilLocateResource(HMODULE module, LPCSTR type, LPCSTR name, const BYTE** data, DWORD* size)
{
    HRESULT hr = S_OK;
    HRSRC found = nullptr;
    HGLOBAL loaded = nullptr;
    DWORD bytes = 0;

    found = ::FindResourceExA(module, type, name, 0);
    EXIT_LAST_ERROR_IF_NULL(found);

    loaded = ::LoadResource(module, found);
    EXIT_LAST_ERROR_IF_NULL(loaded);

    // SizeofResource reports an empty resource without setting an error; clear
    // any stale one so the failure reads E_FAIL rather than an unrelated code.
    ::SetLastError(ERROR_SUCCESS);
    bytes = ::SizeofResource(module, found);
    EXIT_LAST_ERROR_IF(0 == bytes);

    *data = static_cast<const BYTE*>(::LockResource(loaded));
    EXIT_LAST_ERROR_IF_NULL(*data);

    *size = bytes;

Exit:
    // Resource handles are not real heap handles: there is nothing to release.
    return hr;
}

// The payload reaches the file in blocks read through the program's own file
// (payloadutil.h), never from the mapped image. The file is always a new one
// (FileutilCreateNew): what was at the path is deleted, never written
// through. A write that failed or fell short removes the file rather than
// leave a truncated package behind. Only a file on a disk counts as written:
// a device such as NUL would swallow the package and report success.
HRESULT ResrutilSaveDataToFile(LPCSTR name, LPCWSTR targetPath, const HeldFolder* folder, HANDLE* held)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD type = FILE_TYPE_UNKNOWN;
    BOOL incomplete = FALSE;

    EXIT_IF_FAILED(PayloadutilOpenProgramFile(&program));
    EXIT_IF_FAILED(PayloadutilLocate(program, name, &range));

    EXIT_IF_FAILED(FileutilCreateNew(targetPath, folder, &file));
    type = ::GetFileType(file);
    if (FILE_TYPE_DISK != type) {
        // A device is not ours to delete; a file whose type could not be told
        // is the empty one just created.
        incomplete = FILE_TYPE_UNKNOWN == type;
        EXIT_WITH(RESULT_NOT_SUPPORTED);
    }

    incomplete = TRUE;
    EXIT_IF_FAILED(PayloadutilCopy(program, &range, file));
    if (held) {
        EXIT_IF_FAILED(FileutilHoldWritten(targetPath, &file, held));
    }
    incomplete = FALSE;

Exit:
    // Through the writer while it is open; once it is closed, by name.
    if (incomplete && INVALID_HANDLE_VALUE != file) {
        FileutilDeleteOnClose(file);
    } else if (incomplete && folder) {
        FileutilDeleteInFolder(folder, targetPath);
    } else if (incomplete) {
        ::DeleteFileW(targetPath);
    }
    if (INVALID_HANDLE_VALUE != file) {
        ::CloseHandle(file);
    }
    if (INVALID_HANDLE_VALUE != program) {
        ::CloseHandle(program);
    }
    return hr;
}

HRESULT ResrutilFileMatchesData(LPCSTR name, HANDLE file)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};

    EXIT_IF_FAILED(PayloadutilOpenProgramFile(&program));
    EXIT_IF_FAILED(PayloadutilLocate(program, name, &range));
    EXIT_IF_FAILED(PayloadutilCompare(program, &range, file));

Exit:
    if (INVALID_HANDLE_VALUE != program) {
        ::CloseHandle(program);
    }
    return hr;
}

HRESULT ResrutilWriteHeldFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                              WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = S_OK;

    // Files are written only into a folder the run holds.
    if (INVALID_HANDLE_VALUE == folder->handle) {
        EXIT_WITH(E_HANDLE);
    }
    hr = DirutilPathIn(folder, name, path);
    if (FAILED(hr)) {
        path[0] = L'\0';   // a path cut to fit would name another file
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(ResrutilSaveDataToFile(resourceName, path, folder, held));
    if (verify) {
        hr = ResrutilFileMatchesData(resourceName, *held);
        if (FAILED(hr)) {
            FileutilRelease(held);
            FileutilDeleteInFolder(folder, path);
            goto Exit;
        }
    }

Exit:
    return hr;
}

HRESULT ResrutilHoldIntactFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name,
                               WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(DirutilPathIn(folder, name, path));
    hr = FileutilHold(path, held);
    if (RESULT_FILE_NOT_FOUND == hr) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(hr);
    if (!DirutilIsEntryOf(*held, folder, name)) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }
    EXIT_IF_FAILED(ResrutilFileMatchesData(resourceName, *held));

Exit:
    if (S_OK != hr) {
        path[0] = L'\0';
        FileutilRelease(held);
    }
    return hr;
}

// LoadStringW cuts silently, so a load that fills the buffer to the last place
// may have lost characters: grow and load again until one leaves room to spare.
HRESULT ResrutilLoadText(HMODULE module, UINT id, WideString* text)
{
    HRESULT hr = S_OK;
    DWORD capacity = LOAD_TEXT_START_CAPACITY;
    int loaded = 0;

    for (;;) {
        EXIT_IF_FAILED(StrutilAllocate(text, capacity));

        loaded = ::LoadStringW(module, id, *text, static_cast<int>(capacity));
        EXIT_LAST_ERROR_IF(0 == loaded);

        if (static_cast<DWORD>(loaded) + 1 != capacity) {
            break;
        }
        capacity *= 2;
    }

Exit:
    return hr;
}
