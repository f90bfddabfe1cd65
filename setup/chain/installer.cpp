#include "installer.h"

#include "installwait.h"
#include "fileutil.h"
#include "memutil.h"
#include "messages.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "strutil.h"
#include "sysutil.h"

namespace {

// The service's ordinals: the same in every version of msi.dll.
constexpr WORD ORDINAL_ENUM_PRODUCTS = 45;
constexpr WORD ORDINAL_QUERY_PRODUCT = 70;
constexpr WORD ORDINAL_INSTALL_PACKAGE = 88;
constexpr WORD ORDINAL_SET_UI_LEVEL = 141;
constexpr WORD ORDINAL_ENABLE_LOG = 169;
constexpr WORD ORDINAL_APPLY_PATCH = 175;
constexpr WORD ORDINAL_CONFIGURE_PRODUCT = 190;
constexpr WORD ORDINAL_QUERY_PRODUCT_STATE = 113;
constexpr WORD ORDINAL_ENUM_RELATED_PRODUCTS = 205;
constexpr WORD ORDINAL_QUERY_PRODUCT_IN_CONTEXT = 248;
// Only the bundle's window hears the installer's messages: a service without
// them still installs every bundle without one.
constexpr WORD ORDINAL_SET_MESSAGE_HANDLER = 281;
constexpr WORD ORDINAL_RECORD_INTEGER = 116;
constexpr WORD ORDINAL_RECORD_STRING = 118;
constexpr WORD ORDINAL_FORMAT_RECORD = 171;
constexpr DWORD RELATED_PRODUCTS_RESERVED = 0;

constexpr DWORD INSTALL_CONTEXT_MACHINE = 4;
constexpr WCHAR VERSION_PROPERTY[] = L"VersionString";
// The installation state as text: "5" installed, "1" advertised.
constexpr WCHAR STATE_PROPERTY[] = L"State";
constexpr DWORD STATE_TEXT_CHARS = 4;

constexpr int INSTALL_LEVEL_DEFAULT = 0;
constexpr int INSTALL_STATE_ABSENT = 2;
constexpr int INSTALL_TYPE_DEFAULT = 0;

// Shown for every other installer failure: "the process ended unexpectedly".
constexpr HRESULT RESULT_PROCESS_ABORTED = static_cast<HRESULT>(0x8007042B);

using SetUiLevelOperation = INT(WINAPI*)(INT uiLevel, HWND* window);
using EnableLogOperation = UINT(WINAPI*)(DWORD mode, LPCWSTR path, DWORD attributes);
using EnumProductsOperation = UINT(WINAPI*)(DWORD index, LPWSTR product);
using QueryProductOperation = UINT(WINAPI*)(LPCWSTR product, LPCWSTR property, LPWSTR value, DWORD* size);
using QueryProductStateOperation = INT(WINAPI*)(LPCWSTR product);
using QueryProductInContextOperation = UINT(WINAPI*)(LPCWSTR product, LPCWSTR userSid, DWORD context,
                                                     LPCWSTR property, LPWSTR value, DWORD* size);
using EnumRelatedProductsOperation = UINT(WINAPI*)(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR product);
using InstallPackageOperation = UINT(WINAPI*)(LPCWSTR packagePath, LPCWSTR commandLine);
using ApplyPatchOperation = UINT(WINAPI*)(LPCWSTR patchPath, LPCWSTR installPackage, INT installType,
                                          LPCWSTR commandLine);
using ConfigureProductOperation = UINT(WINAPI*)(LPCWSTR product, INT installLevel, INT installState,
                                                LPCWSTR commandLine);
using SetMessageHandlerOperation = UINT(WINAPI*)(InstallerMessageHandler handler, DWORD filter, void* context,
                                                 InstallerMessageHandler* previous);
using RecordIntegerOperation = INT(WINAPI*)(InstallerRecord record, UINT field);
using RecordStringOperation = UINT(WINAPI*)(InstallerRecord record, UINT field, LPWSTR text, DWORD* chars);
using FormatRecordOperation = UINT(WINAPI*)(InstallerRecord session, InstallerRecord record, LPWSTR text,
                                            DWORD* chars);

struct InstallerOperations {
    HMODULE module;
    SetUiLevelOperation setUiLevel;
    EnableLogOperation enableLog;
    QueryProductOperation queryProduct;
    EnumProductsOperation enumProducts;
    QueryProductStateOperation queryProductState;
    QueryProductInContextOperation queryProductInContext;
    EnumRelatedProductsOperation enumRelatedProducts;
    InstallPackageOperation installPackage;
    ApplyPatchOperation applyPatch;
    ConfigureProductOperation configureProduct;
    // Resolved when the bundle's window first asks for them: a run without it
    // takes exactly the operations it always took.
    BOOL messagesResolved;
    SetMessageHandlerOperation setMessageHandler;   // null where the service lacks it
    RecordIntegerOperation recordInteger;
    RecordStringOperation recordString;
    FormatRecordOperation formatRecord;
};

// Filled once by InstallerLoad; msi.dll stays loaded for the life of the process.
InstallerOperations Installer = {};

template <typename Operation>
HRESULT ResolveOrdinal(HMODULE module, WORD ordinal, Operation* operation)
{
    return SysutilResolve(module, MAKEINTRESOURCEA(ordinal), operation);
}

HRESULT ResolveOperations(HMODULE module, InstallerOperations* operations)
{
    HRESULT hr = S_OK;
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_SET_UI_LEVEL, &operations->setUiLevel));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_ENABLE_LOG, &operations->enableLog));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_QUERY_PRODUCT, &operations->queryProduct));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_ENUM_PRODUCTS, &operations->enumProducts));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_QUERY_PRODUCT_STATE, &operations->queryProductState));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_QUERY_PRODUCT_IN_CONTEXT, &operations->queryProductInContext));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_ENUM_RELATED_PRODUCTS, &operations->enumRelatedProducts));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_INSTALL_PACKAGE, &operations->installPackage));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_APPLY_PATCH, &operations->applyPatch));
    EXIT_IF_FAILED(ResolveOrdinal(module, ORDINAL_CONFIGURE_PRODUCT, &operations->configureProduct));
