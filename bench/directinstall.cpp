// The installer called directly, as setup.exe calls it for one package: the UI
// level, optionally the same log, then the install operation. Its time is what
// setup.exe's own work is measured against.
//   benchmsi UI-LEVEL PACKAGE COMMAND-LINE [LOG-PATH]
// The exit code is the installer's result.
#include <windows.h>
#include <msi.h>
#include <stdlib.h>

namespace {

// The log mode setup.exe uses: every category up to verbose, no files-in-use.
constexpr DWORD SETUP_LOG_MODE = 0x1FDF;

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4 && argc != 5) {
        return ERROR_BAD_ARGUMENTS;
    }
    const INSTALLUILEVEL uiLevel = static_cast<INSTALLUILEVEL>(wcstoul(argv[1], nullptr, 0));
    ::MsiSetInternalUI(uiLevel, nullptr);
    if (argc == 5) {
        ::MsiEnableLogW(SETUP_LOG_MODE, argv[4], 0);
    }
    return static_cast<int>(::MsiInstallProductW(argv[2], argv[3]));
}
