// What the packer changes in the headers of the bundle's file itself: a
// signature the stub carried, which cannot hold once the resources change,
// the header's checksum, which the change makes stale, and what lies after
// the image: the payloads.
#include "setuppack.h"
#include "memutil.h"
#include "result.h"

#include <stddef.h>

namespace {

// The checksum is summed over the whole file in pieces of this size (even, so
// that no 16-bit word is split).
constexpr DWORD CHECKSUM_PIECE_BYTES = 1024 * 1024;

// An image on a network or removable disk is copied to the swap file when it
// is loaded: its pages, the manifest's among them, never fault on a share that
// went away.
constexpr WORD RUN_FROM_SWAP = IMAGE_FILE_NET_RUN_FROM_SWAP | IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP;

// Where the fields the packer changes lie in the file, and where the image ends.
struct HeaderPlaces {
    LONGLONG checksum;
    LONGLONG securityEntry;   // 0 when the optional header has no such entry
    LONGLONG fileHeader;
    ULONGLONG imageEnd;       // the end of the last section's data, rounded up to the file alignment
};

HRESULT ReadExactly(const HostFile* file, LONGLONG offset, void* data, DWORD size)
{
    return HostReadAt(file, static_cast<ULONGLONG>(offset), data, size, RESULT_INVALID_DATA);
}

HRESULT WriteExactly(const HostFile* file, LONGLONG offset, const void* data, DWORD size)
{
    return HostWriteAt(file, static_cast<ULONGLONG>(offset), data, size);
}

// Copies a whole input to `offset` of the file, in pieces.
HRESULT CopyInput(const InputFile* input, const HostFile* file, ULONGLONG offset)
{
    HRESULT hr = S_OK;
    BYTE* piece = static_cast<BYTE*>(MemutilAllocate(CHECKSUM_PIECE_BYTES, FALSE));

    EXIT_IF_NULL_ALLOC(piece);
    for (ULONGLONG done = 0; done < input->size; done += CHECKSUM_PIECE_BYTES) {
        const ULONGLONG left = input->size - done;
        const DWORD bytes = left < CHECKSUM_PIECE_BYTES ? static_cast<DWORD>(left) : CHECKSUM_PIECE_BYTES;
        EXIT_IF_FAILED(HostReadAt(&input->file, done, piece, bytes, RESULT_INVALID_DATA));
        EXIT_IF_FAILED(HostWriteAt(file, offset + done, piece, bytes));
    }

Exit:
    if (piece) MemutilRelease(piece);
    return hr;
}

// The image's end (PayloadutilSectionEnd), read from the file.
HRESULT FindImageEnd(const HostFile* file, const IMAGE_FILE_HEADER& header, LONGLONG optional, ULONGLONG* end)
{
    HRESULT hr = S_OK;
    DWORD alignment = 0;
    DWORD headersSize = 0;
    IMAGE_SECTION_HEADER section = {};
    const LONGLONG sections = optional + header.SizeOfOptionalHeader;

    static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, FileAlignment) == offsetof(IMAGE_OPTIONAL_HEADER64, FileAlignment) &&
                      offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfHeaders) == offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders),
                  "the file alignment and the headers' size lie at one place");
    EXIT_IF_FAILED(ReadExactly(file, optional + offsetof(IMAGE_OPTIONAL_HEADER32, FileAlignment), &alignment,
                               sizeof(alignment)));
    EXIT_IF_FAILED(ReadExactly(file, optional + offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfHeaders), &headersSize,
                               sizeof(headersSize)));
    *end = headersSize;
    for (WORD k = 0; k < header.NumberOfSections; ++k) {
        EXIT_IF_FAILED(ReadExactly(file, sections + k * sizeof(section), &section, sizeof(section)));
        *end = PayloadutilSectionEnd(*end, section);
    }
    *end = PayloadutilAlignImageEnd(*end, alignment);

Exit:
    return hr;
}

// The optional header of a 32-bit and of a 64-bit program differ in where the
// data directories begin; the checksum lies at the same place in both.
HRESULT FindHeaderPlaces(const HostFile* file, HeaderPlaces* places)
{
    HRESULT hr = S_OK;
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    WORD magic = 0;
    DWORD directoryCount = 0;
    LONGLONG optional = 0;
    DWORD countField = 0;
    DWORD directories = 0;

    EXIT_IF_FAILED(ReadExactly(file, 0, &dos, sizeof(dos)));
    if (IMAGE_DOS_SIGNATURE != dos.e_magic || dos.e_lfanew < 0) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(ReadExactly(file, dos.e_lfanew, &signature, sizeof(signature)));
    EXIT_IF_FAILED(ReadExactly(file, dos.e_lfanew + sizeof(signature), &header, sizeof(header)));
    optional = dos.e_lfanew + sizeof(signature) + sizeof(header);
    EXIT_IF_FAILED(ReadExactly(file, optional, &magic, sizeof(magic)));
    if (IMAGE_NT_SIGNATURE != signature) {
        EXIT_WITH(RESULT_INVALID_DATA);
    } else if (IMAGE_NT_OPTIONAL_HDR32_MAGIC == magic) {
        countField = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
        directories = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    } else if (IMAGE_NT_OPTIONAL_HDR64_MAGIC == magic) {
        countField = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
        directories = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    } else {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum) == offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum),
                  "the checksum lies at one place");
    EXIT_IF_FAILED(ReadExactly(file, optional + countField, &directoryCount, sizeof(directoryCount)));
    EXIT_IF_FAILED(FindImageEnd(file, header, optional, &places->imageEnd));
    places->fileHeader = dos.e_lfanew + sizeof(signature);
    places->checksum = optional + offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum);
    places->securityEntry = 0;
    if (directoryCount > IMAGE_DIRECTORY_ENTRY_SECURITY &&
        header.SizeOfOptionalHeader >= directories + (IMAGE_DIRECTORY_ENTRY_SECURITY + 1) * sizeof(IMAGE_DATA_DIRECTORY)) {
        places->securityEntry = optional + directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    }

