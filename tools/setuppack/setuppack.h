// The packer's command line, its inputs and the bundle it writes.
#pragma once

#include <windows.h>
#include "host.h"
#include "manifest.h"
#include "payloadutil.h"
#include "prereqargs.h"
#include "registrationrecord.h"
#include "strutil.h"
#include "../../res/resource.h"

class ResourceTable;

constexpr DWORD MAX_BUNDLE_ENTRIES = 255;
constexpr DWORD MAX_FILE_NAME_CHARS = MANIFEST_NAME_CHARS - 1;
// What ManifestIsPlainName refuses, for the packer's messages.
constexpr WCHAR PLAIN_NAME_RULE[] = L"no folder, device name, wildcard, character Windows forbids, or trailing dot or "
                                    L"space";
constexpr DWORD MAX_PRODUCT_NAME_CHARS = 255;
// The program's product name string and icon group (/icon replaces it).
constexpr UINT PRODUCT_NAME_STRING_ID = IDS_PRODUCT_NAME_ID;
constexpr WORD APP_ICON_GROUP_ID = IDI_APP_ICON;
// The language of the program's English resources, the version record's included.
constexpr WORD ENGLISH_US = 1033;
// What a bundle's packages, programs, cabinets, transforms and icon may take
// together. They lie after the image (libs/payloadutil.h), so no limit of an
// image binds them; but a signature's certificate table is placed at the end
// of the file and found by a 32-bit offset, so the bundle stays below 4 GiB:
// the stub, its resources and a certificate table fit in the last 32 MiB.
constexpr ULONGLONG MAX_PAYLOAD_BYTES = 4064ull * 1024 * 1024;
// Cabinets a bundle carries for its packages, all together.
constexpr DWORD MAX_BUNDLE_CABINETS = 1024;

// A failure that has been reported on standard error already; bad command
// lines are told apart from failures while reading or writing files.
constexpr HRESULT PACK_E_USAGE = static_cast<HRESULT>(0x80040201);

// What a prerequisite program may carry: the rules that say it is there, its
// arguments and the meanings of its exit codes (prereqargs.h).
constexpr DWORD MAX_DETECT_RULES = 16;
constexpr DWORD MAX_EXIT_CODES = 16;

struct ExitCodeSpec {
    DWORD code;
    PrereqExitKind kind;
};

struct ProgramSpec {
    LPCWSTR rules[MAX_DETECT_RULES];
    DWORD ruleCount;
    LPCWSTR args;            // null where not given
    LPCWSTR uiArgs;
    LPCWSTR uninstallArgs;
    LPCWSTR repairArgs;
    ExitCodeSpec exitCodes[MAX_EXIT_CODES];
    DWORD exitCodeCount;
};

// A chain entry: an installer package or patch (/package), or a prerequisite
// program (/exe: PKG_PROGRAM in flags, and `program`).
struct PackageSpec {
    LPCWSTR path;
    LPCWSTR fileName;   // points into path
    DWORD flags;
    GUID productCode;
    GUID upgradeCode;
    DWORD versionHigh;
    DWORD versionLow;
    BOOL hasFlags;
    BOOL hasProductCode;
    BOOL hasUpgradeCode;
    BOOL hasVersion;
    ProgramSpec program;
};

// A cabinet an installer package reads from beside itself (its Media table
// names it without "#"), carried with the package under its own name.
struct CabinetSpec {
    WCHAR path[MAX_PATH];   // in the package's folder
    LPCWSTR fileName;       // points into path
    DWORD package;          // the chain entry of the package
};

struct TransformSpec {
    LPCWSTR path;
    DWORD language;
    BOOL hasLanguage;
};

// What the bundle's version record says of it. Left open by the command line,
// the texts and the version come from the first installer database.
struct BundleIdentity {
    WCHAR productName[MAX_PRODUCT_NAME_CHARS + 1];   // also the help box caption
    WCHAR company[MAX_PRODUCT_NAME_CHARS + 1];
    DWORD versionHigh;
    DWORD versionLow;
    BOOL hasVersion;
    BOOL complete;
};

