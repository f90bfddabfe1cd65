// The detection rules of a prerequisite program: how a vendor says "this
// runtime is there already" in one line of text. The packer parses every rule to
// refuse a bad one; the setup run parses it again where the bundle keeps it and
// evaluates it (detect.h). A rule is parsed in place: the parts are spans into
// its text, which lives in the mapped bundle for the whole run.
//
//   ROOT\KEY                         the key is there
//   ROOT\KEY:VALUE                   the value is there (VALUE empty: the key's default value)
//   ROOT\KEY:VALUE OP OPERAND        the value compares so
//   file:[FOLDER]\PATH               the file is there
//   file:[FOLDER]\PATH OP vVERSION   its version record's file version compares so
//   product:{GUID}                   the product is installed
//   upgrade:{GUID}                   a product of the upgrade code is installed
//   upgrade:{GUID} OP vVERSION       one of them compares so (OP =, > or >= only)
//   always                           never there: the program runs every time
//
// ROOT is HKLM64, HKLM32, HKCU64 or HKCU32: the hive and the registry view.
// FOLDER is ProgramFiles64, ProgramFiles32, CommonFiles64, CommonFiles32,
// System64, System32 or Windows. OP is =, <>, <, <=, > or >=. OPERAND is a
// number (decimal, or hex after 0x; against a DWORD or QWORD value), a text in
// double quotes (against a string value, = and <> only, case ignored), or v and
// a version of one to four parts 0..65535 (against a string value holding one).
// Names (roots, folders, kinds) are not case-sensitive.
//
// Where the parts end:
// - The key ends at the first ':' after ROOT\. Value names hold paths with
//   drive letters far more often than key names hold a ':' (shared-DLL counts
//   are named by the DLL's path), so a value name may contain ':' and a key
//   name may not.
// - The operator is the first '=', '<' or '>' after the key's ':' (after the
//   folder's ']' for a file). Names holding one of these cannot be tested,
//   and a key name or a path may not hold one at all: "KEY\Installed=1", a
//   rule that forgot its ':', would otherwise be read silently as the presence
//   of a key named "Installed=1".
// - Blanks around a value name, before the operator and around the operand
//   are ignored: a value name that starts or ends with a blank cannot be
//   tested. A text operand runs from its first quote to the rule's last
//   character, which must be a quote: it may itself hold quotes.
// - A path may not name the Windows folder's System32, SysWOW64 or Sysnative:
//   the file-system redirector bends those for a 32-bit process, and the
//   [System64] and [System32] folders say which one is meant.
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
    LPCWSTR reason;
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
