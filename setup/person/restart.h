// Restarting the computer when the person asks for it on the window's last page.
#pragma once

#include <windows.h>

// Starts the restart through the system's shutdown call, with the shutdown
// privilege enabled and a planned application-installation reason, so that
// the system's record says why. S_OK once the restart is under way.
HRESULT RestartComputer();
