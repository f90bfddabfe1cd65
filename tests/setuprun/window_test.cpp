// The bundle's own window, driven as a person would against the stand-in
// installer: found by the run's process, read through its controls' texts,
// its buttons pressed, its bar sampled every 50 ms. The stand-in's installs
// take their time (STANDIN_MSI_DELAY) so that there is a bar to watch and a
// moment to cancel in.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "runfixture.h"
#include "standin_journal.h"

namespace {

const wchar_t kLicence[] = L"The terms of the window tests.";
const wchar_t kAccept[] = L"I &accept the terms";
constexpr DWORD kInstallMs = 600;
const wchar_t kSuiteUpgradeCode[] = L"{7E5A0C11-0000-4000-8000-0000000000C1}";
const wchar_t kOlderSuiteCode[] = L"{7E5A0C11-0000-4000-8000-0000000000C2}";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kPrereqRules[] =
    L"/detect \"HKLM64\\Software\\TessaroTests\\Prereq:Installed = 1\" /uninstallargs /uninstall";

// The packer's /window and /license give a bundle its window and licence.
std::wstring WindowArguments()
{
    const std::wstring licence = WorkPath(L"window-licence.txt");
    WriteFileBytes(licence, Utf8FromWide(kLicence));
    return L"/window /license " + Quoted(licence);
}

std::vector<StandinCall> Only(const std::vector<StandinCall>& calls, const char* operation)
{
    std::vector<StandinCall> picked;
    for (const auto& call : calls) {
        if (call.operation == operation) picked.push_back(call);
    }
    return picked;
}

// The control that has the keyboard focus in the window's thread.
HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {sizeof(info)};
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// A key as the keyboard delivers it: posted to the focused control, so that the
// window's own loop takes it (IsDialogMessage, TranslateMessage for Alt's
// WM_SYSCHAR) as it takes a typed one. Only the key state stays unpressed, so
// Shift+Tab is out of reach.
bool PostKey(HWND window, WPARAM key, bool alt = false)
{
    HWND focus = FocusOf(window);
    const LPARAM repeatScanAlt = 1 | (MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC) << 16) | (alt ? 1 << 29 : 0);
    return focus && PostMessageW(focus, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, repeatScanAlt);
}

// Whether `done` comes true within 5 s.
template <typename Check>
bool Becomes(Check done)
{
    for (const ULONGLONG until = GetTickCount64() + 5000; !done(); Sleep(20)) {
        if (GetTickCount64() > until) return false;
    }
    return true;
}

// WM_DPICHANGED as the system sends it when the window moves to a monitor of
// 144 DPI: the suggested rect, 1.5 times the size, in the window's process.
RECT ChangeDpiTo144(HANDLE process, HWND window)
{
    RECT now = {};
    GetWindowRect(window, &now);
    const RECT suggested = {now.left, now.top, now.left + (now.right - now.left) * 3 / 2,
                            now.top + (now.bottom - now.top) * 3 / 2};
    void* remote = VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD_PTR ignored = 0;
    if (remote && WriteProcessMemory(process, remote, &suggested, sizeof(suggested), nullptr)) {
        SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(remote),
                            SMTO_ABORTIFHUNG, 5000, &ignored);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return suggested;
}

