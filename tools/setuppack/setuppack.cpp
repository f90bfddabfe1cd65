// setuppack: writes a bundle from a stub and a vendor's packages and transforms.
// Exit code 0 on success (one line on standard output says what was written),
// 2 for a bad command line, 1 for any other failure; every failure is one line
// on standard error and leaves no bundle behind.
#include "setuppack.h"
#include "memutil.h"
#include "result.h"

#include <stdarg.h>

namespace {

BOOL errorReported = FALSE;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr WCHAR USAGE[] =
    L"usage: setuppack /out BUNDLE.exe [/stub STUB.exe] [/name NAME] [/company NAME]\n"
    L"                 [/bundleversion A.B.C.D] [/copyright TEXT] [/icon FILE.ico]\n"
    L"                 [/upgradecode {GUID} [/bundlecode {GUID}] [/helplink URL] [/aboutlink URL]]\n"
    L"                 [/window [/license FILE.rtf|FILE.txt]]\n"
    L"                 /package FILE [/flags FLAGS] [/code {GUID}] [/version A.B.C.D] ...\n"
    L"                 /exe PROGRAM.exe [/flags FLAGS] /detect RULE [/detect RULE ...]\n"
    L"                      [/args TEXT] [/uiargs TEXT] [/uninstallargs TEXT] [/repairargs TEXT]\n"
    L"                      [/exitcode N=success|restart|failure ...] ...\n"
    L"                 [/transform FILE.mst /language LANGID] ...\n"
    L"Packages and prerequisite programs (/exe) run in command-line order. The cabinets\n"
    L"a package's Media table names (not embedded) are carried from its folder.\n"
    L"FLAGS, once an entry: a number, or names joined by +: permachine cache keepui\n"
    L"       ignorefailure allowupgrade transform patch patchtarget x64only x86only\n"
    L"       hidden (kept out of Add/Remove Programs; needs /upgradecode)\n"
    L"       (a program takes permachine cache ignorefailure x64only x86only)\n"
    L"RULE (a program is there when all its rules hold): the grammar is in\n"
    L"  docs/vendors.md, \"Detection rules\".\n"
    L"/window gives the bundle its own window (welcome, progress, finish) instead of\n"
    L"each package's interface; /license adds a licence to accept (at most 1 MiB).\n"
    L"Two packages of one upgrade code must be one x86only, the other x64only.\n"
    L"/upgradecode (the same for every version of your bundle) gives the bundle an\n"
    L"Add/Remove Programs entry of its own, under a bundle code made from the upgrade\n"
    L"code, the bundle's version and its payloads (the same inputs, the same code),\n"
    L"or the one /bundlecode gives.\n"
    L"The stub is the i686 setup.exe %ls\n"
    L"unless /stub names another. A stub's signature is dropped: sign the bundle.\n"
    L"Every switch may also be written -name or --name (--out, --package, ...).\n"
    L"Exit code 0: written; 2: bad command line; 1: any other failure (one line on\n"
    L"standard error, no bundle written).";

// The shipped program is the i686 build, and every packer puts it into a
// bundle unless /stub names another: setup.exe beside the packer when it is
// the i686 one (a vendor's kit, the i686 build), else the i686 build's beside
// this build's (build\x86_64\bin -> build\i686\bin; build/native ->
// build/i686/bin): HOST_DEFAULT_STUB_PLACES.

void WriteReport(HostStream stream, LPCWSTR format, va_list args)
{
    WCHAR line[2048] = L"setuppack: ";
    const size_t prefix = lstrlenW(line);
    BoundedFormatArgs(line + prefix, ARRAYSIZE(line) - prefix, format, args);
    HostWriteLine(stream, line);
}

// The stub's machine, read from its file header. The file is let go at once:
// the stub may be the output itself.
HRESULT ReadStubMachine(LPCWSTR path, WORD* machine)
{
    HRESULT hr = S_OK;
    InputFile stub = {};

    EXIT_IF_FAILED(OpenFile(path, &stub));
    *machine = ProgramMachine(&stub);

Exit:
    CloseInputFile(&stub);
    return hr;
}

HRESULT FindDefaultStub(WideString* path, WORD* machine)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH] = {};
    WCHAR candidate[MAX_PATH] = {};
    LPWSTR namePart = nullptr;

    EXIT_IF_FAILED(HostProgramFolder(folder));
    for (LPCWSTR place : HOST_DEFAULT_STUB_PLACES) {
        EXIT_IF_FAILED(BoundedFormat(candidate, MAX_PATH, L"%ls%ls", folder, place));
        if (SUCCEEDED(ReadStubMachine(candidate, machine)) && IMAGE_FILE_MACHINE_I386 == *machine) {
            EXIT_IF_FAILED(StrutilAllocate(path, MAX_PATH));
            WCHAR full[MAX_PATH] = {};
            EXIT_IF_FAILED(HostFullPath(candidate, full, &namePart));
            EXIT_IF_FAILED(BoundedCopy(*path, MAX_PATH, full));
            goto Exit;
        }
    }
    ReportError(L"no i686 setup.exe %ls: build the i686 program or give /stub", HOST_DEFAULT_STUB_TEXT);
    EXIT_WITH(RESULT_FILE_NOT_FOUND);

