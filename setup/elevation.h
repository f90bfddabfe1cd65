// Elevation on demand. The program runs with the rights of whoever started it
// (its application manifest asks for asInvoker). A setup run that installs a
// per-machine package, started without elevation and not /quiet, hands itself
// to an elevated copy of the program (the platform's elevation prompt) and
// takes the copy's exit code as its own.
#pragma once

#include <windows.h>
#include "manifest.h"

// Whether the process runs with an elevated token: an administrator's full
// token, or SYSTEM's.
HRESULT IsProcessElevated(BOOL* elevated);

// Called by the setup run before it writes anything. Starts the elevated copy
// when the run needs one, and waits for it: *handedOver is then TRUE and the
// result is the copy's exit code as a result (0 S_OK, 1 as it is, any other
// code N 0x8007xxxx with N in the low 16 bits). A declined prompt fails with
// 0x80070642 (1602, cancelled by the user). *handedOver FALSE and S_OK: the run
// goes on here as started.
HRESULT RunElevatedCopyIfNeeded(const PackageManifest* manifest, DWORD uiLevel, BOOL* handedOver);
