// Folder trees, folder tests and the platform's unique temporary file names.
#pragma once

#include <windows.h>

// `path` is cut in place at its backslashes during the call and restored before
// it returns, so it must be writable.
HRESULT DirutilCreateTree(LPWSTR path, LPSECURITY_ATTRIBUTES attributes);
// Opens a folder to work in and holds it: while the handle is open nobody can
// rename, delete or replace it, or turn it into a link. S_FALSE and no handle
// when the path is not a real folder of its parent (missing, a reparse point,
// or a name that leads somewhere else through a link at it or above it) or
// when others keep it from being held.
HRESULT DirutilOpenFolder(LPCWSTR path, HANDLE* folder);
// Holds an existing folder (DirutilOpenFolder) only when an elevated program
// can trust it as it is: its owner is SYSTEM, Administrators or
// TrustedInstaller, and its DACL lets nobody else write to it, delete from it
// or change its permissions or owner, also through what it passes on to new
// entries. Its descriptor is never rewritten. S_FALSE and no handle otherwise.
HRESULT DirutilOpenProtected(LPCWSTR path, HANDLE* folder);
// Makes a folder (its parent must exist) that only SYSTEM and Administrators may
// change and Users may read, owned by Administrators, and holds it; an existing
// one is held as DirutilOpenProtected holds it.
HRESULT DirutilCreateProtected(LPCWSTR path, HANDLE* folder);
// Whether `entry` (a file or folder handle) is the entry `name` directly inside
// the held `folder`, by the platform's final paths of both: false for anything
// reached through a link or a renamed parent.
BOOL DirutilIsEntryOf(HANDLE entry, HANDLE folder, LPCWSTR name);
BOOL DirutilIsFolder(LPCWSTR path, DWORD* attributes);
// The temporary folder, ending with a backslash, into a buffer of MAX_PATH
// characters: SYSTEM's own where the platform has one. A folder path of MAX_PATH
// characters or more fails.
HRESULT DirutilGetTempFolder(LPWSTR folder);
