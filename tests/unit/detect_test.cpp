// Detection rules, parsed and evaluated against this prefix: test keys written
// here in both registry views (and removed again), files of the Windows and
// system folders, and Wine's own installer for codes it does not know. The
// installed-product answers come from the fault build's in-process installer
// (tests/faults).
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "detect.h"
#include "prereqargs.h"
#include "program.h"
#include "result.h"
#include "runlog.h"
#include "scratchfolder.h"

namespace {

constexpr wchar_t KEY[] = L"Software\\TessaroTests\\Detect";
constexpr wchar_t KEY32[] = L"Software\\TessaroTests\\Detect32";

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

void SetText(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
{
    SetValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetNumber(HKEY key, const wchar_t* name, DWORD number)
{
    SetValue(key, name, REG_DWORD, &number, sizeof(number));
}

HKEY CreateKey(HKEY hive, const wchar_t* path, REGSAM view)
{
    HKEY key = nullptr;
    ::RegCreateKeyExW(hive, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    return key;
}

// The values the table reads, there for the test's length only.
class TestKeys {
public:
    TestKeys()
    {
        HKEY user = CreateKey(HKEY_CURRENT_USER, KEY, KEY_WOW64_64KEY);
        const ULONGLONG big = 0x100000000ull;
        const BYTE binary[] = {1, 2, 3, 4};
        SetNumber(user, L"Installed", 1);
        SetValue(user, L"Big", REG_QWORD, &big, sizeof(big));
        SetText(user, L"Version", L"v14.40.33810.00");
        SetText(user, L"Plain", L"14.40.33810");
        SetText(user, L"Beta", L"14.40 beta");
        SetText(user, L"Name", L"Tessaro Runtime");
        SetText(user, L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
        SetText(user, L"Long", std::wstring(300, L'a'));
        SetText(user, L"", L"default text");
        SetNumber(user, L"C:\\Shared\\x.dll", 2);
        SetValue(user, L"Binary", REG_BINARY, binary, sizeof(binary));
        ::RegCloseKey(user);
        HKEY user32 = CreateKey(HKEY_CURRENT_USER, KEY32, KEY_WOW64_32KEY);
        SetNumber(user32, L"Installed", 3);
        ::RegCloseKey(user32);
        for (const auto& view : {std::make_pair(KEY_WOW64_64KEY, L"64"), std::make_pair(KEY_WOW64_32KEY, L"32")}) {
            HKEY machine = CreateKey(HKEY_LOCAL_MACHINE, KEY, view.first);
            SetText(machine, L"View", view.second);
            ::RegCloseKey(machine);
        }
    }

    ~TestKeys()
    {
        ::RegDeleteKeyExW(HKEY_CURRENT_USER, KEY, KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_CURRENT_USER, KEY32, KEY_WOW64_32KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, KEY, KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, KEY, KEY_WOW64_32KEY, 0);
    }
};

// A copy of this program, whose version record says 1.2.3.4 (testres.rc),
// in the Windows folder's Temp, where a file rule can name it.
class VersionedFile {
public:
    VersionedFile()
    {
        WCHAR self[MAX_PATH] = L"";
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        ::GetWindowsDirectoryW(path_, MAX_PATH);
        lstrcatW(path_, L"\\Temp\\TessaroDetectVersion.exe");
        ::CopyFileW(self, path_, FALSE);
    }
    ~VersionedFile() { ::DeleteFileW(path_); }

private:
    WCHAR path_[MAX_PATH] = L"";
};

enum class Outcome { Holds, DoesNotHold, Refused };

struct RuleCase {
    std::wstring rule;
    Outcome outcome;
    std::wstring words;   // in the finding; for a refusal, the part refused, exactly
};

std::wstring Text(TextSpan span)
{
    return span.text ? std::wstring(span.text, span.length) : std::wstring(L"<none>");
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

const std::wstring U = L"HKCU64\\Software\\TessaroTests\\Detect";
const std::wstring M64 = L"HKLM64\\Software\\TessaroTests\\Detect";
const std::wstring M32 = L"HKLM32\\Software\\TessaroTests\\Detect";
const std::wstring VERSIONED = L"file:[Windows]\\Temp\\TessaroDetectVersion.exe";
const std::wstring CODE = L"{7E55A000-0000-4000-8000-00000000D0D0}";   // no product has it

} // namespace

TEST(DetectRules, ParsedAndEvaluatedHere)
{
    TestKeys keys;
    VersionedFile versioned;
    const RuleCase cases[] = {
        // The registry: presence, numbers, texts, versions, types, views.
        {U, Outcome::Holds, L"the key"},
        {L"HKCU64\\Software\\TessaroTests\\Nowhere", Outcome::DoesNotHold, L"no such key"},
        {L"HKCU64\\Software\\TessaroTests\\Nowhere:Installed = 1", Outcome::DoesNotHold, L"no such key"},
        {U + L":Missing", Outcome::DoesNotHold, L"no such value"},
        {U + L":", Outcome::Holds, L"\"default text\" (REG_SZ)"},
        {U + L":C:\\Shared\\x.dll = 2", Outcome::Holds, L"2 (REG_DWORD)"},
        {U + L":Installed=1", Outcome::Holds, L"1 (REG_DWORD)"},
        {L"hkcu64\\Software\\TessaroTests\\Detect:Installed   >=   0x1  ", Outcome::Holds, L"1 (REG_DWORD)"},
        {U + L":Installed <> 1", Outcome::DoesNotHold, L"1 (REG_DWORD)"},
        {U + L":Installed < 2", Outcome::Holds, L"1"},
        {U + L":Installed <= 0", Outcome::DoesNotHold, L"1"},
        // Every ordering at equality.
        {U + L":Installed < 1", Outcome::DoesNotHold, L"1"},
        {U + L":Installed <= 1", Outcome::Holds, L"1"},
        {U + L":Installed > 1", Outcome::DoesNotHold, L"1"},
        {U + L":Big > 4294967295", Outcome::Holds, L"4294967296 (REG_QWORD)"},
        {U + L":Big = 0x100000000", Outcome::Holds, L"REG_QWORD"},
        {U + L":Binary = 1", Outcome::DoesNotHold, L"a value of 4 bytes (REG_BINARY), not a number"},
        {U + L":Installed = \"1\"", Outcome::DoesNotHold, L"(REG_DWORD), not a text"},
        {U + L":Name = \"tessaro RUNTIME\"", Outcome::Holds, L"\"Tessaro Runtime\" (REG_SZ)"},
        {U + L":Name <> \"Tessaro\"", Outcome::Holds, L"Tessaro Runtime"},
        {U + L":Expand = \"%systemroot%\\x\"", Outcome::Holds, L"(REG_EXPAND_SZ)"},
        {U + L":Long = \"" + std::wstring(255, L'a') + L"\"", Outcome::DoesNotHold, L"a value of 602 bytes (REG_SZ)"},
        {U + L":Long <> \"a\"", Outcome::Holds, L"602 bytes"},
        {U + L":Version >= v14.40", Outcome::Holds, L"\"v14.40.33810.00\" (REG_SZ)"},
        {U + L":Version = v14.40.33810", Outcome::Holds, L"v14.40.33810.00"},
        {U + L":Version < v14.40.33810.1", Outcome::Holds, L"v14.40"},
        {U + L":Version > v14.40.33810", Outcome::DoesNotHold, L"v14.40"},
        {U + L":Plain >= V14.40.33810", Outcome::Holds, L"\"14.40.33810\""},
        {U + L":Beta >= v14", Outcome::DoesNotHold, L"\"14.40 beta\" (REG_SZ), not a version"},
        {U + L":Installed >= v1", Outcome::DoesNotHold, L"(REG_DWORD), not a version"},
        {L"HKCU32\\Software\\TessaroTests\\Detect32:Installed = 3", Outcome::Holds, L"3"},
        {M64 + L":View = \"64\"", Outcome::Holds, L"\"64\""},
        {M32 + L":View = \"32\"", Outcome::Holds, L"\"32\""},
        // Files: presence and version records.
        {L"FILE:[system64]\\KERNEL32.DLL >= v1", Outcome::Holds, L", version "},
        {L"file:[System64]\\kernel32.dll > v65535", Outcome::DoesNotHold, L", version "},
        {L"file:[Windows]\\win.ini", Outcome::Holds, L"\\win.ini"},
        {L"file:[Windows]\\win.ini >= v1", Outcome::DoesNotHold, L"win.ini, without a version record"},
        {L"file:[Windows]\\no-such.dll", Outcome::DoesNotHold, L"no file "},
        {L"file:[Windows]\\Fonts", Outcome::DoesNotHold, L"Fonts, a folder"},
        {VERSIONED + L" = v1.2.3.4", Outcome::Holds, L"TessaroDetectVersion.exe, version 1.2.3.4"},
        {VERSIONED + L" = v3.4.1.2", Outcome::DoesNotHold, L"version 1.2.3.4"},
        // The installer: codes that nothing installed has.
        {L"product:" + CODE, Outcome::DoesNotHold, L"not installed"},
        {L"upgrade:" + CODE + L">=v1", Outcome::DoesNotHold, L"no product of this upgrade code"},
        {L"Always", Outcome::DoesNotHold, L"runs every time"},
        // Refused, with the part that is wrong.
        {L"", Outcome::Refused, L""},
        {L"HKLM\\Software", Outcome::Refused, L"HKLM"},
        {L"HKLM64\\", Outcome::Refused, L""},
        {L"HKLM64\\Software\\\\X", Outcome::Refused, L"Software\\\\X"},
        {L"HKLM64\\Software\\X\\", Outcome::Refused, L"Software\\X\\"},
        {L"HKLM64\\Software\\X\\Installed=1", Outcome::Refused, L"Software\\X\\Installed=1"},
        {L"HKLM64\\X:Name = ", Outcome::Refused, L"= "},
        {L"HKLM64\\X:Name = 1x", Outcome::Refused, L"1x"},
        {L"HKLM64\\X:Name = 18446744073709551616", Outcome::Refused, L"18446744073709551616"},
        {L"HKLM64\\X:Name >= \"a\"", Outcome::Refused, L">= "},
        {L"HKLM64\\X:Name = \"a\" x", Outcome::Refused, L"\"a\" x"},
        {L"HKLM64\\X:Name = v1.2.3.4.5", Outcome::Refused, L"v1.2.3.4.5"},
        {L"HKLM64\\X:Name = v65536", Outcome::Refused, L"v65536"},
        {L"HKLM64\\X:Name = v1..2", Outcome::Refused, L"v1..2"},
        {L"HKLM64\\X:Name\n= 1", Outcome::Refused, L"HKLM64\\X:Name\n= 1"},
        {L"HKLM64\\X:" + std::wstring(256, L'n'), Outcome::Refused, std::wstring(40, L'n')},
        {L"HKLM64\\" + std::wstring(1018, L'k'), Outcome::Refused, L"HKLM64\\" + std::wstring(33, L'k')},
        {L"file:[Program Files]\\x.dll", Outcome::Refused, L"[Program Files]"},
        {L"file:[Windows]x.dll", Outcome::Refused, L"[Windows]"},
        {L"file:[Windows]\\..\\x.dll", Outcome::Refused, L".."},
        {L"file:[Windows]\\a/. \\x.dll", Outcome::Refused, L". "},
        {L"file:[Windows]\\C:\\x.dll", Outcome::Refused, L"C:\\x.dll"},
        {L"file:[Windows]\\\\server\\x", Outcome::Refused, L"\\server\\x"},
        {L"file:[Windows]\\SysWOW64\\x.dll", Outcome::Refused, L"SysWOW64"},
        {L"file:[Windows]\\system32\\x.dll >= v1", Outcome::Refused, L"system32"},
        {L"file:[System32]\\x.dll = 1", Outcome::Refused, L"1"},
        {L"product:" + CODE + L" >= v1", Outcome::Refused, CODE + L" >= v1"},
        {L"product:{7E55A000-0000-4000-8000-00000000D0DG}", Outcome::Refused, L"{7E55A000-0000-4000-8000-00000000D0DG}"},
        {L"upgrade:" + CODE + L" < v2", Outcome::Refused, L"< v2"},
        {L"upgrade:" + CODE + L" = 2", Outcome::Refused, L"2"},
        {L"upgrade:" + CODE + L"v2", Outcome::Refused, CODE + L"v2"},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(Narrow(c.rule.substr(0, 80)));
        DetectRule rule = {};
        DetectRuleError error = {};
        const HRESULT hr = ParseDetectRule(c.rule.c_str(), static_cast<DWORD>(c.rule.size()), &rule, &error);
        if (c.outcome == Outcome::Refused) {
            EXPECT_EQ(RESULT_INVALID_DATA, hr);
            EXPECT_EQ(c.words, Text(error.part));
            EXPECT_NE(nullptr, error.reason);
            continue;
        }
        ASSERT_EQ(S_OK, hr) << (error.reason ? error.reason : "");
        DetectFinding finding = {};
        EvaluateDetectRule(&rule, ProductContext::Any, &finding);
        EXPECT_EQ(c.outcome == Outcome::Holds, !!finding.holds) << Narrow(finding.found);
        EXPECT_NE(std::wstring::npos, std::wstring(finding.found).find(c.words)) << Narrow(finding.found);
    }
}

// The folders as Wine's 64-bit prefix lays them out, for a 64-bit process
// and as a 32-bit one on 64-bit Windows finds them.
TEST(DetectRules, FoldersOfBothKindsOfProcess)
{
    const struct {
        DetectFolder folder;
        const wchar_t* native;
        const wchar_t* wow64;
    } cases[] = {
        {DetectFolder::ProgramFiles64, L"C:\\Program Files", L"C:\\Program Files"},
        {DetectFolder::ProgramFiles32, L"C:\\Program Files (x86)", L"C:\\Program Files (x86)"},
        {DetectFolder::CommonFiles64, L"C:\\Program Files\\Common Files", L"C:\\Program Files\\Common Files"},
        {DetectFolder::CommonFiles32, L"C:\\Program Files (x86)\\Common Files", L"C:\\Program Files (x86)\\Common Files"},
        {DetectFolder::System64, L"C:\\windows\\system32", L"C:\\windows\\Sysnative"},
        {DetectFolder::System32, L"C:\\windows\\syswow64", L"C:\\windows\\syswow64"},
        {DetectFolder::Windows, L"C:\\windows", L"C:\\windows"},
    };
    // A 32-bit process in this prefix always runs under WOW64, where the
    // known folders answer as it sees them: only the 64-bit build sees both.
    const bool process32 = sizeof(void*) < 8;
    for (const auto& c : cases) {
        for (const BOOL wow64 : {FALSE, TRUE}) {
            if (process32 && !wow64) continue;
            WCHAR path[MAX_PATH] = L"";
            ASSERT_EQ(S_OK, ResolveDetectFolder(c.folder, wow64, path));
            EXPECT_EQ(0, lstrcmpiW(wow64 ? c.wow64 : c.native, path)) << Narrow(path);
        }
    }
    EXPECT_EQ(process32, !!DetectRunsUnderWow64());
}

// The ARG text as the packer writes it, read in place, and what a program's
// exit code then means for the run: the vendor's lines first, then the
// installer's codes; a failure keeps the code's low 16 bits under a facility
// of its own, so a code called a failure is never taken for a restart.
TEST(PrereqParameters, ReadInPlaceAndExitCodesMappedToTheRunsResults)
{
    const std::wstring good = L"detect=" + U + L":Installed = 1\ndetect=always\nfuture=kept for later\n"
                              L"args=/install /quiet\nuninstallargs=\nexitcode=1638=success\nexitcode=0x5=Restart\n"
                              L"exitcode=3010=failure";
    PrereqParameters parameters = {};
    ASSERT_EQ(S_OK, PrereqReadParameters(reinterpret_cast<const BYTE*>(good.data()),
                                         static_cast<DWORD>(good.size() * 2), &parameters));
    EXPECT_EQ(2u, parameters.detectCount);
    EXPECT_EQ(3u, parameters.exitCodeCount);
    EXPECT_EQ(L"/install /quiet", Text(parameters.args));
    EXPECT_EQ(L"<none>", Text(parameters.uiArgs));
    EXPECT_EQ(L"", Text(parameters.uninstallArgs)) << "there, and empty";
    TextSpan rule = {};
    ASSERT_EQ(S_OK, PrereqDetectRule(&parameters, 1, &rule));
    EXPECT_EQ(L"always", Text(rule));
    EXPECT_EQ(E_INVALIDARG, PrereqDetectRule(&parameters, 2, &rule));
    PrereqExitKind kind = PrereqExitKind::Failure;
    EXPECT_EQ(S_FALSE, PrereqExitCodeKind(&parameters, 0, &kind)) << "not listed";
    const HRESULT restart = static_cast<HRESULT>(0x80070BC2);
    const struct {
        DWORD code;
        BOOL tolerate;
        HRESULT expected;
    } codes[] = {
        {0, FALSE, S_OK},
        {1638, FALSE, S_OK},
        {5, FALSE, restart},
        {5, TRUE, restart},
        {3010, FALSE, static_cast<HRESULT>(0x80040BC2)},
        {3010, TRUE, 1},
        {3011, FALSE, static_cast<HRESULT>(0x80070BC3)},
        {1641, TRUE, static_cast<HRESULT>(0x80070669)},
        {1602, FALSE, static_cast<HRESULT>(0x80070642)},
        {1602, TRUE, 1},
        {1603, FALSE, static_cast<HRESULT>(0x80040643)},
        {0x80070005, FALSE, static_cast<HRESULT>(0x80040005)},
    };
    for (const auto& c : codes) {
        EXPECT_EQ(c.expected, ProgramExitResult(&parameters, c.code, c.tolerate)) << c.code << " " << c.tolerate;
    }

    const std::wstring bad[] = {
        L"args=/quiet",                                   // no detect line
        L"detect=HKLM64\\X:Name = 1x",                    // a rule that does not parse
        L"detect=always\nargs=a\nargs=b",                 // args twice
        L"detect=always\nexitcode=1638=fine",             // an unknown kind
        L"detect=always\nexitcode=4294967296=success",    // beyond 32 bits
        L"detect=always\nexitcode=1638",                  // no kind
    };
    for (const std::wstring& text : bad) {
        EXPECT_EQ(RESULT_INVALID_DATA, PrereqReadParameters(reinterpret_cast<const BYTE*>(text.data()),
                                                            static_cast<DWORD>(text.size() * 2), &parameters))
            << Narrow(text);
    }
    EXPECT_EQ(RESULT_INVALID_DATA, PrereqReadParameters(reinterpret_cast<const BYTE*>(good.data()), 7, &parameters));
}

// What the run's log shows: each rule with what was found, then the decision.
TEST(PrereqParameters, EveryRuleAndTheDecisionAreLogged)
{
    TestKeys keys;
    ScratchFolder folder;
    const std::wstring log = folder / L"run.log";
    const std::wstring text = L"detect=" + U + L":Version >= v14.40\ndetect=" + U + L":Installed = 2";
    PrereqParameters parameters = {};
    ASSERT_EQ(S_OK, PrereqReadParameters(reinterpret_cast<const BYTE*>(text.data()),
                                         static_cast<DWORD>(text.size() * 2), &parameters));
    wchar_t program[] = L"setup.exe";
    LPWSTR argv[] = {program};
    RunLogBegin(1, argv, 5, S_OK);
    WCHAR started[MAX_PATH] = {};
    ASSERT_EQ(S_OK, RunLogStartFile(log.c_str(), FALSE, started));
    BOOL present = TRUE;
    EXPECT_EQ(S_OK, DetectPrerequisite(&parameters, ProductContext::Any, &present));
    RunLogEnd(0);
    EXPECT_FALSE(present);
    const std::string written = ScratchFolder::ReadFile(log);
    const std::string user = "HKCU64\\Software\\TessaroTests\\Detect";
    for (const std::string& line :
         {"  rule 1: " + user + ":Version >= v14.40: found \"v14.40.33810.00\" (REG_SZ): holds\r\n",
          "  rule 2: " + user + ":Installed = 2: found 1 (REG_DWORD): does not hold\r\n",
          std::string("  not present: 1 of 2 rules does not hold\r\n")}) {
        EXPECT_NE(std::string::npos, written.find(line)) << line << written;
    }
}
