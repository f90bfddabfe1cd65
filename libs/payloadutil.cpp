#include "payloadutil.h"
#include "resrutil.h"
#include "result.h"
#include "sysutil.h"

#include <string.h>

namespace {

// ntdll's answer to whether two mapped views are of one file: 0 when they are.
using SameMappedFileFunction = LONG(NTAPI*)(PVOID first, PVOID second);

const IMAGE_NT_HEADERS* ImageHeaders(HMODULE image)
{
    const BYTE* base = reinterpret_cast<const BYTE*>(image);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

// The end of the last section's data, rounded up to the file alignment as
// the linker pads the file, where the payloads after the image begin.
ULONGLONG ImageEnd(const IMAGE_NT_HEADERS* headers)
{
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    ULONGLONG end = headers->OptionalHeader.SizeOfHeaders;
    for (WORD k = 0; k < headers->FileHeader.NumberOfSections; ++k) {
        end = PayloadutilSectionEnd(end, section[k]);
    }
    return PayloadutilAlignImageEnd(end, headers->OptionalHeader.FileAlignment);
}

// Where in the file a signature's certificate table begins; 0 when there is none.
ULONGLONG CertificateTableStart(const IMAGE_NT_HEADERS* headers)
{
    if (headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) {
        return 0;
    }
    const IMAGE_DATA_DIRECTORY& table = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    return table.Size != 0 ? table.VirtualAddress : 0;
}

// A payload must lie inside the file and before its certificate table, which
// the signature does not cover.
HRESULT CheckInsideFile(HANDLE programFile, const IMAGE_NT_HEADERS* headers, const PayloadRange* range)
{
    HRESULT hr = S_OK;
    LARGE_INTEGER fileSize = {};
    ULONGLONG limit = 0;
    const ULONGLONG certificates = CertificateTableStart(headers);

    EXIT_LAST_ERROR_IF(!::GetFileSizeEx(programFile, &fileSize));
    limit = static_cast<ULONGLONG>(fileSize.QuadPart);
    if (certificates != 0 && certificates < limit) {
        limit = certificates;
    }
    if (0 == range->size || range->offset > limit || range->size > limit - range->offset) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

// The entry's name is a text of at most 11 characters, compared exactly: the
// packer writes the names the manifest gives.
BOOL IsNamed(const PayloadTableEntry& entry, LPCSTR name)
{
    return nullptr != memchr(entry.name, '\0', sizeof(entry.name)) && 0 == strcmp(entry.name, name);
}

// The payload as PAYLOADS lists it after the image. S_FALSE when the image
// has no such table (a bundle of an earlier packer) or the table does not
// list the name.
HRESULT LocateListed(const IMAGE_NT_HEADERS* headers, LPCSTR name, PayloadRange* range)
{
    HRESULT hr = S_OK;
    const BYTE* table = nullptr;
    DWORD size = 0;
    PayloadTableEntry entry = {};
    const ULONGLONG imageEnd = ImageEnd(headers);

    hr = ResrutilLocateData(nullptr, PAYLOAD_TABLE_NAME, &table, &size);
    if (RESULT_RESOURCE_NAME_NOT_FOUND == hr || RESULT_RESOURCE_TYPE_NOT_FOUND == hr) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(hr);
    if (0 != size % sizeof(PayloadTableEntry)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    hr = S_FALSE;
    for (DWORD k = 0; k < size / sizeof(PayloadTableEntry); ++k) {
        memcpy(&entry, table + k * sizeof(PayloadTableEntry), sizeof(entry));   // no alignment is promised
        if (!IsNamed(entry, name)) {
            continue;
        }
        // An entry of a kind this program does not know is not read as plain bytes.
        if (0 != entry.reserved || entry.offset > ~0ULL - imageEnd) {
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        range->offset = imageEnd + entry.offset;
        range->size = entry.size;
        hr = S_OK;
        break;
    }

Exit:
    return hr;
}

// A data resource's bytes lie in the section that holds them, at the same
// distance from its start in the file as in the image.
HRESULT LocateResource(const IMAGE_NT_HEADERS* headers, LPCSTR name, PayloadRange* range)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;
    const BYTE* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    ULONGLONG address = 0;

    EXIT_IF_FAILED(ResrutilLocateData(nullptr, name, &data, &size));
    if (data < base || static_cast<ULONGLONG>(data - base) >= headers->OptionalHeader.SizeOfImage) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    address = static_cast<ULONGLONG>(data - base);
    for (WORD k = 0; k < headers->FileHeader.NumberOfSections; ++k) {
        const ULONGLONG start = section[k].VirtualAddress;
        if (address >= start && address + size <= start + section[k].SizeOfRawData) {
            range->offset = section[k].PointerToRawData + (address - start);
            range->size = size;
            goto Exit;
        }
    }
    EXIT_WITH(RESULT_INVALID_DATA);

Exit:
    return hr;
}

// The platform compares the image with a view of the file, knowing which file
// each was mapped from; no name is trusted. Not a page of the view is read.
HRESULT IsImageFile(HANDLE file)
{
    HRESULT hr = S_OK;
    const auto sameFile = SysutilNtFunction<SameMappedFileFunction>("NtAreMappedFilesTheSame");
    HANDLE mapping = nullptr;
    void* view = nullptr;

    EXIT_LAST_ERROR_IF_NULL(sameFile);
    mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    EXIT_LAST_ERROR_IF_NULL(mapping);
    view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 1);
    EXIT_LAST_ERROR_IF_NULL(view);
    if (0 != sameFile(::GetModuleHandleW(nullptr), view)) {
        EXIT_WITH(RESULT_FILE_CHANGED);
    }

Exit:
    if (view) {
        ::UnmapViewOfFile(view);
    }
    if (mapping) {
        ::CloseHandle(mapping);
    }
    return hr;
}

} // namespace

HRESULT PayloadutilOpenProgramFile(HANDLE* file)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    HANDLE opened = INVALID_HANDLE_VALUE;

    *file = INVALID_HANDLE_VALUE;
    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    opened = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr);
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == opened);
    EXIT_IF_FAILED(IsImageFile(opened));
    *file = opened;
    opened = INVALID_HANDLE_VALUE;

Exit:
    if (INVALID_HANDLE_VALUE != opened) {
        ::CloseHandle(opened);
    }
    return hr;
}

HRESULT PayloadutilLocate(HANDLE programFile, LPCSTR name, PayloadRange* range)
{
    HRESULT hr = S_OK;
    const IMAGE_NT_HEADERS* headers = ImageHeaders(::GetModuleHandleW(nullptr));
    PayloadRange found = {};

    EXIT_IF_FAILED(LocateListed(headers, name, &found));
    if (S_FALSE == hr) {
        EXIT_IF_FAILED(LocateResource(headers, name, &found));
    }
    EXIT_IF_FAILED(CheckInsideFile(programFile, headers, &found));
    *range = found;

Exit:
    return hr;
}

