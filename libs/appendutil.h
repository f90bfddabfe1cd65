// A file that another writer appends to as well (the installer, to the /log
// file): held without access to its data, so that any share mode the other
// writer asks for is granted, and appended to through a handle opened again
// from the hold for each write. The file is never opened again by its path, so
// whatever someone puts at that name meanwhile is not written through.
#pragma once

#include <windows.h>

// Turns the writer of a file just created into the hold; the writer is closed
// once the hold is there, and left open when it could not be made.
HRESULT AppendutilHold(HANDLE* writer, HANDLE* held);
// Writes the bytes at the file's end, whatever the other writer left there.
HRESULT AppendutilWrite(HANDLE held, const void* bytes, DWORD size);
