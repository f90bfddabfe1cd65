// Stand-ins for the actions that are not built yet, so that setup.exe links and
// every switch reaches a defined end: each reports E_NOTIMPL (exit code 16385).
#include "setuprun.h"

HRESULT RunSetup(LPCWSTR, LONG, LPCWSTR, DWORD, InstallAction)
{
    return E_NOTIMPL;
}
