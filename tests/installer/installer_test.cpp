// InvokeInstaller against the stand-in msi.dll (this executable runs in the
// stand-in prefix): what reaches the installer, in which order, and how each of
// its results becomes the program's result and the "Install Error" box.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "installer.h"
#include "runlog.h"
#include "standin_journal.h"
#include "testsupport.h"

namespace {

constexpr HRESULT TOLERATED = 1;

std::wstring TempFolder()
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

void WriteText(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

DWORD FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0xFFFFFFFF;
}

void DeleteMatching(const std::wstring& folder, const std::wstring& pattern)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The platform's text for a result code, as the box must show it.
std::wstring SystemText(HRESULT code)
{
    LPWSTR text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                  static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result = length ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    return result;
}

std::string Hex(HRESULT value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

class InvokeInstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        temp_ = TempFolder();
        journal_ = temp_ + L"installer-test-journal.txt";
        script_ = temp_ + L"installer-test-script.txt";
        DeleteFileW(journal_.c_str());
        DeleteFileW(script_.c_str());
        DeleteMatching(temp_, L"setup_*.log");
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, script_.c_str());
    }
    void TearDown() override
    {
        DeleteFileW(journal_.c_str());
        DeleteFileW(script_.c_str());
        DeleteMatching(temp_, L"setup_*.log");
    }

    void Script(const std::string& text) { WriteText(script_, text); }
    std::vector<StandinCall> Calls() const { return StandinReadJournal(journal_); }

    // One invocation with a box watcher around it; the boxes it showed land in `boxes`.
    HRESULT Invoke(InstallAction action, LPCWSTR propertyText, BOOL tolerate, BOOL report,
                   std::vector<ObservedBox>* boxes, LPCWSTR logPath = L"C:\\logs\\given.log",
                   DWORD uiLevel = UI_LEVEL_FULL, LPCWSTR packageFileName = L"setup.msi")
    {
        MessageBoxWatcher watcher;
        HRESULT hr = InvokeInstaller(packageFileName, L"C:\\staged\\setup.msi", propertyText, logPath, action,
                                     uiLevel, tolerate, report);
        std::vector<ObservedBox> seen = watcher.Stop();
        if (boxes) *boxes = seen;
        return hr;
    }

    std::wstring temp_;
    std::wstring journal_;
    std::wstring script_;
};

struct ResultRow {
    const char* name;
    UINT installerResult;
    InstallAction action;
    BOOL tolerate;
    BOOL report;
    HRESULT expected;
    HRESULT boxCode;   // 0: no box
};

const ResultRow RESULT_ROWS[] = {
    {"success", 0, InstallAction::Install, FALSE, FALSE, S_OK, 0},
    {"success tolerant", 0, InstallAction::Install, TRUE, FALSE, S_OK, 0},
    {"restart required", 3010, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070BC2), 0},
    {"restart required, tolerant", 3010, InstallAction::Install, TRUE, FALSE, static_cast<HRESULT>(0x80070BC2), 0},
    {"restart to finish", 3011, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070BC3), 0},
    {"restart started", 1641, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070669), 0},
    {"restart started, tolerant", 1641, InstallAction::Install, TRUE, FALSE, static_cast<HRESULT>(0x80070669), 0},
    {"patch restart, tolerant", 3010, InstallAction::ApplyPatch, TRUE, TRUE, static_cast<HRESULT>(0x80070BC2), 0},
    {"cancelled", 1602, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070642), 0},
    {"fatal", 1603, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070643), 0},
    {"fatal, tolerant", 1603, InstallAction::Install, TRUE, FALSE, TOLERATED, 0},
    {"unknown product", 1605, InstallAction::Uninstall, FALSE, FALSE, static_cast<HRESULT>(0x80070645),
     static_cast<HRESULT>(0x80070645)},
    {"unknown product, tolerant", 1605, InstallAction::Install, TRUE, FALSE, TOLERATED, 0},
    {"rejected by policy", 1625, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070659),
     static_cast<HRESULT>(0x80070659)},
    {"service failed", 1631, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x8007065F),
     static_cast<HRESULT>(0x8007065F)},
    {"platform unsupported", 1633, InstallAction::MajorUpgrade, FALSE, FALSE, static_cast<HRESULT>(0x80070661),
     static_cast<HRESULT>(0x80070661)},
    {"patch target missing", 1642, InstallAction::ApplyPatch, FALSE, FALSE, TOLERATED, 0},
    {"patch target missing, reported", 1642, InstallAction::ApplyPatch, FALSE, TRUE,
     static_cast<HRESULT>(0x8007066A), static_cast<HRESULT>(0x8007066A)},
    {"patch target missing, reported but tolerant", 1642, InstallAction::ApplyPatch, TRUE, TRUE, TOLERATED, 0},
    // The box asks Retry or Cancel; the watcher's OK is no Retry.
    {"another install running", 1618, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80070652),
     static_cast<HRESULT>(0x80070652)},
    {"another install running, tolerant", 1618, InstallAction::Install, TRUE, FALSE, TOLERATED,
     static_cast<HRESULT>(0x80070652)},
    {"file not found", 2, InstallAction::ApplyPatch, FALSE, FALSE, static_cast<HRESULT>(0x80070002),
     static_cast<HRESULT>(0x8007042B)},
    {"error above 16 bits", 0x12345, InstallAction::Install, FALSE, FALSE, static_cast<HRESULT>(0x80072345),
     static_cast<HRESULT>(0x8007042B)},
};

