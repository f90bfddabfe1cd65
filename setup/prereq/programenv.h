// The environment a prerequisite program is started with. A runtime's setup
// unpacks into %TEMP% and loads DLLs from there and from PATH; the user's
// temporary folder and PATH entries are folders the user's unelevated
// programs can write to, so an elevated program must find neither.
#pragma once

#include <windows.h>

// The run's own environment block with TEMP and TMP naming `tempFolder` and
// PATH only the system folders (the system folder, the Windows folder, its
// Wbem), in the order CreateProcessW expects of a Unicode block; everything
// else as inherited. The run's own environment is left as it is. Freed with
// MemutilRelease.
HRESULT ProgramEnvironmentBlock(LPCWSTR tempFolder, LPWSTR* block);
