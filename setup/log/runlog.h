// The bundle's own log of a setup run: what the run found, decided and got,
// one line at a time with the time in front, for the administrator who has to
// find out afterwards why a run ended as it did. Help and extraction keep no
// log: they write only what they were asked for.
//
// Nothing here fails or slows the run: a line or a whole log that cannot be
// written is left out. Outside a run begun with RunLogBegin every call does
// nothing.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "dirutil.h"
#include "options.h"

// Begins the run's log with the program, the bundle, the UI level and the
// switches (`argv` as the command line was split). The lines wait in memory
// until RunLogStartFile: an elevated copy may yet take the run over, and
// nothing is written before that is decided.
// `redirectionTrust` is what EnforceRedirectionTrust answered.
void RunLogBegin(int argc, LPWSTR* argv, DWORD uiLevel, HRESULT redirectionTrust);
// One line; `format` as for StrutilFormat (%ls for a text), in plain ASCII:
// the log's own words are English, and a narrow literal is half the bytes.
void RunLogLine(const char* format, ...);
// Gives the log its file. With `givenPath` (the /log file, which the installer
// appends its sessions to) the file is started anew, empty, and its failure is
// returned: it is the run's; `path` receives the full path it was started at,
// the one to give the installer (empty without a /log file or on failure). An
// elevated run takes it only in a folder reached without links, which it
// holds until the run ends, and fails with RESULT_LOG_FOLDER_UNTRUSTED
// otherwise. Without it, a new file in the run's log folder named after the
// bundle (fresh_DATE-TIME_RANDOM.log for fresh.exe), and a file that cannot be
// made leaves the log out. The /log file is started anew also when no run is
// being logged.
HRESULT RunLogStartFile(LPCWSTR givenPath, BOOL elevated, WCHAR (&path)[MAX_PATH]);
// The last line, "exit code N", and the end of the log. A run that ended
// before RunLogStartFile (handed to an elevated copy, or failed first) gets
// its file in the log folder here.
void RunLogEnd(int exitCode);
// The log's file, null while it has none.
LPCWSTR RunLogPath();
// The folder of the run's logs (staging.h OpenLogFolder), held until the run
// ends; null outside a run or when it cannot be opened. The installer's own
// logs go there when no /log is given.
const HeldFolder* RunLogFolder();

// Lines of their own, for decisions whose reasons take more than a format.
void RunLogMachine(BOOL windows64Bit, BOOL elevated, BOOL elevatedCopy);
void RunLogPackage(DWORD index, const ManifestPackageEntry* entry);
void RunLogAction(InstallAction action);
// A damaged `list` ("manifest", "cabinet list") and its first damaged entry
// (ValidateManifest, ValidateCabinets), numbered from 1 as the package lines
// are; `fileName` is the entry's field, null when no entry is to blame. The
// name is shown, its control characters as '?'.
void RunLogDamagedList(LPCWSTR list, DWORD index, const WCHAR* fileName);
// Where a cached package goes: `cached` is false when an elevated run has no
// all-users cache of its own.
void RunLogCacheFolder(BOOL elevated, BOOL cached);
// After a delete of a file the run wrote: `deleted` is FileutilDeleteInFolder's answer.
void RunLogDeleted(LPCWSTR path, HRESULT deleted);
// A folder name passed over, and why (DirutilRefusalReport).
void RunLogPassedOver(LPCWSTR candidate, LPCWSTR reason);
// Why a step failed, for a line of the log: "error 32: " and the platform's
// text for it, or the code alone when the platform has no text.
constexpr DWORD RUN_LOG_REASON_CHARS = 256;
struct RunLogReasonText {
    WCHAR text[RUN_LOG_REASON_CHARS];
};
RunLogReasonText RunLogReason(HRESULT failure);
// Whole seconds since a tick count taken before an installer call.
DWORD RunLogSecondsSince(ULONGLONG started);
