// The real setup.exe under Wine: what a user or a script sees at the front door.
// ctest runs this executable once per Linux locale with the language whose help
// text is expected (--language=de|en|es|fr|it|ja); setup.exe, started from here,
// inherits that locale.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include "helptexts.h"
#include "messages.h"
#include "../../res/resource.h"
#include "testsupport.h"

namespace {

const HelpLanguage* g_expected = nullptr;

std::wstring SetupExe()
{
    return WindowsPathFromUnix(SETUP_EXE_PATH);
}

RunResult RunSetupExe(const std::wstring& arguments)
{
    return RunWatched(Quoted(SetupExe()) + L" " + arguments);
}

// One entry of a string table in exactly the given language, without the
// loader's fallbacks; empty when that language has no such block.
std::wstring StringInLanguage(HMODULE module, UINT id, LANGID language)
{
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!found) return std::wstring();
    const WORD* entry = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
    for (UINT i = 0; i < id % 16; ++i) entry += 1 + *entry;
    return std::wstring(reinterpret_cast<const wchar_t*>(entry + 1), *entry);
}

struct DataFile {
    HMODULE module;
    DataFile() : module(LoadLibraryExW(SetupExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~DataFile() { if (module) FreeLibrary(module); }
};

} // namespace

// English under its country, the language the loader falls back to last; the
// others once, under their whole language, whatever the region.
TEST(Resources, EachHelpTextIsCarriedOnceForItsWholeLanguage)
{
    DataFile exe;
    ASSERT_NE(nullptr, exe.module);
    for (const HelpLanguage& language : HELP_LANGUAGES) {
        const bool english = PRIMARYLANGID(language.language) == LANG_ENGLISH;
        const LANGID neutral = MAKELANGID(PRIMARYLANGID(language.language), SUBLANG_NEUTRAL);
        EXPECT_EQ(language.text, StringInLanguage(exe.module, IDS_HELP_TEXT_ID, english ? language.language : neutral))
            << language.code;
    }
    EXPECT_EQ(L"Tessaro", StringInLanguage(exe.module, IDS_PRODUCT_NAME_ID, 1033));
}

TEST(Resources, CarriesIconVersionRecordAndAnExplicitManifest)
{
    DataFile exe;
    ASSERT_NE(nullptr, exe.module);
    EXPECT_NE(nullptr, FindResourceW(exe.module, MAKEINTRESOURCEW(100), RT_GROUP_ICON));  // IDI_APP_ICON

    HRSRC version = FindResourceW(exe.module, MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(nullptr, version);
    void* block = LockResource(LoadResource(exe.module, version));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    wchar_t* productName = nullptr;
    ASSERT_TRUE(VerQueryValueW(block, L"\\StringFileInfo\\040904B0\\ProductName",
                               reinterpret_cast<void**>(&productName), &size));
    EXPECT_STREQ(L"Tessaro", productName);

    HRSRC manifest = FindResourceW(exe.module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(nullptr, manifest);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(exe.module, manifest))),
                          SizeofResource(exe.module, manifest));
    EXPECT_NE(std::string::npos, xml.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));
    EXPECT_NE(std::string::npos, xml.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"));
}

// After the heading, each entry is a line of switches, four blanks in, and one
// line that says what they do, eight blanks in; every switch has an entry.
TEST(Resources, EachHelpTextNamesEverySwitchOnALineOfItsOwn)
{
    const std::wregex entries(L"[^\r\n]+(\n    /[^\r\n]+\n        [^ \r\n][^\r\n]*)+");
    for (const HelpLanguage& language : HELP_LANGUAGES) {
        std::wstring text = L" " + std::wstring(language.text) + L" ";
        EXPECT_TRUE(std::regex_match(language.text, entries)) << language.code;
        std::replace_if(text.begin(), text.end(), [](wchar_t c) { return c == L',' || c == L'\n'; }, L' ');
        for (const wchar_t* name : {L"/quiet", L"/passive", L"/norestart", L"/forcerestart", L"/promptrestart",
                 L"/uninstall", L"/repair", L"/log", L"/msicl", L"/lang", L"/extract", L"/out", L"/o1", L"/?", L"/h", L"/help",
                 L"/qn", L"/qb", L"/qb-", L"/qb!", L"/qb!-", L"/l*v"}) {
            EXPECT_NE(std::wstring::npos, text.find(L" " + std::wstring(name) + L" ")) << language.code << " " << Utf8FromWide(name);
        }
    }
}

