// What the program says to the person: the help box, and the texts of the
// "Install Error" messages, which the person room shows or keeps to the log.
#pragma once

#include <windows.h>
#include "strutil.h"

HRESULT ShowHelpMessage();
// The platform's text for the code; in a logged setup run a line naming the
// run's log follows, so that whoever saw the failure can find out why.
void ShowSystemErrorMessage(HRESULT code);
// The platform's text for the code with Retry and Cancel: IDRETRY, IDCANCEL
// (or another answer that is no Retry), or 0 when there is no text or nobody
// could answer.
int AskRetryOrCancel(HRESULT code);
// The window's last page for a run's result: done, a restart needed,
// cancelled, or the failure: the entry to blame (null when none is) and the
// platform's text for the result.
HRESULT FinishText(HRESULT result, LPCWSTR failedEntry, WideString* text);
// Why an elevated run refuses the /log file, in the user's language, and the path.
void ShowLogRefused(LPCWSTR logPath);
// A prerequisite program that failed, in the user's language: its file name,
// its exit code and the run's log.
void ShowProgramFailed(LPCWSTR programName, DWORD exitCode);