// A control's rect in its window's client area.
RECT ClientRectOf(HWND control)
{
    RECT rect = {};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bundle_ = WorkPath(L"window-chain.exe");
        machineBundle_ = WorkPath(L"window-machine.exe");
        const std::wstring suite =
            WindowArguments() + L" /name \"Window Suite\" /bundleversion 2.0.0.0 /upgradecode " + kSuiteUpgradeCode;
        made_ = MakeBundle(WorkPath(L"window-suite.exe"), {{L"user.msi", L"0"}}, suite) &&
                MakeBundle(WorkPath(L"window-machine-suite.exe"), {{L"machine.msi", L"permachine"}}, suite) && MakeBundle(bundle_, {{L"testprereq.exe", L"0", kPrereqRules},
                                     {L"fresh.msi", L"0"},
                                     {L"early.msi", L"0"},
                                     {L"user.msi", L"0"}},
                           WindowArguments()) &&
                MakeBundle(machineBundle_, {{L"machine.msi", L"permachine"}}, WindowArguments());
    }

    void SetUp() override
    {
        ASSERT_TRUE(made_) << "the window bundle could not be made";
        journal_ = WorkPath(L"window-journal.txt");
        script_ = WorkPath(L"window-script.txt");
        DeleteFileW(journal_.c_str());
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, script_.c_str());
        SetEnvironmentVariableW(STANDIN_DELAY_VARIABLE, std::to_wstring(kInstallMs).c_str());
        messages_ = WorkPath(L"window-messages.txt");
        DeleteFileW(messages_.c_str());
        SetEnvironmentVariableW(STANDIN_MESSAGES_VARIABLE, messages_.c_str());
        for (const auto& package : AllPackages()) ForgetFiles(package);
        ForgetPrerequisite();
    }

    // The prerequisite's own record, so that every run installs it again.
    static void ForgetPrerequisite()
    {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\TessaroTests\\Prereq", KEY_WOW64_64KEY, 0);
    }

    void TearDown() override
    {
        if (process_) {
            DWORD code = 0;
            WaitForExit(process_, 1, &code);   // a run a failed test left behind is ended
            CloseHandle(process_);
        }
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, nullptr);
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, nullptr);
        SetEnvironmentVariableW(STANDIN_DELAY_VARIABLE, nullptr);
        SetEnvironmentVariableW(STANDIN_MESSAGES_VARIABLE, nullptr);
        for (const auto& package : AllPackages()) ForgetFiles(package);
    }

    // Starts the bundle as a user's double-click would, and finds its window.
    HWND Start(const std::string& script, const std::wstring& switches = L"", const std::wstring& bundle = bundle_)
    {
        WriteFileBytes(script_, script);
        DeleteFileW(journal_.c_str());   // the script starts over
        DeleteLogsStartingWith(L"window-chain", TempFolder());
        process_ = StartProcess(Quoted(bundle) + L" " + switches, true);
        return process_ ? FindSetupWindow(GetProcessId(process_)) : nullptr;
    }

    // From the welcome page: the licence accepted, Install pressed.
    void Install(HWND window)
    {
        ASSERT_TRUE(FindButton(window, kAccept));
        ASSERT_TRUE(Press(window, kAccept));
        // The click is posted: Install is enabled once the window has taken it.
        HWND install = FindButton(window, L"&Install");
        for (int k = 0; k < 100 && install && !IsWindowEnabled(install); ++k) Sleep(50);
        ASSERT_TRUE(Press(window, L"&Install"));
    }

    DWORD ExitCode()
    {
        DWORD code = 0xFFFFFFFF;
        EXPECT_TRUE(WaitForExit(process_, 60000, &code));
        return code;
    }

    std::vector<StandinCall> Journal() const { return StandinReadJournal(journal_); }

    static std::wstring bundle_;
    static std::wstring machineBundle_;   // a per-machine package
    static bool made_;
    std::wstring journal_;
    std::wstring script_;
    std::wstring messages_;   // what every install call says to the window first
    HANDLE process_ = nullptr;
};

std::wstring WindowTest::bundle_;
std::wstring WindowTest::machineBundle_;
bool WindowTest::made_ = false;

