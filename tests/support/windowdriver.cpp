// The bundle's window driven from outside, as a person (or a screen reader)
// meets it: by its process, its controls' texts, its buttons and its bar.
#include "testsupport.h"

#include <commctrl.h>

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindVisibleOfProcess(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    // Its own boxes (#32770) belong to the same process: the window is the other one.
    if (owner == search->processId && IsWindowVisible(window) && std::wstring(className) != L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectControl(HWND control, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(control);
    return TRUE;
}

std::wstring TextOf(HWND control)
{
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &length);
    return text;
}

std::wstring ClassOf(HWND control)
{
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    return className;
}

} // namespace

HWND FindSetupWindow(DWORD processId, DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    do {
        Search search = {processId, nullptr};
        EnumWindows(FindVisibleOfProcess, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        Sleep(50);
    } while (GetTickCount64() < until);
    return nullptr;
}

std::vector<HWND> VisibleControls(HWND window)
{
    std::vector<HWND> all, visible;
    EnumChildWindows(window, CollectControl, reinterpret_cast<LPARAM>(&all));
    for (HWND control : all) {
        if (IsWindowVisible(control)) visible.push_back(control);
    }
    return visible;
}

std::wstring VisibleTexts(HWND window)
{
    std::wstring texts;
    for (HWND control : VisibleControls(window)) {
        const std::wstring text = TextOf(control);
        if (!text.empty()) texts += text + L"\n";
    }
    return texts;
}

HWND FindButton(HWND window, const std::wstring& text, DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    do {
        for (HWND control : VisibleControls(window)) {
            if (ClassOf(control) == L"Button" && TextOf(control) == text) return control;
        }
        Sleep(50);
    } while (GetTickCount64() < until);
    return nullptr;
}

bool Press(HWND window, const std::wstring& text)
{
    HWND button = FindButton(window, text);
    // Posted: a button that opens a box would keep a sent click waiting for its answer.
    return button && IsWindowEnabled(button) && PostMessageW(button, BM_CLICK, 0, 0);
}

ProgressSampler::ProgressSampler(HWND window) : window_(window), poller_(50, [this] { SampleOnce(); })
{
}

std::vector<ProgressSample> ProgressSampler::Stop()
{
    poller_.Stop();
    return samples_;
}

namespace {

HWND ProgressBarOf(HWND window)
{
    std::vector<HWND> all;
    EnumChildWindows(window, CollectControl, reinterpret_cast<LPARAM>(&all));
    for (HWND control : all) {
        if (ClassOf(control) == PROGRESS_CLASSW) return control;
    }
    return nullptr;
}

} // namespace

int ProgressPosition(HWND window)
{
    HWND bar = ProgressBarOf(window);
    DWORD_PTR position = 0;
    if (!bar || !SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position)) return -1;
    return static_cast<int>(position);
}

// A bar already hidden by the last page still holds where it ended.
void ProgressSampler::SampleOnce()
{
    HWND bar = IsWindow(window_) ? ProgressBarOf(window_) : nullptr;
    DWORD_PTR position = 0, high = 0;
    if (bar && SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position) &&
        SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 1000, &high)) {
        samples_.push_back({static_cast<int>(position), static_cast<int>(high)});
    }
}

