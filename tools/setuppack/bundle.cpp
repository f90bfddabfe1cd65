#include "setuppack.h"
#include "memutil.h"
#include "result.h"
#include "manifest.h"

namespace {

constexpr UINT STRINGS_PER_BLOCK = 16;

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

// The bundle starts from an empty resource section and takes over every
// resource of the stub except its payload, its product name and version
// record (the bundle gets its own) and its icon when /icon gives another, so
// nothing of an earlier bundle survives. The application manifest is taken
// over with the product's names in it.
struct StubCopy {
    HMODULE stub;
    HANDLE update;
    LPCWSTR productName;
    BOOL replaceIcon;
    HRESULT hr;
};

BOOL IsLeftBehind(const StubCopy* copy, LPCWSTR type, LPCWSTR name)
{
    if (RT_RCDATA == type) {
        return IsPayloadName(name);
    }
    if (RT_ICON == type || RT_GROUP_ICON == type) {
        return copy->replaceIcon;
    }
    return RT_VERSION == type || (RT_STRING == type && MAKEINTRESOURCEW(ProductNameBlock()) == name);
}

BOOL IsApplicationManifest(LPCWSTR type, LPCWSTR name)
{
    return RT_MANIFEST == type && CREATEPROCESS_MANIFEST_RESOURCE_ID == name;
}

HRESULT LockStubResource(const StubCopy* copy, LPCWSTR type, LPCWSTR name, WORD language, const BYTE** data,
                         DWORD* size)
{
    HRESULT hr = S_OK;
    HRSRC found = ::FindResourceExW(copy->stub, type, name, language);
    HGLOBAL loaded = found ? ::LoadResource(copy->stub, found) : nullptr;

    *data = loaded ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
    *size = found ? ::SizeofResource(copy->stub, found) : 0;
    EXIT_LAST_ERROR_IF(!*data && *size > 0);
    EXIT_LAST_ERROR_IF(!found);

Exit:
    if (FAILED(hr)) {
        ReportError(L"cannot copy a resource of the stub (error 0x%08X)", hr);
    }
    return hr;
}

HRESULT CopyResource(const StubCopy* copy, LPCWSTR type, LPCWSTR name, WORD language)
{
    HRESULT hr = S_OK;
    const BYTE* data = nullptr;
    DWORD size = 0;

    EXIT_IF_FAILED(LockStubResource(copy, type, name, language, &data, &size));
    EXIT_IF_FAILED(UpdateOrReport(copy->update, type, name, language, data, size));

Exit:
    return hr;
}

HRESULT CopyApplicationManifest(const StubCopy* copy, WORD language)
{
    HRESULT hr = S_OK;
    const BYTE* stubManifest = nullptr;
    DWORD stubSize = 0;
    BYTE* manifest = nullptr;
    DWORD size = 0;

    EXIT_IF_FAILED(LockStubResource(copy, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, language, &stubManifest,
                                    &stubSize));
    EXIT_IF_FAILED(BuildApplicationManifest(copy->productName, stubManifest, stubSize, &manifest, &size));
    EXIT_IF_FAILED(UpdateOrReport(copy->update, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, language, manifest,
                                  size));

Exit:
    if (manifest) MemutilRelease(manifest);
    return hr;
}

BOOL CALLBACK CopyLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param)
{
    StubCopy* copy = reinterpret_cast<StubCopy*>(param);
    copy->hr = IsApplicationManifest(type, name) ? CopyApplicationManifest(copy, language)
                                                 : CopyResource(copy, type, name, language);
    return SUCCEEDED(copy->hr);
}

BOOL CALLBACK CopyName(HMODULE stub, LPCWSTR type, LPWSTR name, LONG_PTR param)
{
    StubCopy* copy = reinterpret_cast<StubCopy*>(param);
    if (!IsLeftBehind(copy, type, name)) {
        ::EnumResourceLanguagesW(stub, type, name, CopyLanguage, param);
    }
    return SUCCEEDED(copy->hr);
}

