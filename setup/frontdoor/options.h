// The command line: switches read into SetupOptions, and the action they choose.
#pragma once

#include <windows.h>
#include "strutil.h"

// What the installer is asked to do with one package.
enum class InstallAction : DWORD {
    Skip = 0,
    Install = 1,
    SameVersion = 3,
    MinorUpgrade = 5,
    MajorUpgrade = 6,
    ApplyPatch = 7,
    Uninstall = 8,
    // The installed product of the package's own version installed again: its
    // missing files and its registry values put back.
    Repair = 9,
};

enum class SetupAction { Help, Extract, ExtractFirst, Setup };

constexpr DWORD UI_LEVEL_NONE = 2;
constexpr DWORD UI_LEVEL_BASIC = 3;
constexpr DWORD UI_LEVEL_FULL = 5;
constexpr DWORD UI_LEVEL_BASIC_PROGRESS_ONLY = 0x43;

// /quiet and /passive: nobody is there to click. At these levels the installer
// shows no dialog that waits for an answer, and neither does the program.
constexpr bool IsUnattendedUiLevel(DWORD uiLevel)
{
    return uiLevel == UI_LEVEL_NONE || uiLevel == UI_LEVEL_BASIC_PROGRESS_ONLY;
}
// A removal after a failure, or of what an older bundle installed, runs
// unattended when the run does, else with the installer's basic interface.
constexpr DWORD RemovalUiLevel(DWORD uiLevel)
{
    return IsUnattendedUiLevel(uiLevel) ? uiLevel : UI_LEVEL_BASIC;
}
constexpr LONG LANGUAGE_USER_DEFAULT = -1;

// Where an elevated copy hands its outcome back (OUTCOME_SWITCH): the random
// name of the channel, OUTCOME_NAME_DIGITS hex digits borrowed from the
// argument array, and the unelevated process that made it.
constexpr DWORD OUTCOME_NAME_DIGITS = 32;
struct OutcomeAddress {
    LPCWSTR name;
    DWORD processId;
};

struct SetupOptions {
    WideString propertyText = nullptr;   // owned
    WideString logPath = nullptr;        // owned
    LONG language = LANGUAGE_USER_DEFAULT;
    DWORD uiLevel = UI_LEVEL_FULL;
    InstallAction action = InstallAction::Install;
    LPWSTR targetPath = nullptr;         // borrowed from the argument array
    DWORD extractAll = 0;
    DWORD extractFirst = 0;
    DWORD showHelp = 0;
    // /norestart: the window's last page offers no restart either.
    DWORD noRestart = 0;
    // Where the unelevated run's window stood (WINDOW_PLACE_SWITCH): the copy's
    // window takes its place.
    DWORD hasWindowPlace = 0;
    RECT windowPlace = {};
    // This process is the elevated copy of a run: the identity of the program
    // file it must run from (borrowed from the argument array), else null.
    LPCWSTR elevatedCopyOf = nullptr;
    OutcomeAddress outcomeTo = {};   // its name null when not given
};

// Put before the arguments handed to the elevated copy of a run, with the
// program file's identity as its value, so that the copy never asks for
// elevation again and runs only from that file.
inline constexpr WCHAR ELEVATED_COPY_SWITCH[] = L"/elevatedcopy";
// Given to the elevated copy beside it: "LEFT,TOP,WIDTH,HEIGHT" of the window
// the person has seen so far, in screen pixels.
inline constexpr WCHAR WINDOW_PLACE_SWITCH[] = L"/windowplace";
// Given to the elevated copy beside the window place: "NAME,PROCESS".
inline constexpr WCHAR OUTCOME_SWITCH[] = L"/outcome";
inline constexpr WCHAR REPAIR_SWITCH[] = L"/repair";
inline constexpr WCHAR UNINSTALL_SWITCH[] = L"/uninstall";

// The program's module handle, stored by the entry before anything else.
extern HINSTANCE ModuleInstance;

HRESULT ParseSetupCommandLine(int argc, LPWSTR* argv, SetupOptions* options);
// How the parser reads argument `index` of a command line it accepts: a
// switch, a switch's value, the value of /msicl, or a NAME=VALUE argument.
// The last two may carry secrets.
enum class ArgumentRole { Switch, Value, PropertyText, PropertyAssignment, Unknown };
ArgumentRole SetupArgumentRole(int argc, LPWSTR* argv, int index);
// The command-line text behind the program's own name: what the start-up hands
// to the entry, and what an elevated copy of the program is given.
LPWSTR CommandLineTail(LPWSTR commandLine);
SetupAction ChooseSetupAction(const SetupOptions& options);
void ReleaseSetupOptions(SetupOptions* options);

// The program's entry: returns the exit code (low 16 bits of the final result).
int SetupMain(HINSTANCE module);
// The low 16 bits of a result, except that a failure never becomes exit code 0.
int ExitCodeFromResult(HRESULT hr);
