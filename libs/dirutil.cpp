#include "dirutil.h"
#include "result.h"
#include "strutil.h"

#include <wchar.h>

namespace {

using TempPathFunction = DWORD(WINAPI*)(DWORD capacity, LPWSTR buffer);

// GetTempPath2W gives SYSTEM a temporary folder of its own that standard users
// cannot write to, and everyone else what GetTempPathW gives. Looked up rather
// than imported: systems before it lack it, and an import would keep the
// program from starting there.
TempPathFunction TempPathSource()
{
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC address = kernel ? ::GetProcAddress(kernel, "GetTempPath2W") : nullptr;
    if (nullptr == address) {
        return ::GetTempPathW;
    }
    return reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(address));
}

} // namespace

// Tries the whole path first, so the common case of an existing parent costs one
// call. Only when the parent is missing is the caller's text cut at its last
// backslash (in place, no copy), the parent made, and the backslash put back.
HRESULT DirutilCreateTree(LPWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    HRESULT hr = S_OK;
    LPWSTR cut = nullptr;
    DWORD error = ERROR_SUCCESS;

    if (::CreateDirectoryW(path, attributes)) {
        goto Exit;
    }
    error = ::GetLastError();
    // Another process may have made it at the same moment; that is success too.
    if (ERROR_ALREADY_EXISTS == error) {
        goto Exit;
    }
    // A drive root cannot be created but is a folder all the same.
    if (ERROR_PATH_NOT_FOUND != error && DirutilIsFolder(path, nullptr)) {
        goto Exit;
    }

    cut = ::wcsrchr(path, L'\\');
    if (nullptr == cut) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    *cut = L'\0';
    hr = DirutilCreateTree(path, attributes);
    *cut = L'\\';
    EXIT_IF_FAILED(hr);

    if (!::CreateDirectoryW(path, attributes)) {
        error = ::GetLastError();
        if (ERROR_ALREADY_EXISTS != error) {
            // Folded like ResultFromLastError so that a failure with no error
            // recorded can never read as success.
            EXIT_IF_FAILED(ResultFromLastError());
        }
    }

Exit:
    return hr;
}

BOOL DirutilIsFolder(LPCWSTR path, DWORD* attributes)
{
    const DWORD found = ::GetFileAttributesW(path);
    if (INVALID_FILE_ATTRIBUTES == found || !(found & FILE_ATTRIBUTE_DIRECTORY)) {
        return FALSE;
    }
    if (attributes) {
        *attributes = found;
    }
    return TRUE;
}

HRESULT DirutilGetTempFolder(LPWSTR folder)
{
    HRESULT hr = S_OK;
    const DWORD length = TempPathSource()(MAX_PATH, folder);
    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);

Exit:
    return hr;
}

// The platform picks the unique name and creates the file in the same call, so
// no other process can take it between choice and creation. The file stays even
// when the caller's buffer turns out too small for its name.
HRESULT DirutilTempFileName(LPCWSTR prefix, LPWSTR buffer, SIZE_T capacity)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH];
    WCHAR name[MAX_PATH];

    EXIT_IF_FAILED(DirutilGetTempFolder(folder));
    EXIT_LAST_ERROR_IF(0 == ::GetTempFileNameW(folder, prefix, 0, name));

    EXIT_IF_FAILED(BoundedCopy(buffer, capacity, name));

Exit:
    return hr;
}