Exit:
    return hr;
}

// The action's text appended to the property text, or E_INVALIDARG for an
// action that makes no installer call.
HRESULT ActionText(InstallAction action, LPCWSTR* text)
{
    HRESULT hr = S_OK;
    switch (action) {
    case InstallAction::Install:
    case InstallAction::SameVersion:
    case InstallAction::MajorUpgrade:
    case InstallAction::ApplyPatch:
        *text = L"";
        break;
    case InstallAction::MinorUpgrade:
        *text = L" REINSTALL=ALL REINSTALLMODE=\"vomus\"";
        break;
    // Files that are missing or older, the machine's and the user's registry
    // values and the shortcuts; the package is the one installed from.
    case InstallAction::Repair:
        *text = L" REINSTALL=ALL REINSTALLMODE=\"omus\"";
        break;
    case InstallAction::Uninstall:
        *text = INSTALLER_REMOVE_ALL;
        break;
    default:
        EXIT_WITH(E_INVALIDARG);
    }
Exit:
    return hr;
}

// The command line's log is appended to; without one, a new log named after
// the package is started in the run's log folder, and held until the call is
// done (`held`, closed by the caller), so that nobody can put another file
// under its name while the installer writes it by path. A default log that
// cannot be made leaves the installer without a log: that is no reason to fail
// the package. The log setting outlives the call, so logging is then turned
// off, or the installer would write over the previous call's log.
void EnableInstallerLog(LPCWSTR packageFileName, LPCWSTR logPath, HANDLE* held)
{
    WideString baseName = nullptr;
    WCHAR defaultLog[MAX_PATH] = {};
    const HeldFolder* folder = nullptr == logPath ? RunLogFolder() : nullptr;

    *held = INVALID_HANDLE_VALUE;
    if (nullptr != logPath) {
        InstallerEnableLog(INSTALLER_LOG_MODE, logPath, INSTALLER_LOG_APPEND);
    } else if (nullptr != folder && nullptr != packageFileName &&
               SUCCEEDED(FileutilBaseName(packageFileName, &baseName)) &&
               SUCCEEDED(FileutilCreateUnique(folder, baseName, L"log", defaultLog, held))) {
        InstallerEnableLog(INSTALLER_LOG_MODE, defaultLog, INSTALLER_LOG_ANEW);
    } else {
        InstallerEnableLog(INSTALLER_LOG_OFF, nullptr, INSTALLER_LOG_ANEW);
    }
    RunLogLine("  installer log: %ls", nullptr != logPath ? logPath : L'\0' != defaultLog[0] ? defaultLog : L"none");

    StrutilFree(baseName);
}

constexpr DWORD PRODUCT_LIST_START = 64;
constexpr DWORD PRODUCT_LIST_LIMIT = 0x10000;

