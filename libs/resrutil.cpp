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

namespace {

// The program's own file, proven and held, and where the payload lies in it.
HRESULT OpenPayload(LPCSTR name, HANDLE* program, PayloadRange* range)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(PayloadutilOpenProgramFile(program));
    EXIT_IF_FAILED(PayloadutilLocate(*program, name, range));

Exit:
    if (FAILED(hr)) {
        FileutilRelease(program);
    }
    return hr;
}

} // namespace

// The payload reaches the file in blocks read through the program's own file
// (payloadutil.h), never from the mapped image. A write that failed or fell
// short removes the file rather than leave a truncated package behind.
HRESULT ResrutilSaveDataToFile(LPCSTR name, LPCWSTR targetPath, const HeldFolder* folder, HANDLE* held)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};

    EXIT_IF_FAILED(OpenPayload(name, &program, &range));
    EXIT_IF_FAILED(FileutilCopyToNew(program, range.offset, range.size, targetPath, folder, FALSE, held));

Exit:
    FileutilRelease(&program);
    return hr;
}

HRESULT ResrutilFileMatchesData(LPCSTR name, HANDLE file)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};

    EXIT_IF_FAILED(OpenPayload(name, &program, &range));
    EXIT_IF_FAILED(FileutilMatchesRange(file, program, range.offset, range.size));

Exit:
    FileutilRelease(&program);
    return hr;
}

// The program's file is opened and proven once for the writing and the
// read-back.
HRESULT ResrutilWriteHeldFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                              WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = S_OK;
    HANDLE program = INVALID_HANDLE_VALUE;
    PayloadRange range = {};

    // Files are written only into a folder the run holds.
    if (INVALID_HANDLE_VALUE == folder->handle) {
        EXIT_WITH(E_HANDLE);
    }
    hr = DirutilPathIn(folder, name, path);
    if (FAILED(hr)) {
        path[0] = L'\0';   // a path cut to fit would name another file
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(OpenPayload(resourceName, &program, &range));
    EXIT_IF_FAILED(FileutilCopyToNew(program, range.offset, range.size, path, folder, verify, held));

Exit:
    FileutilRelease(&program);
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
HRESULT ResrutilHoldOrRestoreFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                                  WCHAR (&path)[MAX_PATH], HANDLE* held)
{
    HRESULT hr = ResrutilHoldIntactFile(folder, resourceName, name, path, held);
    if (S_FALSE == hr) {
        hr = ResrutilWriteHeldFile(folder, resourceName, name, verify, path, held);
    }
    return hr;
}

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
