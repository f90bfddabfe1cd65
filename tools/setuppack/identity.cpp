// What the bundle says of itself to Windows: its version record (file
// properties, the download and elevation prompts) and its icon.
#include "setuppack.h"
#include "memutil.h"
#include "result.h"
#include "versionutil.h"
#include "sha1.h"

#include <string.h>

namespace {

constexpr DWORD VERSION_RECORD_BYTES = 8192;
constexpr WORD UNICODE_CODE_PAGE = 1200;
constexpr WORD BINARY_VALUE = 0;
constexpr WORD TEXT_VALUE = 1;
constexpr WORD ICON_FILE_TYPE = 1;

// The version record is a tree of blocks: a 16-bit length, value length and
// type, a key, then the value and the children, each part at a 4-byte boundary.
struct RecordWriter {
    BYTE* data;
    DWORD size;
    BOOL overflow;
};

void Put(RecordWriter* writer, const void* bytes, DWORD count)
{
    if (writer->overflow || count > VERSION_RECORD_BYTES - writer->size) {
        writer->overflow = TRUE;
        return;
    }
    memcpy(writer->data + writer->size, bytes, count);
    writer->size += count;
}

void Align(RecordWriter* writer)
{
    const DWORD zero = 0;
    Put(writer, &zero, (4 - writer->size % 4) % 4);
}

// Starts a block and returns where; EndBlock writes its length once its
// children are in.
DWORD BeginBlock(RecordWriter* writer, LPCWSTR key, WORD type, const void* value, DWORD valueBytes,
                 WORD valueLength)
{
    Align(writer);
    const DWORD start = writer->size;
    const WORD header[3] = {0, valueLength, type};
    Put(writer, header, sizeof(header));
    Put(writer, key, (lstrlenW(key) + 1) * sizeof(WCHAR));
    Align(writer);
    Put(writer, value, valueBytes);
    return start;
}

void EndBlock(RecordWriter* writer, DWORD start)
{
    if (!writer->overflow) {
        const WORD length = static_cast<WORD>(writer->size - start);
        memcpy(writer->data + start, &length, sizeof(length));
    }
}

void AddText(RecordWriter* writer, LPCWSTR key, LPCWSTR text)
{
    const DWORD chars = lstrlenW(text) + 1;
    EndBlock(writer, BeginBlock(writer, key, TEXT_VALUE, text, chars * sizeof(WCHAR), static_cast<WORD>(chars)));
}

VS_FIXEDFILEINFO FixedInfo(const BundleIdentity& identity)
{
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = fixed.dwProductVersionMS = identity.versionHigh;
    fixed.dwFileVersionLS = fixed.dwProductVersionLS = identity.versionLow;
    fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_APP;
    return fixed;
}

// An .ico file: a header, one 16-byte entry per image, the images.
struct IconFileHeader {
    WORD reserved;
    WORD type;
    WORD count;
};

// What the file's entry and the group resource's entry say alike of an image.
struct IconImage {
    BYTE width;
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
};

struct IconFileEntry {
    IconImage image;
    DWORD offset;
};

// The icon group resource names each image by its resource number instead of
// its place in the file; its entries are 14 bytes, packed.
#pragma pack(push, 2)
struct IconGroupEntry {
    IconImage image;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(IconGroupEntry) == 14, "icon group entry layout");

BOOL ReadIconEntry(const InputFile* icon, WORD index, IconFileEntry* entry)
{
    return ReadAt(icon, sizeof(IconFileHeader) + index * sizeof(IconFileEntry), entry, sizeof(*entry)) &&
           entry->image.bytes > 0 && entry->offset <= icon->size && entry->image.bytes <= icon->size - entry->offset;
}

} // namespace

HRESULT BuildVersionRecord(const PackOptions* options, BYTE** record, DWORD* size)
{
    HRESULT hr = S_OK;
    const BundleIdentity& identity = options->identity;
    RecordWriter writer = {static_cast<BYTE*>(MemutilAllocate(VERSION_RECORD_BYTES, TRUE)), 0, FALSE};
    const VS_FIXEDFILEINFO fixed = FixedInfo(identity);
    const DWORD translation = MAKELONG(ENGLISH_US, UNICODE_CODE_PAGE);
    WCHAR description[MAX_PRODUCT_NAME_CHARS + 8] = {};
    WCHAR version[VERSION_TEXT_CHARS] = {};
    DWORD root = 0;
    DWORD texts = 0;
    DWORD table = 0;
    DWORD translations = 0;

    EXIT_IF_NULL_ALLOC(writer.data);
    EXIT_IF_FAILED(BoundedFormat(description, ARRAYSIZE(description), L"%ls Setup", identity.productName));
    EXIT_IF_FAILED(VersionutilFormat(VersionFromHalves(identity.versionHigh, identity.versionLow), version));
    root = BeginBlock(&writer, L"VS_VERSION_INFO", BINARY_VALUE, &fixed, sizeof(fixed), sizeof(fixed));
    texts = BeginBlock(&writer, L"StringFileInfo", TEXT_VALUE, nullptr, 0, 0);
    table = BeginBlock(&writer, L"040904B0", TEXT_VALUE, nullptr, 0, 0);
    AddText(&writer, L"CompanyName", identity.company);
    AddText(&writer, L"FileDescription", description);
    AddText(&writer, L"FileVersion", version);
    if (options->copyright) {
        AddText(&writer, L"LegalCopyright", options->copyright);
    }
    AddText(&writer, L"OriginalFilename", HostNamePart(options->outPath));
    AddText(&writer, L"ProductName", identity.productName);
    AddText(&writer, L"ProductVersion", version);
    EndBlock(&writer, table);
    EndBlock(&writer, texts);
    translations = BeginBlock(&writer, L"VarFileInfo", TEXT_VALUE, nullptr, 0, 0);
    EndBlock(&writer, BeginBlock(&writer, L"Translation", BINARY_VALUE, &translation, sizeof(translation),
                                 sizeof(translation)));
    EndBlock(&writer, translations);
    EndBlock(&writer, root);
    if (writer.overflow) {
        ReportError(L"the version record takes more than %u bytes", VERSION_RECORD_BYTES);
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }
    *record = writer.data;
    *size = writer.size;
    writer.data = nullptr;

Exit:
    if (writer.data) MemutilRelease(writer.data);
    return hr;
}

