// setuppack: writes a bundle from a stub and a vendor's packages and transforms.
// Exit code 0 on success (one line on standard output says what was written),
// 2 for a bad command line, 1 for any other failure; every failure is one line
// on standard error and leaves no bundle behind.
#include "setuppack.h"
#include "fileutil.h"
#include "memutil.h"
#include "result.h"

#include <objbase.h>
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
    L"Two packages of one upgrade code must be one x86only, the other x64only.\n"
    L"/upgradecode (the same for every version of your bundle) gives the bundle an\n"
    L"Add/Remove Programs entry of its own, under a bundle code made from the upgrade\n"
    L"code, the bundle's version and its payloads (the same inputs, the same code),\n"
    L"or the one /bundlecode gives.\n"
    L"The stub is the i686 setup.exe beside the packer (or in ..\\..\\i686\\bin)\n"
    L"unless /stub names another. A stub's signature is dropped: sign the bundle.\n"
    L"Exit code 0: written; 2: bad command line; 1: any other failure (one line on\n"
    L"standard error, no bundle written).";

// The shipped program is the i686 build, and both packers put it into a bundle
// unless /stub names another: setup.exe beside the packer when it is the i686
// one (a vendor's kit, the i686 build), else the i686 build's beside this
// build's (build\x86_64\bin -> build\i686\bin).
constexpr LPCWSTR DEFAULT_STUB_PLACES[] = {L"setup.exe", L"..\\..\\i686\\bin\\setup.exe"};

void WriteLine(HANDLE stream, LPCWSTR text)
{
    char bytes[4096];
    const int count = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
    if (count > 0) {
        bytes[count - 1] = '\n';
        DWORD written = 0;
        ::WriteFile(stream, bytes, static_cast<DWORD>(count), &written, nullptr);
    }
}

void WriteReport(DWORD stream, LPCWSTR format, va_list args)
{
    WCHAR line[2048] = L"setuppack: ";
    const size_t prefix = lstrlenW(line);
    BoundedFormatArgs(line + prefix, ARRAYSIZE(line) - prefix, format, args);
    WriteLine(::GetStdHandle(stream), line);
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
    WCHAR module[MAX_PATH] = {};
    WCHAR candidate[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH);

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    module[FileutilNamePart(module) - module] = L'\0';
    for (LPCWSTR place : DEFAULT_STUB_PLACES) {
        EXIT_IF_FAILED(BoundedFormat(candidate, MAX_PATH, L"%ls%ls", module, place));
        if (SUCCEEDED(ReadStubMachine(candidate, machine)) && IMAGE_FILE_MACHINE_I386 == *machine) {
            EXIT_IF_FAILED(StrutilAllocate(path, MAX_PATH));
            EXIT_LAST_ERROR_IF(0 == ::GetFullPathNameW(candidate, MAX_PATH, *path, nullptr));
            goto Exit;
        }
    }
    ReportError(L"no i686 setup.exe beside the packer or in ..\\..\\i686\\bin: build the i686 program or give /stub");
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
    const DWORD length = ::GetFullPathNameW(outPath, MAX_PATH, full, &namePart);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;

    if (0 == length || length >= MAX_PATH) {
        ReportError(L"bad /out path: %ls", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    attributes = ::GetFileAttributesW(full);
    if (!namePart || (INVALID_FILE_ATTRIBUTES != attributes && (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        ReportError(L"/out names a folder: %ls (give the bundle's file name)", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    *namePart = L'\0';
    attributes = ::GetFileAttributesW(full);
    if (INVALID_FILE_ATTRIBUTES == attributes || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ReportError(L"the folder of /out does not exist: %ls", full);
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }

Exit:
    return hr;
}

// The index of the input that `file` is, or `count` for none.
DWORD FindInput(HANDLE file, const InputFile* inputs, DWORD count)
{
    DWORD k = 0;
    while (k < count && !FileutilIsSameFile(file, inputs[k].file)) {
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
    HANDLE out = ::CreateFileW(options->outPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD k = 0;

    if (INVALID_HANDLE_VALUE == out) {
        goto Exit;   // nothing there yet
    }
    if ((k = FindInput(out, inputs->packages, options->packageCount)) < options->packageCount) {
        input = options->packages[k].path;
    } else if ((k = FindInput(out, inputs->transforms, options->transformCount)) < options->transformCount) {
        input = options->transforms[k].path;
    } else if ((k = FindInput(out, inputs->cabinets, options->cabinetCount)) < options->cabinetCount) {
        input = options->cabinets[k].path;
    } else if (options->iconPath && FindInput(out, &inputs->icon, 1) < 1) {
        input = options->iconPath;
    }
    if (input) {
        ReportError(L"/out names an input, %ls: give the bundle a name of its own", input);
        EXIT_WITH(PACK_E_USAGE);
    }

Exit:
    if (INVALID_HANDLE_VALUE != out) ::CloseHandle(out);
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
}

LPCWSTR PluralEnding(DWORD count)
{
    return 1 == count ? L"" : L"s";
}

void ReportWritten(const PackOptions* options, BOOL signatureDropped)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    DWORD programs = 0;
    ::GetFileAttributesExW(options->outPath, GetFileExInfoStandard, &data);
    for (DWORD k = 0; k < options->packageCount; ++k) {
        programs += IsProgramEntry(&options->packages[k]) ? 1 : 0;
    }
    const DWORD packages = options->packageCount - programs;
    const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    WCHAR bundleCode[40] = {};
    if (options->registration.registered) {
        ::StringFromGUID2(options->registration.bundleCode, bundleCode, ARRAYSIZE(bundleCode));
    }
    ReportNote(L"wrote %ls (%I64u bytes, %ls program): %lu prerequisite%ls, %lu package%ls, %lu cabinet%ls, "
               L"%lu transform%ls%ls%ls%ls",
               options->outPath, size, MachineName(options->stubMachine), programs, PluralEnding(programs),
               packages, PluralEnding(packages), options->cabinetCount, PluralEnding(options->cabinetCount),
               options->transformCount, PluralEnding(options->transformCount),
               bundleCode[0] ? L", bundle code " : L"", bundleCode,
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
        WriteLine(::GetStdHandle(STD_OUTPUT_HANDLE), USAGE);
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
    WriteReport(STD_ERROR_HANDLE, format, args);
    va_end(args);
    errorReported = TRUE;
}

void ReportNote(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    WriteReport(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

int wmain(int argc, wchar_t** argv)
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
