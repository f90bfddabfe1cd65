// File operations around the packages: numbered temporary files, files made
// new and held, deleted through handles, name parts of paths, version texts.
#pragma once

#include <windows.h>
#include "dirutil.h"
#include "strutil.h"

// A file made new in a held folder under a name nobody can guess: `prefix`,
// the local date and time, and random digits ("fresh_20261208-193045_9f3a1c2e.log"),
// so that names sort by time. It is handed back held as FileutilCreateShared
// holds it, and `path` receives its path.
HRESULT FileutilCreateUnique(const HeldFolder* folder, LPCWSTR prefix, LPCWSTR extension, WCHAR (&path)[MAX_PATH],
                             HANDLE* held);
// A file that another program writes to by its path (the installer, its log):
// made new and held open for appending with others' writing allowed, so that
// nobody can rename, delete or replace it while the hold is open. What is at
// the name is deleted first (FileutilDeleteInFolder when `folder` is given,
// else by path); with a folder, the new file must be its entry.
HRESULT FileutilCreateShared(const HeldFolder* folder, LPCWSTR path, HANDLE* held);
// Never writing through what is already there: the file at the path, if any, is
// deleted first (a failing delete fails the operation) and the new one is
// created with CREATE_NEW. No file there (or no folder) is no failure for the
// delete.
HRESULT FileutilDeleteIfPresent(LPCWSTR path);
// The new file is open for writing and deleting, shared for reading only. With
// a held folder that `path` names a file in, what is at the name goes through
// FileutilDeleteInFolder, and a new file that does not turn out to be that
// folder's entry (a link or a renamed parent led elsewhere) is deleted again:
// RESULT_LINK_ENCOUNTERED. Null for no folder.
HRESULT FileutilCreateNew(LPCWSTR path, const HeldFolder* folder, HANDLE* file);
// Deletes the file `path` names in the held `folder` through a handle of its
// own: opened without following a reparse point and confirmed to be the
// folder's entry, so that no link leads the delete elsewhere. S_OK also when
// there is no such file; S_FALSE, with nothing deleted, when the check fails.
HRESULT FileutilDeleteInFolder(const HeldFolder* folder, LPCWSTR path);
// Removes a held folder the run made, with all in it, and lets it go: every
// entry is deleted through a handle of its own, opened as itself and confirmed
// to be the folder's entry, so that a link inside is deleted and never what it
// leads to; a real folder inside is emptied first. What cannot be deleted (a
// file still open) stays, and so does the folder: FALSE then.
BOOL FileutilRemoveTree(HeldFolder* folder);
// Marks the file open through `file` (opened with DELETE access) for deletion
// when its last handle closes.
HRESULT FileutilDeleteOnClose(HANDLE file);
// Opens a file for reading, shared for reading only: while the handle is open
// nobody can write, rename or delete the file.
HRESULT FileutilHold(LPCWSTR path, HANDLE* held);
// The same for a file just written through `writer`, which is closed; the file
// stays open throughout, and the hold is refused (RESULT_FILE_CHANGED) unless it
// is the very file written. Its content may still have been changed between
// the writer's close and the hold: a read-back tells (FileutilMatchesRange).
HRESULT FileutilHoldWritten(LPCWSTR path, HANDLE* writer, HANDLE* held);
// The text of an open file's identity, "VVVVVVVV-IIIIIIIIIIIIIIII" (volume
// serial and file index), which stays the same under whatever name the file
// is reached; FILE_IDENTITY_CHARS with its terminator.
constexpr DWORD FILE_IDENTITY_CHARS = 26;
HRESULT FileutilFormatIdentity(HANDLE file, WCHAR (&identity)[FILE_IDENTITY_CHARS]);
// `size` bytes at `offset` of an open file, whatever the handle's own
// position; fewer is `shortRead`.
HRESULT FileutilReadAt(HANDLE file, ULONGLONG offset, void* buffer, DWORD size, HRESULT shortRead);
// `size` bytes at `offset` of the file open through `source` (read at that
// place, whatever the handle's own), written at the current place of `target`
// through a buffer of a fixed size. A source that falls short is
// RESULT_INVALID_DATA, a write that falls short (a full disk may report it as
// success) RESULT_DISK_FULL.
HRESULT FileutilCopyRange(HANDLE source, ULONGLONG offset, ULONGLONG size, HANDLE target);
// The same range (FileutilCopyRange) copied into a new file at `path`
// (FileutilCreateNew, so inside the held `folder` when one is given). With
// `held`, the file is handed back held as FileutilHoldWritten holds it, and
// with `verify` too, once held, it is read back and must hold the source's
// bytes (FileutilMatchesRange): someone may have written to it between
// writing and holding. A copy that could not be completed or does not read
// back is deleted again; a device at the path is RESULT_NOT_SUPPORTED.
HRESULT FileutilCopyToNew(HANDLE source, ULONGLONG offset, ULONGLONG size, LPCWSTR path, const HeldFolder* folder,
                          BOOL verify, HANDLE* held);
// Whether `file` holds exactly the `size` bytes at `offset` of `source`, both
// read anew through their handles: S_OK, or RESULT_FILE_CHANGED
// (RESULT_INVALID_DATA when the source falls short).
HRESULT FileutilMatchesRange(HANDLE file, HANDLE source, ULONGLONG offset, ULONGLONG size);
// Closes a hold, if any, and marks it closed.
void FileutilRelease(HANDLE* held);
// Whether two handles are open on the same file (volume and file index).
BOOL FileutilIsSameFile(HANDLE a, HANDLE b);
LPCWSTR FileutilNamePart(LPCWSTR path);
HRESULT FileutilBaseName(LPCWSTR path, WideString* baseName);
