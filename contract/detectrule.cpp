// Only libs/ below this file: the packer links it on its own.
#include "detectrule.h"
#include "versionutil.h"
#include "result.h"
#include "strutil.h"

namespace {

struct NamedRoot {
    LPCWSTR name;
    DetectRoot root;
};

constexpr NamedRoot ROOTS[] = {
    {L"HKLM64", DetectRoot::LocalMachine64}, {L"HKLM32", DetectRoot::LocalMachine32},
    {L"HKCU64", DetectRoot::CurrentUser64},  {L"HKCU32", DetectRoot::CurrentUser32},
};

struct NamedFolder {
    LPCWSTR name;
    DetectFolder folder;
};

constexpr NamedFolder FOLDERS[] = {
    {L"ProgramFiles64", DetectFolder::ProgramFiles64}, {L"ProgramFiles32", DetectFolder::ProgramFiles32},
    {L"CommonFiles64", DetectFolder::CommonFiles64},   {L"CommonFiles32", DetectFolder::CommonFiles32},
    {L"System64", DetectFolder::System64},             {L"System32", DetectFolder::System32},
    {L"Windows", DetectFolder::Windows},
};

// The names under the Windows folder that the file-system redirector bends
// for a 32-bit process: [System64] and [System32] say which one is meant.
constexpr LPCWSTR REDIRECTED_WINDOWS_FOLDERS[] = {L"System32", L"SysWOW64", L"Sysnative"};

struct NamedOperator {
    LPCWSTR text;
    DetectOperator op;
};

// Two-character operators first, so that "<=" is not taken for "<".
constexpr NamedOperator OPERATORS[] = {
    {L"<>", DetectOperator::NotEqual}, {L"<=", DetectOperator::LessOrEqual}, {L">=", DetectOperator::GreaterOrEqual},
    {L"=", DetectOperator::Equal},     {L"<", DetectOperator::Less},         {L">", DetectOperator::Greater},
};

constexpr WCHAR ALWAYS_RULE[] = L"always";
constexpr WCHAR FILE_PREFIX[] = L"file:";
constexpr WCHAR PRODUCT_PREFIX[] = L"product:";
constexpr WCHAR UPGRADE_PREFIX[] = L"upgrade:";
constexpr DWORD TOO_LONG_SHOWN_CHARS = 40;

bool IsBlank(WCHAR c)
{
    return L' ' == c || L'\t' == c;
}

bool IsOperatorChar(WCHAR c)
{
    return L'=' == c || L'<' == c || L'>' == c;
}

bool IsSeparator(WCHAR c)
{
    return L'\\' == c || L'/' == c;
}

TextSpan After(TextSpan span, DWORD count)
{
    return count >= span.length ? TextSpan{span.text + span.length, 0} : TextSpan{span.text + count, span.length - count};
}

TextSpan Before(TextSpan span, DWORD count)
{
    return {span.text, count < span.length ? count : span.length};
}

TextSpan TrimBlanks(TextSpan span)
{
    while (span.length > 0 && IsBlank(span.text[0])) {
        ++span.text;
        --span.length;
    }
    while (span.length > 0 && IsBlank(span.text[span.length - 1])) {
        --span.length;
    }
    return span;
}

// The position of the first character that `test` accepts, or the length.
template <typename Test>
DWORD FindFirst(TextSpan span, Test test)
{
    DWORD at = 0;
    while (at < span.length && !test(span.text[at])) {
        ++at;
    }
    return at;
}

BOOL StartsWithIgnoringCase(TextSpan span, LPCWSTR prefix)
{
    const DWORD length = static_cast<DWORD>(lstrlenW(prefix));
    return span.length >= length && SpanEqualsIgnoringCase(Before(span, length), prefix);
}

BOOL IsBracedGuid(TextSpan span)
{
    return StrutilIsBracedGuid(span.text, span.length);
}

// Records what is wrong; the caller leaves through EXIT_WITH, which traces its own line.
HRESULT Refuse(DetectRuleError* error, TextSpan part, const char* reason)
{
    error->part = part;
    error->reason = reason;
    return RESULT_INVALID_DATA;
}

// The operator at the start of `rest`, and the operand behind it.
HRESULT ParseComparison(TextSpan rest, DetectRule* rule, TextSpan* operand, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    TextSpan inner = {};
    const NamedOperator* found = nullptr;

    for (const NamedOperator& candidate : OPERATORS) {
        if (nullptr == found && StartsWithIgnoringCase(rest, candidate.text)) {
            found = &candidate;
        }
    }
    if (nullptr == found) {
        EXIT_WITH(Refuse(error, rest, "no operator"));
    }
    rule->op = found->op;
    *operand = TrimBlanks(After(rest, static_cast<DWORD>(lstrlenW(found->text))));
    if (0 == operand->length) {
        EXIT_WITH(Refuse(error, rest, "no operand after the operator"));
    }
    if (L'"' == operand->text[0]) {
        if (operand->length < 2 || L'"' != operand->text[operand->length - 1]) {
            EXIT_WITH(Refuse(error, *operand, "a text operand is quoted and ends the rule"));
        }
        inner = {operand->text + 1, operand->length - 2};
        if (inner.length > DETECT_TEXT_MAX_CHARS) {
            EXIT_WITH(Refuse(error, *operand, "a text operand has at most 255 characters"));
        }
        rule->operand = DetectOperand::Text;
        rule->text = inner;
        if (DetectOperator::Equal != rule->op && DetectOperator::NotEqual != rule->op) {
            EXIT_WITH(Refuse(error, Before(rest, static_cast<DWORD>(operand->text - rest.text)),
                             "texts compare with = and <> only"));
        }
    } else if (L'v' == operand->text[0] || L'V' == operand->text[0]) {
        if (!VersionutilParse(operand->text + 1, operand->length - 1, &rule->number)) {
            EXIT_WITH(Refuse(error, *operand, "bad version: v and one to four numbers 0 to 65535 joined by dots"));
        }
        rule->operand = DetectOperand::Version;
    } else {
        if (!ParseNumberSpan(*operand, &rule->number)) {
            EXIT_WITH(Refuse(error, *operand,
                             "bad operand: a number (decimal, or hex after 0x), a quoted text, or v and a version"));
        }
        rule->operand = DetectOperand::Number;
    }

Exit:
    return hr;
}

// Components between backslashes, none empty: the registry has no empty key
// names, and a doubled or trailing separator is a typing error.
HRESULT CheckKey(TextSpan key, DetectRuleError* error)
{
    HRESULT hr = S_OK;

    if (0 == key.length) {
        EXIT_WITH(Refuse(error, key, "no key after the root"));
    }
    if (key.length > DETECT_KEY_MAX_CHARS) {
        EXIT_WITH(Refuse(error, Before(key, TOO_LONG_SHOWN_CHARS), "a key has at most 511 characters"));
    }
    if (FindFirst(key, IsOperatorChar) < key.length) {
        EXIT_WITH(Refuse(error, key, "=, < or > in the key: a comparison is KEY:VALUE OP OPERAND"));
    }
    if (L'\\' == key.text[0] || L'\\' == key.text[key.length - 1]) {
        EXIT_WITH(Refuse(error, key, "a key neither starts nor ends with a backslash"));
    }
    for (DWORD k = 1; k < key.length; ++k) {
        if (L'\\' == key.text[k] && L'\\' == key.text[k - 1]) {
            EXIT_WITH(Refuse(error, key, "an empty key name between two backslashes"));
        }
    }

Exit:
    return hr;
}

HRESULT ParseRegistryRule(TextSpan whole, DetectRule* rule, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    const DWORD backslash = FindFirst(whole, [](WCHAR c) { return L'\\' == c; });
    const TextSpan rootName = Before(whole, backslash);
    const TextSpan rest = After(whole, backslash + 1);
    const DWORD colon = FindFirst(rest, [](WCHAR c) { return L':' == c; });
    const TextSpan afterColon = After(rest, colon + 1);
    const DWORD opAt = FindFirst(afterColon, IsOperatorChar);
    const NamedRoot* found = nullptr;
    TextSpan operand = {};

    for (const NamedRoot& candidate : ROOTS) {
        if (backslash < whole.length && SpanEqualsIgnoringCase(rootName, candidate.name)) {
            found = &candidate;
        }
    }
    if (nullptr == found) {
        EXIT_WITH(Refuse(error, rootName, "unknown kind of rule: it starts with HKLM64\\, HKLM32\\, HKCU64\\, "
                                          "HKCU32\\, file:, product: or upgrade:, or is always"));
    }
    rule->root = found->root;
    rule->key = Before(rest, colon);
    EXIT_IF_FAILED(CheckKey(rule->key, error));
    if (colon == rest.length) {
        rule->kind = DetectKind::RegistryKey;
        goto Exit;
    }
    rule->kind = DetectKind::RegistryValue;
    rule->valueName = TrimBlanks(Before(afterColon, opAt));
    if (rule->valueName.length > DETECT_VALUE_NAME_MAX_CHARS) {
        EXIT_WITH(Refuse(error, Before(rule->valueName, TOO_LONG_SHOWN_CHARS), "a value name has at most 255 characters"));
    }
    if (opAt < afterColon.length) {
        EXIT_IF_FAILED(ParseComparison(After(afterColon, opAt), rule, &operand, error));
    }

Exit:
    return hr;
}

BOOL IsRedirectedWindowsFolder(TextSpan component)
{
    for (LPCWSTR name : REDIRECTED_WINDOWS_FOLDERS) {
        if (SpanEqualsIgnoringCase(component, name)) {
            return TRUE;
        }
    }
    return FALSE;
}

// A path that stays below its folder: relative, without a drive, a stream or
// a component that means "this folder" or "the one above" (a name of dots and
// blanks only, which Windows trims to "." or "..").
HRESULT CheckPath(TextSpan path, DetectFolder folder, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    TextSpan rest = path;

    if (0 == path.length) {
        EXIT_WITH(Refuse(error, path, "no path after the folder"));
    }
    if (path.length > DETECT_PATH_MAX_CHARS) {
        EXIT_WITH(Refuse(error, Before(path, TOO_LONG_SHOWN_CHARS), "a path has at most 200 characters"));
    }
    if (FindFirst(path, [](WCHAR c) { return L':' == c || L'*' == c || L'?' == c || L'"' == c || L'|' == c; }) <
        path.length) {
        EXIT_WITH(Refuse(error, path, "a path has no drive, stream or wildcard (:, *, ?, \", |)"));
    }
    for (BOOL first = TRUE;; first = FALSE) {
        const TextSpan component = Before(rest, FindFirst(rest, IsSeparator));
        if (0 == component.length) {
            EXIT_WITH(Refuse(error, path, "an empty name in the path (a leading, doubled or trailing backslash)"));
        }
        if (FindFirst(component, [](WCHAR c) { return L'.' != c && !IsBlank(c); }) == component.length) {
            EXIT_WITH(Refuse(error, component, "the path must stay below its folder: no . or .."));
        }
        if (first && DetectFolder::Windows == folder && IsRedirectedWindowsFolder(component)) {
            EXIT_WITH(Refuse(error, component, "name the system folders by [System64] or [System32]"));
        }
        if (component.length == rest.length) {
            break;
        }
        rest = After(rest, component.length + 1);
    }

Exit:
    return hr;
}

HRESULT ParseFileRule(TextSpan rest, DetectRule* rule, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    const DWORD close = FindFirst(rest, [](WCHAR c) { return L']' == c; });
    const TextSpan folderName = {rest.text + 1, close > 0 ? close - 1 : 0};
    const TextSpan afterFolder = After(rest, close + 2);
    const DWORD opAt = FindFirst(afterFolder, IsOperatorChar);
    const NamedFolder* found = nullptr;
    TextSpan operand = {};

    for (const NamedFolder& candidate : FOLDERS) {
        if (rest.length > 0 && L'[' == rest.text[0] && SpanEqualsIgnoringCase(folderName, candidate.name)) {
            found = &candidate;
        }
    }
    if (nullptr == found) {
        EXIT_WITH(Refuse(error, Before(rest, close + 1), "unknown folder: [ProgramFiles64], [ProgramFiles32], "
                                                         "[CommonFiles64], [CommonFiles32], [System64], [System32] or [Windows]"));
    }
    if (close + 1 >= rest.length || L'\\' != rest.text[close + 1]) {
        EXIT_WITH(Refuse(error, Before(rest, close + 1), "a backslash follows the folder"));
    }
    rule->kind = DetectKind::File;
    rule->folder = found->folder;
    rule->path = Before(afterFolder, opAt);
    while (rule->path.length > 0 && IsBlank(rule->path.text[rule->path.length - 1])) {
        --rule->path.length;   // the blanks before the operator
    }
    EXIT_IF_FAILED(CheckPath(rule->path, rule->folder, error));
    if (opAt < afterFolder.length) {
        EXIT_IF_FAILED(ParseComparison(After(afterFolder, opAt), rule, &operand, error));
        if (DetectOperand::Version != rule->operand) {
            EXIT_WITH(Refuse(error, operand, "a file compares by version only: OP vVERSION"));
        }
    }

Exit:
    return hr;
}

HRESULT ParseProductRule(TextSpan rest, DetectRule* rule, DetectRuleError* error)
{
    HRESULT hr = S_OK;

    rule->kind = DetectKind::Product;
    rule->code = rest;
    if (!IsBracedGuid(rest)) {
        EXIT_WITH(Refuse(error, rest, IsBracedGuid(Before(rest, BRACED_GUID_CHARS))
                                          ? "product: takes no operator (upgrade: compares versions)"
                                          : "bad product code: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"));
    }

Exit:
    return hr;
}

// Only "at least this version" questions: a detection rule says the program
// need not run, and "an older one is there" is no reason to skip it.
HRESULT ParseUpgradeRule(TextSpan rest, DetectRule* rule, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    const TextSpan comparison = TrimBlanks(After(rest, BRACED_GUID_CHARS));
    TextSpan operand = {};

    rule->kind = DetectKind::Upgrade;
    rule->code = Before(rest, BRACED_GUID_CHARS);
    if (!IsBracedGuid(rule->code) || (comparison.length > 0 && !IsOperatorChar(comparison.text[0]))) {
        EXIT_WITH(Refuse(error, rest, "bad upgrade code: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, then OP vVERSION"));
    }
    if (0 == comparison.length) {
        goto Exit;
    }
    EXIT_IF_FAILED(ParseComparison(comparison, rule, &operand, error));
    if (DetectOperand::Version != rule->operand) {
        EXIT_WITH(Refuse(error, operand, "an upgrade code compares by version only: OP vVERSION"));
    }
    if (DetectOperator::Equal != rule->op && DetectOperator::Greater != rule->op &&
        DetectOperator::GreaterOrEqual != rule->op) {
        EXIT_WITH(Refuse(error, comparison, "upgrade: takes =, > or >= (a product at or above a version)"));
    }

Exit:
    return hr;
}

} // namespace

