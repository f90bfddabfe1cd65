// Speaking to the person at the machine: what the run tells them, what it asks
// them, and how far it has come. The run never knows who answers: the program's
// own boxes, the bundle's window (window.h), or nobody at all when the run is
// unattended (/quiet, /passive), where nothing is shown and a question has no
// answer.
#pragma once

#include <windows.h>
#include "options.h"

// Who answers from here on: nobody when `uiLevel` is unattended, else the boxes.
// Outside a run the boxes answer.
void PersonBeginRun(DWORD uiLevel);
// Closes the window if it is still open; the boxes answer again.
void PersonEndRun();

// The bundle's window answers from here on when `hasWindow` and the run is not
// /quiet. /passive, an Add/Remove Programs command (/uninstall, /repair) and an
// elevated copy, which the person has started already, get no welcome page;
// /passive and an elevated copy no finish page either. A window that cannot
// be opened (no desktop) leaves the run as it was. `place`, when not null and
// on a screen, is where the window stands (an elevated copy's, where the
// unelevated run's stood).
void PersonOpenWindow(DWORD uiLevel, BOOL hasWindow, InstallAction action, BOOL elevatedCopy, const RECT* place);
// Before the run goes on in an elevated copy: the window steps aside until
// the last page, which this process shows from the copy's exit code, so that
// only the unelevated side opens the log. Returns the window's place for
// WINDOW_PLACE_SWITCH in `text`, followed by the switch of the action the
// person chose on the welcome page (the copy shows none), or null when there
// is no window.
constexpr DWORD WINDOW_PLACE_CHARS = 64;
LPCWSTR PersonHandOverWindow(WCHAR (&text)[WINDOW_PLACE_CHARS]);
// How the bundle's registered versions stand to this one (registration.h):
// they decide what the welcome page offers. `version` is the older one's.
enum class Registered { Nothing, Older, Same, Newer };
struct RegisteredVersion {
    Registered kind;
    ULONGLONG version;
};
// Whether the window shows a welcome page: the run looks up what is registered
// for it only then.
BOOL PersonWelcomes();
// The welcome page, when the window shows one: S_OK once the person pressed
// Install (Repair or Uninstall when this version is registered, which become
// `action`), RESULT_CANCELLED_BY_USER when they cancelled, and
// RESULT_PRODUCT_VERSION once they closed the page that says a newer version
// is registered.
HRESULT PersonWelcome(const RegisteredVersion* registered, InstallAction* action);
// Whether the bundle's window answers: the installer then speaks through it,
// with its own interface off.
BOOL PersonHasWindow();
// Whether the person has confirmed Cancel; the run stops before its next step.
BOOL PersonCancelled();
// The run's end on the window's last page: done, restart needed, failed
// (naming `failedEntry`, null when none is to blame, with Open log for `log`)
// or cancelled. Returns the run's result, RESULT_RESTART_STARTED once Restart
// now has started a restart (never when `noRestart`).
HRESULT PersonFinish(HRESULT result, LPCWSTR failedEntry, LPCWSTR log, BOOL noRestart);

enum class TellKind : UINT {
    Error = MB_ICONERROR,
    Warning = MB_ICONWARNING,
    Information = MB_ICONINFORMATION,
};
// A message that needs nothing back but its reading (an OK question).
void PersonTell(TellKind kind, LPCWSTR text);
// A question with exactly the buttons and icon of `style` (MB_RETRYCANCEL |
// MB_ICONWARNING and the like): the button chosen (IDRETRY, ...), or 0 when
// nobody can answer (an unattended run, or no box could be shown). The log
// records the question and the answer.
int PersonAsk(LPCWSTR text, UINT style);

// How far the whole chain has come, from 0 to PERSON_PROGRESS_END: the entry
// at work (its file name), what it is doing (null when that is not known) and
// the position, which never goes back.
constexpr DWORD PERSON_PROGRESS_END = 10000;
void PersonProgress(LPCWSTR entry, LPCWSTR actionText, DWORD position);
