// The switches of the command line, read into SetupOptions.
#include "options.h"
#include "result.h"

namespace {

enum class SwitchId {
    Out, Extract, ExtractFirst, PropertyText, Quiet, Passive, NoRestart, ForceRestart,
    PromptRestart, Uninstall, Log, Language, Help, ElevatedCopy, Property, Repair, WindowPlace, Outcome,
};

struct SwitchEntry {
    LPCWSTR name;
    SwitchId id;
    bool takesValue;
    bool takesLogMode = false;   // msiexec's log-mode letters may follow the name: /l*v, /lwe+
};

// Compared in this order; the first name that matches decides.
const SwitchEntry SWITCHES[] = {
    {L"out", SwitchId::Out, true},
    {L"extract", SwitchId::Extract, true},
    {L"o1", SwitchId::ExtractFirst, true},
    {L"msicl", SwitchId::PropertyText, true},
    {L"quiet", SwitchId::Quiet, false},
    {L"passive", SwitchId::Passive, false},
    {L"norestart", SwitchId::NoRestart, false},
    {L"forcerestart", SwitchId::ForceRestart, false},
    {L"promptrestart", SwitchId::PromptRestart, false},
    {UNINSTALL_SWITCH + 1, SwitchId::Uninstall, false},
    {REPAIR_SWITCH + 1, SwitchId::Repair, false},
    {L"log", SwitchId::Log, true},
    {L"lang", SwitchId::Language, true},
    {L"?", SwitchId::Help, false},
    {L"h", SwitchId::Help, false},
    {L"help", SwitchId::Help, false},
    // The program's own marker for the elevated copy of a run; not in the help.
    // Its value is the identity of the program file the copy must run from.
    {ELEVATED_COPY_SWITCH + 1, SwitchId::ElevatedCopy, true},
    {WINDOW_PLACE_SWITCH + 1, SwitchId::WindowPlace, true},
    {OUTCOME_SWITCH + 1, SwitchId::Outcome, true},
    // msiexec's forms, which administrators type by habit. Its basic UI levels
    // named here wait for no click, as /passive.
    {L"qn", SwitchId::Quiet, false},
    {L"qb", SwitchId::Passive, false},
    {L"qb-", SwitchId::Passive, false},
    {L"qb!", SwitchId::Passive, false},
    {L"qb!-", SwitchId::Passive, false},
    {L"l", SwitchId::Log, true, true},
};

// msiexec's PROPERTY=VALUE is no switch: the argument is its own value.
const SwitchEntry PROPERTY_ASSIGNMENT = {L"", SwitchId::Property, false};

bool IsAsciiLetter(WCHAR c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsLogModeLetter(WCHAR c)
{
    const WCHAR lower = (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c;
    for (LPCWSTR letter = L"iwearucmopvx+!*"; *letter != L'\0'; ++letter) {
        if (*letter == lower) {
            return true;
        }
    }
    return false;
}

// The length of a name without the log-mode letters at its end.
int LengthWithoutLogMode(LPCWSTR name)
{
    int length = 0;
    while (name[length] != L'\0') {
        ++length;
    }
    while (length > 0 && IsLogModeLetter(name[length - 1])) {
        --length;
    }
    return length;
}

// A name as the installer's identifiers are made (a letter or underscore, then
// also digits and periods), then "=".
bool IsPropertyAssignment(LPCWSTR argument)
{
    LPCWSTR c = argument;
    while (IsAsciiLetter(*c) || *c == L'_' ||
           (c != argument && ((*c >= L'0' && *c <= L'9') || *c == L'.'))) {
        ++c;
    }
    return c != argument && *c == L'=';
}

// The switch an argument names, or the property it sets; null for anything else.
const SwitchEntry* FindSwitch(LPCWSTR argument)
{
    if (IsPropertyAssignment(argument)) {
        return &PROPERTY_ASSIGNMENT;
    }
    if (argument[0] != L'-' && argument[0] != L'/') {
        return nullptr;
    }
    LPCWSTR name = argument + 1;
    for (const SwitchEntry& entry : SWITCHES) {
        const int length = entry.takesLogMode ? LengthWithoutLogMode(name) : -1;
        if (CSTR_EQUAL == ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, length,
                                           entry.name, -1)) {
            return &entry;
        }
    }
    return nullptr;
}

bool IsBlank(WCHAR c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// What separates arguments on a process command line.
bool IsArgumentSeparator(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

// The decimal digits at `*text`, which passes over them (none gives 0). A
// value above `ceiling` is held at ceiling + 1: it never wraps round.
ULONGLONG ReadDecimal(LPCWSTR* text, ULONGLONG ceiling)
{
    ULONGLONG value = 0;
    for (; **text >= L'0' && **text <= L'9'; ++*text) {
        value = value > ceiling ? value : value * 10 + static_cast<ULONGLONG>(**text - L'0');
    }
    return value > ceiling ? ceiling + 1 : value;
}

// Leading blanks, an optional sign, then digits up to the first other character;
// no digits gives 0. A value beyond the 32-bit range stays at the range's end.
LONG ReadLanguage(LPCWSTR text)
{
    while (IsBlank(*text)) {
        ++text;
    }
    const bool negative = (*text == L'-');
    if (*text == L'-' || *text == L'+') {
        ++text;
    }
    const ULONGLONG magnitude = ReadDecimal(&text, 0x80000000ULL);
    if (negative) {
        return magnitude >= 0x80000000ULL ? LONG(0x80000000) : -static_cast<LONG>(magnitude);
    }
    return magnitude > 0x7FFFFFFFULL ? 0x7FFFFFFF : static_cast<LONG>(magnitude);
}

bool HasOddQuoteCount(LPCWSTR text)
{
    bool odd = false;
    for (; *text != L'\0'; ++text) {
        if (*text == L'"') {
            odd = !odd;
        }
    }
    return odd;
}

HRESULT AppendPropertyText(SetupOptions* options, LPCWSTR text)
{
    return StrutilAppend(&options->propertyText, text, 0);
}

// True when the installer would split the value at a blank or read a quote in it
// as one of its own; an empty value is written "" as the installer's syntax has it.
bool NeedsQuotes(LPCWSTR value)
{
    bool needs = (*value == L'\0');
    for (; *value != L'\0'; ++value) {
        needs = needs || IsBlank(*value) || *value == L'"';
    }
    return needs;
}

// NAME=VALUE as the command line split it, quoted again where needed so that the
// installer reads the same value.
HRESULT AppendPropertyAssignment(SetupOptions* options, LPCWSTR argument)
{
    HRESULT hr = S_OK;
    LPCWSTR value = argument;
    while (*value++ != L'=') {
    }
    const bool quoted = NeedsQuotes(value);
    LPCWSTR piece = value;

    EXIT_IF_FAILED(StrutilAppend(&options->propertyText, argument, static_cast<DWORD>(value - argument)));
    EXIT_IF_FAILED(AppendPropertyText(options, quoted ? L"\"" : L""));
    // Inside quotes the installer reads two quotes as one: each quote ends one
    // piece and begins the next.
    for (; *value != L'\0'; ++value) {
        if (*value == L'"') {
            EXIT_IF_FAILED(StrutilAppend(&options->propertyText, piece, static_cast<DWORD>(value + 1 - piece)));
            piece = value;
        }
    }
    EXIT_IF_FAILED(AppendPropertyText(options, piece));
    EXIT_IF_FAILED(AppendPropertyText(options, quoted ? L"\" " : L" "));

Exit:
    return hr;
}

// "LEFT,TOP,WIDTH,HEIGHT": four decimal numbers, a place on a screen and a
// size a window can have; anything else is refused.
HRESULT ReadWindowPlace(LPCWSTR text, RECT* place)
{
    constexpr LONG FARTHEST = 32767;
    LONG numbers[4] = {};
    for (int k = 0; k < 4; ++k) {
        const bool negative = L'-' == *text && k < 2;
        text += negative ? 1 : 0;
        if (*text < L'0' || *text > L'9') {
            return E_INVALIDARG;
        }
        numbers[k] = static_cast<LONG>(ReadDecimal(&text, FARTHEST));
        if (numbers[k] > FARTHEST || *text != (3 == k ? L'\0' : L',')) {
            return E_INVALIDARG;
        }
        numbers[k] = negative ? -numbers[k] : numbers[k];
        text += 3 == k ? 0 : 1;
    }
    if (numbers[2] <= 0 || numbers[3] <= 0) {
        return E_INVALIDARG;
    }
    *place = {numbers[0], numbers[1], numbers[0] + numbers[2], numbers[1] + numbers[3]};
    return S_OK;
}

bool IsLowerHexDigit(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
}

// "NAME,PROCESS": OUTCOME_NAME_DIGITS lower-case hex digits and a process id
// above zero in decimal; anything else is refused.
HRESULT ReadOutcomeAddress(LPCWSTR text, OutcomeAddress* address)
{
    DWORD at = 0;
    while (at < OUTCOME_NAME_DIGITS && IsLowerHexDigit(text[at])) {
        ++at;
    }
    if (OUTCOME_NAME_DIGITS != at || L',' != text[at]) {
        return E_INVALIDARG;
    }
    LPCWSTR digits = text + at + 1;
    const ULONGLONG process = ReadDecimal(&digits, MAXDWORD);
    if (L'\0' != *digits || 0 == process || process > MAXDWORD) {
        return E_INVALIDARG;
    }
    *address = {text, static_cast<DWORD>(process)};
    return S_OK;
}

HRESULT ApplySwitch(SwitchId id, LPWSTR value, SetupOptions* options)
{
    HRESULT hr = S_OK;

    switch (id) {
    case SwitchId::Out:
    case SwitchId::Extract:
        options->extractAll = 1;
        options->targetPath = value;
        break;
    case SwitchId::ExtractFirst:
        options->extractFirst = 1;
        options->targetPath = value;
        break;
    case SwitchId::PropertyText:
        // An open quotation would swallow the texts the run appends behind it
        // (" TRANSFORMS=...", " REMOVE=ALL") into the last property's value.
        if (HasOddQuoteCount(value)) {
            EXIT_WITH(E_INVALIDARG);
        }
        EXIT_IF_FAILED(AppendPropertyText(options, value));
        EXIT_IF_FAILED(AppendPropertyText(options, L" "));
        break;
    case SwitchId::Quiet:
        options->uiLevel = UI_LEVEL_NONE;
        break;
    case SwitchId::Passive:
        options->uiLevel = UI_LEVEL_BASIC_PROGRESS_ONLY;
        break;
    case SwitchId::NoRestart:
        options->noRestart = 1;
        EXIT_IF_FAILED(AppendPropertyText(options, L"REBOOT=ReallySuppress "));
        break;
    case SwitchId::ForceRestart:
        EXIT_IF_FAILED(AppendPropertyText(options, L"REBOOT=Force "));
        break;
    case SwitchId::PromptRestart:
        EXIT_IF_FAILED(AppendPropertyText(options, L"REBOOTPROMPT= "));
        break;
    case SwitchId::Uninstall:
        options->action = InstallAction::Uninstall;
        if (options->uiLevel == UI_LEVEL_FULL) {
            options->uiLevel = UI_LEVEL_BASIC;
        }
        break;
    case SwitchId::Repair:
        options->action = InstallAction::Repair;
        break;
    case SwitchId::Log:
        EXIT_IF_FAILED(StrutilCopy(&options->logPath, value, 0));
        break;
    case SwitchId::Language:
        options->language = ReadLanguage(value);
        break;
    case SwitchId::Help:
        options->showHelp = 1;
        break;
    case SwitchId::ElevatedCopy:
        options->elevatedCopyOf = value;
        break;
    case SwitchId::WindowPlace:
        EXIT_IF_FAILED(ReadWindowPlace(value, &options->windowPlace));
        options->hasWindowPlace = 1;
        break;
    case SwitchId::Outcome:
        EXIT_IF_FAILED(ReadOutcomeAddress(value, &options->outcomeTo));
        break;
    case SwitchId::Property:
        EXIT_IF_FAILED(AppendPropertyAssignment(options, value));
        break;
    }

Exit:
    return hr;
}

// Walks the arguments as the parser reads them: `visit(entry, switchIndex,
// valueIndex)` for each switch, its value the argument after it or itself.
// False at an argument that is no switch, at a switch whose value is missing,
// or when `visit` answers false.
template <typename Visit>
bool WalkArguments(int argc, LPWSTR* argv, Visit visit)
{
    for (int i = 1; i < argc; ++i) {
        const SwitchEntry* entry = FindSwitch(argv[i]);
        if (!entry || (entry->takesValue && i + 1 >= argc)) {
            return false;
        }
        // The value is the next argument whatever it looks like, even "/quiet".
        const int valueIndex = entry->takesValue ? i + 1 : i;
        if (!visit(*entry, i, valueIndex)) {
            return false;
        }
        i = valueIndex;
    }
    return true;
}

} // namespace

HRESULT ParseSetupCommandLine(int argc, LPWSTR* argv, SetupOptions* options)
{
    HRESULT hr = S_OK;
    const bool whole = WalkArguments(argc, argv, [&hr, argv, options](const SwitchEntry& entry, int, int valueIndex) {
        hr = ApplySwitch(entry.id, argv[valueIndex], options);
        return SUCCEEDED(hr);
    });
    if (!whole && SUCCEEDED(hr)) {
        EXIT_WITH(E_INVALIDARG);
    }
    EXIT_IF_FAILED(hr);

Exit:
    return hr;
}

ArgumentRole SetupArgumentRole(int argc, LPWSTR* argv, int index)
{
    ArgumentRole role = ArgumentRole::Unknown;
    WalkArguments(argc, argv, [index, &role](const SwitchEntry& entry, int switchIndex, int valueIndex) {
        if (index == valueIndex) {
            role = SwitchId::PropertyText == entry.id ? ArgumentRole::PropertyText
                   : SwitchId::Property == entry.id   ? ArgumentRole::PropertyAssignment
                   : index == switchIndex             ? ArgumentRole::Switch
                                                      : ArgumentRole::Value;
        } else if (index == switchIndex) {
            role = ArgumentRole::Switch;
        }
        return index > valueIndex;
    });
    return role;
}

// The program's name ends where the platform's splitter (CommandLineToArgvW)
// ends it: at the next quote when it starts with one, whatever follows that
// quote, else at the first blank. The tail is the rest, exactly as given,
// after the blanks that follow the name, so that it splits into the same
// arguments as the whole line did.
LPWSTR CommandLineTail(LPWSTR commandLine)
{
    if (*commandLine == L'"') {
        do {
            ++commandLine;
        } while (*commandLine != L'\0' && *commandLine != L'"');
        if (*commandLine == L'"') {
            ++commandLine;
        }
    } else {
        while (*commandLine != L'\0' && !IsArgumentSeparator(*commandLine)) {
            ++commandLine;
        }
    }
    while (IsArgumentSeparator(*commandLine)) {
        ++commandLine;
    }
    return commandLine;
}

SetupAction ChooseSetupAction(const SetupOptions& options)
{
    if (options.showHelp) {
        return SetupAction::Help;
    }
    if (options.extractAll) {
        return SetupAction::Extract;
    }
    if (options.extractFirst) {
        return SetupAction::ExtractFirst;
    }
    return SetupAction::Setup;
}

void ReleaseSetupOptions(SetupOptions* options)
{
    if (options->propertyText) {
        StrutilFree(options->propertyText);
        options->propertyText = nullptr;
    }
    if (options->logPath) {
        StrutilFree(options->logPath);
        options->logPath = nullptr;
    }
}
