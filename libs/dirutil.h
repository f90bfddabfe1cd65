// Folder trees, folder tests and the platform's unique temporary file names.
#pragma once

#include <windows.h>

// `path` is cut in place at its backslashes during the call and restored before
// it returns, so it must be writable.
HRESULT DirutilCreateTree(LPWSTR path, LPSECURITY_ATTRIBUTES attributes);
// Makes a folder (its parent must exist) that only SYSTEM and Administrators may
// change and Users may read. `trusted` says whether the folder may be used: a
// new one is; an existing one only if it is a real folder (no reparse point)
// owned by SYSTEM, Administrators, TrustedInstaller or the running user, and
// its descriptor is then set anew.
HRESULT DirutilCreateProtected(LPCWSTR path, BOOL* trusted);
BOOL DirutilIsFolder(LPCWSTR path, DWORD* attributes);
// The temporary folder, ending with a backslash, into a buffer of MAX_PATH
// characters: SYSTEM's own where the platform has one. A folder path of MAX_PATH
// characters or more fails.
HRESULT DirutilGetTempFolder(LPWSTR folder);
HRESULT DirutilTempFileName(LPCWSTR prefix, LPWSTR buffer, SIZE_T capacity);