Exit:
    return hr;
}

// Opens the file to change it, and finds its header fields; one line on
// standard error naming `what` when that fails.
HRESULT OpenHeaders(LPCWSTR path, LPCWSTR what, LPCWSTR whatPath, HostFile* file, HeaderPlaces* places)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(HostOpenReadWrite(path, file));
    EXIT_IF_FAILED(FindHeaderPlaces(file, places));

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot read the headers of %ls %ls (error 0x%08X)", what, whatPath, hr);
    }
    return hr;
}

// The stub's certificate table; S_FALSE when it has none. Signing tools
// append the table, and the signature covers everything before it: a table
// elsewhere is no signature the packer can take off.
HRESULT ReadCertificateTable(const HostFile* file, const HeaderPlaces& places, LPCWSTR stubPath, IMAGE_DATA_DIRECTORY* table)
{
    HRESULT hr = S_OK;
    ULONGLONG size = 0;

    *table = IMAGE_DATA_DIRECTORY{};
    if (0 == places.securityEntry) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(ReadExactly(file, places.securityEntry, table, sizeof(*table)));
    if (0 == table->VirtualAddress && 0 == table->Size) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_IF_FAILED(HostFileSize(file, &size));
    if (static_cast<ULONGLONG>(table->VirtualAddress) + table->Size != size) {
        ReportError(L"the stub %ls has a certificate table (%u bytes at %u) that does not end the file: no signature "
                    L"the packer can drop", stubPath, table->Size, table->VirtualAddress);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    if (FAILED(hr) && RESULT_INVALID_DATA != hr) {
        ReportError(L"cannot read the certificate table of the stub %ls (error 0x%08X)", stubPath, hr);
    }
    return hr;
}

// The table goes, and the header's entry with it, so that nothing points
// beyond the file.
HRESULT CutCertificateTable(const HostFile* file, const HeaderPlaces& places, const IMAGE_DATA_DIRECTORY& table)
{
    HRESULT hr = S_OK;
    const IMAGE_DATA_DIRECTORY none = {};

    EXIT_IF_FAILED(WriteExactly(file, places.securityEntry, &none, sizeof(none)));
    EXIT_IF_FAILED(HostSetFileSize(file, table.VirtualAddress));

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot drop the signature from a copy of the stub (error 0x%08X)", hr);
    }
    return hr;
}

