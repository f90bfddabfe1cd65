#include "setuppack.h"
#include "memutil.h"
#include "result.h"
#include "manifest.h"
#include "rsrcsection.h"

namespace {

constexpr UINT STRINGS_PER_BLOCK = 16;
// The stub's image is read whole: the program is a few hundred KiB.
constexpr DWORD MAX_STUB_IMAGE_BYTES = 64 * 1024 * 1024;

UINT ProductNameBlock()
{
    return PRODUCT_NAME_STRING_ID / STRINGS_PER_BLOCK + 1;
}

// The kinds of payload: packages, transforms, programs and their parameters,
// cabinets, each followed by the entry's number. The parameters and the lists
// are data resources of the image; the rest lies after it.
constexpr LPCWSTR PACKAGE_RESOURCE = L"MSI";
constexpr LPCWSTR TRANSFORM_RESOURCE = L"MST";
constexpr LPCWSTR PROGRAM_RESOURCE = L"" PREREQ_PROGRAM_RESOURCE_PREFIX;
constexpr LPCWSTR PROGRAM_PARAMETERS_RESOURCE = L"" PREREQ_PARAMETERS_RESOURCE_PREFIX;
constexpr LPCWSTR CABINET_RESOURCE = L"CAB";
constexpr LPCWSTR LICENSE_RESOURCE = L"LIC";
constexpr LPCWSTR PAYLOAD_PREFIXES[] = {PACKAGE_RESOURCE, TRANSFORM_RESOURCE, PROGRAM_RESOURCE,
                                        PROGRAM_PARAMETERS_RESOURCE, CABINET_RESOURCE, LICENSE_RESOURCE};
constexpr int PAYLOAD_PREFIX_CHARS = 3;
constexpr LPCWSTR PAYLOAD_LISTS[] = {L"MANIFEST", L"" REGISTRATION_RESOURCE_TEXT, L"PAYLOADS", L"CABINETS"};

// The lists (MANIFEST, REGISTRATION, PAYLOADS, CABINETS), and a payload prefix
// with digits: the payload a stub may carry. A bundle made from a registered
// one registers only when its own command line says so.
BOOL IsPayloadName(LPCWSTR name)
{
    if (IS_INTRESOURCE(name)) {
        return FALSE;
    }
    for (LPCWSTR list : PAYLOAD_LISTS) {
        if (CSTR_EQUAL == ::CompareStringOrdinal(name, -1, list, -1, TRUE)) {
            return TRUE;
        }
    }
    BOOL prefixed = FALSE;
    for (LPCWSTR prefix : PAYLOAD_PREFIXES) {
        prefixed = prefixed || (lstrlenW(name) > PAYLOAD_PREFIX_CHARS &&
                                CSTR_EQUAL == ::CompareStringOrdinal(name, PAYLOAD_PREFIX_CHARS, prefix, -1, TRUE));
    }
    if (!prefixed) {
        return FALSE;
    }
    for (LPCWSTR p = name + PAYLOAD_PREFIX_CHARS; *p; ++p) {
        if (*p < L'0' || *p > L'9') {
            return FALSE;
        }
    }
    return TRUE;
}

// The bundle's resource section is written anew and takes over every
// resource of the stub except its payload, its product name and version
// record (the bundle gets its own) and its icon when /icon gives another, so
// nothing of an earlier bundle survives. The application manifest is taken
// over with the product's names in it.
constexpr WORD RESOURCE_TYPE_ICON = 3;
constexpr WORD RESOURCE_TYPE_STRING = 6;
constexpr WORD RESOURCE_TYPE_DATA = 10;
constexpr WORD RESOURCE_TYPE_ICON_GROUP = 14;
constexpr WORD RESOURCE_TYPE_VERSION = 16;
constexpr WORD RESOURCE_TYPE_MANIFEST = 24;
constexpr WORD APPLICATION_MANIFEST_ID = 1;
// Longer names are none of the packer's.
constexpr size_t PAYLOAD_NAME_CHARS = 16;

BOOL IsPayloadKey(const ResourceKey& name)
{
    WCHAR text[PAYLOAD_NAME_CHARS + 1] = {};
    if (name.name.empty() || name.name.size() > PAYLOAD_NAME_CHARS) {
        return FALSE;
    }
    for (size_t k = 0; k < name.name.size(); ++k) {
        text[k] = static_cast<WCHAR>(name.name[k]);
    }
    return IsPayloadName(text);
}

BOOL IsLeftBehind(const Resource& resource, BOOL replaceIcon)
{
    if (!resource.type.name.empty()) {
        return FALSE;
    }
    switch (resource.type.id) {
    case RESOURCE_TYPE_DATA:
        return IsPayloadKey(resource.name);
    case RESOURCE_TYPE_ICON:
    case RESOURCE_TYPE_ICON_GROUP:
        return replaceIcon;
    case RESOURCE_TYPE_VERSION:
        return TRUE;
    case RESOURCE_TYPE_STRING:
        return resource.name.name.empty() && ProductNameBlock() == resource.name.id;
    default:
        return FALSE;
    }
}

BOOL IsApplicationManifest(const Resource& resource)
{
    return resource.type.name.empty() && RESOURCE_TYPE_MANIFEST == resource.type.id && resource.name.name.empty() &&
           APPLICATION_MANIFEST_ID == resource.name.id;
}

HRESULT CopyApplicationManifest(const Resource& stubManifest, LPCWSTR productName, ResourceTable* resources)
{
    HRESULT hr = S_OK;
    BYTE* manifest = nullptr;
    DWORD size = 0;

    EXIT_IF_FAILED(BuildApplicationManifest(productName, stubManifest.data.data(),
                                            static_cast<DWORD>(stubManifest.data.size()), &manifest, &size));
    resources->Set(stubManifest.type, stubManifest.name, stubManifest.language, manifest, size);

Exit:
    if (manifest) MemutilRelease(manifest);
    return hr;
}

HRESULT CopyStubResources(const std::vector<Resource>& stub, ResourceTable* resources, LPCWSTR productName,
                          BOOL replaceIcon)
{
    HRESULT hr = S_OK;

    for (const Resource& resource : stub) {
        if (IsLeftBehind(resource, replaceIcon)) {
            continue;
        }
        if (IsApplicationManifest(resource)) {
            EXIT_IF_FAILED(CopyApplicationManifest(resource, productName, resources));
        } else {
            resources->Set(resource.type, resource.name, resource.language, resource.data.data(),
                           resource.data.size());
        }
    }

Exit:
    return hr;
}

// A resource key from a type or name as the resource functions take them: a
// number (MAKEINTRESOURCE) or a text.
ResourceKey KeyOf(LPCWSTR typeOrName)
{
    ResourceKey key;
    if (IS_INTRESOURCE(typeOrName)) {
        key.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(typeOrName));
        return key;
    }
    for (LPCWSTR p = typeOrName; *p; ++p) {
        key.name.push_back(static_cast<char16_t>(*p));
    }
    return key;
}

