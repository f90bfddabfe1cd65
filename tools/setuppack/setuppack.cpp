// setuppack: writes a bundle from a stub and a vendor's packages and transforms.
// Exit code 0 on success, 2 for a bad command line, 1 for any other failure;
// every failure is one line on standard error and leaves no bundle behind.
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
    L"usage: setuppack /out BUNDLE.exe [/stub STUB.exe] [/name PRODUCT-NAME] "
    L"/package FILE [/flags FLAGS] [/code {GUID}] [/version A.B.C.D] ... "
    L"/transform FILE.mst /language LANGID ...";

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

// The stub by default: the setup.exe that sits beside the packer.
HRESULT DefaultStubPath(WideString* path)
{
    HRESULT hr = S_OK;
    WCHAR module[MAX_PATH] = {};
    LPWSTR namePart = module;
    const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH);

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    for (LPWSTR p = module; *p; ++p) {
        if (L'\\' == *p || L'/' == *p) {
            namePart = p + 1;
        }
    }
    *namePart = L'\0';
    EXIT_IF_FAILED(StrutilCopy(path, module, 0));
    EXIT_IF_FAILED(StrutilAppend(path, L"setup.exe", 0));

Exit:
    return hr;
}

HRESULT MapInputs(const PackOptions* options, MappedFile* packages, MappedFile* transforms)
{
    HRESULT hr = S_OK;
    DWORD room = MAX_PAYLOAD_BYTES;

    for (DWORD k = 0; k < options->packageCount; ++k) {
        EXIT_IF_FAILED(MapInputFile(options->packages[k].path, room, &packages[k]));
        room -= packages[k].size;
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        EXIT_IF_FAILED(MapInputFile(options->transforms[j].path, room, &transforms[j]));
        room -= transforms[j].size;
    }

Exit:
    return hr;
}

HRESULT Pack(int argc, LPWSTR* argv)
{
    HRESULT hr = S_OK;
    PackOptions* options = static_cast<PackOptions*>(MemutilAllocate(sizeof(PackOptions), TRUE));
    MappedFile* packages = static_cast<MappedFile*>(MemutilAllocate(sizeof(MappedFile) * MAX_BUNDLE_ENTRIES, TRUE));
    MappedFile* transforms = static_cast<MappedFile*>(MemutilAllocate(sizeof(MappedFile) * MAX_BUNDLE_ENTRIES, TRUE));
    WideString stubPath = nullptr;

    if (!options || !packages || !transforms) {
        ReportError(L"out of memory");
        EXIT_WITH(E_OUTOFMEMORY);
    }
    if (argc < 2) {
        ReportError(L"%ls", USAGE);
        EXIT_WITH(PACK_E_USAGE);
    }
    EXIT_IF_FAILED(ParsePackCommandLine(argc, argv, options));
    if (!options->stubPath) {
        EXIT_IF_FAILED(DefaultStubPath(&stubPath));
        options->stubPath = stubPath;
    }
    EXIT_IF_FAILED(MapInputs(options, packages, transforms));
    for (DWORD k = 0; k < options->packageCount; ++k) {
        EXIT_IF_FAILED(ReadPackage(&options->packages[k]));
    }
    EXIT_IF_FAILED(WriteBundle(options, packages, transforms));

Exit:
    for (DWORD i = 0; i < MAX_BUNDLE_ENTRIES; ++i) {
        if (packages) ReleaseMappedFile(&packages[i]);
        if (transforms) ReleaseMappedFile(&transforms[i]);
    }
    if (stubPath) StrutilFree(stubPath);
    if (options) MemutilRelease(options);
    if (packages) MemutilRelease(packages);
    if (transforms) MemutilRelease(transforms);
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
