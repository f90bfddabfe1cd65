// The command-line grammar as a table: each line of arguments and what it must
// produce, described as the SetupOptions fields that differ from their start
// values plus the action chosen ("-> Setup" alone is a plain setup run).
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <string>
#include <vector>
#include "options.h"
#include "result.h"

namespace {

const wchar_t* ActionName(SetupAction action)
{
    switch (action) {
    case SetupAction::Help: return L"Help";
    case SetupAction::Extract: return L"Extract";
    case SetupAction::ExtractFirst: return L"ExtractFirst";
    case SetupAction::Setup: return L"Setup";
    }
    return L"?";
}

std::wstring Describe(const SetupOptions& options)
{
    std::wstring text;
    if (options.propertyText) text += L"prop='" + std::wstring(options.propertyText) + L"' ";
    if (options.logPath) text += L"log='" + std::wstring(options.logPath) + L"' ";
    if (options.language != -1) text += L"lang=" + std::to_wstring(options.language) + L" ";
    if (options.uiLevel != 5) text += L"ui=" + std::to_wstring(options.uiLevel) + L" ";
    if (options.action != InstallAction::Install) {
        text += L"action=" + std::to_wstring(static_cast<DWORD>(options.action)) + L" ";
    }
    if (options.targetPath) text += L"target='" + std::wstring(options.targetPath) + L"' ";
    if (options.extractAll) text += L"all ";
    if (options.extractFirst) text += L"first ";
    if (options.showHelp) text += L"help ";
    if (options.elevatedCopyOf) text += L"copy=" + std::wstring(options.elevatedCopyOf) + L" ";
    if (options.hasWindowPlace) {
        const RECT& r = options.windowPlace;
        text += L"place=" + std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," +
                std::to_wstring(r.right) + L"," + std::to_wstring(r.bottom) + L" ";
    }
    if (options.outcomeTo.name) {
        text += L"outcome=" + std::wstring(options.outcomeTo.name, OUTCOME_NAME_DIGITS) + L"@" +
                std::to_wstring(options.outcomeTo.processId) + L" ";
    }
    return text + L"-> " + ActionName(ChooseSetupAction(options));
}

// Runs the parser on "setup.exe" followed by the arguments.
struct Parsed {
    HRESULT hr;
    std::wstring description;
};

Parsed Parse(std::vector<std::wstring> arguments)
{
    arguments.insert(arguments.begin(), L"setup.exe");
    std::vector<LPWSTR> argv;
    for (auto& argument : arguments) argv.push_back(&argument[0]);
    SetupOptions options;
    const HRESULT hr = ParseSetupCommandLine(static_cast<int>(argv.size()), argv.data(), &options);
    const Parsed parsed = {hr, SUCCEEDED(hr) ? Describe(options) : L"rejected"};
    ReleaseSetupOptions(&options);
    return parsed;
}

struct Row {
    std::vector<std::wstring> arguments;
    const wchar_t* expected;   // Describe() of the result, or "rejected"
};

void ExpectRows(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        std::wstring line;
        for (const auto& a : row.arguments) line += L"[" + a + L"] ";
        const Parsed parsed = Parse(row.arguments);
        EXPECT_EQ(row.expected, parsed.description) << "for " << testing::PrintToString(line);
        EXPECT_EQ(std::wstring(row.expected) == L"rejected" ? E_INVALIDARG : S_OK, parsed.hr)
            << "for " << testing::PrintToString(line);
    }
}

} // namespace

TEST(ParseSetupCommandLine, SwitchNamesArePrefixedWholeAndCaseBlind)
{
    ExpectRows({
        {{}, L"-> Setup"},
        {{L"/quiet"}, L"ui=2 -> Setup"},
        {{L"-Quiet"}, L"ui=2 -> Setup"},
        {{L"/QUIET"}, L"ui=2 -> Setup"},
        {{L"--quiet"}, L"rejected"},
        {{L"quiet"}, L"rejected"},
        {{L"/quietly"}, L"rejected"},
        {{L"/quie"}, L"rejected"},
        {{L""}, L"rejected"},
        {{L"/"}, L"rejected"},
        {{L"-"}, L"rejected"},
        {{L" /quiet"}, L"rejected"},
        {{L"/?"}, L"help -> Help"},
        {{L"/ElevatedCopy", L"0000ABCD-0000000100000002", L"/passive"}, L"ui=67 copy=0000ABCD-0000000100000002 -> Setup"},
        {{L"-h"}, L"help -> Help"},
        {{L"/HELP"}, L"help -> Help"},
        {{L"/passive"}, L"ui=67 -> Setup"},
        {{L"/forcerestart"}, L"prop='REBOOT=Force ' -> Setup"},
        {{L"/PromptRestart"}, L"prop='REBOOTPROMPT= ' -> Setup"},
        {{L"/norestart"}, L"prop='REBOOT=ReallySuppress ' -> Setup"},
    });
}

