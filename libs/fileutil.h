// File operations around the packages: numbered temporary files, moves that
// create the target's folder on demand, name parts of paths, version texts.
#pragma once

#include <windows.h>
#include "strutil.h"

HRESULT FileutilCreateNumberedTemp(LPCWSTR prefix, LPCWSTR extension, WideString* path, HANDLE* file);
// `target` is cut in place at its last backslash when its folder must be made,
// and restored before the call returns.
HRESULT FileutilMoveCreatingFolder(LPCWSTR source, LPWSTR target, BOOL overwrite, BOOL allowCopy);
// Never writing through what is already there: the file at the path, if any, is
// deleted first (a failing delete fails the operation) and the new one is
// created with CREATE_NEW. No file there (or no folder) is no failure for the
// delete.
HRESULT FileutilDeleteIfPresent(LPCWSTR path);
// The new file is open for writing, shared for reading only.
HRESULT FileutilCreateNew(LPCWSTR path, HANDLE* file);
// Starts the file at `path` anew, empty (FileutilCreateNew), and closes it.
HRESULT FileutilCreateEmptyFile(LPCWSTR path);
HRESULT FileutilCopyNew(LPCWSTR source, LPCWSTR target);
// Opens a file for reading, shared for reading only: while the handle is open
// nobody can write, rename or delete the file.
HRESULT FileutilHold(LPCWSTR path, HANDLE* held);
// The same for a file just written through `writer`, which is closed; the file
// stays open throughout.
HRESULT FileutilHoldWritten(LPCWSTR path, HANDLE* writer, HANDLE* held);
BOOL FileutilIsFile(LPCWSTR path, DWORD* attributes);
LPCWSTR FileutilNamePart(LPCWSTR path);
HRESULT FileutilBaseName(LPCWSTR path, WideString* baseName);
HRESULT FileutilParseVersion(LPCWSTR text, DWORD* high, DWORD* low);
