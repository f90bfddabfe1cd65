// The two boxes the program shows: the help box and the "Install Error" box.
#pragma once

#include <windows.h>

constexpr UINT IDS_HELP_TEXT = 2005;
constexpr UINT IDS_PRODUCT_NAME = 51001;

HRESULT ShowHelpMessage();
void ShowSystemErrorMessage(HRESULT code);
// The same, unless the run is unattended (/quiet, /passive): nobody would be
// there to click it, and the exit code carries the failure.
void ShowSystemErrorMessageUnlessUnattended(HRESULT code, DWORD uiLevel);
