// One top-level window of standard controls (so that screen readers name
// them) in the system's colours and message font. Its layout is counted in
// dialog units of that font at the window's DPI, and made again when the DPI
// changes. The run's thread asks it through sent messages and waits for a
// choice on an event; the window's thread never waits for the run.
#include "window.h"

#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>
#include "bundlemanifest.h"
#include "memutil.h"
#include "options.h"
#include "person.h"
#include "resrutil.h"
#include "result.h"
#include "strutil.h"
#include "sysutil.h"
#include "../../res/resource.h"

namespace {

const WCHAR WINDOW_CLASS[] = L"TessaroSetupWindow";

enum Control { ICON, HEADING, DETAILS, LICENCE, ACCEPT, BAR, ENTRY, ACTION, SLOT_1, SLOT_2, SLOT_3, CONTROL_COUNT };
constexpr int SLOT_COUNT = WINDOW_BUTTONS;
// Far from IDOK and IDCANCEL, which Enter and Esc send, and from the commands.
constexpr WORD CONTROL_ID_BASE = 100;

// Where each control sits, in dialog units of a 300 x 160 client area.
struct Place {
    LPCWSTR className;
    DWORD style;
    short x, y, cx, cy;
};
constexpr DWORD CHILD = WS_CHILD | WS_VISIBLE;
const Place PLACES[CONTROL_COUNT] = {
    {L"STATIC", CHILD | SS_ICON, 7, 7, 20, 20},
    {L"STATIC", CHILD | SS_NOPREFIX, 34, 7, 259, 10},
    {L"STATIC", CHILD | SS_NOPREFIX, 34, 19, 259, 26},
    {L"EDIT", CHILD | WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 7, 48, 286, 74},
    {L"BUTTON", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, 7, 125, 286, 10},
    {PROGRESS_CLASSW, CHILD, 7, 70, 286, 10},
    {L"STATIC", CHILD | SS_NOPREFIX | SS_ENDELLIPSIS, 7, 50, 286, 10},
    {L"STATIC", CHILD | SS_NOPREFIX | SS_PATHELLIPSIS, 7, 84, 286, 10},
    // Wide enough for the longest label of the six languages ("Redémarrer maintenant").
    {L"BUTTON", CHILD | WS_TABSTOP, 15, 141, 90, 14},
    {L"BUTTON", CHILD | WS_TABSTOP, 109, 141, 90, 14},
    {L"BUTTON", CHILD | WS_TABSTOP, 203, 141, 90, 14},
};
constexpr int CLIENT_WIDTH_UNITS = 300;
constexpr int CLIENT_HEIGHT_UNITS = 162;

enum : UINT {
    MESSAGE_PAGE = WM_APP + 1,   // lParam: the Page to show
    MESSAGE_PROGRESS,            // lParam: the ProgressReport
    MESSAGE_ASK,                 // wParam: the style, lParam: the text
    MESSAGE_END,
};

// Which controls a page shows and what its buttons do; 0 leaves a slot hidden.
struct Page {
    LPCWSTR heading;
    LPCWSTR details;
    LPCWSTR licence;
    BOOL richLicence;
    BOOL progress;
    WORD commands[SLOT_COUNT];
};

struct ProgressReport {
    LPCWSTR entry;
    LPCWSTR actionText;
    DWORD position;
};

struct WindowState {
    HWND window;
    HWND controls[CONTROL_COUNT];
    HFONT font;
    UINT dpi;
    HANDLE thread;
    HANDLE ready;      // set once the window exists, or failed to
    HANDLE chosen;     // set when a page's button is pressed
    WORD commands[SLOT_COUNT];
    volatile LONG choice;
    volatile LONG cancelled;
    DWORD position;
    LPCWSTR heading;
    const RECT* place;   // where to open, null for the system's choice
    BOOL onProgress;     // the progress page is shown
    LPCWSTR log;         // what Open log opens
};

WindowState State = {};

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);

UINT WindowDpi(HWND window)
{
    const auto getDpi = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (nullptr != getDpi) {
        return getDpi(window);
    }
    HDC screen = ::GetDC(nullptr);
    const UINT dpi = static_cast<UINT>(::GetDeviceCaps(screen, LOGPIXELSY));
    ::ReleaseDC(nullptr, screen);
    return dpi;
}

// The system's message font at `dpi` (the metrics are those of the system's DPI).
HFONT MessageFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    HDC screen = ::GetDC(nullptr);
    const int systemDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), systemDpi);
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
}

