// setup.exe started from a folder that also holds a planted msi.dll, in the
// stand-in prefix (where a native msi.dll is preferred wherever it is found):
// help and extraction load no installer at all, a setup run loads the system's
// (the stand-in, which records the load and the calls), and the planted DLL,
// which would leave a marker file, is never loaded.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "standin_journal.h"
#include "testsupport.h"

namespace {

std::wstring TempFolder()
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ReadUtf8(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::wstring();
    std::string content(65536, '\0');
    DWORD read = 0;
    ReadFile(file, &content[0], static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    content.resize(read);
    return WideFromUtf8(content);
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

class PlantedBesideSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = TempFolder() + L"planted-setup";
        RemoveTree(folder_);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        setup_ = folder_ + L"\\setup.exe";
        marker_ = folder_ + L"\\msi.dll.loaded";
        loads_ = TempFolder() + L"planted-setup-loads.txt";
        journal_ = TempFolder() + L"planted-setup-journal.txt";
        DeleteFileW(loads_.c_str());
        DeleteFileW(journal_.c_str());
        ASSERT_TRUE(CopyFileW(WindowsPathFromUnix(SETUP_EXE_PATH).c_str(), setup_.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(WindowsPathFromUnix(PLANTED_MSI_PATH).c_str(), (folder_ + L"\\msi.dll").c_str(),
                              FALSE));
        SetEnvironmentVariableW(STANDIN_LOADS_VARIABLE, loads_.c_str());
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, nullptr);
        // Started from its own folder, as a downloaded setup program would be.
        SetCurrentDirectoryW(folder_.c_str());
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(TempFolder().c_str());
        RemoveTree(folder_);
        DeleteFileW(loads_.c_str());
        DeleteFileW(journal_.c_str());
    }

    RunResult RunSetup(const std::wstring& arguments) { return RunWatched(Quoted(setup_) + L" " + arguments); }

    std::wstring folder_, setup_, marker_, loads_, journal_;
};

TEST_F(PlantedBesideSetupTest, HelpAndExtractionLoadNoInstaller)
{
    RunResult help = RunSetup(L"/?");
    ASSERT_TRUE(help.finished);
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_EQ(help.boxes.size(), 1u);

    RunResult extract = RunSetup(L"/extract " + Quoted(folder_ + L"\\out"));
    ASSERT_TRUE(extract.finished);
    EXPECT_EQ(extract.exitCode, 0u);

    EXPECT_FALSE(Exists(marker_));
    EXPECT_FALSE(Exists(loads_)) << ReadUtf8(loads_).c_str();
    EXPECT_TRUE(StandinReadJournal(journal_).empty());
}

TEST_F(PlantedBesideSetupTest, SetupRunLoadsTheSystemInstallerOnly)
{
    RunResult run = RunSetup(L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty());

    EXPECT_FALSE(Exists(marker_));
    EXPECT_EQ(ReadUtf8(loads_), setup_ + L"\n");
    auto calls = StandinReadJournal(journal_);
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].operation, "queryex") << "the bundle's package is per-machine: the machine is asked";
    EXPECT_EQ(calls.back().operation, "install");
}

// The system's msi.dll itself missing or without the operations: the load's
// failure is the result, and nothing else is tried. The stand-in is put back
// afterwards (prefix-run.sh also copies it anew for every test program).
class BrokenSystemInstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t system[MAX_PATH];
        GetSystemDirectoryW(system, MAX_PATH);
        installer_ = std::wstring(system) + L"\\msi.dll";
        saved_ = TempFolder() + L"standin-msi-saved.dll";
        probe_ = WindowsPathFromUnix(LOAD_PROBE_PATH);
        journal_ = TempFolder() + L"broken-installer-journal.txt";
        ASSERT_TRUE(CopyFileW(installer_.c_str(), saved_.c_str(), FALSE));
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        DeleteFileW(journal_.c_str());
    }
    void TearDown() override
    {
        EXPECT_TRUE(CopyFileW(saved_.c_str(), installer_.c_str(), FALSE));
        DeleteFileW(saved_.c_str());
        DeleteFileW((installer_ + L".loaded").c_str());
        DeleteFileW(journal_.c_str());
    }

    DWORD Run(const std::wstring& commandLine)
    {
        RunResult run = RunWatched(commandLine);
        EXPECT_TRUE(run.finished);
        EXPECT_TRUE(run.boxes.empty());
        return run.exitCode;
    }

    std::wstring installer_, saved_, probe_, journal_;
};

TEST_F(BrokenSystemInstallerTest, WithoutTheOperationsTheLoadFailsWithProcNotFound)
{
    ASSERT_TRUE(CopyFileW(WindowsPathFromUnix(PLANTED_MSI_PATH).c_str(), installer_.c_str(), FALSE));
    EXPECT_EQ(Run(Quoted(probe_) + L" load"), 1u);
    EXPECT_EQ(Run(Quoted(probe_) + L" invoke"), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(Run(Quoted(WindowsPathFromUnix(SETUP_EXE_PATH)) + L" /quiet"), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST_F(BrokenSystemInstallerTest, WithoutTheDllTheLoadFailsWithModNotFound)
{
    ASSERT_TRUE(DeleteFileW(installer_.c_str()));
    EXPECT_EQ(Run(Quoted(probe_) + L" invoke"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(Run(Quoted(WindowsPathFromUnix(SETUP_EXE_PATH)) + L" /quiet"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(StandinReadJournal(journal_).empty());
}

} // namespace
