#include "installwait.h"

#include "messages.h"
#include "results.h"
#include "runlog.h"

namespace {

constexpr ULONGLONG WAIT_LIMIT_MS = 10 * 60 * 1000;
constexpr DWORD FIRST_PAUSE_MS = 500;
constexpr DWORD LONGEST_PAUSE_MS = 15000;

// Doubling from half a second: a short installation elsewhere costs little
// waiting, a long one is not polled more than every 15 seconds.
DWORD PauseBeforeAttempt(DWORD attemptsMade, ULONGLONG waited)
{
    DWORD pause = FIRST_PAUSE_MS;
    for (DWORD k = 1; k < attemptsMade && pause < LONGEST_PAUSE_MS; ++k) {
        pause *= 2;
    }
    pause = pause < LONGEST_PAUSE_MS ? pause : LONGEST_PAUSE_MS;
    // The last attempt falls on the limit itself.
    return WAIT_LIMIT_MS - waited < pause ? static_cast<DWORD>(WAIT_LIMIT_MS - waited) : pause;
}

} // namespace

BOOL InstallerWaitForNextAttempt(InstallerWait* wait)
{
    const DWORD attempt = ++wait->attempts;
    const ULONGLONG waited = ::GetTickCount64() - wait->started;

    const int answer = AskRetryOrCancel(RESULT_INSTALLER_BUSY);
    if (0 != answer) {
        RunLogLine("  another installation is in progress (1618), attempt %lu: %ls", attempt,
                   IDRETRY == answer ? L"Retry chosen" : L"Cancel chosen");
        return IDRETRY == answer;
    }
    // Nobody can answer (unattended, or no box could be shown): the run waits.
    if (waited >= WAIT_LIMIT_MS) {
        RunLogLine("  another installation is in progress (1618), attempt %lu: still after %lu s, given up", attempt,
                   static_cast<DWORD>(waited / 1000));
        return FALSE;
    }
    const DWORD pause = PauseBeforeAttempt(attempt, waited);
    RunLogLine("  another installation is in progress (1618), attempt %lu: waiting %lu ms", attempt, pause);
    ::Sleep(pause);
    return TRUE;
}
