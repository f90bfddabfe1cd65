// A msi.dll planted beside the program is never loaded, even when Wine is told to
// prefer a native msi.dll wherever it finds one (WINEDLLOVERRIDES=msi=n,b). The
// planted DLL leaves a marker file when it is loaded; the control case, a plain
// LoadLibraryW, proves that it would be found if the program looked there.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "testsupport.h"

namespace {

std::wstring TempFolder()
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class PlantedMsiTest : public ::testing::TestWithParam<const wchar_t*> {
protected:
    void SetUp() override
    {
        folder_ = TempFolder() + L"planted-" + GetParam();
        CreateDirectoryW(folder_.c_str(), nullptr);
        probe_ = folder_ + L"\\load_probe.exe";
        planted_ = folder_ + L"\\msi.dll";
        marker_ = planted_ + L".loaded";
        DeleteFileW(marker_.c_str());
        ASSERT_TRUE(CopyFileW(WindowsPathFromUnix(LOAD_PROBE_PATH).c_str(), probe_.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(WindowsPathFromUnix(PLANTED_MSI_PATH).c_str(), planted_.c_str(), FALSE));
        // Set by the test's definition: Wine takes it from the Linux environment
        // it was started with, not from a Windows parent's environment block.
        wchar_t overrides[256] = L"";
        GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 256);
        ASSERT_NE(std::wstring(overrides).find(L"msi=n,b"), std::wstring::npos) << overrides;
    }
    void TearDown() override
    {
        DeleteFileW(marker_.c_str());
        DeleteFileW(planted_.c_str());
        DeleteFileW(probe_.c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    DWORD RunProbe(const std::wstring& mode)
    {
        DWORD exitCode = 0xFFFFFFFF;
        // Started from its own folder, as a downloaded setup program would be.
        SetCurrentDirectoryW(folder_.c_str());
        EXPECT_TRUE(RunProcess(Quoted(probe_) + L" " + mode, 60000, &exitCode));
        SetCurrentDirectoryW(TempFolder().c_str());
        return exitCode;
    }

    std::wstring folder_, probe_, planted_, marker_;
};

TEST_P(PlantedMsiTest, IsNeverLoaded)
{
    EXPECT_EQ(RunProbe(GetParam()), 0u);
    EXPECT_FALSE(FileExists(marker_));
}

INSTANTIATE_TEST_SUITE_P(Modes, PlantedMsiTest, ::testing::Values(L"entry", L"load"));

class PlantedMsiControl : public PlantedMsiTest {};

TEST_P(PlantedMsiControl, IsLoadedByAPlainLoad)
{
    EXPECT_EQ(RunProbe(GetParam()), 0u);
    EXPECT_TRUE(FileExists(marker_));
}

INSTANTIATE_TEST_SUITE_P(Control, PlantedMsiControl, ::testing::Values(L"unsafe"));

} // namespace