// "MSI00", "MST01", ...: the resource name of entry `index` of a kind.
void FormatResourceName(LPCWSTR prefix, DWORD index, WCHAR (&name)[12])
{
    BoundedFormat(name, ARRAYSIZE(name), L"%ls%02u", prefix, index);
}

// The manifest holds the same name as 8-bit text; it is plain ASCII.
void CopyResourceName(LPCWSTR prefix, DWORD index, char (&field)[12])
{
    WCHAR name[12] = {};
    FormatResourceName(prefix, index, name);
    for (int i = 0; i < 12; ++i) {
        field[i] = static_cast<char>(name[i]);
    }
}

// A chain entry's payload: MSI<nn> for a package or patch, EXE<nn> for a program.
LPCWSTR ChainEntryResource(const PackageSpec& entry)
{
    return IsProgramEntry(&entry) ? PROGRAM_RESOURCE : PACKAGE_RESOURCE;
}

ManifestPackageEntry* PackageEntryAt(BYTE* manifest, DWORD index)
{
    return reinterpret_cast<ManifestPackageEntry*>(manifest + sizeof(PackageManifest) +
                                                   index * sizeof(ManifestPackageEntry));
}

ManifestTransformEntry* TransformEntryAt(BYTE* manifest, DWORD packageCount, DWORD index)
{
    return reinterpret_cast<ManifestTransformEntry*>(reinterpret_cast<BYTE*>(PackageEntryAt(manifest, packageCount)) +
                                                     index * sizeof(ManifestTransformEntry));
}