TEST(ParseSetupCommandLine, UiLevelIsTheLastOfQuietAndPassive)
{
    ExpectRows({
        {{L"/passive", L"/quiet"}, L"ui=2 -> Setup"},
        {{L"/quiet", L"/passive"}, L"ui=67 -> Setup"},
        {{L"/uninstall"}, L"ui=3 action=8 -> Setup"},
        {{L"/quiet", L"/uninstall"}, L"ui=2 action=8 -> Setup"},
        {{L"/uninstall", L"/quiet"}, L"ui=2 action=8 -> Setup"},
        {{L"/uninstall", L"/passive"}, L"ui=67 action=8 -> Setup"},
        {{L"/passive", L"/uninstall"}, L"ui=67 action=8 -> Setup"},
        // A repair keeps the full interface; the last of /repair and /uninstall acts.
        {{L"/Repair"}, L"action=9 -> Setup"},
        {{L"/uninstall", L"/repair"}, L"ui=3 action=9 -> Setup"},
        {{L"/repair", L"/uninstall"}, L"ui=3 action=8 -> Setup"},
    });
}

TEST(ParseSetupCommandLine, PropertyTextAccumulatesInSwitchOrder)
{
    ExpectRows({
        {{L"/norestart", L"/msicl", L"A=1", L"/promptrestart"},
         L"prop='REBOOT=ReallySuppress A=1 REBOOTPROMPT= ' -> Setup"},
        {{L"/msicl", L"A=1 B=\"x y\"", L"/msicl", L"C=3"}, L"prop='A=1 B=\"x y\" C=3 ' -> Setup"},
        {{L"/forcerestart", L"/forcerestart"}, L"prop='REBOOT=Force REBOOT=Force ' -> Setup"},
        {{L"/msicl", L""}, L"prop=' ' -> Setup"},
        // An open quotation would swallow what the run appends after the text.
        {{L"/msicl", L"A=\"x y"}, L"rejected"},
        {{L"/msicl", L"A=1", L"/msicl", L"B=\"\"\""}, L"rejected"},
    });
}

TEST(ParseSetupCommandLine, ValueSwitchesTakeTheNextArgumentWhateverItIs)
{
    ExpectRows({
        {{L"/msicl", L"/quiet"}, L"prop='/quiet ' -> Setup"},
        {{L"/log", L"-x.log"}, L"log='-x.log' -> Setup"},
        {{L"/log", L"a.log", L"/log", L"b.log"}, L"log='b.log' -> Setup"},
        {{L"/out", L"/help"}, L"target='/help' all -> Extract"},
        {{L"/lang", L"/quiet"}, L"lang=0 -> Setup"},
    });
}

TEST(ParseSetupCommandLine, MsiexecFormsActAsTheProgramsOwn)
{
    ExpectRows({
        {{L"/qn"}, L"ui=2 -> Setup"}, {{L"-QB"}, L"ui=67 -> Setup"}, {{L"/qb!-"}, L"ui=67 -> Setup"},
        {{L"/l*v", L"a"}, L"log='a' -> Setup"}, {{L"-L+!IWEARUCMOPVX*", L"a"}, L"log='a' -> Setup"},
        {{L"/l", L"a", L"/log", L"A=1"}, L"log='A=1' -> Setup"}, {{L"/l*v"}, L"rejected"},
        {{L"DIR=C:\\My Apps", L"_a.1=x", L"/msicl", L"B=2"}, L"prop='DIR=\"C:\\My Apps\" _a.1=x B=2 ' -> Setup"},
        {{L"A=say \"hi\"", L"B=", L"C==\""}, L"prop='A=\"say \"\"hi\"\"\" B=\"\" C=\"=\"\"\" ' -> Setup"},
    });
    for (const wchar_t* bad : {L"/q", L"/qb+", L"/qn-", L"/l*y", L"/ll", L"/*v", L"1A=x", L".A=x", L"=x", L"A-B=x", L"/A=1", L"\u00C4=1"})
        ExpectRows({{{bad, L"/quiet"}, L"rejected"}});   // even where "/quiet" could be a value
}

TEST(ParseSetupCommandLine, AValueSwitchWithoutAValueIsRejected)
{
    ExpectRows({
        {{L"/out"}, L"rejected"},
        {{L"/extract"}, L"rejected"},
        {{L"/o1"}, L"rejected"},
        {{L"/msicl"}, L"rejected"},
        {{L"/log"}, L"rejected"},
        {{L"/lang"}, L"rejected"},
        {{L"/quiet", L"/lang"}, L"rejected"},
    });
}