TextSpan SpanOf(LPCWSTR text)
{
    return {text, static_cast<DWORD>(lstrlenW(text))};
}

TextSpan SpanBetween(LPCWSTR first, LPCWSTR end)
{
    return {first, static_cast<DWORD>(end - first)};
}

BOOL SpanEqualsIgnoringCase(TextSpan span, LPCWSTR text)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(span.text, static_cast<int>(span.length), text, -1, TRUE);
}

HRESULT ParseDetectRule(LPCWSTR text, DWORD length, DetectRule* rule, DetectRuleError* error)
{
    HRESULT hr = S_OK;
    const TextSpan whole = {text, length};

    *rule = {};
    *error = {};
    if (0 == length) {
        EXIT_WITH(Refuse(error, whole, "an empty rule"));
    }
    if (length > DETECT_RULE_MAX_CHARS) {
        EXIT_WITH(Refuse(error, Before(whole, TOO_LONG_SHOWN_CHARS), "a rule has at most 1024 characters"));
    }
    // The bundle keeps one rule a line.
    if (FindFirst(whole, [](WCHAR c) { return c < L' '; }) < length) {
        EXIT_WITH(Refuse(error, whole, "a line break or other control character"));
    }
    if (SpanEqualsIgnoringCase(whole, ALWAYS_RULE)) {
        rule->kind = DetectKind::Always;
    } else if (StartsWithIgnoringCase(whole, FILE_PREFIX)) {
        EXIT_IF_FAILED(ParseFileRule(After(whole, ARRAYSIZE(FILE_PREFIX) - 1), rule, error));
    } else if (StartsWithIgnoringCase(whole, PRODUCT_PREFIX)) {
        EXIT_IF_FAILED(ParseProductRule(After(whole, ARRAYSIZE(PRODUCT_PREFIX) - 1), rule, error));
    } else if (StartsWithIgnoringCase(whole, UPGRADE_PREFIX)) {
        EXIT_IF_FAILED(ParseUpgradeRule(After(whole, ARRAYSIZE(UPGRADE_PREFIX) - 1), rule, error));
    } else {
        EXIT_IF_FAILED(ParseRegistryRule(whole, rule, error));
    }

Exit:
    return hr;
}

