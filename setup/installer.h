// The boundary to the Windows Installer service. msi.dll is loaded from the
// system folder only, when a setup run first needs it, and its operations are
// taken by ordinal.
#pragma once

#include <windows.h>
#include "options.h"

constexpr DWORD INSTALLER_LOG_MODE = 0x1FDF;
constexpr DWORD INSTALLER_LOG_APPEND = 1;
constexpr DWORD INSTALLER_VERSION_CHARS = 36;

HRESULT InstallerLoad();

// Thin wrappers over the installer's operations; InstallerLoad must have succeeded.
void InstallerSetUiLevel(DWORD uiLevel);
void InstallerEnableLog(DWORD mode, LPCWSTR path, DWORD attributes);
UINT InstallerQueryVersion(LPCWSTR productCode, LPWSTR buffer, DWORD* size);
UINT InstallerInstallPackage(LPCWSTR packagePath, LPCWSTR commandLine);
UINT InstallerApplyPatch(LPCWSTR patchPath, LPCWSTR commandLine);
UINT InstallerRemoveProduct(LPCWSTR productCode, LPCWSTR commandLine);

HRESULT InvokeInstaller(LPCWSTR packageFileName, LPCWSTR packagePath, LPCWSTR propertyText,
                        LPCWSTR logPath, InstallAction action, DWORD uiLevel,
                        BOOL tolerateFailure, BOOL reportMissingPatchTarget);