// Adds 16-bit words to the sum, carries folded back in; an odd last byte
// counts as a word of its own.
DWORD AddWords(DWORD sum, const BYTE* data, DWORD size)
{
    for (DWORD i = 0; i < size; i += 2) {
        sum += data[i] | (i + 1 < size ? data[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

// The header's checksum: the file's 16-bit words summed with the checksum
// field taken as zero, folded to 16 bits, plus the file's size.
HRESULT ComputeChecksum(const HostFile* file, LONGLONG checksumPlace, DWORD* checksum)
{
    HRESULT hr = S_OK;
    BYTE* piece = static_cast<BYTE*>(MemutilAllocate(CHECKSUM_PIECE_BYTES, FALSE));
    ULONGLONG fileSize = 0;
    DWORD sum = 0;

    EXIT_IF_NULL_ALLOC(piece);
    EXIT_IF_FAILED(HostFileSize(file, &fileSize));
    for (LONGLONG offset = 0; offset < static_cast<LONGLONG>(fileSize); offset += CHECKSUM_PIECE_BYTES) {
        const LONGLONG left = static_cast<LONGLONG>(fileSize) - offset;
        const DWORD bytes = left < CHECKSUM_PIECE_BYTES ? static_cast<DWORD>(left) : CHECKSUM_PIECE_BYTES;
        EXIT_IF_FAILED(ReadExactly(file, offset, piece, bytes));
        for (LONGLONG k = checksumPlace; k < checksumPlace + 4; ++k) {
            if (k >= offset && k < offset + bytes) {
                piece[k - offset] = 0;
            }
        }
        sum = AddWords(sum, piece, bytes);
    }
    *checksum = static_cast<DWORD>((sum & 0xFFFF) + (sum >> 16) + fileSize);

Exit:
    if (piece) MemutilRelease(piece);
    return hr;
}

// A checksum the stub had is written anew; a program without one keeps none.
HRESULT UpdateChecksum(const HostFile* file, const HeaderPlaces& places)
{
    HRESULT hr = S_OK;
    DWORD checksum = 0;

    EXIT_IF_FAILED(ReadExactly(file, places.checksum, &checksum, sizeof(checksum)));
    if (0 == checksum) {
        goto Exit;
    }
    EXIT_IF_FAILED(ComputeChecksum(file, places.checksum, &checksum));
    EXIT_IF_FAILED(WriteExactly(file, places.checksum, &checksum, sizeof(checksum)));

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot write the bundle's checksum (error 0x%08X)", hr);
    }
    return hr;
}

// The file ends where the image ends: what followed is cut, and a file that
// ended before the padding of its last section is filled up with zeros.
// Whatever followed cannot be the image's symbol table any more.
HRESULT EndAtImage(const HostFile* file, const HeaderPlaces& places)
{
    HRESULT hr = S_OK;
    IMAGE_FILE_HEADER header = {};

    EXIT_IF_FAILED(HostSetFileSize(file, places.imageEnd));
    EXIT_IF_FAILED(ReadExactly(file, places.fileHeader, &header, sizeof(header)));
    if (0 != header.PointerToSymbolTable || 0 != header.NumberOfSymbols) {
        header.PointerToSymbolTable = 0;
        header.NumberOfSymbols = 0;
        EXIT_IF_FAILED(WriteExactly(file, places.fileHeader, &header, sizeof(header)));
    }

Exit:
    return hr;
}

// Also drops the link time of the stub: the bundle is made of its inputs
// alone, so that packing the same inputs again gives the same bytes.
HRESULT MarkFileHeader(const HostFile* file, const HeaderPlaces& places)
{
    HRESULT hr = S_OK;
    WORD characteristics = 0;
    const DWORD noTime = 0;
    const LONGLONG field = places.fileHeader + offsetof(IMAGE_FILE_HEADER, Characteristics);

    EXIT_IF_FAILED(ReadExactly(file, field, &characteristics, sizeof(characteristics)));
    characteristics |= RUN_FROM_SWAP;
    EXIT_IF_FAILED(WriteExactly(file, field, &characteristics, sizeof(characteristics)));
    EXIT_IF_FAILED(WriteExactly(file, places.fileHeader + offsetof(IMAGE_FILE_HEADER, TimeDateStamp), &noTime,
                                sizeof(noTime)));

Exit:
    return hr;
}

} // namespace

HRESULT CutToImage(LPCWSTR path, LPCWSTR stubPath)
{
    HRESULT hr = S_OK;
    HostFile file = {};
    HeaderPlaces places = {};

    EXIT_IF_FAILED(OpenHeaders(path, L"the stub", stubPath, &file, &places));
    hr = EndAtImage(&file, places);
    if (FAILED(hr)) {
        ReportError(L"cannot cut a copy of the stub to its image (error 0x%08X)", hr);
    }

Exit:
    HostClose(&file);
    return hr;
}

HRESULT AppendPayloads(LPCWSTR path, const PayloadTableEntry* table, const InputFile* const* files, DWORD count)
{
    HRESULT hr = S_OK;
    HostFile file = {};
    HeaderPlaces places = {};
    ULONGLONG placed = 0;

    EXIT_IF_FAILED(OpenHeaders(path, L"the bundle", path, &file, &places));
    EXIT_IF_FAILED(EndAtImage(&file, places));
    EXIT_IF_FAILED(MarkFileHeader(&file, places));
    for (DWORD k = 0; k < count; ++k) {
        if (table[k].offset != placed || table[k].size != files[k]->size) {
            EXIT_WITH(E_UNEXPECTED);   // the table was made for other files
        }
        EXIT_IF_FAILED(CopyInput(files[k], &file, places.imageEnd + placed));
        placed += files[k]->size;
    }

Exit:
    if (FAILED(hr) && file.open) {
        ReportError(L"cannot write the bundle's payloads (error 0x%08X)", hr);
    }
    HostClose(&file);
    return hr;
}

HRESULT DropSignature(LPCWSTR path, LPCWSTR stubPath, BOOL* dropped)
{
    HRESULT hr = S_OK;
    HostFile file = {};
    HeaderPlaces places = {};
    IMAGE_DATA_DIRECTORY table = {};

    *dropped = FALSE;
    EXIT_IF_FAILED(OpenHeaders(path, L"the stub", stubPath, &file, &places));
    EXIT_IF_FAILED(ReadCertificateTable(&file, places, stubPath, &table));
    if (S_FALSE == hr) {
        hr = S_OK;
        goto Exit;
    }
    EXIT_IF_FAILED(CutCertificateTable(&file, places, table));
    *dropped = TRUE;

Exit:
    HostClose(&file);
    return hr;
}

HRESULT WriteChecksum(LPCWSTR path)
{
    HRESULT hr = S_OK;
    HostFile file = {};
    HeaderPlaces places = {};

    EXIT_IF_FAILED(OpenHeaders(path, L"the bundle", path, &file, &places));
    EXIT_IF_FAILED(UpdateChecksum(&file, places));

Exit:
    HostClose(&file);
    return hr;
}