// The welcome page names the product and shows the licence; Install is
// pressed only once the terms are accepted. It follows a move to a monitor of
// another DPI, and a person with a keyboard alone (Alt+A, Tab, Enter, Esc)
// gets through it. One bar across the prerequisite and the three packages
// never goes back, moves with every entry and ends full; the last page says
// it worked, and Close ends the run with 0.
TEST_F(WindowTest, InstallMovesOneBarAcrossTheChain)
{
    HWND window = Start("");
    ASSERT_TRUE(window);
    HWND install = FindButton(window, L"&Install");
    ASSERT_TRUE(install);
    const std::wstring welcome = VisibleTexts(window);
    EXPECT_NE(std::wstring::npos, welcome.find(Package(L"fresh.msi").name)) << Utf8FromWide(welcome);
    EXPECT_NE(std::wstring::npos, welcome.find(kLicence)) << Utf8FromWide(welcome);
    EXPECT_FALSE(IsWindowEnabled(install)) << "Install before the licence is accepted";
    EXPECT_FALSE(Press(window, L"&Install"));

    // Moved to a monitor of 144 DPI: the suggested rect, the controls in a
    // font 1.5 times the size, the buttons still at the right edge.
    HWND cancel = FindButton(window, L"Cancel");
    const RECT button = ClientRectOf(install);
    const RECT suggested = ChangeDpiTo144(process_, window);
    RECT moved = {}, client = {};
    GetWindowRect(window, &moved);
    GetClientRect(window, &client);
    EXPECT_TRUE(EqualRect(&suggested, &moved)) << moved.left << "," << moved.top << " " << moved.right << "," << moved.bottom << " for "
                                                << suggested.right << "," << suggested.bottom;
    const RECT scaled = ClientRectOf(install);
    EXPECT_NEAR(1.5, double(scaled.right - scaled.left) / (button.right - button.left), 0.2);
    EXPECT_NEAR(1.5, double(scaled.bottom - scaled.top) / (button.bottom - button.top), 0.2);
    EXPECT_LT(client.right - ClientRectOf(cancel).right, client.right / 20) << "Cancel left the right edge";

    // By keys alone. Tab passes over Install while it is disabled, and Enter
    // presses nothing then; Alt+A accepts the terms, Tab walks Install, Cancel
    // and the licence box, whose Enter presses the default button, Install.
    HWND accept = FindButton(window, kAccept);
    HWND licence = FindWindowExW(window, nullptr, L"Edit", nullptr);
    ASSERT_EQ(accept, FocusOf(window));
    const struct {
        WPARAM key;
        bool alt;
        HWND focus;   // after the key
        bool installs;   // Install is enabled after it
    } keys[] = {
        {VK_TAB, false, cancel, false},  {VK_TAB, false, licence, false}, {VK_TAB, false, accept, false},
        {VK_RETURN, false, accept, false},  {'A', true, accept, true},    {VK_TAB, false, install, true},
        {VK_TAB, false, cancel, true},   {VK_TAB, false, licence, true},
    };
    for (const auto& key : keys) {
        ASSERT_TRUE(PostKey(window, key.key, key.alt));
        EXPECT_TRUE(Becomes([&] { return FocusOf(window) == key.focus && !!IsWindowEnabled(install) == key.installs; }))
            << "key " << key.key << ": focus " << FocusOf(window) << ", Install enabled " << IsWindowEnabled(install);
    }
    EXPECT_TRUE(FindButton(window, L"&Install", 0)) << "Enter before the terms were accepted";
    EXPECT_EQ(BST_CHECKED, SendMessageW(accept, BM_GETCHECK, 0, 0));
    ProgressSampler sampler(window);
    PostKey(window, VK_RETURN);
    EXPECT_TRUE(Becomes([&] { return !FindButton(window, L"&Install", 0); })) << "Enter left the welcome page";
    ASSERT_TRUE(Becomes([&] { return FocusOf(window) == FindButton(window, L"Cancel", 0); }))
        << Utf8FromWide(VisibleTexts(window));
    // Esc asks whether to cancel; No, and the run goes on.
    MessageBoxWatcher watcher(IDNO);
    PostKey(window, VK_ESCAPE);
    ASSERT_TRUE(FindButton(window, L"&Close", 60000)) << Utf8FromWide(VisibleTexts(window));
    const std::vector<ProgressSample> samples = sampler.Stop();
    const std::vector<ObservedBox> boxes = watcher.Stop();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Are you sure you want to cancel the setup?", boxes[0].text);
    EXPECT_NE(std::wstring::npos, VisibleTexts(window).find(L"Setup has finished successfully."));
    ASSERT_TRUE(Press(window, L"&Close"));
    EXPECT_EQ(0u, ExitCode());

    ASSERT_FALSE(samples.empty());
    std::set<int> positions;
    for (size_t k = 1; k < samples.size(); ++k) {
        EXPECT_GE(samples[k].position, samples[k - 1].position) << "sample " << k;
    }
    for (const auto& sample : samples) positions.insert(sample.position);
    EXPECT_EQ(samples.back().high, samples.back().position) << "full at the end";
    // Each package's install is seen at the start of its share: the entries
    // before it have each moved the bar on.
    EXPECT_GE(positions.size(), 4u);
    EXPECT_EQ(3u, Only(Journal(), "install").size());
    const std::string log = RunLogText(L"window-chain", TempFolder());
    for (const char* line : {"window: welcome page with the licence", "window: Install pressed",
                             "window: progress page", "window: Close pressed"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    }
}

// Cancel while the second package installs, confirmed with Yes: the
// installer's next message is answered with Cancel, so that package rolls
// back (1602), nothing after it runs, the first package and the prerequisite
// are removed again, the last page says the run was cancelled, and the run
// ends with 1602.
TEST_F(WindowTest, CancelUndoesTheChain)
{
    WriteFileBytes(messages_, "0A000000 0 100 0\n0 1500 0 0\n0A000000 2 50 0\n");
    MessageBoxWatcher watcher(IDYES);
    HWND window = Start("");
    ASSERT_TRUE(window);
    Install(window);
    ASSERT_TRUE(FindButton(window, L"Cancel"));
    // The second package is at work once the bar stands at its share: the
    // prerequisite and the first package have had theirs.
    const ULONGLONG until = GetTickCount64() + 30000;
    while (ProgressPosition(window) < 5000 && GetTickCount64() < until) Sleep(20);
    ASSERT_TRUE(Press(window, L"Cancel"));
    ASSERT_TRUE(FindButton(window, L"&Close", 60000));
    EXPECT_NE(std::wstring::npos, VisibleTexts(window).find(L"Setup was cancelled."));
    Press(window, L"&Close");
    EXPECT_EQ(1602u, ExitCode());

    const std::vector<ObservedBox> boxes = watcher.Stop();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Are you sure you want to cancel the setup?", boxes[0].text);
    const auto installs = Only(Journal(), "install");
    ASSERT_EQ(2u, installs.size()) << "nothing installs after the cancel";
    EXPECT_EQ(L"1602", installs[1].Result());
    const auto answers = Only(Journal(), "message");
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(L"2", answers.back().Result()) << "the installer is answered with Cancel";
    const std::string log = RunLogText(L"window-chain", TempFolder());
    EXPECT_NE(std::string::npos, log.find("cancelled by the person: the installer is answered with Cancel")) << log;
    const auto removals = Only(Journal(), "remove");
    ASSERT_EQ(1u, removals.size());
    EXPECT_EQ(Package(L"fresh.msi").code, removals[0].Field(0));
    HKEY prereq = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\TessaroTests\\Prereq", 0,
                                           KEY_READ | KEY_WOW64_64KEY, &prereq))
        << "the prerequisite is removed again";
}

