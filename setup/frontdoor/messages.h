// The boxes the program shows: the help box and the "Install Error" boxes.
#pragma once

#include <windows.h>

HRESULT ShowHelpMessage();
// The platform's text for the code; in a logged setup run a line naming the
// run's log follows, so that whoever saw the failure can find out why.
void ShowSystemErrorMessage(HRESULT code);
// The same, unless the run is unattended (/quiet, /passive): nobody would be
// there to click it, and the exit code carries the failure.
void ShowSystemErrorMessageUnlessUnattended(HRESULT code, DWORD uiLevel);
// The platform's text for the code with Retry and Cancel: IDRETRY, IDCANCEL
// (or another answer that is no Retry), or 0 when there is no text or no box
// could be shown.
int AskRetryOrCancel(HRESULT code);
// Why an elevated run refuses the /log file, in the user's language, and the
// path; not shown when the run is unattended.
void ShowLogRefusedUnlessUnattended(LPCWSTR logPath, DWORD uiLevel);
// A prerequisite program that failed, in the user's language: its file name,
// its exit code and the run's log; not shown when the run is unattended.
void ShowProgramFailedUnlessUnattended(LPCWSTR programName, DWORD exitCode, DWORD uiLevel);
