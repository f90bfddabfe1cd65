#include "setuppack.h"
#include "manifest.h"
#include "result.h"
#include "rsrcsection.h"

#include <string.h>

namespace {

constexpr DWORD PROPERTY_VALUE_CHARS = MAX_PRODUCT_NAME_CHARS + 1;
// The summary's Template: the platform, a ";", then the package's languages.
constexpr DWORD TEMPLATE_CHARS = 1024;
constexpr LPCWSTR PLATFORMS_64BIT[] = {L"x64", L"Arm64", L"Intel64", L"AMD64"};
// The version record is read from the program's resource section, which is
// read whole up to this size; a program whose image is larger says no version.
constexpr DWORD MAX_VERSION_IMAGE_BYTES = 256 * 1024 * 1024;
constexpr WORD RESOURCE_TYPE_VERSION = 16;
constexpr WORD VERSION_RECORD_ID = 1;
// A version record starts with three WORDs and the key "VS_VERSION_INFO" with
// its terminator, padded to a DWORD; the fixed part follows.
constexpr DWORD FIXED_VERSION_OFFSET = 40;

// The installer tells its files apart by the class of their root storage.
enum class StorageKind { None, Database, Patch, Transform };
constexpr GUID DATABASE_CLASS = {0x000C1084, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID PATCH_CLASS = {0x000C1086, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID TRANSFORM_CLASS = {0x000C1082, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr BYTE COMPOUND_FILE_SIGNATURE[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// A compound file's header gives its sector size and the first sector of its
// directory, whose first entry is the root storage; its class is at 0x50.
StorageKind StorageKindOf(const InputFile* file)
{
    BYTE signature[8] = {};
    WORD sectorShift = 0;
    DWORD directorySector = 0;
    GUID rootClass = {};

    if (!ReadAt(file, 0, signature, sizeof(signature)) ||
        0 != memcmp(signature, COMPOUND_FILE_SIGNATURE, sizeof(signature)) ||
        !ReadAt(file, 0x1E, &sectorShift, sizeof(sectorShift)) || sectorShift < 9 || sectorShift > 16 ||
        !ReadAt(file, 0x30, &directorySector, sizeof(directorySector)) ||
        !ReadAt(file, ((static_cast<LONGLONG>(directorySector) + 1) << sectorShift) + 0x50, &rootClass,
                sizeof(rootClass))) {
        return StorageKind::None;
    }
    if (IsEqualGUID(rootClass, DATABASE_CLASS)) return StorageKind::Database;
    if (IsEqualGUID(rootClass, PATCH_CLASS)) return StorageKind::Patch;
    if (IsEqualGUID(rootClass, TRANSFORM_CLASS)) return StorageKind::Transform;
    return StorageKind::None;
}

// Reads one row of the Property table. S_FALSE when the package has no such
// property.
HRESULT ReadProperty(HostDatabase* database, LPCWSTR name, WCHAR (&value)[PROPERTY_VALUE_CHARS])
{
    return HostReadProperty(database, name, value, PROPERTY_VALUE_CHARS);
}

// A property the package must carry unless the command line gives its value
// (`given`): reported on standard error as missing or unreadable, naming the
// switch to use. S_FALSE when the package has none and the command line gave it.
HRESULT ReadRequiredProperty(HostDatabase* database, LPCWSTR name, LPCWSTR overrideSwitch, BOOL given,
                             LPCWSTR packagePath, WCHAR (&value)[PROPERTY_VALUE_CHARS])
{
    HRESULT hr = ReadProperty(database, name, value);
    if (FAILED(hr)) {
        ReportError(L"cannot read the %ls of %ls (error 0x%08X)", name, packagePath, hr);
    } else if (S_FALSE == hr && !given) {
        ReportError(L"%ls has no %ls property: give %ls", packagePath, name, overrideSwitch);
        hr = PACK_E_USAGE;
        TraceFailure(__FILE__, __LINE__, hr);
    }
    return hr;
}

// /code and /version stand in for what a file does not say; one that says
// otherwise than the package itself would give the bundle a wrong identity.
void ReportDisagreement(LPCWSTR overrideSwitch, LPCWSTR name, LPCWSTR packagePath, LPCWSTR value)
{
    ReportError(L"%ls disagrees with the %ls of %ls (%ls): it is only for a file that carries none, such as a patch",
                overrideSwitch, name, packagePath, value);
}

HRESULT ReadProductCode(HostDatabase* database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR value[PROPERTY_VALUE_CHARS] = {};
    GUID code = {};

    EXIT_IF_FAILED(ReadRequiredProperty(database, L"ProductCode", L"/code", package->hasProductCode, package->path,
                                        value));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    if (FAILED(ParseGuidText(value, &code))) {
        ReportError(L"%ls has a malformed ProductCode: %ls", package->path, value);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (package->hasProductCode && !IsEqualGUID(code, package->productCode)) {
        ReportDisagreement(L"/code", L"ProductCode", package->path, value);
        EXIT_WITH(PACK_E_USAGE);
    }
    package->productCode = code;

Exit:
    return hr;
}

HRESULT ReadProductVersion(HostDatabase* database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR value[PROPERTY_VALUE_CHARS] = {};
    DWORD high = 0;
    DWORD low = 0;

    EXIT_IF_FAILED(ReadRequiredProperty(database, L"ProductVersion", L"/version", package->hasVersion,
                                        package->path, value));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    if (FAILED(ParseVersionText(value, &high, &low))) {
        ReportError(L"%ls has a ProductVersion outside a.b.c.d (each 0 to 65535): %ls", package->path, value);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (package->hasVersion && (high != package->versionHigh || low != package->versionLow)) {
        ReportDisagreement(L"/version", L"ProductVersion", package->path, value);
        EXIT_WITH(PACK_E_USAGE);
    }
    package->versionHigh = high;
    package->versionLow = low;

Exit:
    return hr;
}

// Packages of one upgrade code are versions of one product. A value that is
// no GUID relates the package to nothing: the installer finds related
// products by GUID.
HRESULT ReadUpgradeCode(HostDatabase* database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR value[PROPERTY_VALUE_CHARS] = {};

    hr = ReadProperty(database, L"UpgradeCode", value);
    if (FAILED(hr)) {
        ReportError(L"cannot read the UpgradeCode of %ls (error 0x%08X)", package->path, hr);
        goto Exit;
    }
    package->hasUpgradeCode = S_OK == hr && SUCCEEDED(ParseGuidText(value, &package->upgradeCode));
    hr = S_OK;

Exit:
    return hr;
}

// The bundle is named after the first installer database where the command
// line leaves its names and version open.
HRESULT ReadIdentity(HostDatabase* database, const PackageSpec* package, BundleIdentity* identity)
{
    HRESULT hr = S_OK;

    if (L'\0' == identity->productName[0]) {
        EXIT_IF_FAILED(ReadRequiredProperty(database, L"ProductName", L"/name", FALSE, package->path,
                                            identity->productName));
    }
    if (L'\0' == identity->company[0]) {
        EXIT_IF_FAILED(ReadRequiredProperty(database, L"Manufacturer", L"/company", FALSE, package->path,
                                            identity->company));
    }
    if (!identity->hasVersion) {
        identity->versionHigh = package->versionHigh;
        identity->versionLow = package->versionLow;
        identity->hasVersion = TRUE;
    }
    identity->complete = TRUE;

Exit:
    return hr;
}

// A patch names neither its product nor a platform: the command line does.
HRESULT CheckPatch(const PackageSpec* package, StorageKind kind)
{
    HRESULT hr = S_OK;

    if (StorageKind::Database == kind) {
        ReportError(L"%ls has the patch flag, but it is an installer database, not a patch", package->path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (StorageKind::Patch != kind) {
        ReportError(L"%ls has the patch flag, but it is no patch", package->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (!package->hasProductCode || !package->hasVersion) {
        ReportError(L"%ls is a patch: give /code and /version of the product it patches", package->path);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// The platform part of the package's Template, empty when it names none.
HRESULT ReadPlatform(HostDatabase* database, LPCWSTR packagePath, WCHAR (&platform)[TEMPLATE_CHARS])
{
    HRESULT hr = S_OK;
    const UINT error = HostReadTemplate(database, platform, TEMPLATE_CHARS);

    if (ERROR_SUCCESS != error) {
        ReportError(L"cannot read the platform of %ls from its summary (error %u)", packagePath, error);
        EXIT_WIN32_IF_ERROR(error);
    }
    for (LPWSTR p = platform; *p; ++p) {
        if (L';' == *p) {
            *p = L'\0';
            break;
        }
    }

Exit:
    return hr;
}

BOOL Is64BitPlatform(LPCWSTR platform)
{
    for (LPCWSTR name : PLATFORMS_64BIT) {
        if (CSTR_EQUAL == ::CompareStringOrdinal(platform, -1, name, -1, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

// One x86only and the other x64only: no run installs both.
BOOL ForOtherKindsOfWindows(const PackageSpec& a, const PackageSpec& b)
{
    return ((a.flags & PKG_32BIT_WINDOWS_ONLY) && (b.flags & PKG_64BIT_WINDOWS_ONLY)) ||
           ((a.flags & PKG_64BIT_WINDOWS_ONLY) && (b.flags & PKG_32BIT_WINDOWS_ONLY));
}

// A product carried twice; or two versions of one product that one run
// installs in turn, where the later one's upgrade rules may remove the
// earlier during the same run.
HRESULT CheckPackagePair(const PackageSpec& earlier, const PackageSpec& package)
{
    HRESULT hr = S_OK;

    if (!(earlier.flags & PKG_PATCH) && !(package.flags & PKG_PATCH) &&
        IsEqualGUID(earlier.productCode, package.productCode)) {
        ReportError(L"%ls and %ls have the same product code: a bundle carries each product once", earlier.path,
                    package.path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (earlier.hasUpgradeCode && package.hasUpgradeCode && IsEqualGUID(earlier.upgradeCode, package.upgradeCode) &&
        !ForOtherKindsOfWindows(earlier, package)) {
        ReportError(L"%ls and %ls have the same upgrade code: two versions of one product, the later of which may "
                    L"remove the earlier in the same run (unless one is x86only and the other x64only)",
                    earlier.path, package.path);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    return hr;
}

// A package built for a 64-bit platform cannot be installed on a 32-bit
// Windows, so the bundle skips it there by itself.
HRESULT MarkArchitecture(HostDatabase* database, PackageSpec* package)
{
    HRESULT hr = S_OK;
    WCHAR platform[TEMPLATE_CHARS] = {};

    EXIT_IF_FAILED(ReadPlatform(database, package->path, platform));
    if (!Is64BitPlatform(platform)) {
        goto Exit;
    }
    if (package->flags & PKG_32BIT_WINDOWS_ONLY) {
        ReportError(L"%ls is built for %ls, a 64-bit platform: it cannot be x86only", package->path, platform);
        EXIT_WITH(PACK_E_USAGE);
    }
    package->flags |= PKG_64BIT_WINDOWS_ONLY;
    ReportNote(L"%ls is built for %ls: x64only, installed on 64-bit Windows only", package->fileName, platform);

Exit:
    return hr;
}

// The PE file header: false for a file that is no Windows image.
BOOL ReadFileHeader(const InputFile* image, IMAGE_FILE_HEADER* header)
{
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;

    return ReadAt(image, 0, &dos, sizeof(dos)) && IMAGE_DOS_SIGNATURE == dos.e_magic && dos.e_lfanew >= 0 &&
           ReadAt(image, dos.e_lfanew, &signature, sizeof(signature)) && IMAGE_NT_SIGNATURE == signature &&
           ReadAt(image, dos.e_lfanew + sizeof(signature), header, sizeof(*header));
}

// A prerequisite program may also be built for arm64, which no stub is.
LPCWSTR ProgramMachineName(WORD machine)
{
    return IMAGE_FILE_MACHINE_ARM64 == machine ? L"arm64" : MachineName(machine);
}

// A program for a 64-bit processor never starts on 32-bit Windows, so the
// bundle skips it there by itself. (One for arm64 starts on ARM64 Windows only:
// the bundle has no flag for that, and says so.)
HRESULT MarkProgramArchitecture(PackageSpec* program, WORD machine)
{
    HRESULT hr = S_OK;

    if (IMAGE_FILE_MACHINE_I386 == machine) {
        goto Exit;
    }
    if (program->flags & PKG_32BIT_WINDOWS_ONLY) {
        ReportError(L"%ls is built for %ls, a 64-bit processor: it cannot be x86only", program->path,
                    ProgramMachineName(machine));
        EXIT_WITH(PACK_E_USAGE);
    }
    program->flags |= PKG_64BIT_WINDOWS_ONLY;
    ReportNote(L"%ls is built for %ls: x64only, run on 64-bit Windows only%ls", program->fileName,
               ProgramMachineName(machine), IMAGE_FILE_MACHINE_ARM64 == machine ? L" (and it starts on ARM64 Windows alone)" : L"");

Exit:
    return hr;
}

// The file version of the program's version record, for the run's log; none is
// no failure. Read from the image's resource section by the packer itself,
// the same on every host.
void ReadProgramVersion(PackageSpec* program, const InputFile* file)
{
    IMAGE_DOS_HEADER dos = {};
    IMAGE_FILE_HEADER header = {};
    IMAGE_SECTION_HEADER section = {};
    WORD magic = 0;
    DWORD resourceAddress = 0;
    ULONGLONG imageEnd = 0;
    std::vector<uint8_t> image;
    std::vector<Resource> resources;
    const char* reason = nullptr;
    VS_FIXEDFILEINFO fixed = {};

    if (!ReadFileHeader(file, &header) || !ReadAt(file, 0, &dos, sizeof(dos))) {
        return;
    }
    const LONGLONG optional = dos.e_lfanew + 4 + sizeof(header);
    const LONGLONG sections = optional + header.SizeOfOptionalHeader;
    if (!ReadAt(file, optional, &magic, sizeof(magic))) {
        return;
    }
    const LONGLONG directories = optional + (IMAGE_NT_OPTIONAL_HDR64_MAGIC == magic ? 112 : 96);
    if (header.SizeOfOptionalHeader < directories - optional + 3 * 8 ||
        !ReadAt(file, directories + 2 * 8, &resourceAddress, sizeof(resourceAddress)) || 0 == resourceAddress) {
        return;
    }
    for (WORD k = 0; k < header.NumberOfSections; ++k) {
        if (!ReadAt(file, sections + k * sizeof(section), &section, sizeof(section))) {
            return;
        }
        if (resourceAddress >= section.VirtualAddress && resourceAddress - section.VirtualAddress < section.SizeOfRawData) {
            imageEnd = static_cast<ULONGLONG>(section.PointerToRawData) + section.SizeOfRawData;
        }
    }
    if (0 == imageEnd || imageEnd > MAX_VERSION_IMAGE_BYTES || imageEnd > file->size) {
        return;
    }
    image.resize(static_cast<size_t>(imageEnd));
    if (!ReadAt(file, 0, image.data(), static_cast<DWORD>(imageEnd)) ||
        !ReadImageResources(image, &resources, &reason)) {
        return;
    }
    for (const Resource& resource : resources) {
        if (resource.type.name.empty() && RESOURCE_TYPE_VERSION == resource.type.id && resource.name.name.empty() &&
            VERSION_RECORD_ID == resource.name.id && resource.data.size() >= FIXED_VERSION_OFFSET + sizeof(fixed)) {
            memcpy(&fixed, resource.data.data() + FIXED_VERSION_OFFSET, sizeof(fixed));
            break;
        }
    }
    if (VS_FFI_SIGNATURE == fixed.dwSignature) {
        program->versionHigh = fixed.dwFileVersionMS;
        program->versionLow = fixed.dwFileVersionLS;
    }
}

} // namespace

HRESULT OpenPackage(LPCWSTR path, HostDatabase** database)
{
    HRESULT hr = S_OK;
    const UINT error = HostOpenDatabase(path, database);

    if (ERROR_SUCCESS != error) {
        ReportError(L"cannot open %ls as an installer database (error %u)", path, error);
        EXIT_WIN32_IF_ERROR(error);
    }

Exit:
    return hr;
}

HRESULT OpenFile(LPCWSTR path, InputFile* input)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(HostOpenRead(path, &input->file, &input->size));
    if (0 == input->size) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    if (FAILED(hr)) {
        CloseInputFile(input);
    }
    return hr;
}

HRESULT OpenInputFile(LPCWSTR what, LPCWSTR path, ULONGLONG* room, InputFile* input)
{
    HRESULT hr = OpenFile(path, input);

    if (SUCCEEDED(hr) && input->size > *room) {
        CloseInputFile(input);
        hr = RESULT_INVALID_DATA;
    }
    if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
        ReportError(L"%ls not found: %ls", what, path);
    } else if (RESULT_INVALID_DATA == hr) {
        ReportError(L"%ls %ls is empty or too large to carry (packages, programs, cabinets, transforms and the icon "
                    L"take at most %u MiB together)", what, path,
                    static_cast<DWORD>(MAX_PAYLOAD_BYTES / (1024 * 1024)));
    } else if (FAILED(hr)) {
        ReportError(L"cannot read %ls %ls (error 0x%08X)", what, path, hr);
    } else {
        *room -= input->size;
    }
    return hr;
}

void CloseInputFile(InputFile* input)
{
    HostClose(&input->file);
    *input = InputFile{};
}

BOOL ReadAt(const InputFile* file, LONGLONG offset, void* out, DWORD size)
{
    return offset >= 0 && static_cast<ULONGLONG>(offset) <= file->size && size <= file->size - offset &&
           SUCCEEDED(HostReadAt(&file->file, static_cast<ULONGLONG>(offset), out, size, E_FAIL));
}

WORD ProgramMachine(const InputFile* program)
{
    IMAGE_FILE_HEADER header = {};
    return ReadFileHeader(program, &header) ? header.Machine : 0;
}

LPCWSTR MachineName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"i686";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"x86_64";
    default:
        return nullptr;
    }
}

HRESULT ReadPackage(PackageSpec* package, const InputFile* file, BundleIdentity* identity)
{
    HRESULT hr = S_OK;
    HostDatabase* database = nullptr;
    const StorageKind kind = StorageKindOf(file);

    if (package->flags & PKG_PATCH) {
        EXIT_IF_FAILED(CheckPatch(package, kind));
        goto Exit;
    }
    if (StorageKind::Patch == kind) {
        ReportError(L"%ls is a patch: give it the patch flag, and /code and /version of the product it patches",
                    package->path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (StorageKind::Database != kind) {
        ReportError(L"%ls is neither an installer database nor a patch", package->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(OpenPackage(package->path, &database));
    EXIT_IF_FAILED(ReadProductCode(database, package));
    EXIT_IF_FAILED(ReadProductVersion(database, package));
    EXIT_IF_FAILED(ReadUpgradeCode(database, package));
    EXIT_IF_FAILED(MarkArchitecture(database, package));
    if (!identity->complete) {
        EXIT_IF_FAILED(ReadIdentity(database, package, identity));
    }

Exit:
    HostCloseDatabase(database);
    return hr;
}

HRESULT ReadProgram(PackageSpec* program, const InputFile* file)
{
    HRESULT hr = S_OK;
    IMAGE_FILE_HEADER header = {};

    if (!ReadFileHeader(file, &header)) {
        ReportError(L"%ls is no Windows program (.exe)", program->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if ((header.Characteristics & IMAGE_FILE_DLL) || !(header.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)) {
        ReportError(L"%ls is a DLL or an image that does not run, not a program", program->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (nullptr == ProgramMachineName(header.Machine)) {
        ReportError(L"%ls is a program for another processor (machine 0x%04X): i386, amd64 or arm64 only",
                    program->path, header.Machine);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(MarkProgramArchitecture(program, header.Machine));
    ReadProgramVersion(program, file);

Exit:
    return hr;
}

HRESULT CheckTransform(const TransformSpec* transform, const InputFile* file)
{
    HRESULT hr = S_OK;

    if (StorageKind::Transform != StorageKindOf(file)) {
        ReportError(L"%ls is no transform: not an installer transform storage", transform->path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

HRESULT CheckBundle(const PackOptions* options)
{
    HRESULT hr = S_OK;
    const BundleIdentity& identity = options->identity;

    if (!identity.complete && (!identity.productName[0] || !identity.company[0] || !identity.hasVersion)) {
        ReportError(L"no installer database among the packages names the bundle: give /name, /company and "
                    L"/bundleversion");
        EXIT_WITH(PACK_E_USAGE);
    }
    for (DWORD k = 0; k < options->packageCount; ++k) {
        const PackageSpec& package = options->packages[k];
        if (IMAGE_FILE_MACHINE_AMD64 == options->stubMachine && (package.flags & PKG_32BIT_WINDOWS_ONLY)) {
            ReportError(L"%ls is x86only, but the stub is the x86_64 program, which never runs on a 32-bit "
                        L"Windows: use the i686 stub", package.path);
            EXIT_WITH(PACK_E_USAGE);
        }
        // Programs have no product code.
        for (DWORD j = 0; j < k && !(package.flags & PKG_PROGRAM); ++j) {
            if (!(options->packages[j].flags & PKG_PROGRAM)) {
                EXIT_IF_FAILED(CheckPackagePair(options->packages[j], package));
            }
        }
    }

Exit:
    return hr;
}