// How a run ends decides the last page and its buttons; the button the person
// presses decides the exit code where it may. The installer's question of a
// full run (another installation in progress) is asked in the window's own
// box, and its answer (Cancel) taken.
TEST_F(WindowTest, LastPageSaysHowTheRunEnded)
{
    struct Row {
        const char* script;
        const wchar_t* switches;
        const wchar_t* text;     // on the last page
        const wchar_t* press;
        DWORD exitCode;
        bool perMachine;
    };
    const Row rows[] = {
        {"install 0\ninstall 1603\n", L"", L"early.msi", L"&Close", 1603},
        {"install 1618\n", L"", L"fresh.msi", L"&Close", 1618},
        {"install 3010\n", L"", L"Restart the computer", L"Restart &later", 3010},
        {"install 3010\n", L"/norestart", L"Restart the computer", L"&Close", 3010},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.exitCode);
        MessageBoxWatcher watcher(IDCANCEL);
        HWND window = Start(row.script, row.switches);
        ASSERT_TRUE(window);
        Install(window);
        ASSERT_TRUE(FindButton(window, row.press, 60000)) << Utf8FromWide(VisibleTexts(window));
        const std::wstring texts = VisibleTexts(window);
        EXPECT_NE(std::wstring::npos, texts.find(row.text)) << Utf8FromWide(texts);
        EXPECT_EQ(row.exitCode != 3010, nullptr != FindButton(window, L"Open &log", 0));
        EXPECT_EQ(row.switches[0] == L'\0' && row.exitCode == 3010,
                  nullptr != FindButton(window, L"&Restart now", 0));
        ASSERT_TRUE(Press(window, row.press));
        EXPECT_EQ(row.exitCode, ExitCode());
        const std::vector<ObservedBox> boxes = watcher.Stop();
        ASSERT_EQ(row.exitCode == 1618 ? 1u : 0u, boxes.size());
        for (const ObservedBox& box : boxes) {
            EXPECT_EQ(0u, box.text.find(SystemText(static_cast<HRESULT>(0x80070652))));
            EXPECT_EQ(GetProcessId(process_), box.processId);
        }
        CloseHandle(process_);
        process_ = nullptr;
        for (const auto& package : AllPackages()) ForgetFiles(package);
        ForgetPrerequisite();
    }
}

