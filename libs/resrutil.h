// Read access to the running executable's own resources: data resources are used
// in place in the mapped image (never copied to the heap) and reach a file in one
// write; string-table entries are loaded into a WideString.
#pragma once

#include <windows.h>
#include "strutil.h"

HRESULT ResrutilLocateData(HMODULE module, LPCSTR name, const BYTE** data, DWORD* size);
// The same for a resource of another type (RT_VERSION and the like).
HRESULT ResrutilLocateResource(HMODULE module, LPCSTR type, LPCSTR name, const BYTE** data, DWORD* size);
// Writes a data resource into a new file at `targetPath` (an existing file there
// is deleted first, never written through), inside the held `folder` when one
// is given (FileutilCreateNew). With `held`, the file is handed back open for
// reading and shared for reading only (FileutilHoldWritten).
HRESULT ResrutilSaveDataToFile(LPCSTR name, LPCWSTR targetPath, HANDLE folder, HANDLE* held);
// Whether the held file holds exactly the data resource's bytes
// (FileutilMatchesBytes): S_OK or RESULT_FILE_CHANGED.
HRESULT ResrutilFileMatchesData(LPCSTR name, HANDLE file);
HRESULT ResrutilLoadText(HMODULE module, UINT id, WideString* text);
