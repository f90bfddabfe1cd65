// The stand-in installer as other tests rely on it: found as msi.dll in the
// stand-in prefix, its operations reached by the service's ordinals, scripted
// results handed out per operation in order, every argument journaled.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "standin_journal.h"

namespace {

using SetInternalUi = INT(WINAPI*)(INT, HWND*);
using EnableLog = UINT(WINAPI*)(DWORD, LPCWSTR, DWORD);
using GetProductInfo = UINT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, DWORD*);
using InstallProduct = UINT(WINAPI*)(LPCWSTR, LPCWSTR);
using ApplyPatch = UINT(WINAPI*)(LPCWSTR, LPCWSTR, INT, LPCWSTR);
using ConfigureProductEx = UINT(WINAPI*)(LPCWSTR, INT, INT, LPCWSTR);

template <typename T>
T Ordinal(HMODULE module, WORD ordinal)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

void WriteText(const std::wstring& path, const char* text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        journal_ = TempFile(L"standin-self-journal.txt");
        script_ = TempFile(L"standin-self-script.txt");
        DeleteFileW(journal_.c_str());
        DeleteFileW(script_.c_str());
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, script_.c_str());
        module_ = LoadLibraryW(L"msi.dll");
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override
    {
        if (module_) FreeLibrary(module_);
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, nullptr);
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, nullptr);
        DeleteFileW(journal_.c_str());
        DeleteFileW(script_.c_str());
    }

    std::wstring journal_;
    std::wstring script_;
    HMODULE module_ = nullptr;
};

TEST_F(StandinTest, IsTheMsiDllOfThePrefix)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(module_, path, MAX_PATH);
    // A 32-bit process in a 64-bit prefix loads it from syswow64.
    std::wstring lower(path);
    CharLowerW(&lower[0]);
    EXPECT_TRUE(lower.find(L"system32\\msi.dll") != std::wstring::npos ||
                lower.find(L"syswow64\\msi.dll") != std::wstring::npos) << path;
    // Wine's own msi.dll would export hundreds of names; ours has no ordinal 71.
    EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(71)), nullptr);
    for (WORD ordinal : {70, 88, 141, 169, 175, 190})
        EXPECT_NE(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)), nullptr) << ordinal;
}

TEST_F(StandinTest, ScriptedResultsArePerOperationInOrder)
{
    WriteText(script_, "# two installs, one patch\ninstall 3010\r\npatch 1642\n\ninstall 1603\n");
    auto install = Ordinal<InstallProduct>(module_, 88);
    auto patch = Ordinal<ApplyPatch>(module_, 175);
    EXPECT_EQ(install(L"C:\\a.msi", L""), 3010u);
    EXPECT_EQ(patch(L"C:\\p.msp", nullptr, 0, L"X=1"), 1642u);
    EXPECT_EQ(install(L"C:\\b.msi", L""), 1603u);
    EXPECT_EQ(install(L"C:\\c.msi", L""), 0u);   // script exhausted
    EXPECT_EQ(patch(L"C:\\p.msp", nullptr, 0, L""), 0u);

    auto calls = StandinReadJournal(journal_);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[1].operation, "patch");
    EXPECT_EQ(calls[1].Field(0), L"C:\\p.msp");
    EXPECT_EQ(calls[1].Field(1), L"%null");
    EXPECT_EQ(calls[1].Field(2), L"0");
    EXPECT_EQ(calls[1].Field(3), L"X=1");
    EXPECT_EQ(calls[1].Result(), L"1642");
    EXPECT_EQ(calls[2].Field(0), L"C:\\b.msi");
    EXPECT_EQ(calls[3].Result(), L"0");
}

TEST_F(StandinTest, TextsSurviveTheJournalExactly)
{
    auto install = Ordinal<InstallProduct>(module_, 88);
    const wchar_t* awkward = L"A=\"v o\"\t%null 100% \x00e9\x65e5\r\n ";
    install(L"C:\\x.msi", awkward);
    install(L"C:\\x.msi", L"");
    install(L"C:\\x.msi", nullptr);
    auto calls = StandinReadJournal(journal_);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Field(1), awkward);
    EXPECT_EQ(calls[1].Field(1), L"");
    EXPECT_EQ(calls[2].Field(1), L"%null");
}

