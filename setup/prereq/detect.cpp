#include "detect.h"
#include "versionutil.h"

#include <stdarg.h>
#include <shlobj.h>
#include <knownfolders.h>
#include "installer.h"
#include "bundlemanifest.h"
#include "memutil.h"
#include "result.h"
#include "runlog.h"
#include "strutil.h"
#include "sysutil.h"

namespace {

BOOL ParseSpanVersion(TextSpan text, ULONGLONG* version)
{
    return VersionutilParseValue(text.text, text.length, version);
}

constexpr WCHAR SHELL_FOLDERS_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr WCHAR PROGRAM_FILES_VALUE[] = L"ProgramFilesDir";
constexpr WCHAR COMMON_FILES_VALUE[] = L"CommonFilesDir";
constexpr WCHAR NATIVE_SYSTEM_FOLDER[] = L"\\Sysnative";
// version.dll is not one of the DLLs Windows always takes from the system
// folder: it is loaded from there at run time, never imported.
constexpr WCHAR VERSION_LIBRARY[] = L"version.dll";
constexpr WCHAR FIXED_VERSION_BLOCK[] = L"\\";
// A misbehaving service cannot keep the search going for ever.
constexpr DWORD RELATED_PRODUCTS_LIMIT = 256;
constexpr LONG ERROR_NO_VERSION_RECORD[] = {ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND,
                                            ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_BAD_FORMAT};

struct RegistryRoot {
    HKEY hive;
    REGSAM view;
};

struct NamedType {
    DWORD type;
    LPCWSTR name;
};

constexpr NamedType VALUE_TYPES[] = {
    {REG_NONE, L"REG_NONE"},     {REG_SZ, L"REG_SZ"},       {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
    {REG_BINARY, L"REG_BINARY"}, {REG_DWORD, L"REG_DWORD"}, {REG_DWORD_BIG_ENDIAN, L"REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, L"REG_LINK"},     {REG_MULTI_SZ, L"REG_MULTI_SZ"}, {REG_QWORD, L"REG_QWORD"},
};

// A value as read: what fits, and the size it has. Room for the longest text
// operand and a character more, so that a longer text is known to differ.
struct RegistryValue {
    BOOL keyOpened;
    DWORD type;
    DWORD size;
    union {
        DWORD dword;
        ULONGLONG qword;
        WCHAR text[DETECT_TEXT_MAX_CHARS + 2];
    } data;
};

using VersionSizeFunction = DWORD(WINAPI*)(LPCWSTR path, LPDWORD handle);
using VersionInfoFunction = BOOL(WINAPI*)(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
using VersionQueryFunction = BOOL(WINAPI*)(LPCVOID record, LPCWSTR block, LPVOID* value, PUINT length);

struct VersionLibrary {
    HMODULE module;
    VersionSizeFunction size;
    VersionInfoFunction info;
    VersionQueryFunction query;
};

// The highest installed product of an upgrade code, or the first one that
// makes the rule hold.
struct RelatedProduct {
    DWORD count;
    BOOL holds;
    WCHAR code[INSTALLER_PRODUCT_CODE_CHARS];
    ULONGLONG version;
};

// "error 5" for a Win32 error, as administrators look them up; any other
// result in hex.
struct ErrorText {
    WCHAR text[24];
};

ErrorText ErrorOf(HRESULT hr)
{
    ErrorText error = {};
    if (FACILITY_WIN32 == HRESULT_FACILITY(hr)) {
        BoundedFormat(error.text, ARRAYSIZE(error.text), L"error %lu", static_cast<DWORD>(HRESULT_CODE(hr)));
    } else {
        BoundedFormat(error.text, ARRAYSIZE(error.text), L"error 0x%08lX", static_cast<DWORD>(hr));
    }
    return error;
}

// A finding longer than its buffer is cut: the log line stays useful.
void Found(DetectFinding* finding, LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    BoundedFormatArgs(finding->found, DETECT_FOUND_CHARS, format, args);
    va_end(args);
}

void FoundMore(DetectFinding* finding, LPCWSTR text)
{
    BoundedAppend(finding->found, DETECT_FOUND_CHARS, text);
}

HRESULT CopySpan(TextSpan span, LPWSTR buffer, size_t size)
{
    return BoundedCopyCount(buffer, size, span.text, span.length);
}

int CompareNumbers(ULONGLONG a, ULONGLONG b)
{
    return a < b ? -1 : a > b ? 1 : 0;
}

int CompareTextsIgnoringCase(TextSpan a, TextSpan b)
{
    return ::CompareStringOrdinal(a.text, static_cast<int>(a.length), b.text, static_cast<int>(b.length), TRUE) -
           CSTR_EQUAL;
}

// ---- the registry -------------------------------------------------------

RegistryRoot RootOf(DetectRoot root)
{
    switch (root) {
    case DetectRoot::LocalMachine64: return {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
    case DetectRoot::LocalMachine32: return {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
    case DetectRoot::CurrentUser64: return {HKEY_CURRENT_USER, KEY_WOW64_64KEY};
    default: return {HKEY_CURRENT_USER, KEY_WOW64_32KEY};
    }
}

LPCWSTR TypeName(DWORD type)
{
    for (const NamedType& named : VALUE_TYPES) {
        if (named.type == type) {
            return named.name;
        }
    }
    return L"unknown type";
}

BOOL IsTextType(DWORD type)
{
    return REG_SZ == type || REG_EXPAND_SZ == type;
}

// Opens the key, and reads the value of a value rule.
HRESULT ReadRegistry(const DetectRule* rule, RegistryValue* value)
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    HKEY opened = nullptr;
    WCHAR keyName[DETECT_KEY_MAX_CHARS + 1] = L"";
    WCHAR valueName[DETECT_VALUE_NAME_MAX_CHARS + 1] = L"";
    const RegistryRoot root = RootOf(rule->root);
    LONG error = ERROR_SUCCESS;

    EXIT_IF_FAILED(CopySpan(rule->key, keyName, ARRAYSIZE(keyName)));
    EXIT_WIN32_IF_ERROR(::RegOpenKeyExW(root.hive, keyName, 0, KEY_QUERY_VALUE | root.view, &opened));
    key = opened;
    value->keyOpened = TRUE;
    if (DetectKind::RegistryValue != rule->kind) {
        goto Exit;
    }
    EXIT_IF_FAILED(CopySpan(rule->valueName, valueName, ARRAYSIZE(valueName)));
    value->size = sizeof(value->data);
    error = ::RegQueryValueExW(key, valueName, nullptr, &value->type, reinterpret_cast<BYTE*>(&value->data),
                               &value->size);
    if (ERROR_MORE_DATA != error) {
        EXIT_WIN32_IF_ERROR(error);
    }

Exit:
    if (nullptr != key) {
        ::RegCloseKey(key);
    }
    return hr;
}

// A string value's text, up to its first NUL; false when it did not fit.
BOOL ValueText(const RegistryValue* value, TextSpan* text)
{
    if (value->size > sizeof(value->data)) {
        return FALSE;
    }
    const DWORD chars = value->size / sizeof(WCHAR);
    DWORD length = 0;
    while (length < chars && L'\0' != value->data.text[length]) {
        ++length;
    }
    *text = {value->data.text, length};
    return TRUE;
}

BOOL ValueNumber(const RegistryValue* value, ULONGLONG* number)
{
    if (REG_DWORD == value->type && sizeof(DWORD) == value->size) {
        *number = value->data.dword;
        return TRUE;
    }
    if (REG_QWORD == value->type && sizeof(ULONGLONG) == value->size) {
        *number = value->data.qword;
        return TRUE;
    }
    return FALSE;
}

void DescribeValue(const RegistryValue* value, DetectFinding* finding)
{
    ULONGLONG number = 0;
    TextSpan text = {};

    if (ValueNumber(value, &number)) {
        Found(finding, L"%I64u (%ls)", number, TypeName(value->type));
    } else if (IsTextType(value->type) && ValueText(value, &text)) {
        Found(finding, L"\"%.*ls\" (%ls)", static_cast<int>(text.length), text.text, TypeName(value->type));
    } else {
        Found(finding, L"a value of %lu bytes (%ls)", value->size, TypeName(value->type));
    }
}

// Whether the value compares as the rule says. A value that the operand
// cannot be compared with does not hold, and the finding says why.
BOOL CompareValue(const DetectRule* rule, const RegistryValue* value, DetectFinding* finding)
{
    ULONGLONG number = 0;
    TextSpan text = {};

    switch (rule->operand) {
    case DetectOperand::None:
        return TRUE;
    case DetectOperand::Number:
        if (!ValueNumber(value, &number)) {
            FoundMore(finding, L", not a number");
            return FALSE;
        }
        return DetectOperatorHolds(rule->op, CompareNumbers(number, rule->number));
    case DetectOperand::Text:
        if (!IsTextType(value->type)) {
            FoundMore(finding, L", not a text");
            return FALSE;
        }
        // A text too long to read whole is longer than any operand.
        return DetectOperatorHolds(rule->op, ValueText(value, &text) ? CompareTextsIgnoringCase(text, rule->text) : 1);
    default:
        if (!IsTextType(value->type) || !ValueText(value, &text) || !ParseSpanVersion(text, &number)) {
            FoundMore(finding, L", not a version");
            return FALSE;
        }
        return DetectOperatorHolds(rule->op, CompareNumbers(number, rule->number));
    }
}

void EvaluateRegistry(const DetectRule* rule, DetectFinding* finding)
{
    RegistryValue value = {};
    const HRESULT hr = ReadRegistry(rule, &value);
    const LPCWSTR what = value.keyOpened ? L"value" : L"key";

    if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
        Found(finding, L"no such %ls", what);
    } else if (FAILED(hr)) {
        Found(finding, L"the %ls cannot be read (%ls)", what, ErrorOf(hr).text);
    } else if (DetectKind::RegistryKey == rule->kind) {
        Found(finding, L"the key");
        finding->holds = TRUE;
    } else {
        DescribeValue(&value, finding);
        finding->holds = CompareValue(rule, &value, finding);
    }
}

// ---- folders and files --------------------------------------------------

// The known-folder call hands out its text even when it fails, to be freed
// either way. A folder that does not exist still has its path: the file is
// then not there, and the log shows where it was looked for.
HRESULT KnownFolderPath(REFKNOWNFOLDERID id, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    PWSTR answer = nullptr;

    hr = ::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &answer);
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }
    EXIT_IF_FAILED(BoundedCopy(path, MAX_PATH, answer));

Exit:
    ::CoTaskMemFree(answer);
    return hr;
}

HRESULT ShellFolderValue(LPCWSTR name, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    HKEY opened = nullptr;
    DWORD type = REG_NONE;
    DWORD size = (MAX_PATH - 1) * sizeof(WCHAR);

    EXIT_WIN32_IF_ERROR(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SHELL_FOLDERS_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                        &opened));
    key = opened;
    EXIT_WIN32_IF_ERROR(::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(path), &size));
    path[size / sizeof(WCHAR)] = L'\0';
    if (REG_SZ != type || L'\0' == path[0]) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    if (nullptr != key) {
        ::RegCloseKey(key);
    }
    return hr;
}

