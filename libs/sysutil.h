// Functions of the system that older Windows versions lack, and DLLs taken
// from the system folder only.
#pragma once

#include <windows.h>

// A function of a DLL every process has loaded (kernel32, ntdll), looked up
// at run time rather than imported: an import of a function the system lacks
// would keep the program from starting at all. Null where the system has none.
FARPROC SysutilLoadedFunction(LPCWSTR module, LPCSTR name);

// Through a plain function pointer type: the cast between two unrelated
// function pointer types is what GetProcAddress requires anyway.
template <typename Function>
Function SysutilKernelFunction(LPCSTR name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(SysutilLoadedFunction(L"kernel32.dll", name)));
}

template <typename Function>
Function SysutilNtFunction(LPCSTR name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(SysutilLoadedFunction(L"ntdll.dll", name)));
}

// A function of a DLL this program loaded, by name or by ordinal
// (MAKEINTRESOURCEA): a failure, and a null function, where it has none.
HRESULT SysutilResolveAddress(HMODULE module, LPCSTR name, FARPROC* address);

template <typename Function>
HRESULT SysutilResolve(HMODULE module, LPCSTR name, Function* function)
{
    FARPROC address = nullptr;
    const HRESULT hr = SysutilResolveAddress(module, name, &address);
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return hr;
}

// Loads a DLL (a bare name such as L"msi.dll") from the system folder only,
// never from the program's folder or the current one: by the search flags,
// or, where the system lacks them, by its full path there.
HRESULT SysutilLoadSystemLibrary(LPCWSTR name, HMODULE* module);

// Bytes nobody can predict, from the platform's random number generator
// (bcrypt.dll, taken from the system folder only): for names that others must
// not be able to take beforehand.
HRESULT SysutilRandom(void* bytes, DWORD size);
