// Loads the installer the way a setup run does, from a folder where a test has
// planted its own msi.dll. The exit code says what happened:
//   0  loaded (and the wrappers refused to work before InstallerLoad)
//   1  InstallerLoad failed
//   2  a wrapper called through a null operation before the load
//   3  the plain load of the control case failed
// Modes (first argument):
//   entry   as setup.exe: the DLL search restricted first; then a plain
//           LoadLibraryW("msi.dll"), which the restriction covers too, and
//           InstallerLoad
//   load    InstallerLoad alone: its own load must not look beside the program
//   unsafe  a plain LoadLibraryW("msi.dll") only: the control case, showing
//           that the planted DLL is found when the program does look there
//   invoke  InvokeInstaller for C:\none.msi; the exit code is the low 16 bits
//           of its result (for a system msi.dll that is missing or broken)
#include <windows.h>
#include "installer.h"

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* mode = argc > 1 ? argv[1] : L"entry";
    if (lstrcmpW(mode, L"unsafe") == 0) {
        return LoadLibraryW(L"msi.dll") != nullptr ? 0 : 3;
    }
    if (lstrcmpW(mode, L"invoke") == 0) {
        const HRESULT hr = InvokeInstaller(L"none.msi", L"C:\\none.msi", nullptr, nullptr, InstallAction::Install,
                                           UI_LEVEL_NONE, FALSE, FALSE);
        return static_cast<int>(hr & 0xFFFF);
    }
    if (lstrcmpW(mode, L"entry") == 0) {
        RestrictDllSearchToSystemFolder();
        if (LoadLibraryW(L"msi.dll") == nullptr) {
            return 3;
        }
    }
    if (InstallerInstallPackage(L"C:\\none.msi", L"") != ERROR_DLL_NOT_FOUND) {
        return 2;
    }
    if (FAILED(InstallerLoad())) {
        return 1;
    }
    return 0;
}
