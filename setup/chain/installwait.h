// Waiting out another installation. The installer runs one installation at a
// time and answers 1618 to a call made while another one is busy (Windows
// Update, a deployment tool, another bundle). Such a call is made again:
// unattended after waits that grow from half a second to 15 seconds, for up to
// 10 minutes per call; interactively each time the user chooses Retry in a box
// with the platform's text for 1618. Cancel, or the end of the 10 minutes,
// leaves the 1618 as the call's result.
#pragma once

#include <windows.h>
#include "results.h"

struct InstallerWait {
    ULONGLONG started;   // tick count before the first attempt
    DWORD attempts;      // attempts answered with 1618 so far
};

// After an attempt answered 1618: asks or waits, and says whether to call again.
BOOL InstallerWaitForNextAttempt(InstallerWait* wait);

// `call` makes the installer call once and returns its result.
template <typename Call>
UINT InstallerCallWaitingOutOthers(Call call)
{
    InstallerWait wait = {::GetTickCount64(), 0};
    UINT result = call();
    while (INSTALLER_BUSY == result && InstallerWaitForNextAttempt(&wait)) {
        result = call();
    }
    return result;
}