TEST(ParseSetupCommandLine, LanguageIsReadAsASignedDecimalPrefix)
{
    ExpectRows({
        {{L"/lang", L"1031"}, L"lang=1031 -> Setup"},
        {{L"/lang", L"abc"}, L"lang=0 -> Setup"},
        {{L"/lang", L""}, L"lang=0 -> Setup"},
        {{L"/lang", L"-1"}, L"-> Setup"},
        {{L"/lang", L"-7"}, L"lang=-7 -> Setup"},
        {{L"/lang", L" \t+1036x"}, L"lang=1036 -> Setup"},
        {{L"/lang", L"0x409"}, L"lang=0 -> Setup"},
        {{L"/lang", L"1033", L"/lang", L"1041"}, L"lang=1041 -> Setup"},
        // Out of range: held at the ends instead of wrapping round.
        {{L"/lang", L"99999999999"}, L"lang=2147483647 -> Setup"},
        {{L"/lang", L"-99999999999"}, L"lang=-2147483648 -> Setup"},
        {{L"/lang", L"2147483648"}, L"lang=2147483647 -> Setup"},
        {{L"/lang", L"-2147483648"}, L"lang=-2147483648 -> Setup"},
    });
}

// The values the unelevated run hands its elevated copy beside the file
// identity are exact or refuse the line. The window place: four numbers, a
// size above zero.
TEST(ParseSetupCommandLine, ElevatedCopyValuesAreExactOrRejected)
{
#define NAME L"0123456789abcdef0123456789abcdef"
    ExpectRows({
        {{L"/windowplace", L"-8,20,640,480"}, L"place=-8,20,632,500 -> Setup"},
        {{L"/windowplace", L"32767,0,1,1"}, L"place=32767,0,32768,1 -> Setup"},
        {{L"/windowplace", L"32768,0,1,1"}, L"rejected"},
        {{L"/windowplace", L"0,0,0,480"}, L"rejected"},
        {{L"/windowplace", L"0,0,640,-480"}, L"rejected"},
        {{L"/windowplace", L"0,0,640"}, L"rejected"},
        {{L"/windowplace", L"0,0,640,480,1"}, L"rejected"},
        {{L"/windowplace", L"0, 0,640,480"}, L"rejected"},
        {{L"/windowplace", L"99999999999999,0,1,1"}, L"rejected"},
        {{L"/windowplace", L""}, L"rejected"},
        // The channel it hands its outcome back on: a random name of 32
        // lower-case hex digits and the starter's process, or nothing.
        {{L"/outcome", NAME L",4242"}, L"outcome=" NAME L"@4242 -> Setup"},
        {{L"/outcome", NAME L",4294967295"}, L"outcome=" NAME L"@4294967295 -> Setup"},
        {{L"/outcome", NAME L",4294967296"}, L"rejected"},
        {{L"/outcome", NAME L",0"}, L"rejected"},
        {{L"/outcome", NAME L","}, L"rejected"},
        {{L"/outcome", NAME L",12 "}, L"rejected"},
        {{L"/outcome", NAME L"0,12"}, L"rejected"},
        {{L"/outcome", L"123456789abcdef0123456789abcdef,12"}, L"rejected"},
        {{L"/outcome", L"0123456789ABCDEF0123456789abcdef,12"}, L"rejected"},
        {{L"/outcome", L"..\\..\\56789abcdef0123456789abcdef,12"}, L"rejected"},
        {{L"/outcome", L""}, L"rejected"},
    });
#undef NAME
}

TEST(ParseSetupCommandLine, HelpOutranksExtractOutranksExtractFirst)
{
    ExpectRows({
        {{L"/extract", L"A", L"/o1", L"B"}, L"target='B' all first -> Extract"},
        {{L"/o1", L"B", L"/extract", L"A"}, L"target='A' all first -> Extract"},
        {{L"/out", L"A"}, L"target='A' all -> Extract"},
        {{L"/o1", L"B"}, L"target='B' first -> ExtractFirst"},
        {{L"/extract", L"A", L"/?"}, L"target='A' all help -> Help"},
        {{L"/quiet", L"/?"}, L"ui=2 help -> Help"},
        {{L"/log", L"x", L"/h"}, L"log='x' help -> Help"},
    });
}

TEST(ParseSetupCommandLine, ABadArgumentAfterHelpStillRejectsTheLine)
{
    ExpectRows({
        {{L"/?", L"/bogus"}, L"rejected"},
        {{L"/?", L"extra"}, L"rejected"},
        {{L"/quiet", L"/?", L"/log"}, L"rejected"},
    });
}

