#include "sysutil.h"
#include "result.h"
#include "strutil.h"

namespace {

// Systems without the search flags (Windows 7 before its loader update) refuse
// LOAD_LIBRARY_SEARCH_SYSTEM32 as an invalid parameter; there the DLL is named by
// its full path in the system folder instead, never by its bare name.
HRESULT LoadByFullPath(LPCWSTR name, HMODULE* module)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    EXIT_LAST_ERROR_IF(length == 0 || length >= MAX_PATH);
    EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, L"\\"));
    EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, name));
    *module = ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXIT_LAST_ERROR_IF_NULL(*module);
Exit:
    return hr;
}

} // namespace

FARPROC SysutilLoadedFunction(LPCWSTR module, LPCSTR name)
{
    const HMODULE loaded = ::GetModuleHandleW(module);
    return loaded ? ::GetProcAddress(loaded, name) : nullptr;
}

HRESULT SysutilLoadSystemLibrary(LPCWSTR name, HMODULE* module)
{
    HRESULT hr = S_OK;
    *module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (nullptr == *module && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        EXIT_IF_FAILED(LoadByFullPath(name, module));
    }
    EXIT_LAST_ERROR_IF_NULL(*module);
Exit:
    return hr;
}

HRESULT SysutilResolveAddress(HMODULE module, LPCSTR name, FARPROC* address)
{
    HRESULT hr = S_OK;

    *address = ::GetProcAddress(module, name);
    EXIT_LAST_ERROR_IF_NULL(*address);

Exit:
    return hr;
}

HRESULT SysutilRandom(void* bytes, DWORD size)
{
    using GenRandomFunction = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags);
    constexpr ULONG USE_SYSTEM_PREFERRED_RNG = 0x2;
    static HMODULE bcrypt = nullptr;   // stays loaded for the life of the process
    HRESULT hr = S_OK;
    GenRandomFunction genRandom = nullptr;
    LONG status = 0;

    if (nullptr == bcrypt) {
        EXIT_IF_FAILED(SysutilLoadSystemLibrary(L"bcrypt.dll", &bcrypt));
    }
    EXIT_IF_FAILED(SysutilResolve(bcrypt, "BCryptGenRandom", &genRandom));
    status = genRandom(nullptr, static_cast<PUCHAR>(bytes), size, USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        EXIT_WITH(E_FAIL);
    }

Exit:
    return hr;
}
