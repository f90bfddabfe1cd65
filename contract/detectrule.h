// The detection rules of a prerequisite program: how a vendor says "this
// runtime is there already" in one line of text. The packer parses every rule to
// refuse a bad one; the setup run parses it again where the bundle keeps it and
// evaluates it (detect.h). A rule is parsed in place: the parts are spans into
// its text, which lives in the mapped bundle for the whole run.
//
// The rule grammar: docs/vendors.md, "Detection rules".
#pragma once

#include <windows.h>

// A part of a longer text: not terminated. A null `text` is a part that is
// not there at all, as opposed to one that is there and empty.
struct TextSpan {
    LPCWSTR text;
    DWORD length;
};

enum class DetectKind : BYTE { Always, RegistryKey, RegistryValue, File, Product, Upgrade };
enum class DetectOperator : BYTE { Present, Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual };
enum class DetectOperand : BYTE { None, Number, Text, Version };
enum class DetectRoot : BYTE { LocalMachine64, LocalMachine32, CurrentUser64, CurrentUser32 };
enum class DetectFolder : BYTE { ProgramFiles64, ProgramFiles32, CommonFiles64, CommonFiles32, System64, System32, Windows };

// The longest parts a rule may have: the run copies them into fixed buffers.
constexpr DWORD DETECT_RULE_MAX_CHARS = 1024;
constexpr DWORD DETECT_KEY_MAX_CHARS = 511;
constexpr DWORD DETECT_VALUE_NAME_MAX_CHARS = 255;
constexpr DWORD DETECT_TEXT_MAX_CHARS = 255;
constexpr DWORD DETECT_PATH_MAX_CHARS = 200;

struct DetectRule {
    DetectKind kind;
    DetectOperator op;
    DetectOperand operand;
    DetectRoot root;
    DetectFolder folder;
    TextSpan key;         // below the root
    TextSpan valueName;   // empty: the key's default value
    TextSpan path;        // below the folder
    TextSpan code;        // product or upgrade code, braced
    TextSpan text;        // a text operand, without its quotes
    ULONGLONG number;     // a number operand, or a version operand (DETECT_VERSION)
};

// Why a rule was refused: the part that is wrong, and a phrase that says how.
struct DetectRuleError {
    TextSpan part;
    const char* reason;   // plain ASCII English, for the log and the packer's message (%hs)
};

// Parses one rule of `length` characters (no terminator needed). A bad rule
// gives 0x8007000D and says what is wrong in `error`.
HRESULT ParseDetectRule(LPCWSTR text, DWORD length, DetectRule* rule, DetectRuleError* error);

// Four 16-bit parts in one number, the first part highest, so that versions
// compare as numbers do.
constexpr ULONGLONG DetectVersion(WORD a, WORD b, WORD c, WORD d)
{
    return static_cast<ULONGLONG>(a) << 48 | static_cast<ULONGLONG>(b) << 32 | static_cast<ULONGLONG>(c) << 16 | d;
}

// An unsigned decimal number, or hex after 0x, of at most 64 bits; nothing else.
BOOL ParseNumberSpan(TextSpan text, ULONGLONG* number);
// Whether the operator's answer for a comparison result (<0, 0, >0) is yes.
BOOL DetectOperatorHolds(DetectOperator op, int comparison);
LPCWSTR DetectOperatorText(DetectOperator op);

// Spans of a terminated text, and of a part of one.
TextSpan SpanOf(LPCWSTR text);
TextSpan SpanBetween(LPCWSTR first, LPCWSTR end);
BOOL SpanEqualsIgnoringCase(TextSpan span, LPCWSTR text);
