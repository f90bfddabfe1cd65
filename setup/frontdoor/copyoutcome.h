// What an elevated copy that did the run hands back to the unelevated process
// that shows the window's last page: the file name of the entry that failed
// and the path of the copy's log, nothing else. It goes through a local pipe
// of a random name that the unelevated side makes before it starts the copy;
// each end checks the other's process, and what arrives is only shown and
// logged. A channel that cannot be made, is taken, stays silent or carries
// anything else leaves the outcome empty and says why in the log.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "options.h"

struct CopyOutcome {
    WCHAR entry[MANIFEST_NAME_CHARS];   // empty when no entry is to blame
    WCHAR log[MAX_PATH];                // empty when the copy had none yet
};

// The unelevated side, before it starts the copy: the pipe, and `argument`,
// OUTCOME_SWITCH's value for the copy. After the copy has ended: what it
// handed back, or an empty outcome.
constexpr DWORD OUTCOME_ARGUMENT_CHARS = OUTCOME_NAME_DIGITS + 12;
HRESULT OutcomeChannelOpen(HANDLE* pipe, WCHAR (&argument)[OUTCOME_ARGUMENT_CHARS]);
void OutcomeChannelReceive(HANDLE pipe, DWORD copyProcessId, CopyOutcome* outcome);

// The copy, as its run ends, when its starter gave it a channel.
void OutcomeHandBack(const OutcomeAddress* address, LPCWSTR failedEntry, LPCWSTR log);

// A message "ENTRY|LOG" of `bytes` from process `sender`: S_OK; E_ACCESSDENIED
// when the sender is not `copy`; RESULT_INVALID_DATA for anything but UTF-16
// without control characters, one '|' and fields that fit.
constexpr DWORD OUTCOME_MESSAGE_CHARS = MANIFEST_NAME_CHARS + MAX_PATH;
HRESULT OutcomeRead(const WCHAR* message, DWORD bytes, DWORD sender, DWORD copy, CopyOutcome* outcome);