HRESULT NativeSystemFolder(WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(KnownFolderPath(FOLDERID_Windows, path));
    EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, NATIVE_SYSTEM_FOLDER));

Exit:
    return hr;
}

HRESULT FilePath(const DetectRule* rule, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(ResolveDetectFolder(rule->folder, DetectRunsUnderWow64(), path));
    EXIT_IF_FAILED(BoundedAppend(path, MAX_PATH, L"\\"));
    EXIT_IF_FAILED(BoundedAppendCount(path, MAX_PATH, rule->path.text, rule->path.length));

Exit:
    return hr;
}

// Loaded for each read and let go after it: a run reads few versions.
HRESULT LoadVersionLibrary(VersionLibrary* library)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(SysutilLoadSystemLibrary(VERSION_LIBRARY, &library->module));
    EXIT_IF_FAILED(SysutilResolve(library->module, "GetFileVersionInfoSizeW", &library->size));
    EXIT_IF_FAILED(SysutilResolve(library->module, "GetFileVersionInfoW", &library->info));
    EXIT_IF_FAILED(SysutilResolve(library->module, "VerQueryValueW", &library->query));

Exit:
    return hr;
}

// The file version of the version record's fixed part.
HRESULT ReadFileVersion(LPCWSTR path, ULONGLONG* version)
{
    HRESULT hr = S_OK;
    VersionLibrary library = {};
    DWORD unused = 0;
    DWORD size = 0;
    void* record = nullptr;
    void* fixedPart = nullptr;
    UINT length = 0;
    const VS_FIXEDFILEINFO* fixed = nullptr;

    EXIT_IF_FAILED(LoadVersionLibrary(&library));
    size = library.size(path, &unused);
    EXIT_LAST_ERROR_IF(0 == size);
    record = MemutilAllocate(size, FALSE);
    EXIT_IF_NULL_ALLOC(record);
    EXIT_LAST_ERROR_IF(!library.info(path, 0, size, record));
    EXIT_LAST_ERROR_IF(!library.query(record, FIXED_VERSION_BLOCK, &fixedPart, &length));
    fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedPart);
    if (nullptr == fixed || length < sizeof(*fixed) || VS_FFI_SIGNATURE != fixed->dwSignature) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    *version = static_cast<ULONGLONG>(fixed->dwFileVersionMS) << 32 | fixed->dwFileVersionLS;