namespace {

// The bundle codes' own name space (a name-based GUID is made in one).
constexpr BYTE BUNDLE_CODE_NAMESPACE[16] = {0x6F, 0x1D, 0x5B, 0x2A, 0x8C, 0x3E, 0x4E, 0x7B,
                                            0x9A, 0x41, 0x2D, 0x5C, 0x7E, 0x0B, 0x9F, 0x13};
constexpr DWORD DIGEST_PIECE_BYTES = 1024 * 1024;

// A GUID's bytes in the order its text shows them ({00112233-4455-6677-8899-AABBCCDDEEFF}).
void GuidBytes(const GUID& guid, BYTE (&bytes)[16])
{
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(guid.Data1 >> (24 - 8 * i));
    for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<BYTE>(guid.Data2 >> (8 - 8 * i));
    for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<BYTE>(guid.Data3 >> (8 - 8 * i));
    memcpy(bytes + 8, guid.Data4, 8);
}

GUID GuidOfBytes(const BYTE (&bytes)[16])
{
    GUID guid = {};
    guid.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
                 static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    memcpy(guid.Data4, bytes + 8, 8);
    return guid;
}

void AddBigEndian(Sha1* sha, DWORD value)
{
    const BYTE bytes[4] = {static_cast<BYTE>(value >> 24), static_cast<BYTE>(value >> 16),
                           static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
    Sha1Add(sha, bytes, sizeof(bytes));
}

// The SHA-1 digest of a whole input file, read in pieces.
HRESULT DigestFile(const InputFile* file, BYTE* piece, uint8_t (&digest)[SHA1_DIGEST_BYTES])
{
    HRESULT hr = S_OK;
    Sha1 sha = {};

    Sha1Start(&sha);
    for (ULONGLONG offset = 0; offset < file->size; offset += DIGEST_PIECE_BYTES) {
        const ULONGLONG left = file->size - offset;
        const DWORD bytes = left < DIGEST_PIECE_BYTES ? static_cast<DWORD>(left) : DIGEST_PIECE_BYTES;
        if (!ReadAt(file, static_cast<LONGLONG>(offset), piece, bytes)) {
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        Sha1Add(&sha, piece, bytes);
    }
    Sha1Finish(&sha, digest);

Exit:
    return hr;
}

} // namespace

// A name-based GUID (version 5, SHA-1): the same inputs give the same code, on
// any machine, and a bundle that differs in what it installs gets another.
HRESULT DeriveBundleCode(const PackOptions* options, const PackInputs* inputs, GUID* code)
{
    HRESULT hr = S_OK;
    BYTE* piece = static_cast<BYTE*>(MemutilAllocate(DIGEST_PIECE_BYTES, FALSE));
    Sha1 sha = {};
    BYTE upgradeCode[16] = {};
    uint8_t digest[SHA1_DIGEST_BYTES] = {};
    BYTE bytes[16] = {};
    const DWORD count = options->packageCount + options->cabinetCount + options->transformCount;

    EXIT_IF_NULL_ALLOC(piece);
    Sha1Start(&sha);
    Sha1Add(&sha, BUNDLE_CODE_NAMESPACE, sizeof(BUNDLE_CODE_NAMESPACE));
    GuidBytes(options->registration.upgradeCode, upgradeCode);
    Sha1Add(&sha, upgradeCode, sizeof(upgradeCode));
    AddBigEndian(&sha, options->identity.versionHigh);
    AddBigEndian(&sha, options->identity.versionLow);
    // In the order the payloads follow the image: chain entries, cabinets, transforms.
    for (DWORD k = 0; k < count; ++k) {
        const DWORD cabinetsEnd = options->packageCount + options->cabinetCount;
        const InputFile* file = k < options->packageCount ? &inputs->packages[k]
                                : k < cabinetsEnd          ? &inputs->cabinets[k - options->packageCount]
                                                           : &inputs->transforms[k - cabinetsEnd];
        EXIT_IF_FAILED(DigestFile(file, piece, digest));
        Sha1Add(&sha, digest, sizeof(digest));
    }
    Sha1Finish(&sha, digest);
    memcpy(bytes, digest, sizeof(bytes));
    bytes[6] = static_cast<BYTE>((bytes[6] & 0x0F) | 0x50);
    bytes[8] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);
    *code = GuidOfBytes(bytes);

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot read the payloads to make the bundle code (error 0x%08X)", hr);
    }
    if (piece) MemutilRelease(piece);
    return hr;
}

