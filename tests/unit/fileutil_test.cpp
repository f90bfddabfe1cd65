#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "fileutil.h"
#include "result.h"
#include "scratchfolder.h"

namespace {

struct OwnedString {
    WideString text = nullptr;
    ~OwnedString() { if (text) StrutilFree(text); }
};

} // namespace

TEST(FileutilCreateNumberedTemp, TakesTheNextFreeNumber)
{
    ScratchFolder folder;
    folder.BecomeTempFolder();

    OwnedString first;
    ASSERT_EQ(S_OK, FileutilCreateNumberedTemp(L"setup", L"log", &first.text, nullptr));
    EXPECT_EQ(folder / L"setup00000.log", first.text);
    EXPECT_TRUE(ScratchFolder::Exists(first.text));
    EXPECT_EQ("", ScratchFolder::ReadFile(first.text));

    OwnedString second;
    HANDLE file = INVALID_HANDLE_VALUE;
    ASSERT_EQ(S_OK, FileutilCreateNumberedTemp(L"setup", L"log", &second.text, &file));
    EXPECT_EQ(folder / L"setup00001.log", second.text);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file, "log", 3, &written, nullptr));
    ::CloseHandle(file);
    EXPECT_EQ("log", ScratchFolder::ReadFile(second.text));

    // Wanting neither output still creates (and closes) the file.
    ASSERT_EQ(S_OK, FileutilCreateNumberedTemp(L"setup", L"log", nullptr, nullptr));
    EXPECT_TRUE(ScratchFolder::Exists(folder / L"setup00002.log"));
    ::DeleteFileW((folder / L"setup00002.log").c_str());  // would fail if still open
    EXPECT_FALSE(ScratchFolder::Exists(folder / L"setup00002.log"));
}

// Wine answers "file exists" even for a folder or a held file of the
// candidate's name, so a missing folder inside the prefix provokes the other
// error here. Were it retried, the result would be "file exists" after 1000 tries.
TEST(FileutilCreateNumberedTemp, OtherErrorStopsAtOnce)
{
    ScratchFolder folder;
    folder.BecomeTempFolder();

    OwnedString path;
    HANDLE file = INVALID_HANDLE_VALUE;
    EXPECT_EQ(RESULT_PATH_NOT_FOUND,
              FileutilCreateNumberedTemp(L"missing\\setup", L"log", &path.text, &file));
    EXPECT_EQ(nullptr, path.text);
    EXPECT_EQ(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0, ScratchFolder::CountEntries(folder.Path()));
}