BYTE BundleFlags(const PackOptions* options)
{
    BYTE flags = options->window ? BUNDLE_WINDOW : 0;
    if (options->licensePath) {
        flags |= BUNDLE_LICENSE | (IsRichTextLicense(options->licensePath) ? BUNDLE_LICENSE_RTF : 0);
    }
    return flags;
}

HRESULT BuildManifest(const PackOptions* options, BYTE** manifest, DWORD* size)
{
    HRESULT hr = S_OK;
    const DWORD bytes = sizeof(PackageManifest) + options->packageCount * sizeof(ManifestPackageEntry) +
                        options->transformCount * sizeof(ManifestTransformEntry);
    BYTE* block = static_cast<BYTE*>(MemutilAllocate(bytes, TRUE));
    PackageManifest* header = reinterpret_cast<PackageManifest*>(block);

    EXIT_IF_NULL_ALLOC(block);
    header->packageCount = static_cast<BYTE>(options->packageCount);
    header->transformCount = static_cast<BYTE>(options->transformCount);
    header->bundleFlags = BundleFlags(options);
    for (DWORD k = 0; k < options->packageCount; ++k) {
        const PackageSpec& spec = options->packages[k];
        ManifestPackageEntry* entry = PackageEntryAt(block, k);
        CopyResourceName(ChainEntryResource(spec), k, entry->resourceName);
        EXIT_IF_FAILED(BoundedCopy(entry->fileName, ARRAYSIZE(entry->fileName), spec.fileName));
        entry->productCode = spec.productCode;
        entry->versionHigh = spec.versionHigh;
        entry->versionLow = spec.versionLow;
        entry->flags = spec.flags;
    }
    for (DWORD j = 0; j < options->transformCount; ++j) {
        ManifestTransformEntry* entry = TransformEntryAt(block, options->packageCount, j);
        CopyResourceName(TRANSFORM_RESOURCE, j, entry->resourceName);
        entry->language = options->transforms[j].language;
    }
    *manifest = block;
    *size = bytes;
    block = nullptr;

Exit:
    if (block) MemutilRelease(block);
    return hr;
}

// The string block with only the product name in it: entries before and after
// it are empty (a zero length each).
HRESULT BuildNameBlock(LPCWSTR name, WORD** block, DWORD* size)
{
    HRESULT hr = S_OK;
    const UINT index = PRODUCT_NAME_STRING_ID % STRINGS_PER_BLOCK;
    const DWORD length = lstrlenW(name);
    const DWORD words = STRINGS_PER_BLOCK + length;
    WORD* words_ = static_cast<WORD*>(MemutilAllocate(words * sizeof(WORD), TRUE));

    EXIT_IF_NULL_ALLOC(words_);
    words_[index] = static_cast<WORD>(length);
    memcpy(words_ + index + 1, name, length * sizeof(WCHAR));
    *block = words_;
    *size = words * sizeof(WORD);
    words_ = nullptr;

Exit:
    if (words_) MemutilRelease(words_);
    return hr;
}

} // namespace

HRESULT SetResource(ResourceTable* resources, LPCWSTR type, LPCWSTR name, WORD language, const void* data, DWORD size)
{
    resources->Set(KeyOf(type), KeyOf(name), language, data, size);
    return S_OK;
}