Exit:
    if (nullptr != record) {
        MemutilRelease(record);
    }
    if (nullptr != library.module) {
        ::FreeLibrary(library.module);
    }
    return hr;
}

BOOL MeansNoVersionRecord(HRESULT hr)
{
    for (const LONG error : ERROR_NO_VERSION_RECORD) {
        if (ResultFromWin32(error) == hr) {
            return TRUE;
        }
    }
    return RESULT_INVALID_DATA == hr;
}

void EvaluateFile(const DetectRule* rule, DetectFinding* finding)
{
    WCHAR path[MAX_PATH] = L"";
    WCHAR versionText[VERSION_TEXT_CHARS] = L"";
    ULONGLONG version = 0;
    HRESULT hr = FilePath(rule, path);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;

    if (FAILED(hr)) {
        Found(finding, L"no path for the folder (%ls)", ErrorOf(hr).text);
        return;
    }
    attributes = ::GetFileAttributesW(path);
    hr = INVALID_FILE_ATTRIBUTES == attributes ? ResultFromLastError() : S_OK;
    if (RESULT_FILE_NOT_FOUND == hr || RESULT_PATH_NOT_FOUND == hr) {
        Found(finding, L"no file %ls", path);
    } else if (FAILED(hr)) {
        Found(finding, L"%ls, which cannot be read (%ls)", path, ErrorOf(hr).text);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Found(finding, L"%ls, a folder", path);
    } else if (DetectOperand::None == rule->operand) {
        Found(finding, L"%ls", path);
        finding->holds = TRUE;
    } else if (FAILED(hr = ReadFileVersion(path, &version))) {
        Found(finding, MeansNoVersionRecord(hr) ? L"%ls, without a version record" : L"%ls, whose version cannot be read (%ls)",
              path, ErrorOf(hr).text);
    } else {
        VersionutilFormat(version, versionText);
        Found(finding, L"%ls, version %ls", path, versionText);
        finding->holds = DetectOperatorHolds(rule->op, CompareNumbers(version, rule->number));
    }
}

