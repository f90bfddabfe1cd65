// What the bundle says of itself to Windows: its version record (file
// properties, the download and elevation prompts) and its icon.
#include "setuppack.h"
#include "fileutil.h"
#include "memutil.h"
#include "result.h"
#include "sysutil.h"
#include "versionutil.h"

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
    AddText(&writer, L"OriginalFilename", FileutilNamePart(options->outPath));
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

// A random GUID (version 4): no two bundles ever share one, so that each
// version's entry is a key of its own.
HRESULT NewBundleCode(GUID* code)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(SysutilRandom(code, sizeof(*code)));
    code->Data3 = static_cast<WORD>((code->Data3 & 0x0FFF) | 0x4000);
    code->Data4[0] = static_cast<BYTE>((code->Data4[0] & 0x3F) | 0x80);

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot make a bundle code (error 0x%08X)", hr);
    }
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
    static constexpr char RICH_TEXT_START[] = "{\\rtf";
    char start[sizeof(RICH_TEXT_START) - 1] = {};

    if (license->size > MAX_LICENSE_BYTES) {
        ReportError(L"the licence %ls is larger than 1 MiB", path);
        EXIT_WITH(PACK_E_USAGE);
    }
    if (IsRichTextLicense(path) &&
        (!ReadAt(license, 0, start, sizeof(start)) || 0 != memcmp(start, RICH_TEXT_START, sizeof(start)))) {
        ReportError(L"the licence %ls is no rich text (it does not begin with {\\rtf)", path);
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

HRESULT AddIcon(HANDLE update, const InputFile* icon)
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
        EXIT_IF_FAILED(UpdateOrReport(update, RT_ICON, MAKEINTRESOURCEW(id), ENGLISH_US, image, entry.image.bytes));
        MemutilRelease(image);
        image = nullptr;
    }
    EXIT_IF_FAILED(UpdateOrReport(update, RT_GROUP_ICON, MAKEINTRESOURCEW(APP_ICON_GROUP_ID), ENGLISH_US, group,
                                  groupSize));

Exit:
    if (image) MemutilRelease(image);
    if (group) MemutilRelease(group);
    return hr;
}