// The installer's messages, through the stand-in: its progress moves the bar
// within the package's share, its action text stands above the bar, and its
// questions are asked in the window's own boxes, the person's answer going
// back to the installer.
TEST_F(WindowTest, InstallerSpeaksThroughTheWindow)
{
    WriteFileBytes(messages_, "0A000000 0 1000 0\n08000000 0 0 0 Copying new files\n0A000000 2 500 0\n"
                              "01000012 0 0 0 The disk is full.\n05000002 0 0 0 Files in use: Notes\n");
    MessageBoxWatcher watcher(IDRETRY);
    HWND window = Start("");
    ASSERT_TRUE(window);
    ProgressSampler sampler(window);
    Install(window);
    ASSERT_TRUE(FindButton(window, L"&Close", 60000));
    const std::vector<ProgressSample> samples = sampler.Stop();
    Press(window, L"&Close");
    EXPECT_EQ(0u, ExitCode());

    // Half of the first package's share, 2500 to 5000.
    EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const ProgressSample& s) { return s.position == 3750; }));
    const std::vector<ObservedBox> boxes = watcher.Stop();
    ASSERT_EQ(6u, boxes.size()) << "two questions for each of three packages";
    EXPECT_EQ(L"The disk is full.", boxes[0].text);
    EXPECT_EQ(L"Files in use: Notes", boxes[1].text);
    const auto answers = Only(Journal(), "message");
    ASSERT_EQ(15u, answers.size());
    EXPECT_EQ(L"16777234", answers[3].Field(0));
    EXPECT_EQ(L"4", answers[3].Result()) << "Retry reaches the installer";
    const std::string log = RunLogText(L"window-chain", TempFolder());
    EXPECT_NE(std::string::npos, log.find("asked: Files in use: Notes: Retry")) << log;
}

// Cancel on the welcome page ends the run before anything with 1602. /passive
// shows the progress page alone and closes itself; /quiet shows no window at
// all.
TEST_F(WindowTest, CancelledAndUnattendedRuns)
{
    HWND window = Start("");
    ASSERT_TRUE(window);
    ASSERT_TRUE(Press(window, L"Cancel"));
    EXPECT_EQ(1602u, ExitCode());
    EXPECT_TRUE(Journal().empty());
    CloseHandle(process_);

    window = Start("", L"/passive");
    ASSERT_TRUE(window);
    EXPECT_FALSE(FindButton(window, L"&Install", 0));
    EXPECT_TRUE(FindButton(window, L"Cancel"));
    EXPECT_EQ(0u, ExitCode());
    CloseHandle(process_);

    process_ = StartProcess(Quoted(bundle_) + L" /quiet", true);
    ASSERT_TRUE(process_);
    EXPECT_FALSE(FindSetupWindow(GetProcessId(process_), 3000));
    EXPECT_EQ(0u, ExitCode());
}