TEST_F(InvokeInstallerTest, EveryInstallerResultIsMappedAndShownAsTheTableSays)
{
    for (const ResultRow& row : RESULT_ROWS) {
        SCOPED_TRACE(row.name);
        DeleteFileW(journal_.c_str());
        Script(std::string(row.action == InstallAction::ApplyPatch ? "patch " : "install ") +
               std::to_string(row.installerResult) + "\n");

        std::vector<ObservedBox> boxes;
        HRESULT hr = Invoke(row.action, L"A=1", row.tolerate, row.report, &boxes);

        EXPECT_EQ(Hex(hr), Hex(row.expected));
        if (row.boxCode == 0) {
            EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : Utf8FromWide(boxes[0].text));
        } else if (SystemText(row.boxCode).empty()) {
            // No text for the code in this language (Wine has none for 1642):
            // then there is no box either.
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].caption, L"Install Error");
            EXPECT_EQ(boxes[0].text, SystemText(row.boxCode));
            EXPECT_EQ(boxes[0].processId, GetCurrentProcessId());
        }
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[2].Result(), std::to_wstring(row.installerResult));

        // Unattended (/quiet, /passive): the same result, and nobody to click a
        // box. (Unattended, 1618 is waited out: the setup-run tests show it.)
        for (DWORD level : {UI_LEVEL_NONE, UI_LEVEL_BASIC_PROGRESS_ONLY}) {
            if (row.boxCode == 0 || row.installerResult == 1618) break;
            DeleteFileW(journal_.c_str());
            hr = Invoke(row.action, L"A=1", row.tolerate, row.report, &boxes, L"C:\\logs\\given.log", level);
            EXPECT_EQ(Hex(hr), Hex(row.expected)) << level;
            EXPECT_TRUE(boxes.empty()) << level;
        }
    }
}

struct CommandLineRow {
    const char* name;
    InstallAction action;
    LPCWSTR propertyText;
    const char* operation;
    LPCWSTR commandLine;
};

const CommandLineRow COMMAND_LINE_ROWS[] = {
    {"install, no properties", InstallAction::Install, nullptr, "install", L""},
    {"install, empty properties", InstallAction::Install, L"", "install", L""},
    {"install", InstallAction::Install, L"A=1 B=\"x y\"", "install", L"A=1 B=\"x y\""},
    {"same version", InstallAction::SameVersion, L"A=1", "install", L"A=1"},
    {"minor upgrade", InstallAction::MinorUpgrade, L"A=1", "install", L"A=1 REINSTALL=ALL REINSTALLMODE=\"vomus\""},
    {"minor upgrade, no properties", InstallAction::MinorUpgrade, nullptr, "install",
     L" REINSTALL=ALL REINSTALLMODE=\"vomus\""},
    {"major upgrade", InstallAction::MajorUpgrade, L"A=1", "install", L"A=1"},
    {"uninstall", InstallAction::Uninstall, nullptr, "install", L" REMOVE=ALL"},
    {"uninstall after a trailing blank", InstallAction::Uninstall, L"REBOOT=ReallySuppress ", "install",
     L"REBOOT=ReallySuppress  REMOVE=ALL"},
    {"patch", InstallAction::ApplyPatch, L"A=1", "patch", L"A=1"},
};