HRESULT BuildRegistration(const PackOptions* options, BundleRegistration* record)
{
    HRESULT hr = S_OK;
    const RegistrationSpec& spec = options->registration;

    *record = {};
    record->size = sizeof(*record);
    record->upgradeCode = spec.upgradeCode;
    record->bundleCode = spec.bundleCode;
    record->versionHigh = options->identity.versionHigh;
    record->versionLow = options->identity.versionLow;
    EXIT_IF_FAILED(BoundedCopy(record->displayName, REGISTRATION_NAME_CHARS, options->identity.productName));
    EXIT_IF_FAILED(BoundedCopy(record->publisher, REGISTRATION_NAME_CHARS, options->identity.company));
    EXIT_IF_FAILED(BoundedCopy(record->helpLink, REGISTRATION_LINK_CHARS, spec.helpLink ? spec.helpLink : L""));
    EXIT_IF_FAILED(BoundedCopy(record->aboutLink, REGISTRATION_LINK_CHARS, spec.aboutLink ? spec.aboutLink : L""));

Exit:
    return hr;
}

HRESULT CheckIconFile(LPCWSTR path, const InputFile* icon)
{
    HRESULT hr = S_OK;
    IconFileHeader header = {};
    IconFileEntry entry = {};

    if (!ReadAt(icon, 0, &header, sizeof(header)) || 0 != header.reserved || ICON_FILE_TYPE != header.type ||
        0 == header.count) {
        ReportError(L"%ls is no icon file (.ico)", path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    for (WORD k = 0; k < header.count; ++k) {
        if (!ReadIconEntry(icon, k, &entry)) {
            ReportError(L"%ls is no icon file (.ico): image %u lies outside the file", path, k + 1);
            EXIT_WITH(RESULT_INVALID_DATA);
        }
    }

Exit:
    return hr;
}

BOOL IsRichTextLicense(LPCWSTR path)
{
    return EndsWithIgnoringCase(path, L".rtf");
}

HRESULT CheckLicenseFile(LPCWSTR path, const InputFile* license)
{
    HRESULT hr = S_OK;
    char start[LICENSE_RICH_TEXT_START_BYTES] = {};

    if (license->size > MAX_LICENSE_BYTES) {
        ReportError(L"the licence %ls is larger than 1 MiB", path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (IsRichTextLicense(path) &&
        (!ReadAt(license, 0, start, sizeof(start)) || 0 != memcmp(start, LICENSE_RICH_TEXT_START, sizeof(start)))) {
        ReportError(L"the licence %ls is no rich text (it does not begin with {\\rtf)", path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

HRESULT AddIcon(ResourceTable* resources, const InputFile* icon)
{
    HRESULT hr = S_OK;
    IconFileHeader header = {};
    IconFileEntry entry = {};
    DWORD groupSize = 0;
    BYTE* group = nullptr;
    IconGroupEntry* groupEntries = nullptr;
    BYTE* image = nullptr;

    ReadAt(icon, 0, &header, sizeof(header));   // checked by CheckIconFile
    groupSize = sizeof(header) + header.count * sizeof(IconGroupEntry);
    group = static_cast<BYTE*>(MemutilAllocate(groupSize, TRUE));
    EXIT_IF_NULL_ALLOC(group);
    memcpy(group, &header, sizeof(header));
    groupEntries = reinterpret_cast<IconGroupEntry*>(group + sizeof(header));
    for (WORD k = 0; k < header.count; ++k) {
        const WORD id = k + 1;
        ReadIconEntry(icon, k, &entry);
        groupEntries[k] = {entry.image, id};
        image = static_cast<BYTE*>(MemutilAllocate(entry.image.bytes, FALSE));
        EXIT_IF_NULL_ALLOC(image);
        if (!ReadAt(icon, entry.offset, image, entry.image.bytes)) {
            EXIT_WITH(ResultFromLastError());
        }
        EXIT_IF_FAILED(SetResource(resources, RT_ICON, MAKEINTRESOURCEW(id), ENGLISH_US, image, entry.image.bytes));
        MemutilRelease(image);
        image = nullptr;
    }
    EXIT_IF_FAILED(SetResource(resources, RT_GROUP_ICON, MAKEINTRESOURCEW(APP_ICON_GROUP_ID), ENGLISH_US, group,
                                  groupSize));

Exit:
    if (image) MemutilRelease(image);
    if (group) MemutilRelease(group);
    return hr;
}
