#include "setuppack.h"
#include "manifest.h"
#include "result.h"

namespace {

DWORD CountDots(LPCWSTR text)
{
    DWORD dots = 0;
    for (; L'\0' != *text; ++text) {
        dots += L'.' == *text ? 1 : 0;
    }
    return dots;
}

enum class PackSwitch {
    Out, Stub, Name, Company, BundleVersion, Copyright, Icon, Package, Flags, Code, Version, Transform, Language,
    Exe, Detect, Args, UiArgs, UninstallArgs, RepairArgs, ExitCode, UpgradeCode, BundleCode, HelpLink, AboutLink,
    Window, License, Help, None
};

struct SwitchName {
    LPCWSTR text;
    PackSwitch value;
};

constexpr SwitchName SWITCHES[] = {
    {L"out", PackSwitch::Out},           {L"stub", PackSwitch::Stub},
    {L"name", PackSwitch::Name},         {L"company", PackSwitch::Company},
    {L"bundleversion", PackSwitch::BundleVersion}, {L"copyright", PackSwitch::Copyright},
    {L"icon", PackSwitch::Icon},         {L"package", PackSwitch::Package},
    {L"flags", PackSwitch::Flags},       {L"code", PackSwitch::Code},
    {L"version", PackSwitch::Version},   {L"transform", PackSwitch::Transform},
    {L"language", PackSwitch::Language}, {L"exe", PackSwitch::Exe},
    {L"detect", PackSwitch::Detect},     {L"args", PackSwitch::Args},
    {L"uiargs", PackSwitch::UiArgs},     {L"uninstallargs", PackSwitch::UninstallArgs},
    {L"repairargs", PackSwitch::RepairArgs},
    {L"exitcode", PackSwitch::ExitCode}, {L"upgradecode", PackSwitch::UpgradeCode},
    {L"bundlecode", PackSwitch::BundleCode},
    {L"helplink", PackSwitch::HelpLink}, {L"aboutlink", PackSwitch::AboutLink},
    {L"window", PackSwitch::Window},     {L"license", PackSwitch::License},
    {L"?", PackSwitch::Help},
    {L"h", PackSwitch::Help},            {L"help", PackSwitch::Help},
};

struct FlagName {
    LPCWSTR text;
    DWORD value;
};

constexpr WCHAR PROGRAM_EXTENSION[] = L".exe";

constexpr FlagName FLAG_NAMES[] = {
    {L"permachine", 0x1},     {L"cache", 0x4},          {L"keepui", 0x8},
    {L"ignorefailure", 0x10}, {L"allowupgrade", 0x20},  {L"transform", 0x80},
    {L"patch", 0x100},        {L"patchtarget", 0x200},  {L"x64only", 0x400},
    {L"x86only", 0x800},      {L"hidden", 0x2000},
};

DWORD KnownFlags()
{
    DWORD known = 0;
    for (const FlagName& name : FLAG_NAMES) {
        known |= name.value;
    }
    return known;
}

BOOL EqualsIgnoringCase(LPCWSTR a, int aLength, LPCWSTR b)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(a, aLength, b, -1, TRUE);
}

// "/out", "-out" or "--out", in any case.
PackSwitch SwitchOf(LPCWSTR arg)
{
    if (L'/' != arg[0] && L'-' != arg[0]) {
        return PackSwitch::None;
    }
    const LPCWSTR text = L'-' == arg[0] && L'-' == arg[1] ? arg + 2 : arg + 1;
    for (const SwitchName& name : SWITCHES) {
        if (EqualsIgnoringCase(text, -1, name.text)) {
            return name.value;
        }
    }
    return PackSwitch::None;
}

// Reads exactly `digits` hex digits; false when one is missing.
BOOL ReadHex(LPCWSTR* text, int digits, DWORD* value)
{
    DWORD result = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = StrutilHexDigit((*text)[i]);
        if (digit < 0) {
            return FALSE;
        }
        result = (result << 4) | static_cast<DWORD>(digit);
    }
    *text += digits;
    *value = result;
    return TRUE;
}

BOOL ReadChar(LPCWSTR* text, WCHAR expected)
{
    if (**text != expected) {
        return FALSE;
    }
    ++*text;
    return TRUE;
}

