// The bundle's entry under the Uninstall key, ...\Uninstall\{BUNDLE CODE} in
// the native registry view (registration.h): its values, and the values of
// other bundles' entries that a later version reads.
#pragma once

#include <windows.h>
#include "registration.h"

inline constexpr WCHAR UNINSTALL_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// The entry is where Windows' own 64-bit tools look on a 64-bit Windows,
// whatever the bitness of the program (32-bit Windows ignores the flag).
constexpr REGSAM NATIVE_VIEW = KEY_WOW64_64KEY;
// The values a later version of the bundle reads; Windows' own beside them.
inline constexpr WCHAR UPGRADE_CODE_VALUE[] = L"BundleUpgradeCode";
inline constexpr WCHAR PRODUCT_CODES_VALUE[] = L"BundleProductCodes";
inline constexpr WCHAR VERSION_VALUE[] = L"DisplayVersion";
constexpr DWORD REGISTRY_NAME_CHARS = 256;

// HKLM for a per-machine bundle, else HKCU; and its name for the log.
HKEY UninstallKeyHive(const RegistrationRun* registration);
LPCWSTR UninstallKeyHiveName(const RegistrationRun* registration);
// A REG_SZ value: S_FALSE when it is missing or of another type.
HRESULT UninstallKeyReadText(HKEY key, LPCWSTR name, WCHAR* text, DWORD chars);
// The REG_MULTI_SZ list of product codes, terminated twice whatever the value
// held; S_FALSE (and null) when there is none.
HRESULT UninstallKeyReadProducts(HKEY key, WideString* list);
// Writes the run's own entry: its commands run `copy`, and it names the
// bundle's `products` that are installed. A key made by this call goes again
// when a value cannot be written: no half-written entry is left. One that was
// there (the same bundle run again) keeps what it had.
HRESULT UninstallKeyWrite(const RegistrationRun* registration, LPCWSTR copy, LONGLONG copyBytes, const WCHAR* products,
                          DWORD productsBytes);
// Deletes the entry of `bundleCode` in the run's hive; gone already is fine.
HRESULT UninstallKeyDelete(const RegistrationRun* registration, LPCWSTR bundleCode);
