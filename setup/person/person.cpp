#include "person.h"

#include "bundlemanifest.h"
#include "messages.h"
#include "restart.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "window.h"

namespace {

enum class Answerer { Boxes, Nobody, Window };

struct Person {
    Answerer answerer;
    BOOL welcome;      // the window shows the welcome page
    BOOL finish;       // and the last page
    LPCWSTR chosen;    // the switch of the action chosen on the welcome page
};

// Zero at the start (the program has no writable data of its own in the file).
Person Current = {Answerer::Boxes, FALSE, FALSE, nullptr};
// The window's caption and headings, kept while it is open.
WideString WindowHeadingText = nullptr;

const WCHAR INSTALL_ERROR_CAPTION[] = L"Install Error";

LPCWSTR AnswerName(int answer)
{
    switch (answer) {
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDABORT: return L"Abort";
    case IDRETRY: return L"Retry";
    case IDIGNORE: return L"Ignore";
    case IDYES: return L"Yes";
    case IDNO: return L"No";
    default: return L"no answer";
    }
}

LPCWSTR CommandName(WindowCommand command)
{
    switch (command) {
    case COMMAND_INSTALL: return L"Install";
    case COMMAND_CANCEL: return L"Cancel";
    case COMMAND_RESTART_NOW: return L"Restart now";
    case COMMAND_RESTART_LATER: return L"Restart later";
    case COMMAND_REPAIR: return L"Repair";
    case COMMAND_UNINSTALL: return L"Uninstall";
    default: return L"Close";
    }
}

// A line of the log holds the text's first line only: what follows is the
// program's own addition (the log's path) or the installer's detail.
int FirstLineChars(LPCWSTR text)
{
    int chars = 0;
    while (L'\0' != text[chars] && L'\r' != text[chars] && L'\n' != text[chars]) {
        ++chars;
    }
    return chars;
}

LPCWSTR PageName(Registered kind)
{
    switch (kind) {
    case Registered::Older: return L"upgrade";
    case Registered::Same: return L"maintenance";
    case Registered::Newer: return L"newer version";
    default: return L"welcome";
    }
}

FinishKind FinishKindOf(HRESULT result)
{
    if (RESULT_CANCELLED_BY_USER == result) {
        return FinishKind::Cancelled;
    }
    if (IsRestartRequired(result)) {
        return FinishKind::RestartNeeded;
    }
    return SUCCEEDED(result) ? FinishKind::Done : FinishKind::Failed;
}

} // namespace

void PersonBeginRun(DWORD uiLevel)
{
    Current = {IsUnattendedUiLevel(uiLevel) ? Answerer::Nobody : Answerer::Boxes, FALSE, FALSE, nullptr};
}

void PersonEndRun()
{
    if (Answerer::Window == Current.answerer) {
        WindowClose();
    }
    StrutilFree(WindowHeadingText);
    WindowHeadingText = nullptr;
    Current = {Answerer::Boxes, FALSE, FALSE, nullptr};
}

void PersonOpenWindow(DWORD uiLevel, BOOL hasWindow, InstallAction action, BOOL elevatedCopy, const RECT* place)
{
    if (!hasWindow || UI_LEVEL_NONE == uiLevel || FAILED(WindowHeading(&WindowHeadingText)) ||
        FAILED(WindowOpen(WindowHeadingText, place))) {
        return;
    }
    const BOOL attended = !IsUnattendedUiLevel(uiLevel) && !elevatedCopy;
    Current = {Answerer::Window, attended && InstallAction::Install == action, attended, nullptr};
    RunLogLine("window: opened (%ls)", Current.welcome ? L"welcome first" : L"progress");
    if (!Current.welcome) {
        RunLogLine("window: progress page");
        WindowShowProgress();
    }
}

LPCWSTR PersonHandOverWindow(WCHAR (&text)[WINDOW_PLACE_CHARS])
{
    RECT place = {};
    if (Answerer::Window != Current.answerer) {
        return nullptr;
    }
    WindowStepAside(&place);
    RunLogLine("window: handed to the elevated copy");
    return SUCCEEDED(BoundedFormat(text, WINDOW_PLACE_CHARS, L"%ld,%ld,%ld,%ld %ls", place.left, place.top,
                                   place.right - place.left, place.bottom - place.top,
                                   nullptr != Current.chosen ? Current.chosen : L""))
               ? text
               : nullptr;
}

BOOL PersonWelcomes()
{
    return Current.welcome;
}

HRESULT PersonWelcome(const RegisteredVersion* registered, InstallAction* action)
{
    HRESULT hr = S_OK;
    WelcomeFacts facts = {};
    WindowCommand command = COMMAND_CLOSE;

    if (!Current.welcome) {
        goto Exit;
    }
    EXIT_IF_FAILED(WindowWelcomeFacts(registered, &facts));
    RunLogLine("window: %ls page%ls", PageName(registered->kind), nullptr != facts.licence ? L" with the licence" : L"");
    command = WindowWelcome(&facts);
    RunLogLine("window: %ls pressed", CommandName(command));
    if (COMMAND_REPAIR == command) {
        *action = InstallAction::Repair;
        Current.chosen = REPAIR_SWITCH;
    } else if (COMMAND_UNINSTALL == command) {
        *action = InstallAction::Uninstall;
        Current.chosen = UNINSTALL_SWITCH;
    } else if (COMMAND_INSTALL != command) {
        // Nothing has happened that a last page would have to tell.
        Current.finish = FALSE;
        EXIT_WITH(Registered::Newer == registered->kind ? RESULT_PRODUCT_VERSION : RESULT_CANCELLED_BY_USER);
    }
    RunLogLine("window: progress page");
    WindowShowProgress();

Exit:
    WindowReleaseWelcomeFacts(&facts);
    return hr;
}

BOOL PersonHasWindow()
{
    return Answerer::Window == Current.answerer;
}

BOOL PersonCancelled()
{
    return Answerer::Window == Current.answerer && WindowCancelled();
}

HRESULT PersonFinish(HRESULT result, LPCWSTR failedEntry, LPCWSTR log, BOOL noRestart)
{
    WideString text = nullptr;
    const FinishKind kind = FinishKindOf(result);

    if (Answerer::Window != Current.answerer || !Current.finish) {
        return result;
    }
    if (SUCCEEDED(FinishText(result, failedEntry, &text))) {
        RunLogLine("window: last page: %.*ls", FirstLineChars(text), text);
        const WindowCommand command = WindowFinish(kind, text, log, !noRestart);
        RunLogLine("window: %ls pressed", CommandName(command));
        if (COMMAND_RESTART_NOW == command && SUCCEEDED(RestartComputer())) {
            result = RESULT_RESTART_STARTED;
        }
    }
    StrutilFree(text);
    return result;
}

void PersonTell(TellKind kind, LPCWSTR text)
{
    PersonAsk(text, MB_OK | static_cast<UINT>(kind));
}

int PersonAsk(LPCWSTR text, UINT style)
{
    int answer = 0;
    switch (Current.answerer) {
    case Answerer::Nobody:
        return 0;
    case Answerer::Window:
        answer = WindowAsk(text, style);
        break;
    case Answerer::Boxes:
        answer = ::MessageBoxExW(nullptr, text, INSTALL_ERROR_CAPTION, style, 0);
        break;
    }
    RunLogLine("asked: %.*ls: %ls", FirstLineChars(text), text, AnswerName(answer));
    return answer;
}

void PersonProgress(LPCWSTR entry, LPCWSTR actionText, DWORD position)
{
    if (Answerer::Window == Current.answerer) {
        WindowProgress(entry, actionText, position);
    }
}
