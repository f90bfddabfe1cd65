// Folders the program made for all users, known by a record only
// administrators can write: HKLM\Software\Tessaro\Setup\Folders (native
// view), one value per folder, holding the folder's final path, its file id
// and the descriptor read back when the run made it. Nothing is trusted for
// its owner or permissions alone: a standard user may make a folder of the
// same name first, and a platform that keeps no descriptors cannot tell one
// from the other. A folder is the program's own when the held folder at the
// recorded path has the recorded id and descriptor; what lies inside it was
// made by the program, since only administrators can change it.
#pragma once

#include <windows.h>
#include "dirutil.h"

// The folder recorded as `name`, held: S_FALSE, nothing held, when there is no
// record or the folder at its path is not the one recorded.
HRESULT OwnedFolderOpen(LPCWSTR name, HeldFolder* folder);
// Records a folder the run has just made (protected) and holds.
HRESULT OwnedFolderRecord(LPCWSTR name, const HeldFolder* folder);
