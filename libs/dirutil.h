// Folders: trees made on demand, and the folders a setup run works in, held
// open from opening to the end of its work there.
//
// A held folder cannot be renamed, deleted, replaced or turned into a link
// while its handle is open, and on Windows neither can any folder above it.
// Only the folders the run works in are held so; a parent it merely makes its
// own folder in (a temporary folder others write to and keep handles on) is
// opened shared, its place kept by the hold on the folder made inside.
// Every held folder is also reached without links: its final path, as the
// platform resolves it, is exactly the path text the program hands on to the
// installer or a program it starts, so the path cannot lead anywhere else.
#pragma once

#include <windows.h>

// A held folder and the path it is reached by (no separator at the end).
struct HeldFolder {
    HANDLE handle;
    WCHAR path[MAX_PATH];
};
// A record that holds nothing yet.
inline HeldFolder NoHeldFolder()
{
    return {INVALID_HANDLE_VALUE, {}};
}

// Why a candidate folder or file was passed over (a name someone planted, a
// link); the caller may log it. `reason` is a short text.
using DirutilRefusalReport = void (*)(LPCWSTR candidate, LPCWSTR reason);

// `path` is cut in place at its backslashes during the call and restored before
// it returns, so it must be writable.
HRESULT DirutilCreateTree(LPWSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL DirutilIsFolder(LPCWSTR path, DWORD* attributes);

// Holds the folder at `path` when it is a real folder reached without any
// link (its final path is `path`). S_FALSE and nothing held when it is
// missing, is not such a folder, or others keep it from being held.
HRESULT DirutilOpenFolder(LPCWSTR path, HeldFolder* folder);
// The same for a folder that only administrators can change, as the
// program's record says of it: held with full sharing, so that no reader's
// handle stops the run, and with its descriptor readable.
HRESULT DirutilOpenOwned(LPCWSTR path, HeldFolder* folder);
// Opens, shared, a folder that may lie behind a link of its owner's (a user's
// own temporary folder): where it really is, with that final path as its path.
HRESULT DirutilOpenWhereItIs(LPCWSTR path, HeldFolder* folder);
// Holds an existing folder (DirutilOpenFolder) only when an elevated program
// can trust it as it is: its owner is SYSTEM, Administrators or
// TrustedInstaller, and its DACL lets nobody else write to it, delete from it
// or change its permissions or owner, also through what it passes on to new
// entries. Its descriptor is never rewritten. S_FALSE and nothing held otherwise.
HRESULT DirutilOpenProtected(LPCWSTR path, HeldFolder* folder);
// Whether a held folder can be trusted as it is, as DirutilOpenProtected
// judges it: S_OK, or S_FALSE.
HRESULT DirutilIsProtected(const HeldFolder* folder);
// Makes a folder (its parent must exist) that only SYSTEM and Administrators
// may change and Users may read, owned by Administrators, and holds it; an
// existing one is held as DirutilOpenProtected holds it.
HRESULT DirutilCreateProtected(LPCWSTR path, HeldFolder* folder);
// The same, but only a folder this call makes: S_FALSE, nothing held, when
// the name is taken.
HRESULT DirutilCreateProtectedNew(LPCWSTR path, HeldFolder* folder);
// Makes a new folder inside a held one under a name nobody can guess
// (`prefix` and random digits), protected when `protect` (else with what the
// parent passes on), and holds it. A name that is taken already is passed
// over and reported; it never makes the call fail unless every try is taken.
HRESULT DirutilCreateUnique(const HeldFolder* parent, LPCWSTR prefix, BOOL protect, DirutilRefusalReport report,
                            HeldFolder* made);
// The folder `name` directly inside a held one, held (with full sharing when
// a reader holds it unshared); made when missing (with what the parent passes
// on) if `create`. S_FALSE when it is missing and not
// to be made, or something that is no such folder of its own is in the way.
HRESULT DirutilOpenChild(const HeldFolder* parent, LPCWSTR name, BOOL create, HeldFolder* child);
// The path of the entry `name` directly inside a held folder. A path too long
// for MAX_PATH fails: cut to fit, it would name another file.
HRESULT DirutilPathIn(const HeldFolder* folder, LPCWSTR name, WCHAR (&path)[MAX_PATH]);
void DirutilClose(HeldFolder* folder);
// Lets go of a folder the run made and removes it if nothing is left in it.
// Removing a folder never follows a link and never removes one that is not empty.
void DirutilCloseAndRemoveIfEmpty(HeldFolder* folder);

// Whether `entry` (a file or folder handle) is the entry `name` directly inside
// the held `folder`: its final path is the folder's path and the name, so that
// nothing reached through a link or a renamed parent passes.
BOOL DirutilIsEntryOf(HANDLE entry, const HeldFolder* folder, LPCWSTR name);
// The path a handle's file or folder is reached by now, as a program is given
// a path ("C:\..." or "\\server\share\..."), into a buffer of MAX_PATH.
HRESULT DirutilFinalPath(HANDLE handle, WCHAR (&path)[MAX_PATH]);

// The user's temporary folder, ending with a backslash, into a buffer of
// MAX_PATH characters: SYSTEM's own where the platform has one. A folder path
// of MAX_PATH characters or more fails.
HRESULT DirutilGetTempFolder(LPWSTR folder);
// The folder an elevated run keeps its staging folders and logs in: the
// Windows folder's SystemTemp where Windows has it, else its Temp. Only
// administrators can rename or replace either, whatever others may add to
// them. Opened shared, reached without links.
HRESULT DirutilOpenSystemTemp(HeldFolder* folder);
