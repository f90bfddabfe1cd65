#include "testsupport.h"
#include <algorithm>

namespace {

constexpr DWORD POLL_INTERVAL_MS = 20;

std::wstring WindowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, &text[0], length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

std::wstring ClassName(HWND window)
{
    WCHAR name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param)
{
    auto* box = reinterpret_cast<ObservedBox*>(param);
    if (ClassName(child) != L"Static") return TRUE;
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        box->hasIcon = box->hasIcon ||
                       (IsWindowVisible(child) && SendMessageW(child, STM_GETICON, 0, 0) != 0);
        return TRUE;
    }
    const std::wstring text = WindowText(child);
    if (text.empty()) return TRUE;
    if (!box->text.empty()) box->text += L'\n';
    box->text += text;
    return TRUE;
}

BOOL CALLBACK CollectVisibleDialog(HWND window, LPARAM param)
{
    if (IsWindowVisible(window) && ClassName(window) == L"#32770") {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    }
    return TRUE;
}

} // namespace

ObservedBox ReadBox(HWND box)
{
    ObservedBox observed;
    observed.caption = WindowText(box);
    GetWindowThreadProcessId(box, &observed.processId);
    EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&observed));
    return observed;
}

PollingThread::PollingThread(DWORD intervalMs, std::function<void()> poll)
    : interval_(intervalMs), poll_(std::move(poll)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr))
{
}

void PollingThread::Stop()
{
    if (thread_) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
        thread_ = nullptr;
    }
}

DWORD WINAPI PollingThread::ThreadMain(void* self)
{
    auto* poller = static_cast<PollingThread*>(self);
    do {
        poller->poll_();
    } while (WaitForSingleObject(poller->stop_, poller->interval_) == WAIT_TIMEOUT);
    poller->poll_();
    return 0;
}

MessageBoxWatcher::MessageBoxWatcher(WPARAM answer)
    : answer_(answer), poller_(POLL_INTERVAL_MS, [this] { PollOnce(); })
{
}

std::vector<ObservedBox> MessageBoxWatcher::Stop()
{
    poller_.Stop();
    std::lock_guard<std::mutex> hold(lock_);
    return boxes_;
}

void MessageBoxWatcher::PollOnce()
{
    std::vector<HWND> dialogs;
    EnumWindows(CollectVisibleDialog, reinterpret_cast<LPARAM>(&dialogs));

    std::lock_guard<std::mutex> hold(lock_);
    // A handle whose window is gone may be reused by a later box.
    answered_.erase(std::remove_if(answered_.begin(), answered_.end(),
                                   [](HWND w) { return !IsWindow(w); }),
                    answered_.end());
    for (HWND dialog : dialogs) {
        if (std::find(answered_.begin(), answered_.end(), dialog) == answered_.end()) {
            boxes_.push_back(ReadBox(dialog));
            answered_.push_back(dialog);
        }
        // Posted again on every poll until the box is gone, in case the first
        // one arrived before the box's own message loop ran.
        PostMessageW(dialog, WM_COMMAND, answer_, 0);
    }
}