TEST_F(InvokeInstallerTest, EachActionGetsItsOperationAndCommandLine)
{
    for (const CommandLineRow& row : COMMAND_LINE_ROWS) {
        SCOPED_TRACE(row.name);
        DeleteFileW(journal_.c_str());
        EXPECT_EQ(Hex(Invoke(row.action, row.propertyText, FALSE, FALSE, nullptr)), Hex(S_OK));

        auto calls = Calls();
        ASSERT_EQ(calls.size(), 3u);
        const StandinCall& call = calls[2];
        EXPECT_EQ(call.operation, row.operation);
        EXPECT_EQ(call.Field(0), L"C:\\staged\\setup.msi");
        if (call.operation == "patch") {
            EXPECT_EQ(call.Field(1), L"%null");   // no particular package to patch
            EXPECT_EQ(call.Field(2), L"0");       // default install type
            EXPECT_EQ(call.Field(3), row.commandLine);
        } else {
            EXPECT_EQ(call.Field(1), row.commandLine);
        }
    }
}

TEST_F(InvokeInstallerTest, UiLevelAndLogAreSetBeforeEveryInstallerCall)
{
    const DWORD levels[] = {UI_LEVEL_NONE, UI_LEVEL_BASIC, UI_LEVEL_FULL, UI_LEVEL_BASIC_PROGRESS_ONLY};
    for (DWORD level : levels) {
        Invoke(InstallAction::Install, nullptr, FALSE, FALSE, nullptr, L"C:\\logs\\given.log", level);
        Invoke(InstallAction::ApplyPatch, nullptr, FALSE, FALSE, nullptr, L"C:\\logs\\given.log", level);
    }
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 24u);
    for (size_t i = 0; i < calls.size(); i += 3) {
        SCOPED_TRACE(i);
        DWORD level = levels[i / 6];
        EXPECT_EQ(calls[i].operation, "ui");
        EXPECT_EQ(calls[i].Field(0), std::to_wstring(level));
        EXPECT_EQ(calls[i].Field(1), L"%null");   // the owner window is left alone
        EXPECT_EQ(calls[i + 1].operation, "log");
        EXPECT_EQ(calls[i + 1].Field(0), L"8159");
        EXPECT_EQ(calls[i + 1].Field(1), L"C:\\logs\\given.log");
        EXPECT_EQ(calls[i + 1].Field(2), L"1");   // the command line's log is appended to
        EXPECT_EQ(calls[i + 2].operation, (i / 3) % 2 == 0 ? "install" : "patch");
    }
    // A given log path makes no default log.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp_ + L"setup_*.log").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

// In a run, each call without a given log gets a new file named after its
// package in the run's log folder (an elevated run's: the Windows folder's
// Temp), empty for the installer, and let go after the call.
TEST_F(InvokeInstallerTest, DefaultLogIsANewFileNamedAfterThePackageInTheRunsLogFolder)
{
    WCHAR windows[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring folder = std::wstring(windows) + L"\\Temp\\";
    LPWSTR argv[] = {const_cast<LPWSTR>(L"installer_tests.exe")};
    RunLogBegin(1, argv, UI_LEVEL_FULL, S_FALSE);
    WCHAR started[MAX_PATH] = {};
    ASSERT_EQ(S_OK, RunLogStartFile(nullptr, TRUE, started));
    Invoke(InstallAction::Install, nullptr, FALSE, FALSE, nullptr, nullptr);
    Invoke(InstallAction::Install, nullptr, FALSE, FALSE, nullptr, nullptr);
    Invoke(InstallAction::ApplyPatch, nullptr, FALSE, FALSE, nullptr, nullptr, UI_LEVEL_FULL,
           L"C:\\cache\\setup.x64.msp");
    const std::wstring runLog = RunLogPath();
    RunLogEnd(0);

    auto calls = Calls();
    ASSERT_EQ(calls.size(), 9u);
    const std::wstring prefixes[] = {L"setup_", L"setup_", L"setup.x64_"};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const StandinCall& log = calls[3 * k + 1];
        EXPECT_EQ(log.operation, "log");
        EXPECT_EQ(log.Field(0), L"8159");
        const std::wstring path = log.Field(1);
        EXPECT_EQ(folder + prefixes[k], path.substr(0, folder.size() + prefixes[k].size()));
        EXPECT_EQ(folder.size() + prefixes[k].size() + 28, path.size());   // DATE-TIME_RANDOM.log
        EXPECT_EQ(log.Field(2), L"0");   // written anew
        // The file is there for the installer, empty, stays after the call, and is no longer held.
        EXPECT_EQ(FileSize(path), 0u);
        EXPECT_TRUE(DeleteFileW(path.c_str()));
    }
    EXPECT_NE(calls[1].Field(1), calls[4].Field(1));
    EXPECT_EQ(0u, runLog.find(folder + L"installer_tests_"));
    DeleteFileW(runLog.c_str());
}

