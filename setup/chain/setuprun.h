// The setup run: every package of the manifest, in order, handed to the installer.
#pragma once

#include <windows.h>
#include "options.h"

// `elevatedCopyOf`: this process is the elevated copy of a run, started from
// the program file of that identity (elevation.h). It checks that it runs from
// that file, and never hands the run to another copy (if it still lacks
// elevation, it goes on with the rights it has, and the installer answers).
// `outcomeTo`, when not null, is where the copy hands its outcome back.
HRESULT RunSetup(LPCWSTR propertyText, LONG language, LPCWSTR logPath, DWORD uiLevel, InstallAction action,
                 LPCWSTR elevatedCopyOf,
                 BOOL noRestart, const RECT* windowPlace, const OutcomeAddress* outcomeTo);