TEST(FileutilCreateNumberedTemp, AllNumbersTakenIsAFailure)
{
    ScratchFolder folder;
    folder.BecomeTempFolder();
    WCHAR name[32];
    for (int i = 0; i < 1000; ++i) {
        swprintf(name, 32, L"x%05d.tmp", i);
        ScratchFolder::WriteFile(folder / name, "");
    }

    OwnedString path;
    HANDLE file = INVALID_HANDLE_VALUE;
    EXPECT_EQ(RESULT_FILE_EXISTS, FileutilCreateNumberedTemp(L"x", L"tmp", &path.text, &file));
    EXPECT_EQ(nullptr, path.text);
    EXPECT_EQ(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(1000, ScratchFolder::CountEntries(folder.Path()));
}

TEST(FileutilCreateNumberedTemp, TempFolderTooLongFails)
{
    ScratchFolder folder;
    folder.BecomeTempFolder();
    const std::wstring tooLong = folder.Path() + L"\\" + std::wstring(MAX_PATH, L'x');
    ::SetEnvironmentVariableW(L"TMP", tooLong.c_str());
    ::SetEnvironmentVariableW(L"TEMP", tooLong.c_str());

    OwnedString path;
    EXPECT_TRUE(FAILED(FileutilCreateNumberedTemp(L"setup", L"log", &path.text, nullptr)));
    EXPECT_EQ(nullptr, path.text);
}

TEST(FileutilNamePart, PointsIntoTheSameText)
{
    struct Case {
        const WCHAR* path;
        const WCHAR* name;
    } cases[] = {
        {L"C:\\a\\b.msi", L"b.msi"},
        {L"C:b.msi", L"b.msi"},
        {L"a/b.msi", L"b.msi"},
        {L"C:\\a\\", L""},
        {L"b.msi", L"b.msi"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        const WCHAR* name = FileutilNamePart(c.path);
        EXPECT_STREQ(c.name, name);
        EXPECT_EQ(c.path + wcslen(c.path) - wcslen(c.name), name);
    }
    EXPECT_EQ(nullptr, FileutilNamePart(nullptr));
}

TEST(FileutilBaseName, NameWithoutFolderAndExtension)
{
    const std::wstring longest(255, L'n');
    struct Case {
        std::wstring path;
        std::wstring name;
    } cases[] = {
        {L"C:\\cache\\setup.msi", L"setup"},
        {L"C:\\cache\\setup.x64.msi", L"setup.x64"},
        {L"C:setup.msi", L"setup"},
        {L"cache/setup.msi", L"setup"},
        {L"C:\\a.b\\setup", L"setup"},
        {L"setup", L"setup"},
        {L"C:\\cache\\", L""},
        {L"C:\\" + longest + L".msi", longest},
        {longest, longest},
    };
    for (const Case& c : cases) {
        OwnedString name;
        ASSERT_EQ(S_OK, FileutilBaseName(c.path.c_str(), &name.text)) << c.path.c_str();
        EXPECT_EQ(c.name, name.text);
    }
}

TEST(FileutilBaseName, TooLongNameIsRefusedAndOutputUntouched)
{
    WCHAR sentinel[] = L"before";
    WideString name = sentinel;
    const std::wstring tooLong = L"C:\\cache\\" + std::wstring(256, L'n') + L".msi";
    EXPECT_EQ(E_INVALIDARG, FileutilBaseName(tooLong.c_str(), &name));
    EXPECT_EQ(E_INVALIDARG, FileutilBaseName(std::wstring(256, L'n').c_str(), &name));
    EXPECT_EQ(E_INVALIDARG, FileutilBaseName(nullptr, &name));
    EXPECT_EQ(sentinel, name);
}

TEST(FileutilParseVersion, Table)
{
    struct Case {
        const WCHAR* text;
        HRESULT result;
        DWORD high;
        DWORD low;
    } cases[] = {
        {L"1.2.3.4", S_OK, 0x00010002, 0x00030004},
        {L"V1.2.3.4", S_OK, 0x00010002, 0x00030004},
        {L"v65535.65535.65535.65535", S_OK, 0xFFFFFFFF, 0xFFFFFFFF},
        {L"5", S_OK, 0x00050000, 0},
        {L"1..3", S_OK, 0x00010000, 0x00030000},
        {L"", S_OK, 0, 0},
        {L" +7.8", S_OK, 0x00070008, 0},
        {L"1.2.3.4.5", S_FALSE, 0x00010002, 0x00030000},
        {L"1.2x", S_FALSE, 0x00010000, 0},
        {L"70000.1", S_FALSE, 0, 0},
        {L"1.70000", S_FALSE, 0x00010000, 0},
        {L"1.2.3.4x", S_FALSE, 0x00010002, 0x00030000},
        {L"-1.2", S_FALSE, 0, 0},
        {L"99999999999", S_FALSE, 0, 0},
        {L"vv1", S_FALSE, 0, 0},
    };
    for (const Case& c : cases) {
        DWORD high = 0xDEAD;
        DWORD low = 0xBEEF;
        EXPECT_EQ(c.result, FileutilParseVersion(c.text, &high, &low)) << c.text;
        EXPECT_EQ(c.high, high) << c.text;
        EXPECT_EQ(c.low, low) << c.text;
    }
}