BOOL CALLBACK CopyType(HMODULE stub, LPWSTR type, LONG_PTR param)
{
    ::EnumResourceNamesW(stub, type, CopyName, param);
    return SUCCEEDED(reinterpret_cast<StubCopy*>(param)->hr);
}

HRESULT CopyStubResources(HMODULE stub, HANDLE update, LPCWSTR productName, BOOL replaceIcon)
{
    StubCopy copy = {stub, update, productName, replaceIcon, S_OK};
    ::EnumResourceTypesW(stub, CopyType, reinterpret_cast<LONG_PTR>(&copy));
    return copy.hr;
}

HRESULT LoadStub(LPCWSTR stubPath, HMODULE* stub)
{
    HRESULT hr = S_OK;

    *stub = ::LoadLibraryExW(stubPath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!*stub) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot read the stub %ls as an executable (error 0x%08X)", stubPath, hr);
    }
    return hr;
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

HRESULT UpdateOrReport(HANDLE update, LPCWSTR type, LPCWSTR name, WORD language, const void* data, DWORD size)
{
    HRESULT hr = S_OK;

    if (!::UpdateResourceW(update, type, name, language, const_cast<void*>(data), size)) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot update the bundle's resources (error 0x%08X)", hr);
    }
    return hr;
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
HRESULT AddProgramParameters(HANDLE update, const ProgramSpec* program, DWORD index, WORD language)
{
    HRESULT hr = S_OK;
    WideString text = nullptr;
    WCHAR name[12] = {};

    EXIT_IF_FAILED(BuildProgramParameters(program, &text));
    FormatResourceName(PROGRAM_PARAMETERS_RESOURCE, index, name);
    EXIT_IF_FAILED(UpdateOrReport(update, RT_RCDATA, name, language, text,
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
HRESULT AddCabinetList(HANDLE update, const PackOptions* options, WORD language)
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
    EXIT_IF_FAILED(UpdateOrReport(update, RT_RCDATA, L"CABINETS", language, list, bytes));

Exit:
    if (list) MemutilRelease(list);
    return hr;
}

// The lists in the image: MANIFEST, each program's parameters, CABINETS
// where a package has cabinets, and PAYLOADS, which says where the payloads
// after the image lie.
HRESULT AddPayloadLists(HANDLE update, const PackOptions* options, const PayloadList* payloads)
{
    HRESULT hr = S_OK;
    BYTE* manifest = nullptr;
    DWORD manifestSize = 0;
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

    EXIT_IF_FAILED(BuildManifest(options, &manifest, &manifestSize));
    EXIT_IF_FAILED(UpdateOrReport(update, RT_RCDATA, L"MANIFEST", neutral, manifest, manifestSize));
    for (DWORD k = 0; k < options->packageCount; ++k) {
        if (IsProgramEntry(&options->packages[k])) {
            EXIT_IF_FAILED(AddProgramParameters(update, &options->packages[k].program, k, neutral));
        }
    }
    if (options->cabinetCount > 0) {
        EXIT_IF_FAILED(AddCabinetList(update, options, neutral));
    }
    EXIT_IF_FAILED(UpdateOrReport(update, RT_RCDATA, L"PAYLOADS", neutral, payloads->table,
                                  payloads->count * sizeof(PayloadTableEntry)));

Exit:
    if (manifest) MemutilRelease(manifest);
    return hr;
}

// The vendor's names where the stub had ours: the help box caption, the
// version record, and the icon when one is given; and the registration of a
// bundle with an Add/Remove Programs entry of its own.
HRESULT AddIdentity(HANDLE update, const PackOptions* options, const InputFile* icon)
{
    HRESULT hr = S_OK;
    WORD* nameBlock = nullptr;
    DWORD nameBlockSize = 0;
    BYTE* record = nullptr;
    DWORD recordSize = 0;
    BundleRegistration registration = {};

    EXIT_IF_FAILED(BuildNameBlock(options->identity.productName, &nameBlock, &nameBlockSize));
    EXIT_IF_FAILED(UpdateOrReport(update, RT_STRING, MAKEINTRESOURCEW(ProductNameBlock()), ENGLISH_US, nameBlock,
                                  nameBlockSize));
    EXIT_IF_FAILED(BuildVersionRecord(options, &record, &recordSize));
    EXIT_IF_FAILED(UpdateOrReport(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), ENGLISH_US, record,
                                  recordSize));
    if (options->iconPath) {
        EXIT_IF_FAILED(AddIcon(update, icon));
    }
    if (options->registration.registered) {
        EXIT_IF_FAILED(BuildRegistration(options, &registration));
        EXIT_IF_FAILED(UpdateOrReport(update, RT_RCDATA, L"" REGISTRATION_RESOURCE_TEXT,
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

    if (0 == ::GetFullPathNameW(outPath, MAX_PATH, folder, &namePart) || !namePart) {
        ReportError(L"bad /out path: %ls", outPath);
        EXIT_WITH(PACK_E_USAGE);
    }
    *namePart = L'\0';
    if (0 == ::GetTempFileNameW(folder, L"spk", 0, scratch)) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot write into the folder %ls (error 0x%08X)", folder, hr);
        goto Exit;
    }
    if (!::CopyFileW(stubPath, scratch, FALSE)) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot copy the stub %ls (error 0x%08X)", stubPath, hr);
        ::DeleteFileW(scratch);
        scratch[0] = L'\0';
        goto Exit;
    }

Exit:
    return hr;
}

} // namespace

HRESULT WriteBundle(const PackOptions* options, const PackInputs* inputs, BOOL* signatureDropped)
{
    HRESULT hr = S_OK;
    HMODULE stub = nullptr;
    WCHAR scratch[MAX_PATH] = {};
    HANDLE update = nullptr;
    PayloadList payloads = {};

    EXIT_IF_FAILED(LoadStub(options->stubPath, &stub));
    EXIT_IF_FAILED(CreateScratchCopy(options->stubPath, options->outPath, scratch));
    // Before the resources change: the resource writer carries a certificate
    // table along behind the grown resource section and points the header at
    // it anew (so Wine's does), which would leave a signature that fails; and
    // so it would carry an earlier bundle's payloads.
    EXIT_IF_FAILED(DropSignature(scratch, options->stubPath, signatureDropped));
    EXIT_IF_FAILED(CutToImage(scratch, options->stubPath));
    EXIT_IF_FAILED(BuildPayloadList(options, inputs, &payloads));

    update = ::BeginUpdateResourceW(scratch, TRUE);
    if (!update) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot update the resources of a copy of %ls (error 0x%08X)", options->stubPath, hr);
        goto Exit;
    }
    EXIT_IF_FAILED(CopyStubResources(stub, update, options->identity.productName, nullptr != options->iconPath));
    EXIT_IF_FAILED(AddPayloadLists(update, options, &payloads));
    EXIT_IF_FAILED(AddIdentity(update, options, &inputs->icon));

    if (!::EndUpdateResourceW(update, FALSE)) {
        update = nullptr;
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot write the bundle's resources (error 0x%08X)", hr);
        goto Exit;
    }
    update = nullptr;
    EXIT_IF_FAILED(AppendPayloads(scratch, payloads.table, payloads.files, payloads.count));
    // Last, over the finished file: the resource writer leaves the stub's.
    EXIT_IF_FAILED(WriteChecksum(scratch));
    ::FreeLibrary(stub);   // the stub may be the output itself: let go before the move
    stub = nullptr;
    if (!::MoveFileExW(scratch, options->outPath, MOVEFILE_REPLACE_EXISTING)) {
        hr = ResultFromLastError();
        TraceFailure(__FILE__, __LINE__, hr);
        ReportError(L"cannot write %ls (error 0x%08X)", options->outPath, hr);
        goto Exit;
    }
    scratch[0] = L'\0';

Exit:
    if (update) ::EndUpdateResourceW(update, TRUE);
    if (scratch[0]) ::DeleteFileW(scratch);
    if (stub) ::FreeLibrary(stub);
    ReleasePayloadList(&payloads);
    return hr;
}
