// Hostile command lines: random argument vectors from a fixed seed through the
// parser, compared with a model of the switch grammar written from its
// definition; and bad lines through the whole entry, which must exit with 87
// without touching a file, loading the installer or showing a box.
#include <gtest/gtest.h>

#include <algorithm>

#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include <random>

#include "faultkit.h"
#include "options.h"

namespace {

constexpr unsigned VECTORS = 100000;
constexpr unsigned ENTRY_RUNS = 3000;

struct SwitchDefinition {
    const wchar_t* name;
    bool takesValue;
};

const SwitchDefinition SWITCHES[] = {
    {L"out", true}, {L"extract", true}, {L"o1", true}, {L"msicl", true}, {L"quiet", false},
    {L"passive", false}, {L"norestart", false}, {L"forcerestart", false}, {L"promptrestart", false},
    {L"uninstall", false}, {L"log", true}, {L"lang", true}, {L"?", false}, {L"h", false}, {L"help", false},
    {L"qn", false}, {L"qb", false}, {L"qb-", false}, {L"qb!", false}, {L"qb!-", false}, {L"l", true},
};
constexpr int SWITCH_COUNT = sizeof(SWITCHES) / sizeof(SWITCHES[0]);

// Names that are close to a switch but are not one.
const wchar_t* const NEAR_MISSES[] = {
    L"quietly", L"q", L"o", L"o2", L"o11", L"msic", L"msicl ", L" quiet", L"helpme", L"??", L"-quiet",
    L"/quiet", L"outt", L"extrac", L"lang=1031", L"log:", L"uninstal", L"norestart\t", L"hh", L"",
};

// What the parser must produce, worked out from the grammar alone.
struct Expected {
    HRESULT result = S_OK;
    DWORD uiLevel = UI_LEVEL_FULL;
    InstallAction action = InstallAction::Install;
    LONG language = LANGUAGE_USER_DEFAULT;
    bool languageKnown = true;     // false when the value's reading is left open (overflow)
    int targetIndex = -1;
    DWORD extractAll = 0;
    DWORD extractFirst = 0;
    DWORD showHelp = 0;
    bool hasPropertyText = false;
    std::wstring propertyText;
    bool hasLog = false;
    std::wstring logPath;
};

bool SameName(const wchar_t* argumentName, const wchar_t* switchName)
{
    return CSTR_EQUAL == ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, argumentName, -1, switchName, -1);
}

bool IsAsciiBlank(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Leading blanks, a sign, then decimal digits; none gives 0. Values of more than
// nine digits are not judged: their reading beyond the 32-bit range is open.
void ReadLanguage(const wchar_t* text, Expected* expected)
{
    while (IsAsciiBlank(*text)) ++text;
    bool negative = false;
    if (*text == L'-' || *text == L'+') negative = (*text++ == L'-');
    long long value = 0;
    int digits = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text, ++digits) {
        if (digits < 12) value = value * 10 + (*text - L'0');
    }
    expected->languageKnown = digits <= 9;
    expected->language = static_cast<LONG>(negative ? -value : value);
}