TEST(ParseSetupCommandLine, TargetPathIsBorrowedFromTheArguments)
{
    WCHAR program[] = L"setup.exe";
    WCHAR extract[] = L"/extract";
    WCHAR folder[] = L"C:\\out";
    LPWSTR argv[] = {program, extract, folder};
    SetupOptions options;
    ASSERT_EQ(S_OK, ParseSetupCommandLine(3, argv, &options));
    EXPECT_EQ(folder, options.targetPath);
    ReleaseSetupOptions(&options);
}

TEST(ReleaseSetupOptions, FreesWhatARejectedLineAlreadyBuilt)
{
    WCHAR program[] = L"setup.exe";
    WCHAR norestart[] = L"/norestart";
    WCHAR log[] = L"/log";
    WCHAR path[] = L"x.log";
    WCHAR bogus[] = L"/bogus";
    LPWSTR argv[] = {program, norestart, log, path, bogus};
    SetupOptions options;
    ASSERT_EQ(E_INVALIDARG, ParseSetupCommandLine(5, argv, &options));
    ASSERT_NE(nullptr, options.propertyText);
    ASSERT_NE(nullptr, options.logPath);
    ReleaseSetupOptions(&options);
    EXPECT_EQ(nullptr, options.propertyText);
    EXPECT_EQ(nullptr, options.logPath);
    ReleaseSetupOptions(&options);   // a second release is harmless
}

TEST(ExitCodeFromResult, IsTheLowWordAndNeverZeroForAFailure)
{
    const struct {
        DWORD result;
        int exitCode;
    } rows[] = {
        {0x00000000, 0},     {0x00000001, 1},     {0x80070BC2, 3010}, {0x80070BC3, 3011},
        {0x80070669, 1641},  {0x80070057, 87},    {0x80070645, 1605}, {0x80070666, 1638},
        {0x8007000E, 14},    {0x8007007A, 122},   {0x80004005, 16389}, {0x80004001, 16385},
        {0x80070000, 16389},   // a failure whose low word is 0 must not look like success
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.exitCode, ExitCodeFromResult(static_cast<HRESULT>(row.result)))
            << std::hex << row.result;
    }
}

// The elevated copy is handed the tail: it must split into exactly the
// arguments the whole line did, whatever the program's name looks like.
TEST(CommandLineTail, SplitsIntoTheSameArgumentsAsTheWholeLine)
{
    const wchar_t* lines[] = {
        L"setup.exe /quiet",
        L"\"C:\\dl\\setup.exe\"/uninstall /passive",
        L"\"C:\\My Downloads\\setup.exe\"   /log \"a b.log\"",
        L"C:\\dl\\setup.exe\t/msicl \"A=1 B=\"\"x\"\"\"",
        L"setup.exe \"\" /quiet",
        L"\"setup.exe\"",
        L"C:\\a\"b c\"\\setup.exe /quiet",
    };
    for (const wchar_t* line : lines) {
        int wholeCount = 0;
        int tailCount = 0;
        std::wstring text(line);
        LPWSTR* whole = ::CommandLineToArgvW(line, &wholeCount);
        LPWSTR* tail = ::CommandLineToArgvW((L"x " + std::wstring(CommandLineTail(&text[0]))).c_str(), &tailCount);
        ASSERT_EQ(wholeCount, tailCount) << line;
        for (int k = 1; k < wholeCount; ++k) {
            EXPECT_STREQ(whole[k], tail[k]) << line;
        }
        ::LocalFree(whole);
        ::LocalFree(tail);
    }
}

// What the run's log leaves out as possibly secret is what the parser reads as
// property texts: the value of /msicl and NAME=VALUE arguments, not a value of
// another switch that happens to hold "=".
TEST(SetupArgumentRole, AsTheParserReadsEachArgument)
{
    const wchar_t* arguments[] = {L"setup.exe", L"/log", L"C:\\a=b\\run.log", L"/msicl", L"P=1 Q=2", L"X=2",
                                  L"/quiet", L"/lang", L"N=3"};
    const ArgumentRole roles[] = {ArgumentRole::Unknown, ArgumentRole::Switch, ArgumentRole::Value,
                                  ArgumentRole::Switch, ArgumentRole::PropertyText, ArgumentRole::PropertyAssignment,
                                  ArgumentRole::Switch, ArgumentRole::Switch, ArgumentRole::Value};
    std::vector<LPWSTR> argv;
    for (const wchar_t* argument : arguments) argv.push_back(const_cast<LPWSTR>(argument));
    for (int k = 1; k < static_cast<int>(argv.size()); ++k) {
        EXPECT_EQ(roles[k], SetupArgumentRole(static_cast<int>(argv.size()), argv.data(), k)) << k;
    }
}
