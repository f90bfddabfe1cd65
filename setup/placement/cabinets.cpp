#include "cabinets.h"
#include "cache.h"
#include "memutil.h"
#include "resrutil.h"
#include "result.h"

namespace {

HRESULT AllocateHolds(const BundleCabinets* cabinets, DWORD packageIndex, CabinetHolds* holds)
{
    HRESULT hr = S_OK;
    const DWORD count = CountCabinets(cabinets, packageIndex);

    *holds = NoCabinetHolds();
    if (0 == count) {
        goto Exit;
    }
    holds->handles = static_cast<HANDLE*>(MemutilAllocate(count * static_cast<DWORD>(sizeof(HANDLE)), FALSE));
    EXIT_IF_NULL_ALLOC(holds->handles);
    holds->count = count;
    for (DWORD k = 0; k < count; ++k) {
        holds->handles[k] = INVALID_HANDLE_VALUE;
    }

Exit:
    return hr;
}

// Each of the package's cabinets in the folder, held: written anew, or, with
// `keepIntact`, held as it is when it is there intact.
HRESULT PlaceCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex, BOOL verify,
                      BOOL keepIntact, CabinetHolds* holds)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];
    DWORD k = 0;

    EXIT_IF_FAILED(AllocateHolds(cabinets, packageIndex, holds));
    for (DWORD c = 0; c < cabinets->count; ++c) {
        const ManifestCabinetEntry& cabinet = cabinets->list[c];
        if (cabinet.packageIndex != packageIndex) {
            continue;
        }
        LPCSTR const resource = cabinet.resourceName;
        HANDLE* const held = &holds->handles[k++];
        EXIT_IF_FAILED(keepIntact ? ResrutilHoldOrRestoreFile(folder, resource, cabinet.fileName, verify, path, held)
                                  : ResrutilWriteHeldFile(folder, resource, cabinet.fileName, verify, path, held));
    }

Exit:
    if (FAILED(hr)) {
        ReleaseCabinetHolds(holds);
    }
    return hr;
}

} // namespace

DWORD CountCabinets(const BundleCabinets* cabinets, DWORD packageIndex)
{
    DWORD count = 0;
    for (DWORD c = 0; c < cabinets->count; ++c) {
        count += cabinets->list[c].packageIndex == packageIndex ? 1 : 0;
    }
    return count;
}

void ReleaseCabinetHolds(CabinetHolds* holds)
{
    for (DWORD k = 0; k < holds->count; ++k) {
        if (INVALID_HANDLE_VALUE != holds->handles[k]) {
            ::CloseHandle(holds->handles[k]);
        }
    }
    if (holds->handles) {
        MemutilRelease(holds->handles);
    }
    *holds = NoCabinetHolds();
}

HRESULT WriteCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex, BOOL verify,
                      CabinetHolds* holds)
{
    return PlaceCabinets(folder, cabinets, packageIndex, verify, FALSE, holds);
}

HRESULT HoldOrRestoreCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex,
                              BOOL verify, CabinetHolds* holds)
{
    const HRESULT hr = PlaceCabinets(folder, cabinets, packageIndex, verify, TRUE, holds);
    return FAILED(hr) ? S_FALSE : hr;
}

void DeleteCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex)
{
    WCHAR path[MAX_PATH];
    for (DWORD c = 0; c < cabinets->count; ++c) {
        const ManifestCabinetEntry& cabinet = cabinets->list[c];
        if (cabinet.packageIndex == packageIndex &&
            SUCCEEDED(DirutilPathIn(folder, cabinet.fileName, path))) {
            DeletePackageFile(folder, path);
        }
    }
}
