// The boundary to the Windows Installer service. msi.dll is loaded from the
// system folder only, when a setup run first needs it, and its operations are
// taken by ordinal: a setup program is often started elevated from a downloads
// folder, and msi.dll is not one of the DLLs Windows always takes from the
// system folder, so a copy planted beside the program must never be found.
#pragma once

#include <windows.h>
#include "manifest.h"
#include "options.h"

constexpr DWORD INSTALLER_LOG_MODE = 0x1FDF;
constexpr DWORD INSTALLER_LOG_APPEND = 1;
constexpr DWORD INSTALLER_LOG_ANEW = 0;
constexpr DWORD INSTALLER_LOG_OFF = 0;   // log mode 0 with no file: no log
constexpr DWORD INSTALLER_VERSION_CHARS = 36;
constexpr INT INSTALLER_STATE_INSTALLED = 5;
constexpr INT INSTALLER_STATE_ADVERTISED = 1;
constexpr INT INSTALLER_STATE_ABSENT = 2;   // installed for another user only
constexpr INT INSTALLER_STATE_UNKNOWN = -1;
constexpr INT INSTALLER_STATE_UNTOLD = -6;   // the installer could not say (its "bad configuration")
// The removal request's command line (the empty property text and the literal).
constexpr LPCWSTR INSTALLER_REMOVE_ALL = L" REMOVE=ALL";
// InvokeInstaller's success with a remark: the package failed and the failure was
// tolerated (or a missing patch target was not to be reported).
constexpr HRESULT INSTALLER_FAILURE_TOLERATED = 1;

// Makes the system folder the only place the process loads DLLs from by name.
// The entry calls it before anything else.
void RestrictDllSearchToSystemFolder();

// Loads msi.dll and resolves its operations, once; later calls return S_OK.
HRESULT InstallerLoad();

// Thin wrappers over the installer's operations. Before a successful
// InstallerLoad they do nothing and the ones with a result return
// ERROR_DLL_NOT_FOUND.
void InstallerSetUiLevel(DWORD uiLevel);

// The installer's messages to an interface of the program's own (the
// bundle's window): a handler that gets each message whose kind is in
// `filter`, and reads its record while it runs. False when the service has
// no such handler, or it could not be set; null clears it.
using InstallerRecord = unsigned long;
using InstallerMessageHandler = INT(WINAPI*)(void* context, UINT messageType, InstallerRecord record);
BOOL InstallerSetMessageHandler(InstallerMessageHandler handler, DWORD filter);
INT InstallerRecordInteger(InstallerRecord record, UINT field);
// Field `field` as text (0: the message formatted), cut to `chars`.
void InstallerRecordText(InstallerRecord record, UINT field, WCHAR* text, DWORD chars);
void InstallerEnableLog(DWORD mode, LPCWSTR path, DWORD attributes);

// Which installations of a product a question sees. An entry for all users
// decides by the machine's alone: a product of the same code that a user
// installed for himself is not there for the machine, and must neither make
// the run skip the entry nor be taken for the entry's product.
enum class ProductContext { Any, Machine };
ProductContext EntryProductContext(const ManifestPackageEntry* entry);

// The installed product's "VersionString"; `size` in characters, in and out.
UINT InstallerQueryVersion(ProductContext context, LPCWSTR productCode, LPWSTR buffer, DWORD* size);
// The product's installation state: INSTALLER_STATE_INSTALLED, 1 advertised,
// -1 unknown to the installer (also before InstallerLoad), or another state;
// in the machine's context INSTALLER_STATE_UNTOLD when the installer fails.
INT InstallerQueryProductState(ProductContext context, LPCWSTR productCode);
// Installed or advertised: any state but unknown and installed for another
// user only. A state that cannot be told is no proof of absence: it counts.
BOOL InstallerHasProduct(ProductContext context, LPCWSTR productCode);
// The index-th product (0 first) installed under an upgrade code, into a
// buffer of INSTALLER_PRODUCT_CODE_CHARS: ERROR_NO_MORE_ITEMS past the last.
UINT InstallerEnumRelatedProducts(LPCWSTR upgradeCode, DWORD index, LPWSTR productCode);
UINT InstallerInstallPackage(LPCWSTR packagePath, LPCWSTR commandLine);
UINT InstallerApplyPatch(LPCWSTR patchPath, LPCWSTR commandLine);
// Removes an installed product: install level 0, state absent (2).
UINT InstallerRemoveProduct(LPCWSTR productCode, LPCWSTR commandLine);

// The product codes of every product the installer knows, one after another,
// each INSTALLER_PRODUCT_CODE_CHARS wide.
constexpr DWORD INSTALLER_PRODUCT_CODE_CHARS = 39;
struct ProductList {
    WCHAR (*codes)[INSTALLER_PRODUCT_CODE_CHARS];   // a heap block, null when empty
    DWORD count;
};
HRESULT InstallerListProducts(ProductList* list);
void InstallerReleaseProducts(ProductList* list);
// Leaves in `list` only its products that the installer no longer knows.
HRESULT InstallerKeepRemoved(ProductList* list);

// Asks the installer to remove a product at the given UI level, with a log of
// its own: appended to `logPath`, or a new one named after the package. Another
// installation in progress is waited out (installwait.h). Returns the
// installer's result.
UINT RemoveInstalledProduct(LPCWSTR packageFileName, LPCWSTR productCode, LPCWSTR logPath, DWORD uiLevel);
// Whether a removal's result means the product is gone: removed (a restart
// may be due), or unknown to the installer already.
BOOL IsProductRemoved(UINT removalResult);

// Hands one package to the installer and maps its result: S_OK, 1
// (INSTALLER_FAILURE_TOLERATED), a restart result (0x80070BC2, 0x80070BC3,
// 0x80070669) or a failure. Loads the installer first when needed. A failure
// is told to the person unless the installer ran without its interface
// (IsUnattendedUiLevel). Another installation
// in progress is waited out (installwait.h).
HRESULT InvokeInstaller(LPCWSTR packageFileName, LPCWSTR packagePath, LPCWSTR propertyText,
                        LPCWSTR logPath, InstallAction action, DWORD uiLevel,
                        BOOL tolerateFailure, BOOL reportMissingPatchTarget);
