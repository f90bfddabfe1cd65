// What the run knows of one entry it prepared; one record per entry, in the
// order prepared, which the clean-up walks back.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "placement.h"
#include "prereqstep.h"

struct PackageState {
    // 1 when the installer knew nothing of the product before the run (1605):
    // an advertised product (1608) is installed, but it was there before.
    DWORD wasUnknown;
    // The installer's answer when the clean-up asked it to remove the product.
    UINT removalResult;
};

struct EntryRecord {
    WCHAR productCode[PRODUCT_CODE_CHARS];
    EntryFiles files;
    // 1 when this run installed the product fresh (its call succeeded or asked
    // for a restart) and the call removed no other product, as a major upgrade
    // does: only such a product is removed again after a failure. A program:
    // when it ran as one that can be removed again.
    DWORD isInstalled;
    union {
        PackageState package;   // a package entry's
        ProgramState program;   // a program entry's (IsProgramEntry)
    };
};
