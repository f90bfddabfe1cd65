#include "prereqargs.h"
#include "result.h"

namespace {

struct NamedExitKind {
    LPCWSTR name;
    PrereqExitKind kind;
};

constexpr NamedExitKind EXIT_KINDS[] = {
    {L"success", PrereqExitKind::Success},
    {L"restart", PrereqExitKind::Restart},
    {L"failure", PrereqExitKind::Failure},
};

constexpr ULONGLONG EXIT_CODE_MAX = 0xFFFFFFFF;

// One line of `rest`, split at its first '='; `rest` moves behind it. False
// at the end of the text.
BOOL NextLine(TextSpan* rest, TextSpan* key, TextSpan* value)
{
    if (0 == rest->length) {
        return FALSE;
    }
    DWORD end = 0;
    while (end < rest->length && PREREQ_LINE_BREAK != rest->text[end]) {
        ++end;
    }
    DWORD equals = 0;
    while (equals < end && L'=' != rest->text[equals]) {
        ++equals;
    }
    *key = {rest->text, equals};
    *value = equals < end ? TextSpan{rest->text + equals + 1, end - equals - 1} : TextSpan{};
    rest->text += end < rest->length ? end + 1 : end;
    rest->length -= end < rest->length ? end + 1 : end;
    return TRUE;
}

BOOL IsKey(TextSpan key, LPCWSTR name)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(key.text, static_cast<int>(key.length), name, -1, FALSE);
}

// The single-line keys: their span in the parameters, or null for any other key.
TextSpan* SingleLineSlot(PrereqParameters* parameters, TextSpan key)
{
    if (IsKey(key, PREREQ_ARGS_KEY)) return &parameters->args;
    if (IsKey(key, PREREQ_UI_ARGS_KEY)) return &parameters->uiArgs;
    if (IsKey(key, PREREQ_UNINSTALL_ARGS_KEY)) return &parameters->uninstallArgs;
    if (IsKey(key, PREREQ_REPAIR_ARGS_KEY)) return &parameters->repairArgs;
    return nullptr;
}

HRESULT ReadLine(PrereqParameters* parameters, TextSpan key, TextSpan value)
{
    HRESULT hr = S_OK;
    TextSpan* slot = SingleLineSlot(parameters, key);
    DetectRule rule = {};
    DetectRuleError error = {};
    DWORD exitCode = 0;
    PrereqExitKind kind = PrereqExitKind::Failure;

    if (nullptr == value.text) {
        goto Exit;   // no "=": no line this program knows
    }
    if (IsKey(key, PREREQ_DETECT_KEY)) {
        EXIT_IF_FAILED(ParseDetectRule(value.text, value.length, &rule, &error));
        ++parameters->detectCount;
    } else if (IsKey(key, PREREQ_EXIT_CODE_KEY)) {
        EXIT_IF_FAILED(ParsePrereqExitCode(value, &exitCode, &kind));
        ++parameters->exitCodeCount;
    } else if (nullptr != slot) {
        if (nullptr != slot->text) {
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        *slot = value;
    }

Exit:
    return hr;
}

} // namespace

HRESULT PrereqReadParameters(const BYTE* data, DWORD size, PrereqParameters* parameters)
{
    HRESULT hr = S_OK;
    TextSpan rest = {};
    TextSpan key = {};
    TextSpan value = {};

    *parameters = {};
    if (0 != size % sizeof(WCHAR)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    parameters->text = {reinterpret_cast<LPCWSTR>(data), size / static_cast<DWORD>(sizeof(WCHAR))};
    rest = parameters->text;
    while (NextLine(&rest, &key, &value)) {
        EXIT_IF_FAILED(ReadLine(parameters, key, value));
    }
    if (0 == parameters->detectCount) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    if (FAILED(hr)) {
        *parameters = {};
    }
    return hr;
}

HRESULT PrereqDetectRule(const PrereqParameters* parameters, DWORD index, TextSpan* rule)
{
    HRESULT hr = S_OK;
    TextSpan rest = parameters->text;
    TextSpan key = {};
    TextSpan value = {};
    DWORD seen = 0;

    while (NextLine(&rest, &key, &value)) {
        if (nullptr != value.text && IsKey(key, PREREQ_DETECT_KEY) && seen++ == index) {
            *rule = value;
            goto Exit;
        }
    }
    EXIT_WITH(E_INVALIDARG);

Exit:
    return hr;
}

HRESULT PrereqExitCodeKind(const PrereqParameters* parameters, DWORD exitCode, PrereqExitKind* kind)
{
    HRESULT hr = S_FALSE;
    TextSpan rest = parameters->text;
    TextSpan key = {};
    TextSpan value = {};
    DWORD listed = 0;
    PrereqExitKind listedKind = PrereqExitKind::Failure;

    while (S_FALSE == hr && NextLine(&rest, &key, &value)) {
        if (nullptr != value.text && IsKey(key, PREREQ_EXIT_CODE_KEY)) {
            EXIT_IF_FAILED(ParsePrereqExitCode(value, &listed, &listedKind));
            hr = listed == exitCode ? S_OK : S_FALSE;
        }
    }
    if (S_OK == hr) {
        *kind = listedKind;
    }

Exit:
    return hr;
}

HRESULT ParsePrereqExitCode(TextSpan text, DWORD* exitCode, PrereqExitKind* kind)
{
    HRESULT hr = S_OK;
    DWORD equals = 0;
    ULONGLONG number = 0;
    TextSpan name = {};

    while (equals < text.length && L'=' != text.text[equals]) {
        ++equals;
    }
    name = {text.text + equals + (equals < text.length ? 1 : 0), equals < text.length ? text.length - equals - 1 : 0};
    if (!ParseNumberSpan({text.text, equals}, &number) || number > EXIT_CODE_MAX) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    for (const NamedExitKind& candidate : EXIT_KINDS) {
        if (equals < text.length && SpanEqualsIgnoringCase(name, candidate.name)) {
            *exitCode = static_cast<DWORD>(number);
            *kind = candidate.kind;
            goto Exit;
        }
    }
    EXIT_WITH(RESULT_INVALID_DATA);

Exit:
    return hr;
}

LPCWSTR PrereqExitKindName(PrereqExitKind kind)
{
    for (const NamedExitKind& candidate : EXIT_KINDS) {
        if (candidate.kind == kind) {
            return candidate.name;
        }
    }
    return L"?";
}

HRESULT AppendSpan(WideString* text, TextSpan span)
{
    return 0 == span.length ? S_OK : StrutilAppend(text, span.text, span.length);
}
