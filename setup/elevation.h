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

// Asked by the setup run before it writes anything: whether an elevated copy
// must do the run instead (a package for all users that fits this Windows, a
// process that is not elevated, and a run that may prompt: not /quiet).
BOOL NeedsElevatedCopy(const PackageManifest* manifest, DWORD uiLevel, BOOL elevated, BOOL windows64Bit);
// Starts the elevated copy and waits for it. The copy is given the arguments
// of this process behind ELEVATED_COPY_SWITCH, and the program path and current
// folder as it can reach them (a mapped network drive by its server's name).
// The result is the copy's exit code as a result (0 S_OK, 1 as it is, any other
// code N 0x8007xxxx with N in the low 16 bits); a declined prompt fails with
// 0x80070642 (1602, cancelled by the user). Any other failure to start the
// copy is shown in the "Install Error" box unless the run is unattended.
HRESULT RunElevatedCopy(DWORD uiLevel);

// Turns on the platform's redirection trust for this process, where it has it.
void EnforceRedirectionTrust();
