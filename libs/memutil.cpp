#include "memutil.h"
#include "result.h"

void* MemutilAllocate(DWORD bytes, BOOL zeroFill)
{
    return ::HeapAlloc(::GetProcessHeap(), zeroFill ? HEAP_ZERO_MEMORY : 0, bytes);
}

void* MemutilResize(void* block, DWORD bytes, BOOL zeroFill)
{
    return ::HeapReAlloc(::GetProcessHeap(), zeroFill ? HEAP_ZERO_MEMORY : 0, block, bytes);
}

HRESULT MemutilRelease(void* block)
{
    if (::HeapFree(::GetProcessHeap(), 0, block)) {
        return S_OK;
    }
    // A refusal that left no error behind counts as success, by design.
    return ResultFromWin32(static_cast<LONG>(::GetLastError()));
}

DWORD MemutilSize(const void* block)
{
    const SIZE_T size = ::HeapSize(::GetProcessHeap(), 0, block);
    if (size == static_cast<SIZE_T>(-1) || size > 0xFFFFFFFE) {
        return 0xFFFFFFFF;
    }
    return static_cast<DWORD>(size);
}