// An unsigned number in decimal, or in hex after 0x; the whole text must be
// the number and it must fit 32 bits.
BOOL ParseNumber(LPCWSTR text, DWORD* value)
{
    ULONGLONG result = 0;
    int base = 10;
    if (L'0' == text[0] && (L'x' == text[1] || L'X' == text[1])) {
        base = 16;
        text += 2;
    }
    if (L'\0' == *text) {
        return FALSE;
    }
    for (; *text; ++text) {
        const int digit = StrutilHexDigit(*text);
        if (digit < 0 || digit >= base) {
            return FALSE;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) {
            return FALSE;
        }
    }
    *value = static_cast<DWORD>(result);
    return TRUE;
}

HRESULT ParseFlagNames(LPCWSTR text, DWORD* flags)
{
    HRESULT hr = S_OK;
    DWORD result = 0;

    for (LPCWSTR start = text;;) {
        LPCWSTR end = start;
        while (*end && L'+' != *end) {
            ++end;
        }
        BOOL known = FALSE;
        for (const FlagName& name : FLAG_NAMES) {
            if (end > start && EqualsIgnoringCase(start, static_cast<int>(end - start), name.text)) {
                result |= name.value;
                known = TRUE;
            }
        }
        if (!known) {
            ReportError(L"unknown flag \"%.*ls\" in /flags %ls", static_cast<int>(end - start), start, text);
            EXIT_WITH(PACK_E_USAGE);
        }
        if (L'\0' == *end) {
            break;
        }
        start = end + 1;
    }
    *flags = result;

Exit:
    return hr;
}