TEST_F(InvokeInstallerTest, DefaultLogThatCannotBeNamedLeavesTheInstallerWithoutALog)
{
    const std::wstring longName = std::wstring(300, L'n') + L".msi";
    const LPCWSTR names[] = {longName.c_str(), nullptr};
    for (LPCWSTR name : names) {
        DeleteFileW(journal_.c_str());
        Script("install 0\n");
        std::vector<ObservedBox> boxes;
        HRESULT hr = Invoke(InstallAction::Install, L"A=1", FALSE, FALSE, &boxes, nullptr, UI_LEVEL_BASIC, name);
        EXPECT_EQ(Hex(hr), Hex(S_OK));
        EXPECT_TRUE(boxes.empty());
        // Logging is turned off, so no earlier call's log setting stays in force.
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].operation, "ui");
        EXPECT_EQ(calls[1].operation, "log");
        EXPECT_EQ(calls[1].Field(0), L"0");
        EXPECT_EQ(calls[1].Field(1), L"%null");
        EXPECT_EQ(calls[2].operation, "install");
        EXPECT_EQ(calls[2].Field(1), L"A=1");
    }
}

TEST_F(InvokeInstallerTest, ActionWithoutAnInstallerCallIsRefusedBeforeTouchingTheInstaller)
{
    std::vector<ObservedBox> boxes;
    EXPECT_EQ(Hex(Invoke(InstallAction::Skip, L"A=1", FALSE, FALSE, &boxes)), Hex(E_INVALIDARG));
    EXPECT_EQ(Hex(Invoke(static_cast<InstallAction>(2), L"A=1", TRUE, FALSE, &boxes)), Hex(E_INVALIDARG));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(InvokeInstallerTest, OperationsForTheSetupRunPassTheirFixedArguments)
{
    ASSERT_EQ(Hex(InstallerLoad()), Hex(S_OK));
    ASSERT_EQ(Hex(InstallerLoad()), Hex(S_OK));   // once is enough; again is harmless
    Script("query 0 4.2.310.0\nremove 1605\n");

    WCHAR version[INSTALLER_VERSION_CHARS] = L"";
    DWORD size = INSTALLER_VERSION_CHARS;
    EXPECT_EQ(InstallerQueryVersion(ProductContext::Any, L"{11111111-2222-3333-4444-555555555555}", version, &size), 0u);
    EXPECT_STREQ(version, L"4.2.310.0");
    EXPECT_EQ(InstallerRemoveProduct(L"{11111111-2222-3333-4444-555555555555}", INSTALLER_REMOVE_ALL), 1605u);

    auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].operation, "query");
    EXPECT_EQ(calls[0].Field(0), L"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(calls[0].Field(1), L"VersionString");
    EXPECT_EQ(calls[0].Field(2), L"36");
    EXPECT_EQ(calls[1].operation, "remove");
    EXPECT_EQ(calls[1].Field(0), L"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(calls[1].Field(1), L"0");   // default install level
    EXPECT_EQ(calls[1].Field(2), L"2");   // absent
    EXPECT_EQ(calls[1].Field(3), L" REMOVE=ALL");
}

} // namespace