Expected Model(int argc, wchar_t** argv)
{
    Expected expected;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        const size_t nameLength = wcsspn(argument, L"_.0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
        if (nameLength > 0 && argument[nameLength] == L'=' && !wcschr(L".0123456789", argument[0])) {   // NAME=VALUE
            std::wstring value = argument + nameLength + 1;
            const bool quoted = value.empty() || value.find_first_of(L" \t\n\v\f\r\"") != std::wstring::npos;
            for (size_t q = 0; (q = value.find(L'"', q)) != std::wstring::npos; q += 2) value.insert(q, 1, L'"');
            expected.hasPropertyText = true;
            expected.propertyText += std::wstring(argument, nameLength + 1) + (quoted ? L"\"" + value + L"\" " : value + L" ");
            continue;
        }
        if (argument[0] != L'-' && argument[0] != L'/') {
            expected.result = E_INVALIDARG;
            return expected;
        }
        int found = -1;
        for (int s = 0; s < SWITCH_COUNT && found < 0; ++s) {
            if (SameName(argument + 1, SWITCHES[s].name)) found = s;
        }
        const wchar_t* stem = argument + wcslen(argument);   // msiexec's /l with log-mode letters: /l*v
        while (stem > argument + 1 && wcschr(L"iwearucmopvxIWEARUCMOPVX+!*", stem[-1])) --stem;
        if (found < 0 && SameName(std::wstring(argument + 1, stem).c_str(), L"l")) found = SWITCH_COUNT - 1;
        if (found < 0 || (SWITCHES[found].takesValue && i + 1 >= argc)) {
            expected.result = E_INVALIDARG;
            return expected;
        }
        const int valueIndex = SWITCHES[found].takesValue ? ++i : -1;
        const wchar_t* value = valueIndex >= 0 ? argv[valueIndex] : nullptr;
        switch (found) {
        case 0: case 1: expected.extractAll = 1; expected.targetIndex = valueIndex; break;
        case 2: expected.extractFirst = 1; expected.targetIndex = valueIndex; break;
        case 3:
            if (std::count(value, value + wcslen(value), L'"') % 2 != 0) {
                expected.result = E_INVALIDARG;   // an open quotation
                return expected;
            }
            expected.hasPropertyText = true;
            expected.propertyText += std::wstring(value) + L" ";
            break;
        case 4: case 15: expected.uiLevel = UI_LEVEL_NONE; break;
        case 5: case 16: case 17: case 18: case 19: expected.uiLevel = UI_LEVEL_BASIC_PROGRESS_ONLY; break;
        case 6: expected.hasPropertyText = true; expected.propertyText += L"REBOOT=ReallySuppress "; break;
        case 7: expected.hasPropertyText = true; expected.propertyText += L"REBOOT=Force "; break;
        case 8: expected.hasPropertyText = true; expected.propertyText += L"REBOOTPROMPT= "; break;
        case 9:
            expected.action = InstallAction::Uninstall;
            if (expected.uiLevel == UI_LEVEL_FULL) expected.uiLevel = UI_LEVEL_BASIC;
            break;
        case 10: case 20: expected.hasLog = true; expected.logPath = value; break;
        case 11: ReadLanguage(value, &expected); break;
        default: expected.showHelp = 1; break;
        }
    }
    return expected;
}

// Random arguments: mostly switch-like, with values that are empty, long, full
// of blanks and quotes, or carry NULs and unpaired surrogates.
class ArgumentSource {
public:
    explicit ArgumentSource(unsigned seed) : random_(seed) {}

    std::vector<std::wstring> Vector()
    {
        std::vector<std::wstring> arguments = {L"setup.exe"};
        const unsigned count = Below(8) == 0 ? Below(30) : Below(7);
        for (unsigned i = 0; i < count; ++i) arguments.push_back(Below(4) == 0 ? Value() : Switch());
        return arguments;
    }

private:
    unsigned Below(unsigned n) { return static_cast<unsigned>(random_() % n); }

    std::wstring Switch()
    {
        static const wchar_t* const PREFIXES[] = {L"/", L"-", L"/", L"-", L"--", L"", L"\\", L"//", L"\x2013", L"\xFF0F"};
        if (Below(8) == 0) return NEAR_MISSES[Below(20)] + (L"=" + Value());   // msiexec's NAME=VALUE, or nearly
        std::wstring name = Below(6) == 0 ? std::wstring(NEAR_MISSES[Below(20)]) : std::wstring(SWITCHES[Below(SWITCH_COUNT)].name);
        for (unsigned n = name == L"l" ? Below(4) : 0; n > 0; --n) name += L"iwearucmopvx+!*"[Below(15)];
        for (wchar_t& c : name) {
            if (Below(3) == 0) c = static_cast<wchar_t>(std::towupper(c));
        }
        if (Below(20) == 0) name.insert(Below(static_cast<unsigned>(name.size()) + 1), 1, Odd());
        return PREFIXES[Below(10)] + name;
    }