TEST(HelpBox, ShowsTheUsersLanguageUnderTheProductName)
{
    const RunResult run = RunSetupExe(L"/?");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(L"Tessaro", run.boxes[0].caption);
    EXPECT_EQ(g_expected->text, run.boxes[0].text);
    EXPECT_FALSE(run.boxes[0].hasIcon);
}

TEST(HelpBox, AHelpSwitchWinsOverEverythingElseOnAGoodLine)
{
    const wchar_t* lines[] = {L"/quiet /?", L"-H", L"/HELP /log x.log", L"/o1 Z:\\tmp\\x.msi /h"};
    for (const wchar_t* line : lines) {
        const RunResult run = RunSetupExe(line);
        ASSERT_TRUE(run.finished) << testing::PrintToString(std::wstring(line));
        EXPECT_EQ(0u, run.exitCode) << testing::PrintToString(std::wstring(line));
        ASSERT_EQ(1u, run.boxes.size()) << testing::PrintToString(std::wstring(line));
        EXPECT_EQ(g_expected->text, run.boxes[0].text);
    }
}

TEST(HelpBox, HelpWithExtractExtractsNothing)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"frontdoor-help-extract";
    RemoveDirectoryW(folder.c_str());
    const RunResult run = RunSetupExe(L"/extract " + Quoted(folder) + L" /?");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(1u, run.boxes.size());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
}

TEST(BadCommandLine, Exits87AndShowsNothing)
{
    const wchar_t* lines[] = {
        L"/bogus", L"quiet", L"--quiet", L"/quietly", L"\"\"", L"/",
        L"/lang", L"/log", L"/msicl", L"/out", L"/extract", L"/o1",
        L"/? /bogus", L"/? extra", L"/quiet /? /log", L"/help --help",
    };
    for (const wchar_t* line : lines) {
        const RunResult run = RunSetupExe(line);
        ASSERT_TRUE(run.finished) << testing::PrintToString(std::wstring(line));
        EXPECT_EQ(87u, run.exitCode) << testing::PrintToString(std::wstring(line));
        EXPECT_TRUE(run.boxes.empty()) << testing::PrintToString(std::wstring(line));
    }
}

TEST(SystemErrorBox, ShowsThePlatformTextUnderInstallError)
{
    const HRESULT unknownProduct = static_cast<HRESULT>(0x80070645);
    LPWSTR platformText = nullptr;
    ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                 nullptr, static_cast<DWORD>(unknownProduct), 0x400,
                                 reinterpret_cast<LPWSTR>(&platformText), 0, nullptr));
    const std::wstring expected = platformText;
    LocalFree(platformText);

    MessageBoxWatcher watcher;
    ShowSystemErrorMessage(unknownProduct);
    const std::vector<ObservedBox> boxes = watcher.Stop();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Install Error", boxes[0].caption);
    EXPECT_EQ(expected, boxes[0].text);
    EXPECT_TRUE(boxes[0].hasIcon);
}

TEST(SystemErrorBox, ShowsNothingForACodeWithoutText)
{
    const HRESULT noText = static_cast<HRESULT>(0x8007FFFF);
    LPWSTR platformText = nullptr;
    ASSERT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                 nullptr, static_cast<DWORD>(noText), 0x400,
                                 reinterpret_cast<LPWSTR>(&platformText), 0, nullptr));
    MessageBoxWatcher watcher;
    ShowSystemErrorMessage(noText);
    EXPECT_TRUE(watcher.Stop().empty());
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char* code = "en";
    for (int i = 1; i < argc; ++i) {
        if (0 == strncmp(argv[i], "--language=", 11)) code = argv[i] + 11;
    }
    g_expected = FindHelpLanguage(code);
    if (!g_expected) {
        fprintf(stderr, "unknown --language=%s\n", code);
        return 2;
    }
    return RUN_ALL_TESTS();
}