TEST_F(StandinTest, QueryHandsBackTheScriptedVersionOrItsSize)
{
    WriteText(script_, "query 0 4.2.310.0\nquery 0 4.2.310.0\nquery 1608\nquery 234\n");
    auto query = Ordinal<GetProductInfo>(module_, 70);
    wchar_t value[36] = L"untouched";
    DWORD size = 36;
    EXPECT_EQ(query(L"{P}", L"VersionString", value, &size), 0u);
    EXPECT_STREQ(value, L"4.2.310.0");
    EXPECT_EQ(size, 9u);

    size = 5;
    EXPECT_EQ(query(L"{P}", L"VersionString", value, &size), 234u);
    EXPECT_EQ(size, 9u);
    size = 36;
    EXPECT_EQ(query(L"{P}", L"VersionString", value, &size), 1608u);
    EXPECT_EQ(query(L"{P}", L"VersionString", value, &size), 234u);
    EXPECT_EQ(query(L"{P}", L"VersionString", value, &size), 1605u);   // default: unknown

    auto calls = StandinReadJournal(journal_);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].operation, "query");
    EXPECT_EQ(calls[0].Field(0), L"{P}");
    EXPECT_EQ(calls[0].Field(1), L"VersionString");
    EXPECT_EQ(calls[0].Field(2), L"36");
    EXPECT_EQ(calls[0].Field(3), L"0");
    EXPECT_EQ(calls[0].Field(4), L"4.2.310.0");
    EXPECT_EQ(calls[1].Field(2), L"5");
    EXPECT_EQ(calls[1].Field(4), L"%null");
}

TEST_F(StandinTest, UiLogAndRemovalAreJournaled)
{
    Ordinal<SetInternalUi>(module_, 141)(3, nullptr);
    HWND window = reinterpret_cast<HWND>(0x1234);
    Ordinal<SetInternalUi>(module_, 141)(0x43, &window);
    Ordinal<EnableLog>(module_, 169)(0x1FDF, L"C:\\l.log", 1);
    Ordinal<ConfigureProductEx>(module_, 190)(L"{P}", 0, 2, L" REMOVE=ALL");

    auto calls = StandinReadJournal(journal_);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].operation, "ui");
    EXPECT_EQ(calls[0].Field(0), L"3");
    EXPECT_EQ(calls[0].Field(1), L"%null");
    EXPECT_EQ(calls[1].Field(0), L"67");
    EXPECT_EQ(calls[1].Field(1), L"0x1234");
    EXPECT_EQ(calls[2].operation, "log");
    EXPECT_EQ(calls[2].Field(0), L"8159");
    EXPECT_EQ(calls[2].Field(1), L"C:\\l.log");
    EXPECT_EQ(calls[2].Field(2), L"1");
    EXPECT_EQ(calls[3].operation, "remove");
    EXPECT_EQ(calls[3].Field(0), L"{P}");
    EXPECT_EQ(calls[3].Field(1), L"0");
    EXPECT_EQ(calls[3].Field(2), L"2");
    EXPECT_EQ(calls[3].Field(3), L" REMOVE=ALL");
}

TEST_F(StandinTest, NoJournalVariableMeansNoJournalAndDefaults)
{
    SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, nullptr);
    WriteText(script_, "install 1603\n");
    auto install = Ordinal<InstallProduct>(module_, 88);
    // Without a journal every call is the first of its kind.
    EXPECT_EQ(install(L"C:\\a.msi", L""), 1603u);
    EXPECT_EQ(install(L"C:\\a.msi", L""), 1603u);
    EXPECT_EQ(GetFileAttributesW(journal_.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StandinTest, EveryLoadIsRecordedWithTheLoadingProgram)
{
    const std::wstring loads = TempFile(L"standin-self-loads.txt");
    DeleteFileW(loads.c_str());
    FreeLibrary(module_);
    SetEnvironmentVariableW(STANDIN_LOADS_VARIABLE, loads.c_str());
    module_ = LoadLibraryW(L"msi.dll");
    SetEnvironmentVariableW(STANDIN_LOADS_VARIABLE, nullptr);
    ASSERT_NE(module_, nullptr);

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    HANDLE file = CreateFileW(loads.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char content[1024] = {};
    DWORD read = 0;
    ReadFile(file, content, sizeof(content) - 1, &read, nullptr);
    CloseHandle(file);
    DeleteFileW(loads.c_str());
    wchar_t line[1024] = {};
    MultiByteToWideChar(CP_UTF8, 0, content, -1, line, 1024);
    EXPECT_EQ(std::wstring(line), std::wstring(self) + L"\n");
    // No calls were made, so the journal stays untouched.
    EXPECT_EQ(GetFileAttributesW(journal_.c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
