// Where a setup run writes what the installer (or a program it starts) reads
// when it is not in the package cache: a staging folder of the run's own under
// a name nobody can guess, with a folder of its own per chain entry inside
// ("...\Setup-9f3a1c2e5b7d4a60\2\App.msi"), so that nothing but that entry's
// files ever lies beside them.
//
// An elevated run makes its staging folder protected (only SYSTEM and
// Administrators may change it, and so what is made inside) in the Windows
// folder's SystemTemp or Temp, which only administrators can rename or
// replace: nothing it hands on is read from the user's profile or temporary
// folder, which the user's unelevated programs could change. Another run
// stages in the user's temporary folder.
#pragma once

#include <windows.h>
#include "dirutil.h"

// Makes and holds the run's staging folder; `report` hears of each name passed
// over (the run's log: the log, which keeps its files beside the staging
// folder, is handed in rather than called from here).
HRESULT OpenStagingRoot(BOOL elevated, DirutilRefusalReport report, HeldFolder* root);
// The folder of chain entry `index` (0 first) inside the staging folder, made
// and held.
HRESULT OpenEntryFolder(const HeldFolder* root, DWORD index, HeldFolder* folder);
// The temporary folder of the program of chain entry `index` ("2.temp"
// beside "2"), made and held: the program's TEMP and TMP, which only
// administrators can change in an elevated run, as the staging folder.
HRESULT OpenProgramTempFolder(const HeldFolder* root, DWORD index, HeldFolder* folder);
// The folder the run's logs go into: the same place as its staging folder.
HRESULT OpenLogFolder(BOOL elevated, HeldFolder* folder);
