// Read access to the running executable's own resources and payloads: data
// resources that are no payload (the manifest, version record, parameters) are
// used in place in the mapped image; payloads (payloadutil.h) reach files
// through reads of the program's own file, never copied to the heap beyond a
// buffer of a fixed size; string-table entries are loaded into a WideString.
#pragma once

#include <windows.h>
#include "dirutil.h"
#include "strutil.h"

HRESULT ResrutilLocateData(HMODULE module, LPCSTR name, const BYTE** data, DWORD* size);
// The same for a resource of another type (RT_VERSION and the like).
HRESULT ResrutilLocateResource(HMODULE module, LPCSTR type, LPCSTR name, const BYTE** data, DWORD* size);
// Writes a payload into a new file at `targetPath` (an existing file there
// is deleted first, never written through), inside the held `folder` when one
// is given (FileutilCreateNew). With `held`, the file is handed back open for
// reading and shared for reading only (FileutilHoldWritten).
HRESULT ResrutilSaveDataToFile(LPCSTR name, LPCWSTR targetPath, const HeldFolder* folder, HANDLE* held);
// Whether the held file holds exactly the payload's bytes, both read anew
// (FileutilMatchesRange): S_OK or RESULT_FILE_CHANGED.
HRESULT ResrutilFileMatchesData(LPCSTR name, HANDLE file);

// A held, checked file: the payload written as the file `name` in the
// held folder and handed back held, so that nobody can change it until the
// hold is closed; `path` receives its path first, so a path too long to
// record writes nothing (0x8007007A). With `verify`, the held file is read
// back and must hold the payload's bytes (RESULT_FILE_CHANGED, and it is
// deleted again): someone may have written to it between writing and holding.
HRESULT ResrutilWriteHeldFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                              WCHAR (&path)[MAX_PATH], HANDLE* held);
// Holds a file that is already the folder's entry `name` when it holds
// exactly the payload's bytes: S_OK held, S_FALSE when there is no such file,
// RESULT_FILE_CHANGED when it differs, RESULT_LINK_ENCOUNTERED when the name
// leads elsewhere. The file itself is left as it is.
HRESULT ResrutilHoldIntactFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name,
                               WCHAR (&path)[MAX_PATH], HANDLE* held);
// The intact file held (ResrutilHoldIntactFile), or, when there is none, the
// payload written there anew (ResrutilWriteHeldFile). A file there that is not
// intact is a failure, and it is left as it is.
HRESULT ResrutilHoldOrRestoreFile(const HeldFolder* folder, LPCSTR resourceName, LPCWSTR name, BOOL verify,
                                  WCHAR (&path)[MAX_PATH], HANDLE* held);
HRESULT ResrutilLoadText(HMODULE module, UINT id, WideString* text);
