// A prerequisite program's run: started from the folder the run wrote it into,
// waited for, and its exit code turned into the run's result.
//
// It is started by its full path (never searched for), with the command line
// `"NAME.exe" ARGUMENTS`, its own folder as the current folder, no handle of
// this process inherited, and not through the shell, which would choose the
// program by file type and might ask the user first. Its TEMP and TMP name a
// folder the run made for it, its PATH only system folders (programenv.h).
#pragma once

#include <windows.h>
#include "prereqargs.h"

// Starts the program at `path` with `arguments`, `tempFolder` as its TEMP and
// TMP, and waits for it to end. An
// exit code of 1618 (another installation in progress) is waited out as an
// installer call is (installwait.h), unless the vendor said what it means.
HRESULT RunProgram(LPCWSTR path, TextSpan arguments, const PrereqParameters* parameters, LPCWSTR tempFolder,
                   DWORD* exitCode);

// What the exit code means for the run, the vendor's /exitcode lines first:
// S_OK; a restart that is due (0x80070BC2, 0x80070BC3) or started
// (0x80070669); the user's cancel (0x80070642); 1 (INSTALLER_FAILURE_TOLERATED)
// for a failure that `tolerateFailure` lets pass; else the failure with the
// code's low 16 bits (ProgramFailureResult).
HRESULT ProgramExitResult(const PrereqParameters* parameters, DWORD exitCode, BOOL tolerateFailure);

// Runs the program (RunProgram) and maps its exit code (ProgramExitResult).
// A failure is told to the person, naming the program, its code and the run's log.
HRESULT RunPrerequisite(LPCWSTR path, TextSpan arguments, const PrereqParameters* parameters, LPCWSTR tempFolder,
                        BOOL tolerateFailure);

// The parameters of the program entry whose bytes are the resource
// `programResourceName` (EXE<nn>), read where the running bundle keeps them:
// 0x8007000D when they are missing or damaged.
HRESULT PrereqLocateParameters(LPCSTR programResourceName, PrereqParameters* parameters);