BOOL ListHolds(const ProductList* list, LPCWSTR code)
{
    for (DWORD k = 0; k < list->count; ++k) {
        if (CSTR_EQUAL == ::CompareStringOrdinal(list->codes[k], -1, code, -1, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

UINT QueryInMachineContext(LPCWSTR productCode, LPCWSTR property, LPWSTR buffer, DWORD* size)
{
    return nullptr == Installer.queryProductInContext
               ? ERROR_DLL_NOT_FOUND
               : Installer.queryProductInContext(productCode, nullptr, INSTALL_CONTEXT_MACHINE, property, buffer, size);
}

// A product the machine's context does not know is unknown, as for the
// installer's own state query.
INT MachineProductState(LPCWSTR productCode)
{
    WCHAR text[STATE_TEXT_CHARS] = L"";
    DWORD size = STATE_TEXT_CHARS;
    const UINT queried = QueryInMachineContext(productCode, STATE_PROPERTY, text, &size);

    if (INSTALLER_UNKNOWN_PRODUCT == queried || ERROR_DLL_NOT_FOUND == queried) {
        return INSTALLER_STATE_UNKNOWN;
    }
    if (ERROR_SUCCESS != queried || 1 != size || text[0] < L'0' || text[0] > L'9') {
        return INSTALLER_STATE_UNTOLD;
    }
    return text[0] - L'0';
}

// The installer's result as the run sees it, and the failures the person must
// be told about. A call made without the installer's interface (unattended, or
// under the bundle's window, whose last page names the failure) tells nothing.
void TellFailureUnlessWithoutInterface(HRESULT failure, DWORD uiLevel)
{
    if (!IsUnattendedUiLevel(uiLevel)) {
        ShowSystemErrorMessage(failure);
    }
}

HRESULT MapInstallerResult(UINT result, DWORD uiLevel, BOOL tolerateFailure, BOOL reportMissingPatchTarget)
{
    if (result == ERROR_SUCCESS) {
        return S_OK;
    }
    const HRESULT failure = ResultFromWin32(static_cast<LONG>(result));
    if (IsRestartResult(result)) {
        return failure;
    }
    if (tolerateFailure) {
        return INSTALLER_FAILURE_TOLERATED;
    }
    switch (result) {
    case INSTALLER_CANCELLED_BY_USER:
    case INSTALLER_FATAL_ERROR:
    case INSTALLER_BUSY:   // an interactive run has asked with Retry and Cancel already
        break;
    case INSTALLER_UNKNOWN_PRODUCT:
    case INSTALLER_REJECTED_BY_POLICY:
    case INSTALLER_SERVICE_FAILED_TO_START:
    case INSTALLER_PLATFORM_UNSUPPORTED:
        TellFailureUnlessWithoutInterface(failure, uiLevel);
        break;
    case INSTALLER_PATCH_TARGET_NOT_FOUND:
        if (!reportMissingPatchTarget) {
            return INSTALLER_FAILURE_TOLERATED;
        }
        TellFailureUnlessWithoutInterface(failure, uiLevel);
        break;
    default:
        TellFailureUnlessWithoutInterface(RESULT_PROCESS_ABORTED, uiLevel);
        break;
    }
    return failure;
}

} // namespace

void RestrictDllSearchToSystemFolder()
{
    // Windows 7 before its loader update lacks it.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories =
        SysutilKernelFunction<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    if (nullptr != setDefaultDllDirectories) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        // At least the current folder leaves the search.
        ::SetDllDirectoryW(L"");
    }
}

HRESULT InstallerLoad()
{
    HRESULT hr = S_OK;
    HMODULE module = nullptr;
    InstallerOperations operations = {};

    if (nullptr != Installer.module) {
        goto Exit;
    }
    EXIT_IF_FAILED(SysutilLoadSystemLibrary(L"msi.dll", &module));
    EXIT_IF_FAILED(ResolveOperations(module, &operations));
    operations.module = module;
    module = nullptr;
    Installer = operations;

Exit:
    if (nullptr != module) {
        ::FreeLibrary(module);
    }
    return hr;
}

void InstallerSetUiLevel(DWORD uiLevel)
{
    if (nullptr != Installer.setUiLevel) {
        Installer.setUiLevel(static_cast<INT>(uiLevel), nullptr);
    }
}

BOOL InstallerSetMessageHandler(InstallerMessageHandler handler, DWORD filter)
{
    if (!Installer.messagesResolved && nullptr != Installer.module) {
        Installer.messagesResolved = TRUE;
        if (FAILED(ResolveOrdinal(Installer.module, ORDINAL_SET_MESSAGE_HANDLER, &Installer.setMessageHandler)) ||
            FAILED(ResolveOrdinal(Installer.module, ORDINAL_RECORD_INTEGER, &Installer.recordInteger)) ||
            FAILED(ResolveOrdinal(Installer.module, ORDINAL_RECORD_STRING, &Installer.recordString)) ||
            FAILED(ResolveOrdinal(Installer.module, ORDINAL_FORMAT_RECORD, &Installer.formatRecord))) {
            Installer.setMessageHandler = nullptr;
        }
    }
    return nullptr != Installer.setMessageHandler &&
           ERROR_SUCCESS == Installer.setMessageHandler(handler, filter, nullptr, nullptr);
}

INT InstallerRecordInteger(InstallerRecord record, UINT field)
{
    return Installer.recordInteger(record, field);
}

void InstallerRecordText(InstallerRecord record, UINT field, WCHAR* text, DWORD chars)
{
    // 0: the record's own template, with its fields put in.
    const UINT result = 0 == field ? Installer.formatRecord(0, record, text, &chars)
                                   : Installer.recordString(record, field, text, &chars);
    if (ERROR_SUCCESS != result && ERROR_MORE_DATA != result) {
        text[0] = L'\0';
    }
}

void InstallerEnableLog(DWORD mode, LPCWSTR path, DWORD attributes)
{
    if (nullptr != Installer.enableLog) {
        Installer.enableLog(mode, path, attributes);
    }
}

ProductContext EntryProductContext(const ManifestPackageEntry* entry)
{
    return (entry->flags & PKG_PER_MACHINE) ? ProductContext::Machine : ProductContext::Any;
}

UINT InstallerQueryVersion(ProductContext context, LPCWSTR productCode, LPWSTR buffer, DWORD* size)
{
    if (ProductContext::Machine == context) {
        return QueryInMachineContext(productCode, VERSION_PROPERTY, buffer, size);
    }
    return nullptr == Installer.queryProduct ? ERROR_DLL_NOT_FOUND
                                             : Installer.queryProduct(productCode, VERSION_PROPERTY, buffer, size);
}

INT InstallerQueryProductState(ProductContext context, LPCWSTR productCode)
{
    if (ProductContext::Machine == context) {
        return MachineProductState(productCode);
    }
    return nullptr == Installer.queryProductState ? INSTALLER_STATE_UNKNOWN : Installer.queryProductState(productCode);
}

BOOL InstallerHasProduct(ProductContext context, LPCWSTR productCode)
{
    const INT state = InstallerQueryProductState(context, productCode);
    return INSTALLER_STATE_UNKNOWN != state && INSTALLER_STATE_ABSENT != state;
}

UINT InstallerEnumRelatedProducts(LPCWSTR upgradeCode, DWORD index, LPWSTR productCode)
{
    return nullptr == Installer.enumRelatedProducts
               ? ERROR_DLL_NOT_FOUND
               : Installer.enumRelatedProducts(upgradeCode, RELATED_PRODUCTS_RESERVED, index, productCode);
}

UINT InstallerInstallPackage(LPCWSTR packagePath, LPCWSTR commandLine)
{
    return nullptr == Installer.installPackage ? ERROR_DLL_NOT_FOUND
                                               : Installer.installPackage(packagePath, commandLine);
}

UINT InstallerApplyPatch(LPCWSTR patchPath, LPCWSTR commandLine)
{
    return nullptr == Installer.applyPatch
               ? ERROR_DLL_NOT_FOUND
               : Installer.applyPatch(patchPath, nullptr, INSTALL_TYPE_DEFAULT, commandLine);
}

UINT InstallerRemoveProduct(LPCWSTR productCode, LPCWSTR commandLine)
{
    return nullptr == Installer.configureProduct
               ? ERROR_DLL_NOT_FOUND
               : Installer.configureProduct(productCode, INSTALL_LEVEL_DEFAULT, INSTALL_STATE_ABSENT, commandLine);
}

BOOL IsProductRemoved(UINT removalResult)
{
    return ERROR_SUCCESS == removalResult || INSTALLER_UNKNOWN_PRODUCT == removalResult || IsRestartResult(removalResult);
}

UINT RemoveInstalledProduct(LPCWSTR packageFileName, LPCWSTR productCode, LPCWSTR logPath, DWORD uiLevel)
{
    HANDLE log = INVALID_HANDLE_VALUE;
    RunLogLine("removing %ls (%ls)", productCode, packageFileName);
    InstallerSetUiLevel(uiLevel);
    EnableInstallerLog(packageFileName, logPath, &log);
    const ULONGLONG started = ::GetTickCount64();
    const UINT result = InstallerCallWaitingOutOthers(
        [productCode] { return InstallerRemoveProduct(productCode, INSTALLER_REMOVE_ALL); });
    FileutilRelease(&log);
    RunLogLine("  removal result %u in %lu s", result, RunLogSecondsSince(started));
    return result;
}

// The block grows by doubling; a machine has hundreds of products at most,
// and the bound only keeps a misbehaving service from growing it for ever.
HRESULT InstallerListProducts(ProductList* list)
{
    HRESULT hr = S_OK;
    DWORD capacity = 0;
    UINT result = ERROR_SUCCESS;

    list->codes = nullptr;
    list->count = 0;
    if (nullptr == Installer.enumProducts) {
        EXIT_WITH(ResultFromWin32(ERROR_DLL_NOT_FOUND));
    }
    for (;;) {
        if (list->count == capacity) {
            if (capacity >= PRODUCT_LIST_LIMIT) {
                EXIT_WITH(RESULT_ARITHMETIC_OVERFLOW);
            }
            capacity = capacity ? capacity * 2 : PRODUCT_LIST_START;
            const DWORD bytes = capacity * sizeof(*list->codes);
            void* grown = list->codes ? MemutilResize(list->codes, bytes, FALSE) : MemutilAllocate(bytes, FALSE);
            EXIT_IF_NULL_ALLOC(grown);
            list->codes = static_cast<WCHAR(*)[INSTALLER_PRODUCT_CODE_CHARS]>(grown);
        }
        result = Installer.enumProducts(list->count, list->codes[list->count]);
        if (ERROR_NO_MORE_ITEMS == result) {
            break;
        }
        EXIT_WIN32_IF_ERROR(result);
        ++list->count;
    }

Exit:
    if (FAILED(hr)) {
        InstallerReleaseProducts(list);
    }
    return hr;
}

void InstallerReleaseProducts(ProductList* list)
{
    if (list->codes) {
        MemutilRelease(list->codes);
    }
    list->codes = nullptr;
    list->count = 0;
}

HRESULT InstallerKeepRemoved(ProductList* list)
{
    HRESULT hr = S_OK;
    ProductList now = {};
    DWORD kept = 0;

    EXIT_IF_FAILED(InstallerListProducts(&now));
    for (DWORD k = 0; k < list->count; ++k) {
        if (!ListHolds(&now, list->codes[k])) {
            memmove(list->codes[kept++], list->codes[k], sizeof(*list->codes));
        }
    }
    list->count = kept;

Exit:
    InstallerReleaseProducts(&now);
    return hr;
}

HRESULT InvokeInstaller(LPCWSTR packageFileName, LPCWSTR packagePath, LPCWSTR propertyText,
                        LPCWSTR logPath, InstallAction action, DWORD uiLevel,
                        BOOL tolerateFailure, BOOL reportMissingPatchTarget)
{
    HRESULT hr = S_OK;
    WideString commandLine = nullptr;
    LPCWSTR actionText = nullptr;
    UINT installerResult = ERROR_SUCCESS;
    ULONGLONG started = 0;
    HANDLE log = INVALID_HANDLE_VALUE;

    EXIT_IF_FAILED(ActionText(action, &actionText));
    EXIT_IF_FAILED(InstallerLoad());

    InstallerSetUiLevel(uiLevel);
    EnableInstallerLog(packageFileName, logPath, &log);

    EXIT_IF_FAILED(StrutilCopy(&commandLine, nullptr != propertyText ? propertyText : L"", 0));
    EXIT_IF_FAILED(StrutilAppend(&commandLine, actionText, 0));

    started = ::GetTickCount64();
    installerResult = InstallerCallWaitingOutOthers(
        [action, packagePath, commandLine] {
            return action == InstallAction::ApplyPatch ? InstallerApplyPatch(packagePath, commandLine)
                                                       : InstallerInstallPackage(packagePath, commandLine);
        });
    hr = MapInstallerResult(installerResult, uiLevel, tolerateFailure, reportMissingPatchTarget);
    RunLogLine("  installer result %u in %lu s, taken as %d", installerResult, RunLogSecondsSince(started),
               ExitCodeFromResult(hr));
    if (FAILED(hr)) {
        EXIT_WITH(hr);
    }

Exit:
    FileutilRelease(&log);
    StrutilFree(commandLine);
    return hr;
}