// Dialog units of the font: a quarter of its average character width, an
// eighth of its height.
SIZE FontUnits(HFONT font)
{
    HDC dc = ::GetDC(nullptr);
    const HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW metrics = {};
    SIZE letters = {};
    ::GetTextMetricsW(dc, &metrics);
    ::GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    return {(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

// A page's buttons stand at the right edge, in the page's order.
const Place& PlaceOf(int control)
{
    if (control < SLOT_1 || 0 == State.commands[control - SLOT_1]) {
        return PLACES[control];
    }
    int shown = 0;
    int before = 0;
    for (int s = 0; s < SLOT_COUNT; ++s) {
        shown += 0 != State.commands[s];
        before += 0 != State.commands[s] && SLOT_1 + s < control;
    }
    return PLACES[SLOT_1 + SLOT_COUNT - shown + before];
}

// The window takes the rect the system suggests for a new DPI as it is.
void Layout(const RECT* suggested)
{
    const SIZE units = FontUnits(State.font);
    for (int c = 0; c < CONTROL_COUNT; ++c) {
        const Place& place = PlaceOf(c);
        ::SetWindowPos(State.controls[c], nullptr, ::MulDiv(place.x, units.cx, 4), ::MulDiv(place.y, units.cy, 8),
                       ::MulDiv(place.cx, units.cx, 4), ::MulDiv(place.cy, units.cy, 8), SWP_NOZORDER | SWP_NOACTIVATE);
        ::SendMessageW(State.controls[c], WM_SETFONT, reinterpret_cast<WPARAM>(State.font), TRUE);
    }
    RECT frame = {0, 0, ::MulDiv(CLIENT_WIDTH_UNITS, units.cx, 4), ::MulDiv(CLIENT_HEIGHT_UNITS, units.cy, 8)};
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(State.window, GWL_STYLE)), FALSE, 0);
    if (nullptr != suggested) {
        frame = *suggested;
    }
    ::SetWindowPos(State.window, nullptr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | (nullptr == suggested ? SWP_NOMOVE : 0));
}

void SetFontForDpi(UINT dpi, const RECT* suggested)
{
    const HFONT old = State.font;
    State.dpi = dpi;
    State.font = MessageFont(dpi);
    Layout(suggested);
    if (nullptr != old) {
        ::DeleteObject(old);
    }
}

UINT TextIdOf(WORD command)
{
    switch (command) {
    case COMMAND_INSTALL: return IDS_WINDOW_INSTALL;
    case COMMAND_CANCEL: return IDS_WINDOW_CANCEL;
    case COMMAND_RESTART_NOW: return IDS_WINDOW_RESTART_NOW;
    case COMMAND_RESTART_LATER: return IDS_WINDOW_RESTART_LATER;
    case COMMAND_OPEN_LOG: return IDS_WINDOW_OPEN_LOG;
    case COMMAND_REPAIR: return IDS_WINDOW_REPAIR;
    case COMMAND_UNINSTALL: return IDS_WINDOW_UNINSTALL;
    default: return IDS_WINDOW_CLOSE;
    }
}

void SetText(HWND control, UINT id)
{
    WideString text = nullptr;
    if (SUCCEEDED(ResrutilLoadText(ModuleInstance, id, &text))) {
        ::SetWindowTextW(control, text);
    }
    StrutilFree(text);
}

void Show(Control control, BOOL shown)
{
    ::ShowWindow(State.controls[control], shown ? SW_SHOWNA : SW_HIDE);
}

// Rich text needs the rich edit control, whose library is loaded from the
// system folder only for a licence in rich text; it takes the plain box's
// place in the tab order. False when it cannot be had: the text then shows
// as it is.
BOOL UseRichTextBox()
{
    static BOOL rich = FALSE;
    HMODULE library = nullptr;
    if (rich || FAILED(SysutilLoadSystemLibrary(L"riched20.dll", &library))) {
        return rich;
    }
    const HWND box = ::CreateWindowExW(WS_EX_CLIENTEDGE, RICHEDIT_CLASSW, L"", PLACES[LICENCE].style, 0, 0, 0, 0,
                                       State.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(CONTROL_ID_BASE + LICENCE)),
                                       ModuleInstance, nullptr);
    if (nullptr == box) {
        return FALSE;
    }
    ::SetWindowPos(box, State.controls[LICENCE], 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ::DestroyWindow(State.controls[LICENCE]);
    State.controls[LICENCE] = box;
    Layout(nullptr);
    rich = TRUE;
    return TRUE;
}

// A plain text's lines may end in LF alone, which the edit box does not break at.
void SetPlainLicence(LPCWSTR text)
{
    WideString lines = nullptr;
    const int length = lstrlenW(text);
    if (FAILED(StrutilAllocate(&lines, static_cast<DWORD>(length) * 2 + 1))) {
        ::SetWindowTextW(State.controls[LICENCE], text);
        return;
    }
    int out = 0;
    for (int k = 0; k < length; ++k) {
        if (L'\n' == text[k] && (0 == k || L'\r' != text[k - 1])) {
            lines[out++] = L'\r';
        }
        lines[out++] = text[k];
    }
    lines[out] = L'\0';
    ::SetWindowTextW(State.controls[LICENCE], lines);
    StrutilFree(lines);
}

// The rich edit control reads rich text from the bytes as packed.
void SetRichLicence(LPCWSTR text)
{
    const int bytes = ::WideCharToMultiByte(RICH_TEXT_CODE_PAGE, 0, text, -1, nullptr, 0, nullptr, nullptr);
    char* rtf = bytes > 0 ? static_cast<char*>(MemutilAllocate(static_cast<SIZE_T>(bytes), FALSE)) : nullptr;
    if (nullptr == rtf) {
        return;
    }
    ::WideCharToMultiByte(RICH_TEXT_CODE_PAGE, 0, text, -1, rtf, bytes, nullptr, nullptr);
    SETTEXTEX how = {ST_DEFAULT, CP_ACP};
    ::SendMessageW(State.controls[LICENCE], EM_SETTEXTEX, reinterpret_cast<WPARAM>(&how), reinterpret_cast<LPARAM>(rtf));
    MemutilRelease(rtf);
}

void SetLicence(const Page* page)
{
    if (nullptr == page->licence) {
        ::SetWindowTextW(State.controls[LICENCE], L"");
    } else if (page->richLicence && UseRichTextBox()) {
        SetRichLicence(page->licence);
    } else {
        SetPlainLicence(page->licence);
    }
}

// The first button is the default one (Enter), the last one answers Esc.
void ShowPage(const Page* page)
{
    ::SetWindowTextW(State.controls[HEADING], page->heading);
    ::SetWindowTextW(State.controls[DETAILS], page->details);
    SetLicence(page);
    Show(LICENCE, nullptr != page->licence);
    Show(ACCEPT, nullptr != page->licence);
    ::SendMessageW(State.controls[ACCEPT], BM_SETCHECK, BST_UNCHECKED, 0);
    State.onProgress = page->progress;
    Show(BAR, page->progress);
    Show(ENTRY, page->progress);
    Show(ACTION, page->progress);
    for (int s = 0; s < SLOT_COUNT; ++s) {
        const WORD command = page->commands[s];
        HWND button = State.controls[SLOT_1 + s];
        State.commands[s] = command;
        Show(static_cast<Control>(SLOT_1 + s), 0 != command);
        if (0 == command) {
            continue;
        }
        ::SetWindowLongPtrW(button, GWLP_ID, command);
        SetText(button, TextIdOf(command));
        ::SendMessageW(button, BM_SETSTYLE, 0 == s ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
        ::EnableWindow(button, !(COMMAND_INSTALL == command && nullptr != page->licence));
    }
    Layout(nullptr);
    ::ShowWindow(State.window, SW_SHOW);
    ::SetFocus(State.controls[nullptr != page->licence ? ACCEPT : SLOT_1]);
}

WORD SlotCommand(int slot)
{
    return State.commands[slot];
}

// Enter presses the default button, Esc the last one, as a dialog would.
WORD CommandOf(WORD id)
{
    if (IDOK == id) {
        return ::IsWindowEnabled(State.controls[SLOT_1]) ? SlotCommand(0) : 0;
    }
    if (IDCANCEL == id) {
        for (int s = SLOT_COUNT; s-- > 0;) {
            if (0 != SlotCommand(s)) {
                return SlotCommand(s);
            }
        }
        return 0;
    }
    return id;
}

int AskInWindow(LPCWSTR text, UINT style)
{
    return ::MessageBoxW(State.window, text, State.heading, style);
}

void Choose(WORD command)
{
    if (COMMAND_OPEN_LOG == command) {
        // The page stays: the person may read the log and still close it.
        ::ShellExecuteW(State.window, nullptr, State.log, nullptr, nullptr, SW_SHOWNORMAL);
        return;
    }
    // Cancel on the progress page stops a run under way: it is asked first, and
    // the run sees it before its next step. Elsewhere it is a page's choice.
    if (COMMAND_CANCEL == command && State.onProgress) {
        WideString question = nullptr;
        if (!State.cancelled && SUCCEEDED(ResrutilLoadText(ModuleInstance, IDS_WINDOW_CONFIRM_CANCEL, &question)) &&
            IDYES == AskInWindow(question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2)) {
            ::InterlockedExchange(&State.cancelled, 1);
            ::EnableWindow(State.controls[SLOT_1], FALSE);
        }
        StrutilFree(question);
        return;
    }
    ::InterlockedExchange(&State.choice, command);
    ::SetEvent(State.chosen);
}

void Report(const ProgressReport* report)
{
    // The bar never goes back, whatever the chain reports.
    if (report->position > State.position) {
        State.position = report->position < PERSON_PROGRESS_END ? report->position : PERSON_PROGRESS_END;
        ::SendMessageW(State.controls[BAR], PBM_SETPOS, State.position, 0);
    }
    if (nullptr != report->entry) {
        ::SetWindowTextW(State.controls[ENTRY], report->entry);
    }
    ::SetWindowTextW(State.controls[ACTION], nullptr != report->actionText ? report->actionText : L"");
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        // The licence box tells of its focus and scrolling too: only a click
        // (or Enter and Esc, which come as one) is a choice.
        if (BN_CLICKED != HIWORD(wParam)) {
            return 0;
        }
        if (CONTROL_ID_BASE + ACCEPT == LOWORD(wParam)) {
            const BOOL accepted = BST_CHECKED == ::SendMessageW(State.controls[ACCEPT], BM_GETCHECK, 0, 0);
            ::EnableWindow(State.controls[SLOT_1], accepted);
        } else if (const WORD command = CommandOf(LOWORD(wParam))) {
            Choose(command);
        }
        return 0;
    case WM_CLOSE:
        if (const WORD command = CommandOf(IDCANCEL)) {
            Choose(command);
        }
        return 0;
    // The licence box takes Tab and Enter itself, and asks the window as a
    // dialog's box asks its dialog: for the next control, and for the default
    // button while it may be pressed.
    case WM_NEXTDLGCTL:
        ::SetFocus(0 != LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                                       : ::GetNextDlgTabItem(window, ::GetFocus(), 0 != wParam));
        return 0;
    case DM_GETDEFID:
        return ::IsWindowEnabled(State.controls[SLOT_1])
                   ? MAKELRESULT(::GetDlgCtrlID(State.controls[SLOT_1]), DC_HASDEFID)
                   : 0;
    case WM_DPICHANGED:
        SetFontForDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case MESSAGE_PAGE:
        ShowPage(reinterpret_cast<const Page*>(lParam));
        return 0;
    case MESSAGE_PROGRESS:
        Report(reinterpret_cast<const ProgressReport*>(lParam));
        return 0;
    case MESSAGE_ASK:
        return AskInWindow(reinterpret_cast<LPCWSTR>(lParam), static_cast<UINT>(wParam));
    case MESSAGE_END:
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

HRESULT CreateControls()
{
    const HICON icon = ::LoadIconW(ModuleInstance, MAKEINTRESOURCEW(IDI_APP_ICON));
    for (int c = 0; c < CONTROL_COUNT; ++c) {
        State.controls[c] = ::CreateWindowExW(LICENCE == c ? WS_EX_CLIENTEDGE : 0, PLACES[c].className, L"",
                                              PLACES[c].style, 0, 0, 0, 0, State.window,
                                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(CONTROL_ID_BASE + c)), ModuleInstance,
                                              nullptr);
        if (nullptr == State.controls[c]) {
            return ResultFromLastError();
        }
    }
    ::SendMessageW(State.controls[ICON], STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    ::SendMessageW(State.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(State.controls[BAR], PBM_SETRANGE32, 0, PERSON_PROGRESS_END);
    SetText(State.controls[ACCEPT], IDS_WINDOW_ACCEPT);
    SetFontForDpi(WindowDpi(State.window), nullptr);
    return S_OK;
}

// The progress bar's library is no DLL that Windows always takes from the
// system folder: it is loaded from there by name, and only for the window.
HRESULT LoadProgressBarClass()
{
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    HRESULT hr = S_OK;
    HMODULE library = nullptr;
    const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};

    EXIT_IF_FAILED(SysutilLoadSystemLibrary(L"comctl32.dll", &library));
    if (const auto init = reinterpret_cast<InitFunction>(
            reinterpret_cast<void*>(::GetProcAddress(library, "InitCommonControlsEx")))) {
        init(&controls);
    }

Exit:
    return hr;
}

HRESULT CreateSetupWindow()
{
    HRESULT hr = LoadProgressBarClass();
    if (FAILED(hr)) {
        return hr;
    }
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = ModuleInstance;
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));   // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    ::RegisterClassExW(&windowClass);
    State.window = ::CreateWindowExW(WS_EX_CONTROLPARENT, WINDOW_CLASS, State.heading,
                                     WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                     CW_USEDEFAULT, 0, 0, nullptr, nullptr, ModuleInstance, nullptr);
    if (nullptr == State.window) {
        return ResultFromLastError();
    }
    return CreateControls();
}

DWORD WINAPI WindowThread(void*)
{
    const HRESULT created = CreateSetupWindow();
    if (FAILED(created)) {
        if (nullptr != State.window) {
            ::DestroyWindow(State.window);
        }
        State.window = nullptr;
        ::SetEvent(State.ready);
        return 1;
    }
    // A place that is on no screen is no place the person has seen the window.
    if (nullptr != State.place && nullptr != ::MonitorFromRect(State.place, MONITOR_DEFAULTTONULL)) {
        ::SetWindowPos(State.window, nullptr, State.place->left, State.place->top, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
    }
    ::ShowWindow(State.window, SW_SHOWNORMAL);
    ::SetEvent(State.ready);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(State.window, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    if (nullptr != State.font) {
        ::DeleteObject(State.font);
    }
    return 0;
}

WindowCommand WaitForChoice(const Page* page)
{
    ::ResetEvent(State.chosen);
    ::SendMessageW(State.window, MESSAGE_PAGE, 0, reinterpret_cast<LPARAM>(page));
    ::WaitForSingleObject(State.chosen, INFINITE);
    return static_cast<WindowCommand>(State.choice);
}

} // namespace

HRESULT WindowOpen(LPCWSTR heading, const RECT* place)
{
    State.heading = heading;
    State.place = place;
    State.ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    State.chosen = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (nullptr == State.ready || nullptr == State.chosen) {
        return ResultFromLastError();
    }
    State.thread = ::CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr);
    if (nullptr == State.thread) {
        return ResultFromLastError();
    }
    ::WaitForSingleObject(State.ready, INFINITE);
    if (nullptr == State.window) {
        WindowClose();
        return E_FAIL;
    }
    return S_OK;
}

WindowCommand WindowWelcome(const WelcomeFacts* facts)
{
    const Page page = {facts->heading, facts->details, facts->licence, facts->richLicence, FALSE,
                       {facts->commands[0], facts->commands[1], facts->commands[2]}};
    return WaitForChoice(&page);
}

void WindowStepAside(RECT* place)
{
    ::GetWindowRect(State.window, place);
    ::ShowWindow(State.window, SW_HIDE);
}

void WindowShowProgress()
{
    const Page page = {State.heading, L"", nullptr, FALSE, TRUE, {COMMAND_CANCEL}};
    ::SendMessageW(State.window, MESSAGE_PAGE, 0, reinterpret_cast<LPARAM>(&page));
}

void WindowProgress(LPCWSTR entry, LPCWSTR actionText, DWORD position)
{
    const ProgressReport report = {entry, actionText, position};
    ::SendMessageW(State.window, MESSAGE_PROGRESS, 0, reinterpret_cast<LPARAM>(&report));
}

BOOL WindowCancelled()
{
    return 0 != State.cancelled;
}

int WindowAsk(LPCWSTR text, UINT style)
{
    return static_cast<int>(::SendMessageW(State.window, MESSAGE_ASK, style, reinterpret_cast<LPARAM>(text)));
}

WindowCommand WindowFinish(FinishKind kind, LPCWSTR text, LPCWSTR log, BOOL mayRestart)
{
    State.log = log;
    Page page = {State.heading, text, nullptr, FALSE, FALSE, {COMMAND_CLOSE}};
    if (FinishKind::RestartNeeded == kind && mayRestart) {
        page.commands[0] = COMMAND_RESTART_NOW;
        page.commands[1] = COMMAND_RESTART_LATER;
    } else if (FinishKind::Failed == kind) {
        page.commands[0] = COMMAND_OPEN_LOG;
        page.commands[1] = COMMAND_CLOSE;
    }
    return WaitForChoice(&page);
}

void WindowClose()
{
    if (nullptr != State.window) {
        ::SendMessageW(State.window, MESSAGE_END, 0, 0);
    }
    if (nullptr != State.thread) {
        ::WaitForSingleObject(State.thread, INFINITE);
        ::CloseHandle(State.thread);
    }
    if (nullptr != State.ready) {
        ::CloseHandle(State.ready);
    }
    if (nullptr != State.chosen) {
        ::CloseHandle(State.chosen);
    }
    State = {};
}
