// The bundle's own window: a welcome page, one progress bar across the whole
// chain, and a last page that says how the run ended. It lives on a thread of
// its own, so that it keeps drawing and answering while the run waits for the
// installer; the run reaches it only through the person room (person.h).
#pragma once

#include <windows.h>
#include "person.h"
#include "strutil.h"

// The most buttons a page carries.
constexpr int WINDOW_BUTTONS = 3;
struct WelcomeFacts {
    WideString heading;   // the product's name and version
    WideString details;   // its company, and what the run will do
    WideString licence;   // null without a licence to accept
    BOOL richLicence;     // the licence is rich text (bundlemanifest.h)
    WORD commands[WINDOW_BUTTONS];
};
// The window's caption and headings: the product's name, and its version when
// the bundle has a registration record.
HRESULT WindowHeading(WideString* heading);
// What the welcome page shows and offers for what is registered
// (windowtexts.cpp); released with the function after.
HRESULT WindowWelcomeFacts(const RegisteredVersion* registered, WelcomeFacts* facts);
void WindowReleaseWelcomeFacts(WelcomeFacts* facts);
// The buttons a page can carry; each is the control's own identifier.
enum WindowCommand : WORD {
    COMMAND_INSTALL = 1001,
    COMMAND_CLOSE,
    COMMAND_CANCEL,
    COMMAND_RESTART_NOW,
    COMMAND_RESTART_LATER,
    COMMAND_OPEN_LOG,
    COMMAND_REPAIR,
    COMMAND_UNINSTALL,
};
enum class FinishKind { Done, RestartNeeded, Failed, Cancelled };

// Opens the window with its heading, at `place` when that is on a screen (else
// where the system puts it): S_OK, or the failure (no desktop), after which
// nothing else here may be called.
HRESULT WindowOpen(LPCWSTR heading, const RECT* place);
// Hides the window until its next page; `place` receives where it stood.
void WindowStepAside(RECT* place);
// The welcome page; returns the button pressed once the person has chosen
// (COMMAND_CLOSE also when the window is closed).
WindowCommand WindowWelcome(const WelcomeFacts* facts);
// The progress page: the bar at `position` of PERSON_PROGRESS_END, never
// moved back, with the entry at work and its action (either may be null).
void WindowShowProgress();
void WindowProgress(LPCWSTR entry, LPCWSTR actionText, DWORD position);
// Whether the person has confirmed Cancel on the progress page.
BOOL WindowCancelled();
// A question in the window's own modal box, with exactly `style`'s buttons.
int WindowAsk(LPCWSTR text, UINT style);
// The last page; returns the button that closed it. A failure's Open log
// opens `log`. `mayRestart` offers Restart now and Restart later on a page
// that needs a restart.
WindowCommand WindowFinish(FinishKind kind, LPCWSTR text, LPCWSTR log, BOOL mayRestart);
void WindowClose();