// An Add/Remove Programs entry of the bundle's own (/upgradecode): the links
// are null where not given.
struct RegistrationSpec {
    BOOL registered;
    GUID upgradeCode;
    GUID bundleCode;      // /bundlecode, or derived from the upgrade code, version and payloads
    BOOL hasBundleCode;   // /bundlecode given
    LPCWSTR helpLink;
    LPCWSTR aboutLink;
};

struct PackOptions {
    LPCWSTR outPath;
    LPCWSTR stubPath;
    LPCWSTR copyright;
    LPCWSTR iconPath;
    LPCWSTR licensePath;   // .rtf or .txt; only with `window`
    BOOL window;
    BundleIdentity identity;
    RegistrationSpec registration;
    WORD stubMachine;
    DWORD packageCount;
    DWORD transformCount;
    DWORD cabinetCount;
    PackageSpec packages[MAX_BUNDLE_ENTRIES];
    TransformSpec transforms[MAX_BUNDLE_ENTRIES];
    CabinetSpec cabinets[MAX_BUNDLE_CABINETS];
};

// One line "setuppack: ..." on standard error.
void ReportError(LPCWSTR format, ...);
// One line "setuppack: ..." on standard output: what the packer decided by itself.
void ReportNote(LPCWSTR format, ...);

// S_FALSE when the command line asks for the usage (/?, /h, /help).
HRESULT ParsePackCommandLine(int argc, LPWSTR* argv, PackOptions* options);
HRESULT ParseGuidText(LPCWSTR text, GUID* guid);
HRESULT ParseVersionText(LPCWSTR text, DWORD* high, DWORD* low);
// Whether `text` ends in `tail` (an extension), in any case.
BOOL EndsWithIgnoringCase(LPCWSTR text, LPCWSTR tail);

// An input file, open for reading and shared for reading only: nobody can
// change it while the packer reads it. Its bytes are read as they are needed,
// never all at once: together they may be larger than the packer's memory.
struct InputFile {
    HostFile file;
    ULONGLONG size;
};

// Every file the bundle is made of but the stub.
struct PackInputs {
    InputFile packages[MAX_BUNDLE_ENTRIES];
    InputFile transforms[MAX_BUNDLE_ENTRIES];
    InputFile cabinets[MAX_BUNDLE_CABINETS];
    InputFile icon;
    InputFile license;
};

// An empty file, or one larger than `*room` bytes (what is left of the
// payload's limit), is refused, and its size is taken from `*room`; `what`
// names the input in the messages.
HRESULT OpenInputFile(LPCWSTR what, LPCWSTR path, ULONGLONG* room, InputFile* input);
// The same without a message or a limit: 0x80070002 or 0x80070003 for a
// missing file, RESULT_INVALID_DATA for an empty one.
HRESULT OpenFile(LPCWSTR path, InputFile* input);
void CloseInputFile(InputFile* input);
// Copies `size` bytes at `offset` of the file; false when they are not all in it.
BOOL ReadAt(const InputFile* file, LONGLONG offset, void* out, DWORD size);
// Whether two open files are the same file, whatever the paths that named them.
// The machine of a program's file header; 0 for a file that is no program.
WORD ProgramMachine(const InputFile* program);
LPCWSTR MachineName(WORD machine);   // "i686", "x86_64", or null