// ---- the installer --------------------------------------------------------

HRESULT LoadInstallerWithCode(TextSpan code, WCHAR (&text)[INSTALLER_PRODUCT_CODE_CHARS])
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(CopySpan(code, text, ARRAYSIZE(text)));
    EXIT_IF_FAILED(InstallerLoad());

Exit:
    return hr;
}

void EvaluateProduct(const DetectRule* rule, ProductContext context, DetectFinding* finding)
{
    WCHAR code[INSTALLER_PRODUCT_CODE_CHARS] = L"";
    const HRESULT hr = LoadInstallerWithCode(rule->code, code);
    INT state = INSTALLER_STATE_UNKNOWN;

    if (FAILED(hr)) {
        Found(finding, L"no answer: the installer cannot be loaded (%ls)", ErrorOf(hr).text);
        return;
    }
    state = InstallerQueryProductState(context, code);
    finding->holds = INSTALLER_STATE_INSTALLED == state;
    if (INSTALLER_STATE_INSTALLED == state) {
        Found(finding, L"installed");
    } else if (INSTALLER_STATE_ADVERTISED == state) {
        Found(finding, L"advertised only");
    } else if (INSTALLER_STATE_UNKNOWN == state) {
        Found(finding, L"not installed");
    } else {
        Found(finding, L"installation state %d", state);
    }
}