// A per-machine bundle started unelevated: the welcome page comes before the
// elevation, the elevated copy shows the progress where the welcome stood,
// and the last page is the unelevated run's again (only it opens the log).
// When the copy fails, that page names the entry that failed, from what the
// copy handed back, and the unelevated run's log names the copy's log.
TEST_F(WindowTest, ElevatedCopyTakesTheWelcomePagesPlace)
{
    struct Row {
        const char* script;
        const wchar_t* text;   // on the unelevated last page
        DWORD exitCode;
    };
    const Row rows[] = {
        {"", L"Setup has finished successfully.", 0},
        {"install 1603\n", L"machine.msi", 1603},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.exitCode);
        DeleteLogsStartingWith(L"window-machine_", TempFolder());
        HWND window = Start(row.script, L"", machineBundle_);
        ASSERT_TRUE(window);
        RECT welcome = {};
        GetWindowRect(window, &welcome);
        Install(window);

        HWND copy = nullptr;
        const ULONGLONG until = GetTickCount64() + 30000;
        while (!copy && GetTickCount64() < until) {
            HWND candidate = FindWindowW(L"TessaroSetupWindow", nullptr);
            DWORD owner = 0;
            GetWindowThreadProcessId(candidate, &owner);
            if (candidate && IsWindowVisible(candidate) && owner != GetProcessId(process_)) copy = candidate;
            Sleep(20);
        }
        ASSERT_TRUE(copy) << "no window of the elevated copy";
        RECT progress = {};
        GetWindowRect(copy, &progress);
        EXPECT_EQ(welcome.left, progress.left);
        EXPECT_EQ(welcome.top, progress.top);
        EXPECT_FALSE(IsWindowVisible(window)) << "two windows at once";

        ASSERT_TRUE(FindButton(window, L"&Close", 60000));
        const std::wstring texts = VisibleTexts(window);
        EXPECT_NE(std::wstring::npos, texts.find(row.text)) << Utf8FromWide(texts);
        EXPECT_EQ(0u != row.exitCode, nullptr != FindButton(window, L"Open &log", 0));
        Press(window, L"&Close");
        EXPECT_EQ(row.exitCode, ExitCode());
        EXPECT_EQ(1u, Only(Journal(), "install").size());

        const std::string log = RunLogText(L"window-machine", TempFolder());
        const std::string mark = "the elevated copy's log: ";
        const size_t at = log.find(mark);
        ASSERT_NE(std::string::npos, at) << log;
        const size_t start = at + mark.size();
        const std::string copyLog = ReadFileBytes(WideFromUtf8(log.substr(start, log.find("\r\n", start) - start)));
        EXPECT_NE(std::string::npos, copyLog.find("the elevated copy of a run")) << copyLog;
        EXPECT_NE(std::string::npos, copyLog.find("exit code " + std::to_string(row.exitCode))) << copyLog;
        EXPECT_EQ(0u != row.exitCode, std::string::npos != log.find("the elevated copy failed on machine.msi")) << log;
        CloseHandle(process_);
        process_ = nullptr;
        for (const auto& package : AllPackages()) ForgetFiles(package);
    }
}

