// The executable's own entry: it only hands the module handle to SetupMain.
#include <windows.h>
#include "options.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    return SetupMain(instance);
}
