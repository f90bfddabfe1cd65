// The bundle's copy of itself, kept in Applications\Cache\{BUNDLE CODE} of
// the cache of the bundle's scope (cache.h): its entry's commands run it.
#pragma once

#include <windows.h>
#include "registration.h"

// A byte copy of the program file this process runs from, held while it is
// written and, in an elevated run, read back against the held program file.
// S_FALSE when the copy there is the running program itself. `bytes` is its size.
HRESULT BundleCopyKeep(const RegistrationRun* registration, WCHAR (&path)[MAX_PATH], LONGLONG* bytes);
// The bundle's folder in the cache with every file in it. A copy in use is
// moved out of the way, or deleted at the next restart (DeleteCopyFile).
void BundleCopyDelete(const RegistrationRun* registration, LPCWSTR bundleCode);