// An entry as a registered bundle of the suites' upgrade code leaves it.
void Register(const std::wstring& bundleCode, const wchar_t* version, bool perMachine)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, (kUninstallKey + bundleCode).c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    for (const auto& value : {std::make_pair(L"BundleUpgradeCode", kSuiteUpgradeCode), std::make_pair(L"DisplayVersion", version)}) {
        RegSetValueExW(key, value.first, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.second),
                       static_cast<DWORD>((wcslen(value.second) + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

// What is registered of a suite (version 2.0.0.0) decides its welcome page: an older version
// is named as the one upgraded; a newer one leaves Close alone, which ends the
// run with 1638 before anything is done; this version itself offers Repair and
// Uninstall, each of which runs the chain as its switch would, with progress
// and a last page, also from an elevated copy (a per-machine suite). The log
// names the page and the button. Uninstall in Add/Remove Programs shows no
// welcome page.
TEST_F(WindowTest, RegisteredVersionsDecideTheWelcomePage)
{
    // user.msi is there when the chain first asks (a repair, a removal); later gone.
    const std::string present = "query 0 2.1.3.0\nqueryex 0 2.1.3.0\nstate 5\n";
    struct Row {
        const wchar_t* older;   // the other bundle's version, null for this version's own entry
        std::string script;
        const wchar_t* text;    // on the first page
        const wchar_t* press;
        const char* page;       // in the log
        const wchar_t* property;   // of the one install call, null for none
        DWORD exitCode;
        bool perMachine;
    };
    const Row rows[] = {
        {L"1.0.0.0", "", L"This upgrades version 1.0.0.0.", L"Cancel", "window: upgrade page with the licence",
         nullptr, 1602, false},
        {L"1.0.0.0", "", L"This upgrades version 1.0.0.0.", L"&Install", "window: upgrade page with the licence",
         L"", 0, false},
        {L"3.0.0.0", "", L"A newer version of this product is installed.", L"&Close", "window: newer version page",
         nullptr, 1638, false},
        {nullptr, present, L"Repair it, or uninstall it.", L"&Repair", "window: maintenance page", L"REINSTALL=ALL", 0, false},
        {nullptr, present, L"Repair it, or uninstall it.", L"&Uninstall", "window: maintenance page", L"REMOVE=ALL", 0, false},
        {nullptr, present, L"Repair it, or uninstall it.", L"&Repair", "window: maintenance page", L"REINSTALL=ALL", 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8FromWide(row.press));
        const std::wstring name = row.perMachine ? L"window-machine-suite" : L"window-suite";
        const std::wstring own = BundleCodeOf(WorkPath(name + L".exe"));
        DeleteLogsStartingWith(name, TempFolder());
        ForgetRegistration(own);   // whatever a run that failed before left behind
        ForgetRegistration(kOlderSuiteCode);
        Register(row.older ? kOlderSuiteCode : own, row.older ? row.older : L"2.0.0.0", row.perMachine);
        HWND window = Start(row.script, L"", WorkPath(name + L".exe"));
        ASSERT_TRUE(window);
        ASSERT_TRUE(FindButton(window, row.press)) << Utf8FromWide(VisibleTexts(window));
        const std::wstring texts = VisibleTexts(window);
        EXPECT_NE(std::wstring::npos, texts.find(row.text)) << Utf8FromWide(texts);
        EXPECT_EQ(row.older == nullptr, nullptr != FindButton(window, L"&Uninstall", 0));
        const bool upgrade = row.older && row.exitCode != 1638;
        EXPECT_EQ(upgrade, nullptr != FindButton(window, L"&Install", 0));
        EXPECT_EQ(upgrade, nullptr != FindButton(window, L"Cancel", 0));
        if (std::wstring(L"&Install") == row.press) {
            Install(window);
        } else {
            ASSERT_TRUE(Press(window, row.press));
        }
        if (row.property) {
            // The maintenance page has a Close of its own: the last page is
            // the one that says how the run ended.
            const ULONGLONG until = GetTickCount64() + 60000;
            while (VisibleTexts(window).find(L"Setup has finished successfully.") == std::wstring::npos &&
                   GetTickCount64() < until) Sleep(50);
            ASSERT_TRUE(Press(window, L"&Close")) << Utf8FromWide(VisibleTexts(window));
        }
        EXPECT_EQ(row.exitCode, ExitCode());
        const auto installs = Only(Journal(), "install");
        ASSERT_EQ(row.property ? 1u : 0u, installs.size());
        if (row.property) {
            EXPECT_NE(std::wstring::npos, installs[0].Field(1).find(row.property)) << Utf8FromWide(installs[0].Field(1));
        }
        if (!row.older) {
            EXPECT_EQ(std::wstring(L"REMOVE=ALL") == row.property, EntryValue(own, L"DisplayVersion", row.perMachine).empty())
                << "only Uninstall removes the suite's own entry";
        }
        const std::string log = RunLogText(name, TempFolder());
        EXPECT_NE(std::string::npos, log.find(row.page)) << log;
        // The welcome page's look-up and the run's own each read the older
        // version: what it means to the run is logged once, by the run.
        size_t facts = 0;
        const std::string fact = "registered bundle " + Utf8FromWide(kOlderSuiteCode);
        for (size_t at = log.find(fact); at != std::string::npos; at = log.find(fact, at + 1)) ++facts;
        EXPECT_EQ(upgrade && row.exitCode == 0 ? 1u : 0u, facts) << log;
        EXPECT_NE(std::string::npos, log.find("window: " + Utf8FromWide(row.press).substr(row.press[0] == L'&' ? 1 : 0) +
                                              " pressed")) << log;
        CloseHandle(process_);
        process_ = nullptr;
        ForgetRegistration(own);
        ForgetRegistration(kOlderSuiteCode);
        for (const auto& package : AllPackages()) ForgetFiles(package);
    }

    // Uninstall in Add/Remove Programs (/uninstall without /quiet): no welcome
    // page, the progress and the last page of the removal.
    const std::wstring own = BundleCodeOf(WorkPath(L"window-suite.exe"));
    DeleteLogsStartingWith(L"window-suite", TempFolder());
    Register(own, L"2.0.0.0", false);
    HWND window = Start(present, L"/uninstall", WorkPath(L"window-suite.exe"));
    ASSERT_TRUE(window);
    EXPECT_FALSE(FindButton(window, L"&Uninstall", 0));
    ASSERT_TRUE(FindButton(window, L"&Close", 60000)) << Utf8FromWide(VisibleTexts(window));
    EXPECT_NE(std::wstring::npos, VisibleTexts(window).find(L"Setup has finished successfully."));
    Press(window, L"&Close");
    EXPECT_EQ(0u, ExitCode());
    const auto removals = Only(Journal(), "install");
    ASSERT_EQ(1u, removals.size());
    EXPECT_NE(std::wstring::npos, removals[0].Field(1).find(L"REMOVE=ALL"));
    EXPECT_NE(std::string::npos, RunLogText(L"window-suite", TempFolder()).find("window: opened (progress)"));
    ForgetRegistration(own);
}

} // namespace