namespace {

HRESULT AppendLine(WideString* text, LPCWSTR key, LPCWSTR value)
{
    HRESULT hr = S_OK;
    const WCHAR lineBreak[] = {PREREQ_LINE_BREAK, L'\0'};

    if (nullptr != *text) {
        EXIT_IF_FAILED(StrutilAppend(text, lineBreak, 0));
    }
    EXIT_IF_FAILED(StrutilAppend(text, key, 0));
    EXIT_IF_FAILED(StrutilAppend(text, L"=", 0));
    if (L'\0' != value[0]) {
        EXIT_IF_FAILED(StrutilAppend(text, value, 0));
    }

Exit:
    return hr;
}

// A program's parameters, one key=value a line in the order prereqargs.h
// gives; exit codes in decimal.
HRESULT BuildProgramParameters(const ProgramSpec* program, WideString* text)
{
    HRESULT hr = S_OK;
    WCHAR exitCode[32] = {};

    for (DWORD k = 0; k < program->ruleCount; ++k) {
        EXIT_IF_FAILED(AppendLine(text, PREREQ_DETECT_KEY, program->rules[k]));
    }
    if (program->args) EXIT_IF_FAILED(AppendLine(text, PREREQ_ARGS_KEY, program->args));
    if (program->uiArgs) EXIT_IF_FAILED(AppendLine(text, PREREQ_UI_ARGS_KEY, program->uiArgs));
    if (program->uninstallArgs) EXIT_IF_FAILED(AppendLine(text, PREREQ_UNINSTALL_ARGS_KEY, program->uninstallArgs));
    if (program->repairArgs) EXIT_IF_FAILED(AppendLine(text, PREREQ_REPAIR_ARGS_KEY, program->repairArgs));
    for (DWORD k = 0; k < program->exitCodeCount; ++k) {
        EXIT_IF_FAILED(BoundedFormat(exitCode, ARRAYSIZE(exitCode), L"%lu=%ls", program->exitCodes[k].code,
                                     PrereqExitKindName(program->exitCodes[k].kind)));
        EXIT_IF_FAILED(AppendLine(text, PREREQ_EXIT_CODE_KEY, exitCode));
    }

Exit:
    return hr;
}

// ARG<nn> beside EXE<nn>: the text without its terminator.
HRESULT AddProgramParameters(ResourceTable* resources, const ProgramSpec* program, DWORD index, WORD language)
{
    HRESULT hr = S_OK;
    WideString text = nullptr;
    WCHAR name[12] = {};

    EXIT_IF_FAILED(BuildProgramParameters(program, &text));
    FormatResourceName(PROGRAM_PARAMETERS_RESOURCE, index, name);
    EXIT_IF_FAILED(SetResource(resources, RT_RCDATA, name, language, text,
                                  static_cast<DWORD>(lstrlenW(text)) * sizeof(WCHAR)));

Exit:
    StrutilFree(text);
    return hr;
}

// Payload k of the table, and its name there ("MSI00", "EXE01", "CAB00", "MST00").
const InputFile* PayloadAt(const PackOptions* options, const PackInputs* inputs, DWORD k, char (&name)[12])
{
    const DWORD cabinetsEnd = options->packageCount + options->cabinetCount;
    if (k < options->packageCount) {
        CopyResourceName(ChainEntryResource(options->packages[k]), k, name);
        return &inputs->packages[k];
    }
    if (k < cabinetsEnd) {
        CopyResourceName(CABINET_RESOURCE, k - options->packageCount, name);
        return &inputs->cabinets[k - options->packageCount];
    }
    if (k == cabinetsEnd + options->transformCount) {
        CopyResourceName(LICENSE_RESOURCE, 0, name);
        return &inputs->license;
    }
    CopyResourceName(TRANSFORM_RESOURCE, k - cabinetsEnd, name);
    return &inputs->transforms[k - cabinetsEnd];
}

// The payloads in the order they follow the image, one after the other:
// chain entries, cabinets (in the order of their packages), transforms, the licence.
struct PayloadList {
    PayloadTableEntry* table;
    const InputFile** files;
    DWORD count;
};

HRESULT BuildPayloadList(const PackOptions* options, const PackInputs* inputs, PayloadList* list)
{
    HRESULT hr = S_OK;
    ULONGLONG offset = 0;

    list->count = options->packageCount + options->cabinetCount + options->transformCount +
                  (options->licensePath ? 1 : 0);
    list->table = static_cast<PayloadTableEntry*>(MemutilAllocate(list->count * sizeof(PayloadTableEntry), TRUE));
    list->files = static_cast<const InputFile**>(MemutilAllocate(list->count * sizeof(InputFile*), TRUE));
    EXIT_IF_NULL_ALLOC(list->table);
    EXIT_IF_NULL_ALLOC(list->files);
    for (DWORD k = 0; k < list->count; ++k) {
        list->files[k] = PayloadAt(options, inputs, k, list->table[k].name);
        list->table[k].offset = offset;
        list->table[k].size = list->files[k]->size;
        offset += list->files[k]->size;
    }

Exit:
    return hr;
}

void ReleasePayloadList(PayloadList* list)
{
    if (list->table) MemutilRelease(list->table);
    if (list->files) MemutilRelease(const_cast<InputFile**>(list->files));
    *list = PayloadList{};
}

// CABINETS: each cabinet's payload, package and file name.
HRESULT AddCabinetList(ResourceTable* resources, const PackOptions* options, WORD language)
{
    HRESULT hr = S_OK;
    const DWORD bytes = options->cabinetCount * sizeof(ManifestCabinetEntry);
    ManifestCabinetEntry* list = static_cast<ManifestCabinetEntry*>(MemutilAllocate(bytes, TRUE));

    EXIT_IF_NULL_ALLOC(list);
    for (DWORD c = 0; c < options->cabinetCount; ++c) {
        CopyResourceName(CABINET_RESOURCE, c, list[c].resourceName);
        list[c].packageIndex = options->cabinets[c].package;
        EXIT_IF_FAILED(BoundedCopy(list[c].fileName, ARRAYSIZE(list[c].fileName), options->cabinets[c].fileName));
    }
    EXIT_IF_FAILED(SetResource(resources, RT_RCDATA, L"CABINETS", language, list, bytes));

Exit:
    if (list) MemutilRelease(list);
    return hr;
}

// The lists in the image: MANIFEST, each program's parameters, CABINETS
// where a package has cabinets, and PAYLOADS, which says where the payloads
// after the image lie.
HRESULT AddPayloadLists(ResourceTable* resources, const PackOptions* options, const PayloadList* payloads)
{
    HRESULT hr = S_OK;
    BYTE* manifest = nullptr;
    DWORD manifestSize = 0;
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

    EXIT_IF_FAILED(BuildManifest(options, &manifest, &manifestSize));
    EXIT_IF_FAILED(SetResource(resources, RT_RCDATA, L"MANIFEST", neutral, manifest, manifestSize));
    for (DWORD k = 0; k < options->packageCount; ++k) {
        if (IsProgramEntry(&options->packages[k])) {
            EXIT_IF_FAILED(AddProgramParameters(resources, &options->packages[k].program, k, neutral));
        }
    }
    if (options->cabinetCount > 0) {
        EXIT_IF_FAILED(AddCabinetList(resources, options, neutral));
    }
    EXIT_IF_FAILED(SetResource(resources, RT_RCDATA, L"PAYLOADS", neutral, payloads->table,
                                  payloads->count * sizeof(PayloadTableEntry)));

Exit:
    if (manifest) MemutilRelease(manifest);
    return hr;
}

// The vendor's names where the stub had ours: the help box caption, the
// version record, and the icon when one is given; and the registration of a
// bundle with an Add/Remove Programs entry of its own.
HRESULT AddIdentity(ResourceTable* resources, const PackOptions* options, const InputFile* icon)
{
    HRESULT hr = S_OK;
    WORD* nameBlock = nullptr;
    DWORD nameBlockSize = 0;
    BYTE* record = nullptr;
    DWORD recordSize = 0;
    BundleRegistration registration = {};

    EXIT_IF_FAILED(BuildNameBlock(options->identity.productName, &nameBlock, &nameBlockSize));
    EXIT_IF_FAILED(SetResource(resources, RT_STRING, MAKEINTRESOURCEW(ProductNameBlock()), ENGLISH_US, nameBlock,
                                  nameBlockSize));
    EXIT_IF_FAILED(BuildVersionRecord(options, &record, &recordSize));
    EXIT_IF_FAILED(SetResource(resources, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), ENGLISH_US, record,
                                  recordSize));
    if (options->iconPath) {
        EXIT_IF_FAILED(AddIcon(resources, icon));
    }
    if (options->registration.registered) {
        EXIT_IF_FAILED(BuildRegistration(options, &registration));
        EXIT_IF_FAILED(SetResource(resources, RT_RCDATA, L"" REGISTRATION_RESOURCE_TEXT,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &registration, sizeof(registration)));
    }

Exit:
    if (nameBlock) MemutilRelease(nameBlock);
    if (record) MemutilRelease(record);
    return hr;
}

