// A prerequisite program's part in the chain: whether it runs (its rules), its
// run from where placement put it, and its removal again after a later entry
// failed.
#pragma once

#include <windows.h>
#include "options.h"
#include "placement.h"
#include "prereqargs.h"

struct ProgramState {
    PrereqParameters parameters;
    // A program that may be removed again stays held from its run until the
    // run ends, so that the clean-up runs the very bytes it checked.
    HANDLE held;
};

// A prerequisite program runs when its rules say it is not there; under
// /uninstall it runs with its uninstall arguments when it is there and has
// them, and a program without them is permanent: other products may use what
// it installed. /repair runs one that is there with its repair arguments, and
// leaves one without them alone.
HRESULT PrereqChooseAction(InstallAction requested, const ManifestPackageEntry* entry, PrereqParameters* parameters,
                           InstallAction* action);
// Writes and runs the program whose action is not Skip, with a temporary
// folder of its own (PlacementOpenProgramTemp). Returns S_OK, 1 for a
// tolerated failure, or the program's failure or restart result. The program
// is held from the moment it is complete until it ends; `isInstalled` tells
// whether it ran as one that can be removed again.
HRESULT PrereqRun(RunFolders* folders, EntryFiles* files, ProgramState* program, InstallAction action, DWORD uiLevel,
                  DWORD* isInstalled);
// The clean-up's removal of a program this run installed: run from the copy
// held for it, with its uninstall arguments. Whether it worked decides
// whether its cached copy goes too.
void PrereqRemoveAgain(RunFolders* folders, EntryFiles* files, ProgramState* program);
