// Heap blocks from the process heap. No header, no bookkeeping of our own:
// HeapSize is the only record of a block's size.
#pragma once

#include <windows.h>

void* MemutilAllocate(DWORD bytes, BOOL zeroFill);
void* MemutilResize(void* block, DWORD bytes, BOOL zeroFill);
HRESULT MemutilRelease(void* block);
DWORD MemutilSize(const void* block);
