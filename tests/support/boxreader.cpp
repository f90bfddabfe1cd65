// boxreader.exe: the message-box watcher for shell scripts.
//
//   boxreader.exe [--keep] [--count N] [--timeout MS]
//
// Waits for N (default 1) visible "#32770" boxes, prints each one as
//   caption: <caption>
//   text: <text, its lines as they are>
//   rect: <left> <top> <width> <height>   (screen pixels, for cropping a screenshot)
//   --
// in UTF-8 on standard output, and answers it with IDOK unless --keep is given
// (a script that takes a screenshot keeps the box open and answers it later with
// a second boxreader). Exits 0 when N boxes were seen, 1 after the timeout
// (default 30000 ms), 2 for a bad command line.
#include "testsupport.h"
#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {

struct Options {
    bool keep = false;
    long count = 1;
    long timeoutMs = 30000;
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
        Print(L"usage: boxreader.exe [--keep] [--count N] [--timeout MS]\n");
        return 2;
    }
    std::vector<HWND> seen;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.timeoutMs);
    while (static_cast<long>(seen.size()) < options.count) {
        if (GetTickCount64() > deadline) return 1;
        std::vector<HWND> dialogs;
        EnumWindows(CollectVisibleDialog, reinterpret_cast<LPARAM>(&dialogs));
        for (HWND dialog : dialogs) {
            if (std::find(seen.begin(), seen.end(), dialog) != seen.end()) continue;
            const ObservedBox box = ReadBox(dialog);
            RECT rect = {};
            GetWindowRect(dialog, &rect);
            Print(L"caption: " + box.caption + L"\ntext: " + box.text + L"\nrect: " +
                  std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " +
                  std::to_wstring(rect.right - rect.left) + L" " +
                  std::to_wstring(rect.bottom - rect.top) + L"\n--\n");
            if (!options.keep) PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            seen.push_back(dialog);
            if (static_cast<long>(seen.size()) == options.count) break;
        }
        Sleep(20);
    }
    return 0;
}
