// The installed state as Wine's own installer reports it, and direct installs
// that set up a test's starting point. Only the tests against the real
// installer link this file: in the stand-in's prefix msi.dll is the stand-in.
#include "runfixture.h"

#include <msi.h>

std::wstring InstalledVersion(const TestPackage& package)
{
    wchar_t text[64] = {};
    DWORD size = 64;
    if (MsiGetProductInfoW(package.code, INSTALLPROPERTY_VERSIONSTRING, text, &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return text;
}

std::wstring InstallSource(const TestPackage& package)
{
    wchar_t text[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return MsiGetProductInfoW(package.code, INSTALLPROPERTY_INSTALLSOURCE, text, &size) == ERROR_SUCCESS ? text : L"";
}

std::wstring RegistryVersion(const TestPackage& package)
{
    // An Intel package's value lands in the 32-bit view, an x64 package's in the 64-bit one.
    const std::wstring key = std::wstring(L"Software\\") + package.name;
    const DWORD view = package.x64 ? RRF_SUBKEY_WOW6464KEY : RRF_SUBKEY_WOW6432KEY;
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Version", RRF_RT_REG_SZ | view, nullptr, text, &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return text;
}

UINT InstallDirectly(const TestPackage& package)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    return MsiInstallProductW(PackagePath(package.file).c_str(), L"");
}

void RemoveIfInstalled(const TestPackage& package)
{
    if (InstalledVersion(package).empty()) return;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiConfigureProductExW(package.code, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, L"REMOVE=ALL");
}
