// File operations around the packages: numbered temporary files, moves that
// create the target's folder on demand, name parts of paths, version texts.
#pragma once

#include <windows.h>
#include "strutil.h"

HRESULT FileutilCreateNumberedTemp(LPCWSTR prefix, LPCWSTR extension, WideString* path, HANDLE* file);
// `target` is cut in place at its last backslash when its folder must be made,
// and restored before the call returns.
HRESULT FileutilMoveCreatingFolder(LPCWSTR source, LPWSTR target, BOOL overwrite, BOOL allowCopy);
// Deletes the file at `path`; no file there (or no folder) is success.
HRESULT FileutilDeleteIfPresent(LPCWSTR path);
// Starts the file at `path` anew, empty: whatever is there is deleted first and
// the file created with CREATE_NEW, so a hard link or a file someone else
// placed at that name is never written through. The file is closed again.
HRESULT FileutilCreateEmptyFile(LPCWSTR path);
BOOL FileutilIsFile(LPCWSTR path, DWORD* attributes);
LPCWSTR FileutilNamePart(LPCWSTR path);
HRESULT FileutilBaseName(LPCWSTR path, WideString* baseName);
HRESULT FileutilParseVersion(LPCWSTR text, DWORD* high, DWORD* low);
