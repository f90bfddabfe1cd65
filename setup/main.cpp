// The executable's own entry: it only hands the module handle to SetupMain,
// after closing the DLL search to everything but the system folder, so that no
// DLL loaded by name later (msi.dll above all) can come from the program's own
// folder, typically a downloads folder anyone may have written to.
#include <windows.h>
#include "installer.h"
#include "options.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    RestrictDllSearchToSystemFolder();
    return SetupMain(instance);
}
