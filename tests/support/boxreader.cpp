// boxreader.exe: the message-box watcher for shell scripts.
//
//   boxreader.exe [--keep | --answer ID] [--count N] [--timeout MS]
//   boxreader.exe --window ID [--press ID]... [--timeout MS]
//
// Waits for N (default 1) visible "#32770" boxes, prints each one as
//   caption: <caption>
//   text: <text, its lines as they are>
//   rect: <left> <top> <width> <height>   (screen pixels, for cropping a screenshot)
//   --
// in UTF-8 on standard output, and answers it with IDOK (or --answer's ID: 6
// is Yes) unless --keep is given
// (a script that takes a screenshot keeps the box open and answers it later with
// a second boxreader). Exits 0 when N boxes were seen, 1 after the timeout
// (default 30000 ms), 2 for a bad command line.
//
// With --window it waits instead for the bundle's own window to show the
// control of that ID (a page's button, or the bar: 105), prints the window's
// visible texts and its rect as above, raises it above the other windows (a
// prerequisite's console, say), then clicks each --press control in
// order, each once it is visible and enabled (the check box is 104, a page's
// buttons are their commands: Install 1001, Close 1002, Cancel 1003...).
#include "testsupport.h"
#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {

struct Options {
    bool keep = false;
    long count = 1;
    long timeoutMs = 30000;
    long answer = IDOK;
    long window = 0;
    std::vector<long> presses;
};

bool ParseNumber(const wchar_t* text, long* value)
{
    wchar_t* end = nullptr;
    *value = wcstol(text, &end, 10);
    return end != text && *end == L'\0' && *value > 0;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--keep") {
            options->keep = true;
        } else if (arg == L"--count" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &options->count)) return false;
        } else if (arg == L"--answer" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &options->answer)) return false;
        } else if (arg == L"--window" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &options->window)) return false;
        } else if (arg == L"--press" && i + 1 < argc) {
            long id = 0;
            if (!ParseNumber(argv[++i], &id)) return false;
            options->presses.push_back(id);
        } else if (arg == L"--timeout" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &options->timeoutMs)) return false;
        } else {
            return false;
        }
    }
    return true;
}

void Print(const std::wstring& text)
{
    const std::string utf8 = Utf8FromWide(text);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()),
              &written, nullptr);
}

std::wstring RectLine(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return L"rect: " + std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " +
           std::to_wstring(rect.right - rect.left) + L" " + std::to_wstring(rect.bottom - rect.top) + L"\n";
}

// A hidden button may still carry the ID of a command it showed before.
HWND ShownControl(HWND window, long id)
{
    for (HWND control : VisibleControls(window)) {
        if (GetDlgCtrlID(control) == id) return control;
    }
    return nullptr;
}

HWND WaitForControl(long id, bool enabled, ULONGLONG deadline, HWND* window)
{
    while (GetTickCount64() <= deadline) {
        *window = FindWindowW(L"TessaroSetupWindow", nullptr);
        HWND control = *window && IsWindowVisible(*window) ? ShownControl(*window, id) : nullptr;
        if (control && (!enabled || IsWindowEnabled(control))) return control;
        Sleep(20);
    }
    return nullptr;
}

int DriveWindow(const Options& options)
{
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.timeoutMs);
    HWND window = nullptr;
    if (!WaitForControl(options.window, false, deadline, &window)) return 1;
    Print(VisibleTexts(window) + RectLine(window) + L"--\n");
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    for (long id : options.presses) {
        HWND control = WaitForControl(id, true, deadline, &window);
        if (!control) return 1;
        // Posted: a button that opens a box would keep a sent click waiting.
        PostMessageW(control, BM_CLICK, 0, 0);
        Sleep(100);
    }
    return 0;
}

BOOL CALLBACK CollectVisibleDialog(HWND window, LPARAM param)
{
    WCHAR name[16] = {};
    GetClassNameW(window, name, 16);
    if (IsWindowVisible(window) && std::wstring(name) == L"#32770") {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    }
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Print(L"usage: boxreader.exe [--keep | --answer ID] [--count N] [--timeout MS]\n"
              L"       boxreader.exe --window ID [--press ID]... [--timeout MS]\n");
        return 2;
    }
    if (options.window) return DriveWindow(options);
    std::vector<HWND> seen;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.timeoutMs);
    while (static_cast<long>(seen.size()) < options.count) {
        if (GetTickCount64() > deadline) return 1;
        std::vector<HWND> dialogs;
        EnumWindows(CollectVisibleDialog, reinterpret_cast<LPARAM>(&dialogs));
        for (HWND dialog : dialogs) {
            if (std::find(seen.begin(), seen.end(), dialog) != seen.end()) continue;
            const ObservedBox box = ReadBox(dialog);
            Print(L"caption: " + box.caption + L"\ntext: " + box.text + L"\n" + RectLine(dialog) + L"--\n");
            if (!options.keep) PostMessageW(dialog, WM_COMMAND, options.answer, 0);
            seen.push_back(dialog);
            if (static_cast<long>(seen.size()) == options.count) break;
        }
        Sleep(20);
    }
    return 0;
}