// The version the installer keeps for a product; S_FALSE when it is no version.
HRESULT InstalledVersion(ProductContext context, LPCWSTR product, ULONGLONG* version)
{
    HRESULT hr = S_OK;
    WCHAR text[INSTALLER_VERSION_CHARS] = L"";
    DWORD size = INSTALLER_VERSION_CHARS;

    EXIT_WIN32_IF_ERROR(InstallerQueryVersion(context, product, text, &size));
    hr = VersionutilParseValue(text, lstrlenW(text), version) ? S_OK : S_FALSE;

Exit:
    return hr;
}

// The installer lists the products of an upgrade code in every context: in
// the machine's, those it does not know there are not counted.
BOOL IsInContext(ProductContext context, LPCWSTR product)
{
    return ProductContext::Any == context || INSTALLER_STATE_UNKNOWN != InstallerQueryProductState(context, product);
}

// Goes through the products of the upgrade code until one makes the rule
// hold. A product whose version is no version matches no comparison.
HRESULT FindRelatedProduct(const DetectRule* rule, ProductContext context, LPCWSTR upgradeCode,
                           RelatedProduct* related)
{
    HRESULT hr = S_OK;
    WCHAR product[INSTALLER_PRODUCT_CODE_CHARS] = L"";
    ULONGLONG version = 0;
    UINT listed = ERROR_SUCCESS;

    for (DWORD index = 0; index < RELATED_PRODUCTS_LIMIT && !related->holds; ++index) {
        listed = InstallerEnumRelatedProducts(upgradeCode, index, product);
        if (ERROR_NO_MORE_ITEMS == listed) {
            break;
        }
        EXIT_WIN32_IF_ERROR(listed);
        if (!IsInContext(context, product)) {
            continue;
        }
        ++related->count;
        version = 0;
        BOOL holds = DetectOperand::None == rule->operand;
        if (!holds) {
            EXIT_IF_FAILED(InstalledVersion(context, product, &version));
            holds = S_OK == hr && DetectOperatorHolds(rule->op, CompareNumbers(version, rule->number));
        }
        if (holds || 1 == related->count || version > related->version) {
            EXIT_IF_FAILED(BoundedCopy(related->code, INSTALLER_PRODUCT_CODE_CHARS, product));
            related->version = version;
            related->holds = holds;
        }
    }

Exit:
    return hr;
}

