// The REGISTRATION resource: what a bundle packed with /upgradecode needs for
// an Add/Remove Programs entry of its own. A bundle without it registers
// nothing and runs exactly as bundles always did.
//
// RT_RCDATA, language neutral, written by the packer, read in place by the
// setup run. Fixed layout, little-endian, every field at its natural
// alignment (the asserts below pin it):
//
//   offset  size  field
//        0     4  size          bytes of the record as written (2112); a reader
//                               needs at least its own size, and ignores what
//                               a later packer may have appended
//        4     4  flags         0; no bit is defined yet
//        8    16  upgradeCode   the same for every version of the vendor's bundle
//       24    16  bundleCode    new for every bundle the packer writes: the
//                               entry's key, ...\Uninstall\{BUNDLE CODE}
//       40     8  versionHigh, versionLow   the bundle's version (as in its
//                               version record): a.b.c.d as a<<16|b, c<<16|d
//       48   512  displayName   DisplayName (the product name), UTF-16
//      560   512  publisher     Publisher (the company), UTF-16
//     1072   520  helpLink      HelpLink, UTF-16, empty for none
//     1592   520  aboutLink     URLInfoAbout, UTF-16, empty for none
//
// Every text is NUL-terminated inside its field, and the two codes are not
// all zero; a record that breaks this is damaged (0x8007000D).
#pragma once

#include <windows.h>
#include <stddef.h>

#define REGISTRATION_RESOURCE_TEXT "REGISTRATION"
inline constexpr char REGISTRATION_RESOURCE[] = REGISTRATION_RESOURCE_TEXT;
constexpr DWORD REGISTRATION_NAME_CHARS = 256;   // a name of at most 255 characters
constexpr DWORD REGISTRATION_LINK_CHARS = 260;   // a link of at most 259 characters

struct BundleRegistration {
    DWORD size;
    DWORD flags;
    GUID upgradeCode;
    GUID bundleCode;
    DWORD versionHigh;
    DWORD versionLow;
    WCHAR displayName[REGISTRATION_NAME_CHARS];
    WCHAR publisher[REGISTRATION_NAME_CHARS];
    WCHAR helpLink[REGISTRATION_LINK_CHARS];
    WCHAR aboutLink[REGISTRATION_LINK_CHARS];
};

static_assert(sizeof(BundleRegistration) == 2112, "registration record layout");
static_assert(offsetof(BundleRegistration, upgradeCode) == 8 && offsetof(BundleRegistration, bundleCode) == 24 &&
                  offsetof(BundleRegistration, versionHigh) == 40 && offsetof(BundleRegistration, displayName) == 48 &&
                  offsetof(BundleRegistration, publisher) == 560 && offsetof(BundleRegistration, helpLink) == 1072 &&
                  offsetof(BundleRegistration, aboutLink) == 1592,
              "registration record field offsets");

// The checks made on the record before it is used: 0x8007000D when damaged.
HRESULT ValidateRegistration(const void* data, DWORD size);
