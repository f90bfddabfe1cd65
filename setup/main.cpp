// The executable's own entry, and the process start-up that calls it.
//
// The entry only hands the module handle to SetupMain, after closing the DLL
// search to everything but the system folder, so that no DLL loaded by name
// later (msi.dll above all) can come from the program's own folder, typically a
// downloads folder anyone may have written to. The start-up before it loads no
// DLL.
//
// setup.exe is linked without the C run-time's start-up code (product_link in the
// top CMakeLists.txt): that code brings sections of its own, and every section
// costs a padded tail in the file and a page once mapped. The msvcrt.dll functions the
// program uses still work, because the DLL initialises itself when it is
// loaded. Nothing here runs static constructors: the program keeps no global
// object that needs one.
#include <windows.h>
#include "installer.h"
#include "options.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    RestrictDllSearchToSystemFolder();
    return SetupMain(instance);
}

namespace {

int StartupShowCommand()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

} // namespace

// The process entry (the linker's -e). It calls the entry once and hands its
// value to the process exit unchanged; returning instead would lose the code.
// The 32-bit system enters with a stack aligned to 4 bytes only.
extern "C" __attribute__((force_align_arg_pointer)) void SetupStartup()
{
    const int exitCode = wWinMain(::GetModuleHandleW(nullptr), nullptr,
                                  CommandLineTail(::GetCommandLineW()), StartupShowCommand());
    ::ExitProcess(static_cast<UINT>(exitCode));
}
