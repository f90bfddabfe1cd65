// A file that another writer appends to as well (the installer, to its log):
// held open with others' writing allowed (FileutilCreateShared),
// so that nobody can rename, delete or replace it, and appended to through a
// handle opened again from the hold for each write. The file is never opened
// again by its path, so whatever someone puts at that name is not written through.
#pragma once

#include <windows.h>

// Writes the bytes at the file's end, whatever the other writer left there.
HRESULT AppendutilWrite(HANDLE held, const void* bytes, DWORD size);