Exit:
    return hr;
}

HRESULT ChooseStub(PackOptions* options, WideString* defaultStub)
{
    HRESULT hr = S_OK;

    if (!options->stubPath) {
        EXIT_IF_FAILED(FindDefaultStub(defaultStub, &options->stubMachine));
        options->stubPath = *defaultStub;
        goto Exit;
    }
    hr = ReadStubMachine(options->stubPath, &options->stubMachine);
    if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
        ReportError(L"stub not found: %ls", options->stubPath);
    } else if (RESULT_INVALID_DATA == hr || (SUCCEEDED(hr) && !MachineName(options->stubMachine))) {
        ReportError(L"the stub %ls is no i686 or x86_64 program", options->stubPath);
        EXIT_WITH(RESULT_INVALID_DATA);
    } else if (FAILED(hr)) {
        ReportError(L"cannot read the stub %ls (error 0x%08X)", options->stubPath, hr);
    }

Exit:
    return hr;
}

// The bundle goes into a folder that exists, under a name that is no folder.
HRESULT CheckOutputPath(LPCWSTR outPath)
{
    HRESULT hr = S_OK;
    WCHAR full[MAX_PATH] = {};
    LPWSTR namePart = nullptr;

    if (FAILED(HostFullPath(outPath, full, &namePart))) {
        ReportError(L"bad /out path: %ls", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (!namePart || HostPathKind::Folder == HostKindOf(full)) {
        ReportError(L"/out names a folder: %ls (give the bundle's file name)", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    *namePart = L'\0';
    if (HostPathKind::Folder != HostKindOf(full)) {
        ReportError(L"the folder of /out does not exist: %ls", full);
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }

Exit:
    return hr;
}

// The index of the input that `file` is, or `count` for none.
DWORD FindInput(const HostFile* file, const InputFile* inputs, DWORD count)
{
    DWORD k = 0;
    while (k < count && !HostIsSameFile(file, &inputs[k].file)) {
        ++k;
    }
    return k;
}

// Writing the bundle over one of its own inputs would destroy that input.
// (Over the stub it is allowed: the stub is let go before the bundle replaces it.)
HRESULT CheckOutputIsNoInput(const PackOptions* options, const PackInputs* inputs)
{
    HRESULT hr = S_OK;
    LPCWSTR input = nullptr;
    HostFile out = {};
    DWORD k = 0;

    if (S_OK != HostOpenIdentity(options->outPath, &out)) {
        goto Exit;   // nothing there yet
    }
    if ((k = FindInput(&out, inputs->packages, options->packageCount)) < options->packageCount) {
        input = options->packages[k].path;
    } else if ((k = FindInput(&out, inputs->transforms, options->transformCount)) < options->transformCount) {
        input = options->transforms[k].path;
    } else if ((k = FindInput(&out, inputs->cabinets, options->cabinetCount)) < options->cabinetCount) {
        input = options->cabinets[k].path;
    } else if (options->iconPath && FindInput(&out, &inputs->icon, 1) < 1) {
        input = options->iconPath;
    } else if (options->licensePath && FindInput(&out, &inputs->license, 1) < 1) {
        input = options->licensePath;
    }
    if (input) {
        ReportError(L"/out names an input, %ls: give the bundle a name of its own", input);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    HostClose(&out);
    return hr;
}

HRESULT OpenInputs(const PackOptions* options, PackInputs* inputs, ULONGLONG* room)
{
    HRESULT hr = S_OK;

    for (DWORD k = 0; k < options->packageCount; ++k) {
        EXIT_IF_FAILED(OpenInputFile(IsProgramEntry(&options->packages[k]) ? L"program" : L"package",
                                     options->packages[k].path, room, &inputs->packages[k]));
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        EXIT_IF_FAILED(OpenInputFile(L"transform", options->transforms[j].path, room, &inputs->transforms[j]));
    }
    if (options->iconPath) {
        EXIT_IF_FAILED(OpenInputFile(L"icon", options->iconPath, room, &inputs->icon));
    }
    if (options->licensePath) {
        EXIT_IF_FAILED(OpenInputFile(L"licence", options->licensePath, room, &inputs->license));
    }

Exit:
    return hr;
}

HRESULT CheckInputs(PackOptions* options, const PackInputs* inputs)
{
    HRESULT hr = S_OK;

    for (DWORD k = 0; k < options->packageCount; ++k) {
        if (IsProgramEntry(&options->packages[k])) {
            EXIT_IF_FAILED(ReadProgram(&options->packages[k], &inputs->packages[k]));
        } else {
            EXIT_IF_FAILED(ReadPackage(&options->packages[k], &inputs->packages[k], &options->identity));
        }
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        EXIT_IF_FAILED(CheckTransform(&options->transforms[j], &inputs->transforms[j]));
    }
    if (options->iconPath) {
        EXIT_IF_FAILED(CheckIconFile(options->iconPath, &inputs->icon));
    }
    if (options->licensePath) {
        EXIT_IF_FAILED(CheckLicenseFile(options->licensePath, &inputs->license));
    }
    EXIT_IF_FAILED(CheckBundle(options));

Exit:
    return hr;
}

void CloseInputs(const PackOptions* options, PackInputs* inputs)
{
    for (DWORD k = 0; k < options->packageCount; ++k) {
        CloseInputFile(&inputs->packages[k]);
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        CloseInputFile(&inputs->transforms[j]);
    }
    for (DWORD c = 0; c < options->cabinetCount; ++c) {
        CloseInputFile(&inputs->cabinets[c]);
    }
    CloseInputFile(&inputs->icon);
    CloseInputFile(&inputs->license);
}

LPCWSTR PluralEnding(DWORD count)
{
    return 1 == count ? L"" : L"s";
}

void ReportWritten(const PackOptions* options, BOOL signatureDropped)
{
    HostFile out = {};
    ULONGLONG size = 0;
    DWORD programs = 0;
    if (S_OK == HostOpenIdentity(options->outPath, &out)) {
        HostFileSize(&out, &size);
        HostClose(&out);
    }
    for (DWORD k = 0; k < options->packageCount; ++k) {
        programs += IsProgramEntry(&options->packages[k]) ? 1 : 0;
    }
    const DWORD packages = options->packageCount - programs;
    WCHAR bundleCode[40] = {};
    if (options->registration.registered) {
        FormatGuid(options->registration.bundleCode, bundleCode);
    }
    ReportNote(L"wrote %ls (%I64u bytes, %ls program): %lu prerequisite%ls, %lu package%ls, %lu cabinet%ls, "
               L"%lu transform%ls%ls%ls%ls%ls",
               options->outPath, size, MachineName(options->stubMachine), programs, PluralEnding(programs),
               packages, PluralEnding(packages), options->cabinetCount, PluralEnding(options->cabinetCount),
               options->transformCount, PluralEnding(options->transformCount),
               bundleCode[0] ? L", bundle code " : L"", bundleCode,
               options->licensePath ? L", window with licence" : options->window ? L", window" : L"",
               signatureDropped ? L", the stub's signature dropped: sign the bundle" : L"");
}

HRESULT Pack(int argc, LPWSTR* argv)
{
    HRESULT hr = S_OK;
    PackOptions* options = static_cast<PackOptions*>(MemutilAllocate(sizeof(PackOptions), TRUE));
    PackInputs* inputs = static_cast<PackInputs*>(MemutilAllocate(sizeof(PackInputs), TRUE));
    WideString stubPath = nullptr;
    BOOL signatureDropped = FALSE;
    ULONGLONG room = MAX_PAYLOAD_BYTES;

    if (!options || !inputs) {
        ReportError(L"out of memory");
        EXIT_WITH(E_OUTOFMEMORY);
    }
    if (argc < 2) {
        ReportError(L"nothing to pack: give /out and /package or /exe (setuppack /? lists every option)");
        EXIT_WITH(PACK_E_USAGE);
    }
    EXIT_IF_FAILED(ParsePackCommandLine(argc, argv, options));
    if (S_FALSE == hr) {
        WCHAR usage[ARRAYSIZE(USAGE) + MAX_PATH] = {};
        BoundedFormat(usage, ARRAYSIZE(usage), USAGE, HOST_DEFAULT_STUB_TEXT);
        HostWriteLine(HostStream::Output, usage);
        hr = S_OK;
        goto Exit;
    }
    EXIT_IF_FAILED(CheckOutputPath(options->outPath));
    EXIT_IF_FAILED(ChooseStub(options, &stubPath));
    EXIT_IF_FAILED(OpenInputs(options, inputs, &room));
    EXIT_IF_FAILED(CheckInputs(options, inputs));
    EXIT_IF_FAILED(FindCabinets(options, inputs, &room));
    EXIT_IF_FAILED(CheckOutputIsNoInput(options, inputs));
    if (options->registration.registered && !options->registration.hasBundleCode) {
        EXIT_IF_FAILED(DeriveBundleCode(options, inputs, &options->registration.bundleCode));
    }
    EXIT_IF_FAILED(WriteBundle(options, inputs, &signatureDropped));
    ReportWritten(options, signatureDropped);

Exit:
    if (options && inputs) CloseInputs(options, inputs);
    if (stubPath) StrutilFree(stubPath);
    if (options) MemutilRelease(options);
    if (inputs) MemutilRelease(inputs);
    return hr;
}

} // namespace

void ReportError(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    WriteReport(HostStream::Error, format, args);
    va_end(args);
    errorReported = TRUE;
}

void ReportNote(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    WriteReport(HostStream::Output, format, args);
    va_end(args);
}

void FormatGuid(const GUID& guid, WCHAR (&text)[40])
{
    BoundedFormat(text, ARRAYSIZE(text), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

int PackerMain(int argc, LPWSTR* argv)
{
    const HRESULT hr = Pack(argc, argv);
    if (SUCCEEDED(hr)) {
        return EXIT_OK;
    }
    if (!errorReported) {
        ReportError(L"failed (error 0x%08X)", hr);
    }
    return PACK_E_USAGE == hr ? EXIT_USAGE : EXIT_FAILED;
}