HRESULT ParseFlags(LPCWSTR text, DWORD* flags)
{
    HRESULT hr = S_OK;

    if (text[0] >= L'0' && text[0] <= L'9') {
        if (!ParseNumber(text, flags)) {
            ReportError(L"bad /flags number: %ls", text);
            EXIT_WITH(PACK_E_USAGE);
        }
        if (*flags & ~KnownFlags()) {
            ReportError(L"/flags %ls has bits the program does not know (0x%X)", text, *flags & ~KnownFlags());
            EXIT_WITH(PACK_E_USAGE);
        }
    } else {
        EXIT_IF_FAILED(ParseFlagNames(text, flags));
    }
    if (PKG_ARCHITECTURE_FLAGS == (*flags & PKG_ARCHITECTURE_FLAGS)) {
        ReportError(L"x64only and x86only exclude each other: /flags %ls", text);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// The name part of a path, as the host reads it.
LPCWSTR FileNameOf(LPCWSTR path)
{
    return HostNamePart(path);
}

// A chain entry, in command-line order: a package, or a program (/exe).
HRESULT AddEntry(PackOptions* options, LPCWSTR path, BOOL program)
{
    HRESULT hr = S_OK;
    const LPCWSTR fileName = FileNameOf(path);
    const size_t length = lstrlenW(fileName);
    const LPCWSTR kind = program ? L"program" : L"package";

    if (options->packageCount >= MAX_BUNDLE_ENTRIES) {
        ReportError(L"more than %u packages and programs", MAX_BUNDLE_ENTRIES);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (0 == length || length > MAX_FILE_NAME_CHARS) {
        ReportError(L"%ls file name must have 1 to %u characters: %ls", kind, MAX_FILE_NAME_CHARS, path);
        EXIT_WITH(PACK_E_USAGE);
    }
    // The run writes or starts the entry under this name, as one file.
    if (!ManifestIsPlainName(fileName)) {
        ReportError(L"%ls file name \"%ls\" is not a plain file name (%ls): %ls", kind, fileName, PLAIN_NAME_RULE,
                    path);
        EXIT_WITH(PACK_E_USAGE);
    }
    // The run starts it by its name, and Windows decides by the extension how.
    if (program && !EndsWithIgnoringCase(fileName, PROGRAM_EXTENSION)) {
        ReportError(L"a prerequisite program's file name ends in .exe: %ls", path);
        EXIT_WITH(PACK_E_USAGE);
    }
    options->packages[options->packageCount].path = path;
    options->packages[options->packageCount].fileName = fileName;
    options->packages[options->packageCount].flags = program ? PKG_PROGRAM : 0;
    ++options->packageCount;

Exit:
    return hr;
}

HRESULT AddTransform(PackOptions* options, LPCWSTR path)
{
    HRESULT hr = S_OK;

    if (options->transformCount >= MAX_BUNDLE_ENTRIES) {
        ReportError(L"more than %u transforms", MAX_BUNDLE_ENTRIES);
        EXIT_WITH(PACK_E_USAGE);
    }
    options->transforms[options->transformCount].path = path;
    ++options->transformCount;

Exit:
    return hr;
}

// A text of the version record (and, for /name, of the help box caption).
HRESULT CheckTextLength(LPCWSTR option, LPCWSTR value)
{
    HRESULT hr = S_OK;

    if (lstrlenW(value) > static_cast<int>(MAX_PRODUCT_NAME_CHARS)) {
        ReportError(L"%ls is longer than %u characters", option, MAX_PRODUCT_NAME_CHARS);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// The entry an option applies to: the last /package or /exe before it, of
// the kind the option is for.
enum class EntryKind { Any, Package, Program };

PackageSpec* CurrentEntry(PackOptions* options, LPCWSTR option, EntryKind kind)
{
    PackageSpec* entry = options->packageCount > 0 ? &options->packages[options->packageCount - 1] : nullptr;
    const BOOL program = entry && IsProgramEntry(entry);

    if (EntryKind::Program == kind && !program) {
        ReportError(L"%ls must follow an /exe: it is an option of a prerequisite program", option);
        return nullptr;
    }
    if (EntryKind::Package == kind && program) {
        ReportError(L"%ls must follow a /package: it is no option of an /exe", option);
        return nullptr;
    }
    if (nullptr == entry) {
        ReportError(L"%ls must follow a /package or /exe", option);
    }
    return entry;
}

// A program takes a few of the flags only; it keeps its program bit.
HRESULT ApplyFlags(PackageSpec* entry, LPCWSTR text)
{
    HRESULT hr = S_OK;
    DWORD flags = 0;

    EXIT_IF_FAILED(ParseFlags(text, &flags));
    if (IsProgramEntry(entry) && (flags & ~PKG_PROGRAM_FLAGS)) {
        for (const FlagName& name : FLAG_NAMES) {
            if (name.value & flags & ~PKG_PROGRAM_FLAGS) {
                ReportError(L"the flag %ls is not for a program (/flags %ls): only permachine, cache, ignorefailure, "
                            L"x64only and x86only are", name.text, text);
                break;
            }
        }
        EXIT_WITH(PACK_E_USAGE);
    }
    entry->flags = flags | (entry->flags & PKG_PROGRAM);

Exit:
    return hr;
}

// The bundle keeps a program's parameters one a line.
BOOL HasLineBreak(LPCWSTR text)
{
    for (; *text; ++text) {
        if (L'\r' == *text || L'\n' == *text) {
            return TRUE;
        }
    }
    return FALSE;
}

HRESULT AddRule(PackageSpec* program, LPCWSTR rule)
{
    HRESULT hr = S_OK;
    DetectRule parsed = {};
    DetectRuleError error = {};

    if (program->program.ruleCount >= MAX_DETECT_RULES) {
        ReportError(L"more than %u /detect for %ls", MAX_DETECT_RULES, program->path);
        EXIT_WITH(PACK_E_USAGE);
    }
    // Said without the rule: quoted, its line break would break the line.
    if (HasLineBreak(rule)) {
        ReportError(L"a /detect of %ls holds a line break", program->path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (FAILED(ParseDetectRule(rule, static_cast<DWORD>(lstrlenW(rule)), &parsed, &error))) {
        ReportError(L"/detect \"%ls\" is refused at \"%.*ls\": %hs", rule, static_cast<int>(error.part.length),
                    error.part.text, error.reason);
        EXIT_WITH(PACK_E_USAGE);
    }
    program->program.rules[program->program.ruleCount++] = rule;

Exit:
    return hr;
}

HRESULT AddExitCode(PackageSpec* program, LPCWSTR text)
{
    HRESULT hr = S_OK;
    ExitCodeSpec spec = {};

    if (FAILED(ParsePrereqExitCode(SpanOf(text), &spec.code, &spec.kind))) {
        ReportError(L"bad /exitcode %ls (expected N=success, N=restart or N=failure; N decimal, or hex after 0x)",
                    text);
        EXIT_WITH(PACK_E_USAGE);
    }
    for (DWORD k = 0; k < program->program.exitCodeCount; ++k) {
        if (program->program.exitCodes[k].code == spec.code) {
            ReportError(L"/exitcode %lu is given twice for %ls", spec.code, program->path);
            EXIT_WITH(PACK_E_USAGE);
        }
    }
    if (program->program.exitCodeCount >= MAX_EXIT_CODES) {
        ReportError(L"more than %u /exitcode for %ls", MAX_EXIT_CODES, program->path);
        EXIT_WITH(PACK_E_USAGE);
    }
    program->program.exitCodes[program->program.exitCodeCount++] = spec;

Exit:
    return hr;
}

// Where /args, /uiargs, /uninstallargs or /repairargs keeps its value.
LPCWSTR* ArgumentsOf(ProgramSpec* program, PackSwitch kind)
{
    switch (kind) {
    case PackSwitch::UiArgs: return &program->uiArgs;
    case PackSwitch::UninstallArgs: return &program->uninstallArgs;
    case PackSwitch::RepairArgs: return &program->repairArgs;
    default: return &program->args;
    }
}

// Arguments are one line of the bundle's parameters text each.
HRESULT SetArguments(LPCWSTR option, LPCWSTR value, LPCWSTR* slot)
{
    HRESULT hr = S_OK;

    if (HasLineBreak(value)) {
        ReportError(L"%ls holds a line break", option);
        EXIT_WITH(PACK_E_USAGE);
    }
    *slot = value;

Exit:
    return hr;
}

// The codes that key the bundle's own entry: a GUID, and not the null one,
// which would be no code at all; `nullAdvice` says what to give instead.
HRESULT ParseEntryCode(LPCWSTR option, LPCWSTR value, LPCWSTR nullAdvice, GUID* code)
{
    if (FAILED(ParseGuidText(value, code))) {
        ReportError(L"bad GUID for %ls: %ls (expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})", option, value);
        return PACK_E_USAGE;
    }
    if (IsEqualGUID(GUID(), *code)) {
        ReportError(L"%ls is the null GUID: %ls", option, nullAdvice);
        return PACK_E_USAGE;
    }
    return S_OK;
}

HRESULT SetUpgradeCode(RegistrationSpec* registration, LPCWSTR option, LPCWSTR value)
{
    const HRESULT hr = ParseEntryCode(option, value, L"give the upgrade code of your bundle", &registration->upgradeCode);
    registration->registered = SUCCEEDED(hr);
    return hr;
}

// A bundle code of the vendor's choosing instead of the derived one.
HRESULT SetBundleCode(RegistrationSpec* registration, LPCWSTR option, LPCWSTR value)
{
    const HRESULT hr = ParseEntryCode(option, value, L"give a bundle code of its own, or leave it to the packer",
                                      &registration->bundleCode);
    registration->hasBundleCode = SUCCEEDED(hr);
    return hr;
}

// A link of the entry: a registry text Windows shows as a link.
HRESULT SetLink(LPCWSTR option, LPCWSTR value, LPCWSTR* slot)
{
    HRESULT hr = S_OK;

    if (lstrlenW(value) >= static_cast<int>(REGISTRATION_LINK_CHARS)) {
        ReportError(L"%ls is longer than %u characters", option, REGISTRATION_LINK_CHARS - 1);
        EXIT_WITH(PACK_E_USAGE);
    }
    for (LPCWSTR c = value; *c; ++c) {
        if (*c < L' ') {
            ReportError(L"%ls holds a control character", option);
            EXIT_WITH(PACK_E_USAGE);
        }
    }
    *slot = value;

Exit:
    return hr;
}

// Applies one switch and its value.
HRESULT ApplySwitch(PackOptions* options, PackSwitch kind, LPCWSTR option, LPCWSTR value)
{
    HRESULT hr = S_OK;
    PackageSpec* package = nullptr;
    PackageSpec* program = nullptr;
    TransformSpec* transform = nullptr;

    switch (kind) {
    case PackSwitch::Out:
        options->outPath = value;
        break;
    case PackSwitch::Stub:
        options->stubPath = value;
        break;
    case PackSwitch::Name:
        EXIT_IF_FAILED(CheckTextLength(option, value));
        EXIT_IF_FAILED(BoundedCopy(options->identity.productName, ARRAYSIZE(options->identity.productName), value));
        break;
    case PackSwitch::Company:
        EXIT_IF_FAILED(CheckTextLength(option, value));
        EXIT_IF_FAILED(BoundedCopy(options->identity.company, ARRAYSIZE(options->identity.company), value));
        break;
    case PackSwitch::Copyright:
        EXIT_IF_FAILED(CheckTextLength(option, value));
        options->copyright = value;
        break;
    case PackSwitch::Icon:
        options->iconPath = value;
        break;
    case PackSwitch::License:
        if (!EndsWithIgnoringCase(value, L".rtf") && !EndsWithIgnoringCase(value, L".txt")) {
            ReportError(L"/license takes an .rtf or .txt file: %ls", value);
            EXIT_WITH(PACK_E_USAGE);
        }
        options->licensePath = value;
        break;
    case PackSwitch::BundleVersion:
        // The bundle's own version is shown and compared as written: all four
        // parts, so that "1.0" is never silently taken for 1.0.0.0.
        if (3 != CountDots(value) ||
            FAILED(ParseVersionText(value, &options->identity.versionHigh, &options->identity.versionLow))) {
            ReportError(L"bad version for %ls: %ls (expected a.b.c.d, each 0 to 65535)", option, value);
            EXIT_WITH(PACK_E_USAGE);
        }
        options->identity.hasVersion = TRUE;
        break;
    case PackSwitch::Package:
        EXIT_IF_FAILED(AddEntry(options, value, FALSE));
        break;
    case PackSwitch::Exe:
        EXIT_IF_FAILED(AddEntry(options, value, TRUE));
        break;
    case PackSwitch::Detect:
        program = CurrentEntry(options, option, EntryKind::Program);
        if (!program) EXIT_WITH(PACK_E_USAGE);
        EXIT_IF_FAILED(AddRule(program, value));
        break;
    case PackSwitch::Args:
    case PackSwitch::UiArgs:
    case PackSwitch::UninstallArgs:
    case PackSwitch::RepairArgs:
        program = CurrentEntry(options, option, EntryKind::Program);
        if (!program) EXIT_WITH(PACK_E_USAGE);
        EXIT_IF_FAILED(SetArguments(option, value, ArgumentsOf(&program->program, kind)));
        break;
    case PackSwitch::ExitCode:
        program = CurrentEntry(options, option, EntryKind::Program);
        if (!program) EXIT_WITH(PACK_E_USAGE);
        EXIT_IF_FAILED(AddExitCode(program, value));
        break;
    case PackSwitch::Transform:
        EXIT_IF_FAILED(AddTransform(options, value));
        break;
    case PackSwitch::UpgradeCode:
        EXIT_IF_FAILED(SetUpgradeCode(&options->registration, option, value));
        break;
    case PackSwitch::BundleCode:
        EXIT_IF_FAILED(SetBundleCode(&options->registration, option, value));
        break;
    case PackSwitch::HelpLink:
        EXIT_IF_FAILED(SetLink(option, value, &options->registration.helpLink));
        break;
    case PackSwitch::AboutLink:
        EXIT_IF_FAILED(SetLink(option, value, &options->registration.aboutLink));
        break;
    case PackSwitch::Flags:
        package = CurrentEntry(options, option, EntryKind::Any);
        if (!package) EXIT_WITH(PACK_E_USAGE);
        if (package->hasFlags) {
            ReportError(L"%ls is given twice for %ls: join the flags with + in one %ls", option, package->path, option);
            EXIT_WITH(PACK_E_USAGE);
        }
        EXIT_IF_FAILED(ApplyFlags(package, value));
        package->hasFlags = TRUE;
        break;
    case PackSwitch::Code:
        package = CurrentEntry(options, option, EntryKind::Package);
        if (!package) EXIT_WITH(PACK_E_USAGE);
        if (FAILED(ParseGuidText(value, &package->productCode))) {
            ReportError(L"bad GUID for /code: %ls (expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})", value);
            EXIT_WITH(PACK_E_USAGE);
        }
        package->hasProductCode = TRUE;
        break;
    case PackSwitch::Version:
        package = CurrentEntry(options, option, EntryKind::Package);
        if (!package) EXIT_WITH(PACK_E_USAGE);
        if (FAILED(ParseVersionText(value, &package->versionHigh, &package->versionLow))) {
            ReportError(L"bad version for /version: %ls (expected a.b.c.d, each 0 to 65535)", value);
            EXIT_WITH(PACK_E_USAGE);
        }
        package->hasVersion = TRUE;
        break;
    case PackSwitch::Language:
        if (0 == options->transformCount) {
            ReportError(L"%ls must follow a /transform", option);
            EXIT_WITH(PACK_E_USAGE);
        }
        transform = &options->transforms[options->transformCount - 1];
        if (!ParseNumber(value, &transform->language) || transform->language > 0xFFFF) {
            ReportError(L"bad language identifier: %ls (expected a number 0 to 65535)", value);
            EXIT_WITH(PACK_E_USAGE);
        }
        transform->hasLanguage = TRUE;
        break;
    case PackSwitch::Window:
    case PackSwitch::Help:
    case PackSwitch::None:
        break;
    }

Exit:
    return hr;
}

// A transform is made for one package: applied to another it fails or,
// worse, changes the wrong tables.
HRESULT CheckTransformFlag(const PackOptions* options)
{
    HRESULT hr = S_OK;
    const PackageSpec* transformed = nullptr;

    for (DWORD k = 0; k < options->packageCount; ++k) {
        const PackageSpec* package = &options->packages[k];
        if (!(package->flags & PKG_APPLY_TRANSFORM)) {
            continue;
        }
        if (0 == options->transformCount) {
            ReportError(L"%ls has the transform flag, but no /transform is given", package->path);
            EXIT_WITH(PACK_E_USAGE);
        }
        if (transformed) {
            ReportError(L"the transform flag is on more than one package (%ls and %ls): a transform is made for "
                        L"one package", transformed->path, package->path);
            EXIT_WITH(PACK_E_USAGE);
        }
        transformed = package;
    }

Exit:
    return hr;
}

// The first chain entry with `flag`, or null.
const PackageSpec* FirstEntryWith(const PackOptions* options, DWORD flag)
{
    for (DWORD k = 0; k < options->packageCount; ++k) {
        if (options->packages[k].flags & flag) {
            return &options->packages[k];
        }
    }
    return nullptr;
}

// The window stands for every package's interface, and only the window
// shows a licence.
HRESULT CheckWindow(const PackOptions* options)
{
    HRESULT hr = S_OK;
    const PackageSpec* keepingItsInterface = options->window ? FirstEntryWith(options, PKG_KEEP_UI_LEVEL) : nullptr;

    if (options->licensePath && !options->window) {
        ReportError(L"/license is shown by the bundle's own window: give /window");
        EXIT_WITH(PACK_E_USAGE);
    }
    if (keepingItsInterface) {
        ReportError(L"%ls has the keepui flag, but the bundle's own window (/window) stands for every "
                    L"package's interface", keepingItsInterface->path);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// What only a registered bundle has: an entry's links, and packages whose
// only entry is the bundle's.
HRESULT CheckRegistration(const PackOptions* options)
{
    HRESULT hr = S_OK;
    const RegistrationSpec& registration = options->registration;
    const PackageSpec* hidden = FirstEntryWith(options, PKG_HIDDEN);

    if (registration.registered) {
        goto Exit;
    }
    if (registration.helpLink || registration.aboutLink) {
        ReportError(L"/helplink and /aboutlink are texts of the bundle's Add/Remove Programs entry: give /upgradecode");
        EXIT_WITH(PACK_E_USAGE);
    }
    if (registration.hasBundleCode) {
        ReportError(L"/bundlecode is the key of the bundle's Add/Remove Programs entry: give /upgradecode");
        EXIT_WITH(PACK_E_USAGE);
    }
    if (hidden) {
        ReportError(L"%ls has the hidden flag, but only a bundle with an entry of its own (/upgradecode) can "
                    L"stand for a hidden package", hidden->path);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

HRESULT CheckComplete(const PackOptions* options)
{
    HRESULT hr = S_OK;

    if (!options->outPath) {
        ReportError(L"no /out given");
        EXIT_WITH(PACK_E_USAGE);
    }
    if (0 == options->packageCount) {
        ReportError(L"no /package or /exe given: a bundle carries at least one");
        EXIT_WITH(PACK_E_USAGE);
    }
    // A program that runs every time is a choice: the rule always says so.
    for (DWORD k = 0; k < options->packageCount; ++k) {
        const PackageSpec& entry = options->packages[k];
        if (IsProgramEntry(&entry) && 0 == entry.program.ruleCount) {
            ReportError(L"%ls has no /detect: give the rules that say it is there (always: it runs every time)",
                        entry.path);
            EXIT_WITH(PACK_E_USAGE);
        }
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        if (!options->transforms[j].hasLanguage) {
            ReportError(L"transform %ls has no /language", options->transforms[j].path);
            EXIT_WITH(PACK_E_USAGE);
        }
    }
    EXIT_IF_FAILED(CheckTransformFlag(options));
    EXIT_IF_FAILED(CheckRegistration(options));
    EXIT_IF_FAILED(CheckWindow(options));

Exit:
    return hr;
}

} // namespace

BOOL EndsWithIgnoringCase(LPCWSTR text, LPCWSTR tail)
{
    const int length = lstrlenW(text);
    const int tailLength = lstrlenW(tail);
    return length >= tailLength && EqualsIgnoringCase(text + length - tailLength, -1, tail);
}

BOOL IsProgramEntry(const PackageSpec* entry)
{
    return 0 != (entry->flags & PKG_PROGRAM);
}

HRESULT ParseGuidText(LPCWSTR text, GUID* guid)
{
    DWORD value = 0;
    GUID result = {};

    if (!ReadChar(&text, L'{') || !ReadHex(&text, 8, &value)) return E_INVALIDARG;
    result.Data1 = value;
    if (!ReadChar(&text, L'-') || !ReadHex(&text, 4, &value)) return E_INVALIDARG;
    result.Data2 = static_cast<WORD>(value);
    if (!ReadChar(&text, L'-') || !ReadHex(&text, 4, &value)) return E_INVALIDARG;
    result.Data3 = static_cast<WORD>(value);
    if (!ReadChar(&text, L'-')) return E_INVALIDARG;
    for (int i = 0; i < 8; ++i) {
        if (2 == i && !ReadChar(&text, L'-')) return E_INVALIDARG;
        if (!ReadHex(&text, 2, &value)) return E_INVALIDARG;
        result.Data4[i] = static_cast<BYTE>(value);
    }
    if (!ReadChar(&text, L'}') || L'\0' != *text) return E_INVALIDARG;
    *guid = result;
    return S_OK;
}

// A version (VersionutilParse) in the halves the manifest keeps.
HRESULT ParseVersionText(LPCWSTR text, DWORD* high, DWORD* low)
{
    ULONGLONG version = 0;
    if (!VersionutilParse(text, lstrlenW(text), &version)) {
        return E_INVALIDARG;
    }
    *high = VersionHigh(version);
    *low = VersionLow(version);
    return S_OK;
}

HRESULT ParsePackCommandLine(int argc, LPWSTR* argv, PackOptions* options)
{
    HRESULT hr = S_OK;

    for (int i = 1; i < argc; ++i) {
        const PackSwitch kind = SwitchOf(argv[i]);
        if (PackSwitch::None == kind) {
            ReportError(L"unknown argument: %ls", argv[i]);
            EXIT_WITH(PACK_E_USAGE);
        }
        if (PackSwitch::Help == kind) {
            hr = S_FALSE;
            goto Exit;
        }
        if (PackSwitch::Window == kind) {   // the one switch without a value
            options->window = TRUE;
            continue;
        }
        // A value that is itself a switch means the value was left out.
        if (i + 1 >= argc || PackSwitch::None != SwitchOf(argv[i + 1]) || L'\0' == argv[i + 1][0]) {
            ReportError(L"%ls needs a value", argv[i]);
            EXIT_WITH(PACK_E_USAGE);
        }
        EXIT_IF_FAILED(ApplySwitch(options, kind, argv[i], argv[i + 1]));
        ++i;
    }
    EXIT_IF_FAILED(CheckComplete(options));

Exit:
    return hr;
}
