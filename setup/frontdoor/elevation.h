// Elevation on demand. The program runs with the rights of whoever started it
// (its application manifest asks for asInvoker). A setup run that installs a
// per-machine package, started without elevation and not /quiet, hands itself
// to an elevated copy of the program (the platform's elevation prompt) and
// takes the copy's exit code as its own.
#pragma once

#include <windows.h>
#include "fileutil.h"
#include "manifest.h"

// Whether the process runs with an elevated token: an administrator's full
// token, or SYSTEM's.
HRESULT IsProcessElevated(BOOL* elevated);

// Asked by the setup run before it writes anything: whether an elevated copy
// may do the run instead (a process that is not elevated, and a run that may
// prompt: not /quiet). It does when an entry for all users has work to do.
BOOL MayAskForElevation(DWORD uiLevel, BOOL elevated);
// Whether an installer package for all users that fits this Windows is in the
// manifest; programs are not counted (whether one runs is up to its rules).
BOOL HasPerMachinePackage(const PackageManifest* manifest, BOOL windows64Bit);
// The program file (the bundle), held: nobody can rename, replace or write it
// while the hold is open, so the bytes read through it are the ones this
// process was started from. `path` receives its final path, `identity` the
// text of its volume and file index.
HRESULT HoldProgramFile(HANDLE* held, WCHAR (&path)[MAX_PATH], WCHAR (&identity)[FILE_IDENTITY_CHARS]);
// Starts the elevated copy and waits for it. The copy is given the arguments
// of this process behind ELEVATED_COPY_SWITCH and this program file's
// identity, this file by its final path (held until the copy has ended, so
// that the copy runs these bytes), and the current folder as it can reach it
// (a mapped network drive by its server's name, a SUBST drive by the folder it
// stands for). The result is the copy's exit code as a result (0 S_OK, 1 as it
// is, any other code N 0x8007xxxx with N in the low 16 bits); a declined prompt
// fails with 0x80070642 (1602, cancelled by the user). Any other failure to
// start the copy is told to the person (person.h). `windowPlace`, when not
// null, is given to the copy behind WINDOW_PLACE_SWITCH, followed by a
// channel behind OUTCOME_SWITCH on which the copy hands back what `outcome`
// receives (empty when nothing usable came back; copyoutcome.h).
struct CopyOutcome;
HRESULT RunElevatedCopy(LPCWSTR windowPlace, CopyOutcome* outcome);
// In the copy: whether this process runs from the file its starter held
// (`identity`, as the starter gave it, FileutilFormatIdentity): S_OK, or
// RESULT_FILE_CHANGED.
HRESULT IsStartedFromFile(LPCWSTR identity);

// Turns on the platform's redirection trust for this process: S_OK, S_FALSE
// where the platform lacks it, or the failure.
HRESULT EnforceRedirectionTrust();
