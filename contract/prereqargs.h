// The parameters of a prerequisite program, as a bundle keeps them in the
// ARG<nn> resource beside the program's EXE<nn>: UTF-16LE text without a BOM,
// one key=value a line, lines separated by L'\n' (no CR), bounded by the
// resource's size (no terminator). In this order:
//
//   detect=RULE         one a /detect, in command-line order; at least one (detectrule.h)
//   args=TEXT           the program's arguments (no line: none)
//   uiargs=TEXT         its arguments when the run shows a user interface (no line: args)
//   uninstallargs=TEXT  its arguments for /uninstall (no line: it is permanent)
//   repairargs=TEXT     its arguments for /repair (no line: a repair does not run it)
//   exitcode=N=KIND     one a /exitcode: N decimal, or hex after 0x; KIND success,
//                       restart or failure
//
// Lines with keys this program does not know are skipped, so that a bundle of
// a later packer still runs. The packer writes the text, the setup run reads
// it in place; only libs/ and detectrule are below this file.
#pragma once

#include <windows.h>
#include "detectrule.h"
#include "strutil.h"

// A program entry's resources: EXE<nn> holds its bytes, ARG<nn> beside it its
// parameters (the same <nn>).
#define PREREQ_PROGRAM_RESOURCE_PREFIX "EXE"
#define PREREQ_PARAMETERS_RESOURCE_PREFIX "ARG"

enum class PrereqExitKind : BYTE { Success, Restart, Failure };

constexpr WCHAR PREREQ_LINE_BREAK = L'\n';
inline constexpr WCHAR PREREQ_DETECT_KEY[] = L"detect";
inline constexpr WCHAR PREREQ_ARGS_KEY[] = L"args";
inline constexpr WCHAR PREREQ_UI_ARGS_KEY[] = L"uiargs";
inline constexpr WCHAR PREREQ_UNINSTALL_ARGS_KEY[] = L"uninstallargs";
inline constexpr WCHAR PREREQ_REPAIR_ARGS_KEY[] = L"repairargs";
inline constexpr WCHAR PREREQ_EXIT_CODE_KEY[] = L"exitcode";

// Spans into the resource. A span whose text is null had no line.
struct PrereqParameters {
    TextSpan text;
    DWORD detectCount;
    DWORD exitCodeCount;
    TextSpan args;
    TextSpan uiArgs;
    TextSpan uninstallArgs;
    TextSpan repairArgs;
};

// Reads the resource's bytes in place, checking every line: 0x8007000D for an
// odd size, a rule or an exitcode line that does not parse, a key given twice
// that takes one line, or no detect line.
HRESULT PrereqReadParameters(const BYTE* data, DWORD size, PrereqParameters* parameters);
// The rule of the detect line `index` (0 first).
HRESULT PrereqDetectRule(const PrereqParameters* parameters, DWORD index, TextSpan* rule);
// What the vendor said the program's exit code means; S_FALSE when the code
// has no exitcode line (the run decides by itself then).
HRESULT PrereqExitCodeKind(const PrereqParameters* parameters, DWORD exitCode, PrereqExitKind* kind);

// "N=KIND", as /exitcode gives it and an exitcode line keeps it.
HRESULT ParsePrereqExitCode(TextSpan text, DWORD* exitCode, PrereqExitKind* kind);
LPCWSTR PrereqExitKindName(PrereqExitKind kind);

// Appends a span to a heap text. An empty span appends nothing (StrutilAppend
// would take its count of 0 for "up to the terminator", which a span has not).
HRESULT AppendSpan(WideString* text, TextSpan span);
