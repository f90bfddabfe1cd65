// The cabinets a package reads from beside itself (CABINETS, manifest.h):
// written beside the package wherever it goes (its entry's staging folder, its
// folder in a cache), each held from its writing until the installer returns
// and, in an elevated run, read back like the package; deleted with it.
#pragma once

#include <windows.h>
#include "dirutil.h"
#include "manifest.h"

// The bundle's cabinets (LocateCabinets); those of one package entry are the
// ones whose packageIndex is the entry's.
struct BundleCabinets {
    const ManifestCabinetEntry* list;
    DWORD count;
};
DWORD CountCabinets(const BundleCabinets* cabinets, DWORD packageIndex);

// Holds on one package's cabinets, in the order of the list.
struct CabinetHolds {
    HANDLE* handles;   // one per cabinet of the package; null when it has none
    DWORD count;
};
inline CabinetHolds NoCabinetHolds()
{
    return {nullptr, 0};
}
// Closes every hold and frees the record.
void ReleaseCabinetHolds(CabinetHolds* holds);

// Writes the package entry's cabinets into the folder under their names, each
// held (ResrutilWriteHeldFile) and, with `verify`, read back.
HRESULT WriteCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex, BOOL verify,
                      CabinetHolds* holds);
// Holds the cabinets that are in the folder when they are intact, and writes
// back the missing ones. S_FALSE, nothing held, when one there is not intact
// or none can be written back: what is there stays as it is.
HRESULT HoldOrRestoreCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex,
                              BOOL verify, CabinetHolds* holds);
// Deletes the package entry's cabinets in the folder (DeletePackageFile).
void DeleteCabinets(const HeldFolder* folder, const BundleCabinets* cabinets, DWORD packageIndex);
