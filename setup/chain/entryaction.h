// What the run is to do with each entry of the chain.
#pragma once

#include <windows.h>
#include "entryrecord.h"
#include "options.h"

// What every choice of the run depends on.
struct ActionScope {
    InstallAction requested;
    BOOL windows64Bit;   // packages for the other kind are skipped
    DWORD uiLevel;
};

// Decides what the run is to do with entry `index`. `record` (the next free
// one) receives the product code, and a program's parameters; it becomes the
// entry's record only if the entry is handled. A package for the other kind
// of Windows is skipped, also by /uninstall, and so is the removal of a
// product that is not installed (for an entry for all users: not for the
// machine); a minor upgrade of a package that does not allow one is refused
// (1638).
HRESULT ChooseEntryAction(const ActionScope* scope, const ManifestPackageEntry* entry, DWORD index, EntryRecord* record,
                          InstallAction* action);
