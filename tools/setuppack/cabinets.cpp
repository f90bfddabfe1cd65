// The cabinets an installer package reads from beside itself: products of
// many gigabytes keep their files in cabinets next to a small package, named
// in its Media table. The bundle carries each under its own name, and the
// setup program writes it beside the package wherever the package goes.
#include "setuppack.h"
#include "manifest.h"
#include "result.h"

#include <string.h>

namespace {

// A Media row's Cabinet: "#name" is a stream of the package itself.
constexpr WCHAR EMBEDDED_MARK = L'#';
constexpr DWORD CABINET_FIELD_CHARS = 256;
constexpr BYTE CABINET_SIGNATURE[4] = {'M', 'S', 'C', 'F'};
constexpr WCHAR TRANSFORM_EXTENSION[] = L".mst";

BOOL SameName(LPCWSTR a, LPCWSTR b)
{
    return CSTR_EQUAL == ::CompareStringOrdinal(a, -1, b, -1, TRUE);
}

// The cabinet's path in the folder of the package that names it.
HRESULT PlaceBesidePackage(const PackageSpec* package, LPCWSTR name, CabinetSpec* cabinet)
{
    HRESULT hr = S_OK;
    LPWSTR namePart = nullptr;

    if (FAILED(HostFullPath(package->path, cabinet->path, &namePart)) || !namePart ||
        FAILED(BoundedCopy(namePart, MAX_PATH - (namePart - cabinet->path), name))) {
        ReportError(L"the path of cabinet %ls beside %ls is too long", name, package->path);
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }
    cabinet->fileName = namePart;

Exit:
    return hr;
}

// A name the run can write beside the package: a plain file name that fits
// the cabinet list, is not the package's own, and is no transform's
// (transforms are written beside their package as MST<nn>.mst).
HRESULT CheckCabinetName(const PackageSpec* package, LPCWSTR name)
{
    HRESULT hr = S_OK;

    if (!ManifestIsPlainName(name) || lstrlenW(name) > static_cast<int>(MAX_FILE_NAME_CHARS)) {
        ReportError(L"%ls names a cabinet \"%ls\" that the bundle cannot carry: a plain file name of 1 to %u "
                    L"characters (%ls)", package->path, name, MAX_FILE_NAME_CHARS, PLAIN_NAME_RULE);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (SameName(name, package->fileName) || EndsWithIgnoringCase(name, TRANSFORM_EXTENSION)) {
        ReportError(L"%ls names a cabinet %ls that would take the place of the package or a transform beside it",
                    package->path, name);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

// /extract writes every package with its cabinets into one folder: no two
// files of it may have the same name.
HRESULT CheckNoClash(const PackOptions* options, const CabinetSpec* cabinet)
{
    HRESULT hr = S_OK;
    LPCWSTR other = nullptr;

    for (DWORD k = 0; k < options->packageCount && !other; ++k) {
        if (SameName(cabinet->fileName, options->packages[k].fileName)) {
            other = options->packages[k].path;
        }
    }
    for (DWORD c = 0; c < options->cabinetCount && !other; ++c) {
        if (SameName(cabinet->fileName, options->cabinets[c].fileName)) {
            other = options->cabinets[c].path;
        }
    }
    if (other) {
        ReportError(L"cabinet %ls of %ls has the name of %ls: /extract writes both into one folder", cabinet->fileName,
                    options->packages[cabinet->package].path, other);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// Opens the cabinet, which must be one, and counts it towards the payload.
HRESULT OpenCabinet(const PackageSpec* package, const CabinetSpec* cabinet, ULONGLONG* room, InputFile* input)
{
    HRESULT hr = S_OK;
    BYTE signature[sizeof(CABINET_SIGNATURE)] = {};
    WCHAR what[MAX_PATH] = {};

    BoundedFormat(what, MAX_PATH, L"cabinet %ls of %ls", cabinet->fileName, package->path);
    EXIT_IF_FAILED(OpenInputFile(what, cabinet->path, room, input));
    if (!ReadAt(input, 0, signature, sizeof(signature)) || 0 != memcmp(signature, CABINET_SIGNATURE, sizeof(signature))) {
        ReportError(L"%ls is no cabinet: %ls", what, cabinet->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

// Adds the package's cabinets after those of the entries before it.
HRESULT AddPackageCabinets(PackOptions* options, DWORD index, PackInputs* inputs, ULONGLONG* room)
{
    HRESULT hr = S_OK;
    const PackageSpec* package = &options->packages[index];
    const DWORD first = options->cabinetCount;
    HostDatabase* database = nullptr;
    HostMediaRows* rows = nullptr;
    WCHAR name[CABINET_FIELD_CHARS] = {};

    EXIT_IF_FAILED(OpenPackage(package->path, &database));
    hr = HostOpenMediaRows(database, &rows);
    while (S_OK == hr && S_OK == (hr = HostNextCabinet(rows, name, CABINET_FIELD_CHARS))) {
        BOOL known = FALSE;
        if (L'\0' == name[0] || EMBEDDED_MARK == name[0]) {
            continue;
        }
        for (DWORD c = first; c < options->cabinetCount; ++c) {
            known = known || SameName(name, options->cabinets[c].fileName);
        }
        if (known) {
            continue;   // two disks of one cabinet
        }
        if (MAX_BUNDLE_CABINETS == options->cabinetCount) {
            ReportError(L"more than %u cabinets: a bundle carries at most %u", MAX_BUNDLE_CABINETS, MAX_BUNDLE_CABINETS);
            EXIT_WITH(PACK_E_USAGE);
        }
        CabinetSpec* cabinet = &options->cabinets[options->cabinetCount];
        cabinet->package = index;
        EXIT_IF_FAILED(CheckCabinetName(package, name));
        EXIT_IF_FAILED(PlaceBesidePackage(package, name, cabinet));
        EXIT_IF_FAILED(CheckNoClash(options, cabinet));
        EXIT_IF_FAILED(OpenCabinet(package, cabinet, room, &inputs->cabinets[options->cabinetCount]));
        ++options->cabinetCount;
    }
    if (FAILED(hr)) {
        ReportError(L"cannot read the Media table of %ls (error 0x%08X)", package->path, hr);
        goto Exit;
    }
    hr = S_OK;

Exit:
    HostCloseMediaRows(rows);
    HostCloseDatabase(database);
    return hr;
}

} // namespace

// Patches and programs keep no cabinets beside them. A package that does is
// marked so, for the run to know it must find them.
HRESULT FindCabinets(PackOptions* options, PackInputs* inputs, ULONGLONG* room)
{
    HRESULT hr = S_OK;

    for (DWORD k = 0; k < options->packageCount; ++k) {
        const DWORD before = options->cabinetCount;
        if (!(options->packages[k].flags & (PKG_PATCH | PKG_PROGRAM))) {
            EXIT_IF_FAILED(AddPackageCabinets(options, k, inputs, room));
        }
        if (options->cabinetCount > before) {
            options->packages[k].flags |= PKG_CABINETS;
        }
    }

Exit:
    return hr;
}