// A prerequisite program must be a Windows program (not a DLL) for i386,
// amd64 or arm64; a 64-bit one is flagged x64only. Its version comes from its
// version record, where it has one.
HRESULT ReadProgram(PackageSpec* program, const InputFile* file);
BOOL IsProgramEntry(const PackageSpec* entry);
// The bundle code as text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
void FormatGuid(const GUID& guid, WCHAR (&text)[40]);
// Opens an installer database to read it; one line on standard error when it cannot.
HRESULT OpenPackage(LPCWSTR path, HostDatabase** database);
// Reads what the command line left open of a package from the file itself
// (product code and version from its Property table, x64only from its
// summary's Template), reads its upgrade code if it has one, and refuses a file that is not what its flags say, or
// that disagrees with /code or /version. The first installer database fills
// what the command line left open of the bundle's identity.
HRESULT ReadPackage(PackageSpec* package, const InputFile* file, BundleIdentity* identity);
HRESULT CheckTransform(const TransformSpec* transform, const InputFile* file);
// Refusals that concern the bundle as a whole: nothing that names it (only
// patches, and not all of /name, /company, /bundleversion), products carried
// twice, two versions of one product (the same upgrade code) for the same
// kind of Windows, and x86only packages behind a stub that never runs on
// 32-bit Windows.
HRESULT CheckBundle(const PackOptions* options);

// The version record of the bundle, and the icon group and images of an .ico file.
HRESULT BuildVersionRecord(const PackOptions* options, BYTE** record, DWORD* size);
// The bundle code of a registered bundle without /bundlecode: a name-based GUID
// (version 5, SHA-1) of the upgrade code, the bundle's version and the SHA-1
// digests of the payloads (docs/vendors.md); and the REGISTRATION record.
HRESULT DeriveBundleCode(const PackOptions* options, const PackInputs* inputs, GUID* code);
HRESULT BuildRegistration(const PackOptions* options, BundleRegistration* record);
// The stub's application manifest with the assembly name and the description
// made from the product name; one line on standard error when it cannot be read.
HRESULT BuildApplicationManifest(LPCWSTR productName, const BYTE* stubManifest, DWORD stubSize, BYTE** manifest,
                                 DWORD* size);
HRESULT CheckIconFile(LPCWSTR path, const InputFile* icon);
// A licence no larger than MAX_LICENSE_BYTES; rich text must be rich text.
HRESULT CheckLicenseFile(LPCWSTR path, const InputFile* license);
BOOL IsRichTextLicense(LPCWSTR path);
HRESULT AddIcon(ResourceTable* resources, const InputFile* icon);
// Puts a resource into the bundle's resource section (rsrcsection.h), in place
// of one of the same type, name and language.
HRESULT SetResource(ResourceTable* resources, LPCWSTR type, LPCWSTR name, WORD language, const void* data, DWORD size);

// Drops the Authenticode signature of a copy of the stub (`path`): its
// certificate table at the end of the file and the header's entry for it.
// `dropped` says whether there was one; one that does not end the file is refused.
HRESULT DropSignature(LPCWSTR path, LPCWSTR stubPath, BOOL* dropped);
// Computes the header's checksum of the finished bundle anew, when the stub had one.
HRESULT WriteChecksum(LPCWSTR path);

// The cabinets each installer package reads from beside itself, from its
// Media table, found in the package's folder and opened; one line on standard
// error for a cabinet that is missing or is none, or whose name clashes with
// another file the bundle writes beside it or into /extract's folder.
HRESULT FindCabinets(PackOptions* options, PackInputs* inputs, ULONGLONG* room);

// Cuts what follows the image of a copy of the stub (payloads of an earlier
// bundle, a symbol table): the resource writer would carry it along.
HRESULT CutToImage(LPCWSTR path, LPCWSTR stubPath);
// Places the payloads after the finished image of the bundle at `path`, in
// the order and at the places `table` gives (counted from the image's end),
// and marks the image to be run from the swap file when it lies on a network
// or a removable disk, so that its pages never have to be read from there
// again (the payloads are read through the file, where a failure is a result).
HRESULT AppendPayloads(LPCWSTR path, const PayloadTableEntry* table, const InputFile* const* files, DWORD count);

HRESULT WriteBundle(const PackOptions* options, const PackInputs* inputs, BOOL* signatureDropped);
