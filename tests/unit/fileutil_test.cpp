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

// The move works on a writable copy, like the callers' path buffers.
HRESULT Move(const std::wstring& source, const std::wstring& target, BOOL overwrite,
             std::wstring* targetAfterwards = nullptr)
{
    std::vector<WCHAR> text(target.begin(), target.end());
    text.push_back(L'\0');
    const HRESULT hr = FileutilMoveCreatingFolder(source.c_str(), text.data(), overwrite, TRUE);
    if (targetAfterwards) {
        targetAfterwards->assign(text.data(), text.size() - 1);
    }
    return hr;
}

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

TEST(FileutilMoveCreatingFolder, IntoAMissingFolderChain)
{
    ScratchFolder folder;
    const std::wstring source = folder / L"package.msi";
    const std::wstring target = folder / L"cache\\{GUID}\\package.msi";
    ScratchFolder::WriteFile(source, "package");

    std::wstring afterwards;
    EXPECT_EQ(S_OK, Move(source, target, TRUE, &afterwards));
    EXPECT_EQ(target, afterwards);
    EXPECT_FALSE(ScratchFolder::Exists(source));
    EXPECT_EQ("package", ScratchFolder::ReadFile(target));
}

TEST(FileutilMoveCreatingFolder, OntoAnExistingTarget)
{
    ScratchFolder folder;
    const std::wstring source = folder / L"new.msi";
    const std::wstring target = folder / L"old.msi";
    ScratchFolder::WriteFile(source, "new");
    ScratchFolder::WriteFile(target, "old");

    EXPECT_EQ(S_FALSE, Move(source, target, FALSE));
    EXPECT_EQ("new", ScratchFolder::ReadFile(source));
    EXPECT_EQ("old", ScratchFolder::ReadFile(target));

    EXPECT_EQ(S_OK, Move(source, target, TRUE));
    EXPECT_FALSE(ScratchFolder::Exists(source));
    EXPECT_EQ("new", ScratchFolder::ReadFile(target));
}

// New files never go through what is at the name: a hard link there into
// another file is replaced, the file it leads to keeps its bytes; a file that
// cannot be deleted (held open without sharing) fails the copy.
TEST(FileutilCopyNew, ReplacesAHardLinkAndFailsOnAFileItCannotDelete)
{
    ScratchFolder folder;
    const std::wstring source = folder / L"MST1.tmp";
    const std::wstring victim = folder / L"victim.bin";
    const std::wstring target = folder / L"beside.mst";
    ScratchFolder::WriteFile(source, "transform");
    ScratchFolder::WriteFile(victim, "victim");
    ASSERT_TRUE(::CreateHardLinkW(target.c_str(), victim.c_str(), nullptr));

    EXPECT_EQ(S_OK, FileutilCopyNew(source.c_str(), target.c_str()));
    EXPECT_EQ("transform", ScratchFolder::ReadFile(target));
    EXPECT_EQ("victim", ScratchFolder::ReadFile(victim));

    HANDLE planted = ::CreateFileW(victim.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), FileutilCopyNew(source.c_str(), victim.c_str()));
    ::CloseHandle(planted);
    EXPECT_EQ("victim", ScratchFolder::ReadFile(victim));
}

TEST(FileutilMoveCreatingFolder, FailuresCreateNothing)
{
    ScratchFolder folder;
    const std::wstring source = folder / L"package.msi";
    ScratchFolder::WriteFile(source, "package");
    const std::wstring drive = ScratchFolder::MissingDrive();
    ASSERT_FALSE(drive.empty());

    struct Case {
        std::wstring source;
        std::wstring target;
        HRESULT expected;
    } cases[] = {
        {folder / L"missing.msi", folder / L"cache\\sub\\missing.msi", RESULT_FILE_NOT_FOUND},
        {source, Slashed(folder / L"cache/sub/package.msi"), RESULT_PATH_NOT_FOUND},
        {source, drive + L"package.msi", RESULT_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        std::wstring afterwards;
        EXPECT_EQ(c.expected, Move(c.source, c.target, TRUE, &afterwards)) << c.target.c_str();
        EXPECT_EQ(c.target, afterwards);
    }
    EXPECT_FALSE(ScratchFolder::Exists(folder / L"cache"));
    EXPECT_EQ("package", ScratchFolder::ReadFile(source));
}

TEST(FileutilMoveCreatingFolder, FolderCreationFailurePassesOn)
{
    ScratchFolder folder;
    const std::wstring source = folder / L"package.msi";
    ScratchFolder::WriteFile(source, "package");
    ScratchFolder::WriteFile(folder / L"cache", "a file where the folder should be");

    EXPECT_TRUE(FAILED(Move(source, folder / L"cache\\sub\\package.msi", TRUE)));
    EXPECT_EQ("package", ScratchFolder::ReadFile(source));
}

TEST(FileutilIsFile, OnlyExistingFilesAreFiles)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"a.txt", "x");
    ::SetFileAttributesW((folder / L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ::CreateDirectoryW((folder / L"sub").c_str(), nullptr);

    DWORD attributes = 0xDEAD;
    EXPECT_FALSE(FileutilIsFile((folder / L"sub").c_str(), &attributes));
    EXPECT_FALSE(FileutilIsFile((folder / L"missing").c_str(), &attributes));
    EXPECT_EQ(0xDEADu, attributes);

    EXPECT_TRUE(FileutilIsFile((folder / L"a.txt").c_str(), &attributes));
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(FileutilIsFile((folder / L"*.txt").c_str(), nullptr));  // first match answers
    EXPECT_FALSE(FileutilIsFile((folder / L"*.none").c_str(), nullptr));
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