// A new file beside the output, so that the finished bundle can replace the
// output in one move and a failure leaves the output as it was.
HRESULT CreateScratchCopy(LPCWSTR stubPath, LPCWSTR outPath, WCHAR (&scratch)[MAX_PATH])
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH] = {};
    LPWSTR namePart = nullptr;
    int failedStep = 0;

    if (FAILED(HostFullPath(outPath, folder, &namePart)) || !namePart) {
        ReportError(L"bad /out path: %ls", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    *namePart = L'\0';
    hr = HostCreateScratchCopy(folder, stubPath, scratch, &failedStep);
    if (FAILED(hr) && 0 == failedStep) {
        ReportError(L"cannot write into the folder %ls (error 0x%08X)", folder, hr);
    } else if (FAILED(hr)) {
        ReportError(L"cannot copy the stub %ls (error 0x%08X)", stubPath, hr);
    }

Exit:
    return hr;
}

// A failure with a reason the resource section gives in ASCII.
void ReportReason(LPCWSTR format, LPCWSTR stubPath, const char* reason)
{
    WCHAR text[128] = {};
    for (size_t k = 0; reason[k] && k + 1 < ARRAYSIZE(text); ++k) {
        text[k] = static_cast<WCHAR>(reason[k]);
    }
    ReportError(format, stubPath, text);
}

// The copy of the stub, cut to its image, whole in memory.
HRESULT ReadImage(LPCWSTR path, LPCWSTR stubPath, std::vector<uint8_t>* image)
{
    HRESULT hr = S_OK;
    InputFile file = {};

    hr = OpenFile(path, &file);
    if (SUCCEEDED(hr) && file.size > MAX_STUB_IMAGE_BYTES) {
        ReportError(L"the stub %ls has an image of more than %u MiB", stubPath, MAX_STUB_IMAGE_BYTES / (1024 * 1024));
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    if (SUCCEEDED(hr)) {
        image->resize(static_cast<size_t>(file.size));
        hr = ReadAt(&file, 0, image->data(), static_cast<DWORD>(file.size)) ? S_OK : RESULT_INVALID_DATA;
    }
    if (FAILED(hr)) {
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot read a copy of the stub %ls (error 0x%08X)", stubPath, hr);
    }

Exit:
    CloseInputFile(&file);
    return hr;
}

HRESULT WriteImage(LPCWSTR path, const std::vector<uint8_t>& image)
{
    HRESULT hr = S_OK;
    HostFile file = {};

    EXIT_IF_FAILED(HostOpenReadWrite(path, &file));
    EXIT_IF_FAILED(HostWriteAt(&file, 0, image.data(), static_cast<DWORD>(image.size())));
    EXIT_IF_FAILED(HostSetFileSize(&file, image.size()));

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot write the bundle's resources (error 0x%08X)", hr);
    }
    HostClose(&file);
    return hr;
}

} // namespace