    wchar_t Odd()
    {
        static const wchar_t ODD[] = {L'\0', 0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0xFFFF, 0xFEFF, 0x200B, 0x0130,
                                      0x0131, 0x017F, 0x212A, 0x00A0, L'\t', L'"', L'\\', L' ', 0x0300};
        return ODD[Below(sizeof(ODD) / sizeof(ODD[0]))];
    }

    std::wstring Value()
    {
        switch (Below(8)) {
        case 0: return L"";
        case 1: return std::wstring(1 + Below(Below(50) == 0 ? 40000 : 600), static_cast<wchar_t>(L'a' + Below(26)));
        case 2: return NumberText();
        case 3: return L"C:\\some folder\\" + std::to_wstring(Below(1000)) + L".msi";
        default: {
            std::wstring text;
            const unsigned length = Below(24);
            for (unsigned i = 0; i < length; ++i) {
                text += Below(3) == 0 ? Odd() : static_cast<wchar_t>(0x20 + Below(0x5F));
            }
            return text;
        }
        }
    }

    std::wstring NumberText()
    {
        static const wchar_t* const BLANKS[] = {L"", L" ", L"\t", L"  \r\n"};
        static const wchar_t* const SIGNS[] = {L"", L"-", L"+", L"--", L"+-"};
        std::wstring digits;
        const unsigned count = Below(14);
        for (unsigned i = 0; i < count; ++i) digits += static_cast<wchar_t>(L'0' + Below(10));
        return std::wstring(BLANKS[Below(4)]) + SIGNS[Below(5)] + digits + (Below(2) ? L"" : L"x9");
    }

    std::mt19937 random_;
};

// The argument array the parser sees: each text in a buffer of its own.
struct ArgumentArray {
    explicit ArgumentArray(const std::vector<std::wstring>& arguments)
    {
        for (const std::wstring& argument : arguments) {
            buffers.emplace_back(argument.begin(), argument.end());
            buffers.back().push_back(L'\0');
        }
        for (auto& buffer : buffers) pointers.push_back(buffer.data());
    }
    std::vector<std::vector<wchar_t>> buffers;
    std::vector<wchar_t*> pointers;
};

std::string Show(const std::vector<std::wstring>& arguments)
{
    std::string text;
    for (const std::wstring& argument : arguments) {
        text += "[" + Narrow(argument.size() > 60 ? argument.substr(0, 60) + L"..." : argument) + "] ";
    }
    return text;
}

std::vector<std::string> Compare(const Expected& expected, HRESULT result, const SetupOptions& options,
                                 const ArgumentArray& array)
{
    std::vector<std::string> problems;
    if (result != S_OK && result != E_INVALIDARG) problems.push_back("result " + Hex(result));
    if (result != expected.result) {
        problems.push_back("result " + Hex(result) + ", expected " + Hex(expected.result));
        return problems;
    }
    if (result != S_OK) return problems;
    if (options.uiLevel != expected.uiLevel) problems.push_back("UI level " + std::to_string(options.uiLevel));
    if (options.action != expected.action) problems.push_back("action");
    if (expected.languageKnown && options.language != expected.language) {
        problems.push_back("language " + std::to_string(options.language) + ", expected " + std::to_string(expected.language));
    }
    const wchar_t* target = expected.targetIndex >= 0 ? array.pointers[expected.targetIndex] : nullptr;
    if (options.targetPath != target) problems.push_back("target path is not the last path switch's value");
    if (options.extractAll != expected.extractAll || options.extractFirst != expected.extractFirst ||
        options.showHelp != expected.showHelp) {
        problems.push_back("mode flags");
    }
    if ((options.propertyText != nullptr) != expected.hasPropertyText ||
        (options.propertyText && expected.propertyText != options.propertyText)) {
        problems.push_back("property text");
    }
    if ((options.logPath != nullptr) != expected.hasLog || (options.logPath && expected.logPath != options.logPath)) {
        problems.push_back("log path");
    }
    return problems;
}

