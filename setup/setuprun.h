// The setup run: every package of the manifest, in order, handed to the installer.
#pragma once

#include <windows.h>
#include "options.h"

HRESULT RunSetup(LPCWSTR propertyText, LONG language, LPCWSTR logPath, DWORD uiLevel,
                 InstallAction action);