BOOL ParseNumberSpan(TextSpan text, ULONGLONG* number)
{
    const BOOL hex = text.length > 2 && L'0' == text.text[0] && (L'x' == text.text[1] || L'X' == text.text[1]);
    const ULONGLONG base = hex ? 16 : 10;
    ULONGLONG result = 0;

    if (hex) {
        text = After(text, 2);
    }
    if (0 == text.length) {
        return FALSE;
    }
    for (DWORD at = 0; at < text.length; ++at) {
        const int digit = StrutilHexDigit(text.text[at]);
        if (digit < 0 || static_cast<ULONGLONG>(digit) >= base || result > (~0ull - digit) / base) {
            return FALSE;
        }
        result = result * base + digit;
    }
    *number = result;
    return TRUE;
}

BOOL DetectOperatorHolds(DetectOperator op, int comparison)
{
    switch (op) {
    case DetectOperator::Equal: return 0 == comparison;
    case DetectOperator::NotEqual: return 0 != comparison;
    case DetectOperator::Less: return comparison < 0;
    case DetectOperator::LessOrEqual: return comparison <= 0;
    case DetectOperator::Greater: return comparison > 0;
    case DetectOperator::GreaterOrEqual: return comparison >= 0;
    default: return FALSE;
    }
}

LPCWSTR DetectOperatorText(DetectOperator op)
{
    for (const NamedOperator& candidate : OPERATORS) {
        if (candidate.op == op) {
            return candidate.text;
        }
    }
    return L"";
}