void EvaluateUpgrade(const DetectRule* rule, ProductContext context, DetectFinding* finding)
{
    WCHAR code[INSTALLER_PRODUCT_CODE_CHARS] = L"";
    WCHAR versionText[VERSION_TEXT_CHARS] = L"";
    RelatedProduct related = {};
    HRESULT hr = LoadInstallerWithCode(rule->code, code);

    if (SUCCEEDED(hr)) {
        hr = FindRelatedProduct(rule, context, code, &related);
    }
    VersionutilFormat(related.version, versionText);
    if (FAILED(hr)) {
        Found(finding, L"no answer from the installer (%ls)", ErrorOf(hr).text);
    } else if (0 == related.count) {
        Found(finding, L"no product of this upgrade code");
    } else if (DetectOperand::None == rule->operand) {
        Found(finding, L"%ls", related.code);
    } else {
        Found(finding, L"%ls, version %ls%ls", related.code, versionText, related.holds || 1 == related.count
                                                                               ? L"" : L", the highest installed");
    }
    finding->holds = SUCCEEDED(hr) && related.holds;
}

} // namespace

BOOL DetectRunsUnderWow64()
{
    return sizeof(void*) < 8 && IsWindows64Bit();
}

HRESULT ResolveDetectFolder(DetectFolder folder, BOOL wow64, WCHAR (&path)[MAX_PATH])
{
    switch (folder) {
    case DetectFolder::ProgramFiles64:
        return wow64 ? ShellFolderValue(PROGRAM_FILES_VALUE, path) : KnownFolderPath(FOLDERID_ProgramFiles, path);
    case DetectFolder::CommonFiles64:
        return wow64 ? ShellFolderValue(COMMON_FILES_VALUE, path) : KnownFolderPath(FOLDERID_ProgramFilesCommon, path);
    case DetectFolder::ProgramFiles32:
        return KnownFolderPath(FOLDERID_ProgramFilesX86, path);
    case DetectFolder::CommonFiles32:
        return KnownFolderPath(FOLDERID_ProgramFilesCommonX86, path);
    case DetectFolder::System64:
        return wow64 ? NativeSystemFolder(path) : KnownFolderPath(FOLDERID_System, path);
    case DetectFolder::System32:
        return KnownFolderPath(FOLDERID_SystemX86, path);
    default:
        return KnownFolderPath(FOLDERID_Windows, path);
    }
}

void EvaluateDetectRule(const DetectRule* rule, ProductContext context, DetectFinding* finding)
{
    finding->holds = FALSE;
    finding->found[0] = L'\0';
    switch (rule->kind) {
    case DetectKind::RegistryKey:
    case DetectKind::RegistryValue:
        EvaluateRegistry(rule, finding);
        break;
    case DetectKind::File:
        EvaluateFile(rule, finding);
        break;
    case DetectKind::Product:
        EvaluateProduct(rule, context, finding);
        break;
    case DetectKind::Upgrade:
        EvaluateUpgrade(rule, context, finding);
        break;
    default:
        Found(finding, L"nothing to look for: the program runs every time");
        break;
    }
}

HRESULT DetectPrerequisite(const PrereqParameters* parameters, ProductContext context, BOOL* present)
{
    HRESULT hr = S_OK;
    TextSpan text = {};
    DetectRule rule = {};
    DetectRuleError error = {};
    DetectFinding finding = {};
    DWORD missing = 0;

    *present = FALSE;
    for (DWORD k = 0; k < parameters->detectCount; ++k) {
        EXIT_IF_FAILED(PrereqDetectRule(parameters, k, &text));
        hr = ParseDetectRule(text.text, text.length, &rule, &error);
        if (FAILED(hr)) {
            RunLogLine("  rule %lu: %.*ls: cannot be read: %hs", k + 1, static_cast<int>(text.length), text.text,
                       error.reason);
            EXIT_WITH(hr);
        }
        EvaluateDetectRule(&rule, context, &finding);
        missing += finding.holds ? 0 : 1;
        RunLogLine("  rule %lu: %.*ls: found %ls: %ls", k + 1, static_cast<int>(text.length), text.text, finding.found,
                   finding.holds ? L"holds" : L"does not hold");
    }
    *present = 0 == missing && parameters->detectCount > 0;
    if (*present) {
        RunLogLine("  present: every rule holds");
    } else {
        RunLogLine("  not present: %lu of %lu rules %ls not hold", missing, parameters->detectCount,
                   1 == missing ? L"does" : L"do");
    }

Exit:
    return hr;
}