HRESULT WriteBundle(const PackOptions* options, const PackInputs* inputs, BOOL* signatureDropped)
{
    HRESULT hr = S_OK;
    WCHAR scratch[MAX_PATH] = {};
    PayloadList payloads = {};
    std::vector<uint8_t> image;
    std::vector<Resource> stubResources;
    ResourceTable resources;
    const char* reason = nullptr;

    EXIT_IF_FAILED(CreateScratchCopy(options->stubPath, options->outPath, scratch));
    // Before the resources change: a signature would fail once they do, and
    // what follows the image (an earlier bundle's payloads) is no part of it.
    EXIT_IF_FAILED(DropSignature(scratch, options->stubPath, signatureDropped));
    EXIT_IF_FAILED(CutToImage(scratch, options->stubPath));
    EXIT_IF_FAILED(BuildPayloadList(options, inputs, &payloads));

    EXIT_IF_FAILED(ReadImage(scratch, options->stubPath, &image));
    if (!ReadImageResources(image, &stubResources, &reason)) {
        ReportReason(L"cannot read the resources of the stub %ls: %ls", options->stubPath, reason);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(CopyStubResources(stubResources, &resources, options->identity.productName,
                                     nullptr != options->iconPath));
    EXIT_IF_FAILED(AddPayloadLists(&resources, options, &payloads));
    EXIT_IF_FAILED(AddIdentity(&resources, options, &inputs->icon));
    if (!ReplaceImageResources(&image, resources, &reason)) {
        ReportReason(L"cannot write the resources of the stub %ls: %ls", options->stubPath, reason);
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(WriteImage(scratch, image));
    EXIT_IF_FAILED(AppendPayloads(scratch, payloads.table, payloads.files, payloads.count));
    // Last, over the finished file.
    EXIT_IF_FAILED(WriteChecksum(scratch));
    hr = HostReplaceFile(scratch, options->outPath);
    if (FAILED(hr)) {
        ReportError(L"cannot write %ls (error 0x%08X)", options->outPath, hr);
        goto Exit;
    }
    scratch[0] = L'\0';

Exit:
    if (scratch[0]) HostDeleteFile(scratch);
    ReleasePayloadList(&payloads);
    return hr;
}
