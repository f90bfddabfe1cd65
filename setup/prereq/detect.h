// Whether a prerequisite program is on the machine already: its detection
// rules (detectrule.h) evaluated against the registry, the files and the
// installer service, each written to the run's log with what was found.
//
// A rule that cannot be evaluated does not hold: a key, value or file that is
// missing or cannot be read, a value of another type than the operand, a text
// that is no version, a file without a version record, a folder or an
// installer that does not answer. The program then runs, and the log says why.
// Evaluating never fails the run.
//
// Folders: the known-folder call names them, never the environment. A 32-bit
// process on 64-bit Windows cannot ask that call for the 64-bit Program Files
// folders (Windows answers it with its own); it reads them where the shell
// keeps them, ProgramFilesDir and CommonFilesDir under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion in the 64-bit registry view.
// Its 64-bit system folder is the Windows folder's Sysnative, the name that
// the file-system redirector leaves alone. On 32-bit Windows the 64 names
// (folders and registry views) mean the native ones.
#pragma once

#include <windows.h>
#include "detectrule.h"
#include "installer.h"
#include "prereqargs.h"

constexpr DWORD DETECT_FOUND_CHARS = 320;

struct DetectFinding {
    BOOL holds;
    WCHAR found[DETECT_FOUND_CHARS];   // what the machine has, for the log; cut when longer
};

// `context`: the installations that product: and upgrade: rules see (installer.h).
void EvaluateDetectRule(const DetectRule* rule, ProductContext context, DetectFinding* finding);

// Every detect line of a prerequisite's parameters, in order, each logged as
//   "  rule 1: HKLM64\...:Version >= v14.40: found "v14.40.33810.00" (REG_SZ): holds"
// and then the decision. `present` when every rule holds. Only a rule that
// does not parse fails (0x8007000D: the bundle is damaged; the packer never
// writes one).
HRESULT DetectPrerequisite(const PrereqParameters* parameters, ProductContext context, BOOL* present);

// Where a folder name leads on this machine, for a process that is (`wow64`)
// or is not a 32-bit one on 64-bit Windows.
HRESULT ResolveDetectFolder(DetectFolder folder, BOOL wow64, WCHAR (&path)[MAX_PATH]);
BOOL DetectRunsUnderWow64();
