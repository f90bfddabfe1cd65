// Functions of the system that older Windows versions lack.
#pragma once

#include <windows.h>

// A kernel32 function looked up at run time rather than imported: an import of
// a function the system lacks would keep the program from starting at all.
// Null where the system has none.
template <typename Function>
Function SysutilKernelFunction(LPCSTR name)
{
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC address = kernel ? ::GetProcAddress(kernel, name) : nullptr;
    // Through a plain function pointer type: the cast between two unrelated
    // function pointer types is what GetProcAddress requires anyway.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}