// The text CommandLineToArgvW splits back into the same arguments.
std::wstring Quote(const std::vector<std::wstring>& arguments)
{
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) line += L' ';
        if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
            line += argument;
            continue;
        }
        line += L'"';
        size_t backslashes = 0;
        for (wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

bool SplitsBackTo(const std::wstring& line, const std::vector<std::wstring>& arguments)
{
    int count = 0;
    LPWSTR* split = ::CommandLineToArgvW(line.c_str(), &count);
    bool same = split != nullptr && count == static_cast<int>(arguments.size());
    for (int i = 0; same && i < count; ++i) same = arguments[i] == split[i];
    ::LocalFree(split);
    return same;
}

bool HasNul(const std::vector<std::wstring>& arguments)
{
    for (const std::wstring& argument : arguments) {
        if (argument.find(L'\0') != std::wstring::npos) return true;
    }
    return false;
}

} // namespace

TEST(HostileCommandLines, ParserFollowsTheGrammarForRandomVectors)
{
    ArgumentSource source(20261208);
    unsigned accepted = 0, rejected = 0, reported = 0;
    for (unsigned n = 0; n < VECTORS; ++n) {
        const std::vector<std::wstring> arguments = source.Vector();
        ArgumentArray array(arguments);
        const Expected expected = Model(static_cast<int>(array.pointers.size()), array.pointers.data());
        FaultBeginRun();
        SetupOptions options;
        const HRESULT result = ParseSetupCommandLine(static_cast<int>(array.pointers.size()), array.pointers.data(), &options);
        std::vector<std::string> problems = Compare(expected, result, options, array);
        ReleaseSetupOptions(&options);
        for (const std::string& problem : BookProblems()) problems.push_back(problem);
        if (Fault.fileTouches != 0) problems.push_back("the parser touched a file");
        ++(result == S_OK ? accepted : rejected);
        for (const std::string& problem : problems) {
            if (++reported <= 30) ADD_FAILURE() << Show(arguments) << ": " << problem;
        }
    }
    std::printf("[ figures  ] argument vectors tried: %u (accepted %u, rejected %u)\n", VECTORS, accepted, rejected);
}

TEST(HostileCommandLines, BadLinesTouchNothing)
{
    ArgumentSource source(9);
    unsigned tried = 0, reported = 0;
    for (unsigned n = 0; tried < ENTRY_RUNS && n < ENTRY_RUNS * 50; ++n) {
        const std::vector<std::wstring> arguments = source.Vector();
        if (arguments.size() < 2 || HasNul(arguments)) continue;
        ArgumentArray array(arguments);
        if (Model(static_cast<int>(array.pointers.size()), array.pointers.data()).result != E_INVALIDARG) continue;
        const std::wstring line = Quote(arguments);
        if (!SplitsBackTo(line, arguments)) continue;
        ++tried;
        FaultBeginRun();
        Fault.commandLine = line;
        SetCrashContext("entry with " + Show(arguments));
        const int exitCode = SetupMain(::GetModuleHandleW(nullptr));
        Fault.commandLine.clear();
        std::vector<std::string> problems = BookProblems();
        if (exitCode != 87) problems.push_back("exit code " + std::to_string(exitCode));
        if (Fault.fileTouches != 0) problems.push_back("a file was touched");
        if (!Fault.boxes.empty()) problems.push_back("a box was shown");
        if (Fault.calls[FAULT_LOAD_LIBRARY] != 0 || Fault.installerSettings != 0 || !Fault.journal.empty()) {
            problems.push_back("the installer was used");
        }
        if (Fault.calls[FAULT_FIND_RESOURCE] != 0) problems.push_back("the manifest was read");
        for (const std::string& problem : problems) {
            if (++reported <= 30) ADD_FAILURE() << Show(arguments) << ": " << problem;
        }
    }
    std::printf("[ figures  ] bad command lines run through the entry: %u\n", tried);
    EXPECT_EQ(ENTRY_RUNS, tried);
}
