#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "appendutil.h"
#include "fileutil.h"
#include "versionutil.h"
#include "result.h"
#include "scratchfolder.h"

namespace {

struct OwnedString {
    WideString text = nullptr;
    ~OwnedString() { if (text) StrutilFree(text); }
};

} // namespace

// A log the installer writes by its path: named by prefix, time and random
// digits, never the same twice, and held so that nobody else can rename or
// delete it while a writer that lets others write (as the installer does)
// still gets in. A hard link planted at a given name is replaced, never
// written through.
TEST(FileutilCreateShared, HeldAgainstOthersButOpenToTheWriter)
{
    ScratchFolder folder;
    HeldFolder held = NoHeldFolder();
    ASSERT_EQ(S_OK, DirutilOpenFolder(folder.Path().c_str(), &held));

    WCHAR first[MAX_PATH];
    WCHAR second[MAX_PATH];
    HANDLE log = INVALID_HANDLE_VALUE;
    HANDLE other = INVALID_HANDLE_VALUE;
    ASSERT_EQ(S_OK, FileutilCreateUnique(&held, L"setup", L"log", first, &log));
    ASSERT_EQ(S_OK, FileutilCreateUnique(&held, L"setup", L"log", second, &other));
    ::CloseHandle(other);
    EXPECT_NE(std::wstring(first), second);
    const std::wstring name = first + folder.Path().size() + 1;
    ASSERT_EQ(34u, name.size()) << name.c_str();   // setup_YYYYMMDD-HHMMSS_XXXXXXXX.log
    EXPECT_EQ(0u, name.find(L"setup_"));
    EXPECT_EQ(L'-', name[14]);
    EXPECT_EQ(L".log", name.substr(30));

    EXPECT_FALSE(::DeleteFileW(first));
    EXPECT_FALSE(::MoveFileExW(first, (folder / L"moved.log").c_str(), 0));
    HANDLE writer = ::CreateFileW(first, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(writer, "session", 7, &written, nullptr));
    ::CloseHandle(writer);
    EXPECT_EQ(S_OK, AppendutilWrite(log, " and a line", 11));
    ::CloseHandle(log);
    EXPECT_EQ("session and a line", ScratchFolder::ReadFile(first));

    const std::wstring victim = folder / L"victim.txt";
    ScratchFolder::WriteFile(victim, "not a log");
    ASSERT_TRUE(::CreateHardLinkW((folder / L"given.log").c_str(), victim.c_str(), nullptr));
    ASSERT_EQ(S_OK, FileutilCreateShared(&held, (folder / L"given.log").c_str(), &log));
    ::CloseHandle(log);
    EXPECT_EQ("not a log", ScratchFolder::ReadFile(victim));
    EXPECT_EQ("", ScratchFolder::ReadFile(folder / L"given.log"));
    DirutilClose(&held);
}

// A copy of an open file is made new (what was at the name goes), held, and
// byte for byte the file; a file that differs past the first block does not match.
TEST(FileutilCopyToNew, CopiesAndComparesWholeFiles)
{
    ScratchFolder folder;
    HeldFolder held = NoHeldFolder();
    ASSERT_EQ(S_OK, DirutilOpenFolder(folder.Path().c_str(), &held));
    std::string bytes(200 * 1024, 'p');
    ScratchFolder::WriteFile(folder / L"program.exe", bytes);
    bytes[150000] = 'q';
    ScratchFolder::WriteFile(folder / L"late.exe", bytes);
    ScratchFolder::WriteFile(folder / L"copy.exe", "in the way");
    HANDLE program = INVALID_HANDLE_VALUE, copy = INVALID_HANDLE_VALUE, late = INVALID_HANDLE_VALUE;
    ASSERT_EQ(S_OK, FileutilHold((folder / L"program.exe").c_str(), &program));
    ASSERT_EQ(S_OK, FileutilHold((folder / L"late.exe").c_str(), &late));
    ASSERT_EQ(S_OK, FileutilCopyToNew(program, 0, bytes.size(), (folder / L"copy.exe").c_str(), &held, TRUE, &copy));
    EXPECT_FALSE(::DeleteFileW((folder / L"copy.exe").c_str())) << "held";
    EXPECT_EQ(S_OK, FileutilMatchesRange(copy, program, 0, bytes.size()));
    EXPECT_EQ(RESULT_FILE_CHANGED, FileutilMatchesRange(late, program, 0, bytes.size()));
    for (HANDLE file : {program, copy, late}) ::CloseHandle(file);
    EXPECT_EQ(ScratchFolder::ReadFile(folder / L"program.exe"), ScratchFolder::ReadFile(folder / L"copy.exe"));
    DirutilClose(&held);
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

// The one version parser: strict about what it takes, `v` only as a value's prefix.
TEST(VersionutilParse, Table)
{
    struct Case {
        const WCHAR* text;
        BOOL parsed;
        BOOL parsedAsValue;
        ULONGLONG version;
    } cases[] = {
        {L"1.2.3.4", TRUE, TRUE, 0x0001000200030004},
        {L"V1.2.3.4", FALSE, TRUE, 0x0001000200030004},
        {L"v65535.65535.65535.65535", FALSE, TRUE, 0xFFFFFFFFFFFFFFFF},
        {L"5", TRUE, TRUE, 0x0005000000000000},
        {L"14.40.33810", TRUE, TRUE, 0x000E002884120000},
        {L"1..3", FALSE, FALSE, 0},
        {L"", FALSE, FALSE, 0},
        {L" +7.8", FALSE, FALSE, 0},
        {L"1.2.3.4.5", FALSE, FALSE, 0},
        {L"1.2x", FALSE, FALSE, 0},
        {L"70000.1", FALSE, FALSE, 0},
        {L"1.70000", FALSE, FALSE, 0},
        {L"1.2.", FALSE, FALSE, 0},
        {L"-1.2", FALSE, FALSE, 0},
        {L"99999999999", FALSE, FALSE, 0},
        {L"vv1", FALSE, FALSE, 0},
    };
    for (const Case& c : cases) {
        ULONGLONG version = 7;
        ULONGLONG value = 7;
        const DWORD length = lstrlenW(c.text);
        EXPECT_EQ(c.parsed, VersionutilParse(c.text, length, &version)) << c.text;
        EXPECT_EQ(c.parsedAsValue, VersionutilParseValue(c.text, length, &value)) << c.text;
        EXPECT_EQ(c.parsed ? c.version : 7, version) << c.text;
        EXPECT_EQ(c.parsedAsValue ? c.version : 7, value) << c.text;
    }
    WCHAR text[VERSION_TEXT_CHARS];
    EXPECT_EQ(S_OK, VersionutilFormat(VersionFromHalves(0x00010002, 0x0003FFFF), text));
    EXPECT_STREQ(L"1.2.3.65535", text);
}
