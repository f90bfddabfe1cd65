#include "dirutil.h"
#include "result.h"
#include "strutil.h"
#include "sysutil.h"

#include <aclapi.h>
#include <sddl.h>
#include <wchar.h>

namespace {

using TempPathFunction = DWORD(WINAPI*)(DWORD capacity, LPWSTR buffer);

// GetTempPath2W gives SYSTEM a temporary folder of its own that standard users
// cannot write to, and everyone else what GetTempPathW gives. Systems before it
// lack it.
TempPathFunction TempPathSource()
{
    const TempPathFunction getTempPath2 = SysutilKernelFunction<TempPathFunction>("GetTempPath2W");
    return nullptr != getTempPath2 ? getTempPath2 : ::GetTempPathW;
}

// SYSTEM and Administrators full control, Users read and execute; nothing
// inherited from the parent, whatever it grants.
constexpr WCHAR PROTECTED_FOLDER_SDDL[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// A new folder's random names tried before giving up: only names planted
// beforehand are ever taken, and no one can guess them all.
constexpr DWORD UNIQUE_NAME_ATTEMPTS = 16;

// The platform's final paths are longer than the names they were opened by
// when short names or a longer volume prefix are expanded.
constexpr DWORD FINAL_PATH_CHARS = 2 * MAX_PATH;

// Rights that let their holder change what lies in a folder or who may.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

BOOL IsTrustedInstaller(PSID sid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID trustedInstaller = nullptr;
    BOOL same = FALSE;
    if (::AllocateAndInitializeSid(&nt, 6, SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044,
                                   1853292631, 2271478464, 0, 0, &trustedInstaller)) {
        same = ::EqualSid(sid, trustedInstaller);
        ::FreeSid(trustedInstaller);
    }
    return same;
}

// Only these may own a folder an elevated program trusts: the running user is
// not among them, since only the unelevated side of an account makes such a
// folder, and an owner can always rewrite the folder's permissions.
BOOL IsTrustedOwner(PSID owner)
{
    return owner != nullptr &&
           (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
            IsTrustedInstaller(owner));
}

// Rights for the creator or the owner of an entry go to whoever may create
// one there, or to the trusted owner.
BOOL MayHoldWriteRights(PSID sid)
{
    return IsTrustedOwner(sid) || ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
           ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// Inheritable entries count as well: what the program creates in the folder
// gets them. Denials only take rights away; an allowing entry of another kind
// is judged by its rights alone.
BOOL GrantsOthersWriting(PACL dacl)
{
    if (nullptr == dacl) {
        return TRUE;   // no DACL: everyone may do everything
    }
    for (DWORD k = 0; k < dacl->AceCount; ++k) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, k, reinterpret_cast<LPVOID*>(&header))) {
            return TRUE;
        }
        const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        const BOOL denies = ACCESS_DENIED_ACE_TYPE == header->AceType || ACCESS_DENIED_OBJECT_ACE_TYPE == header->AceType ||
                            ACCESS_DENIED_CALLBACK_ACE_TYPE == header->AceType ||
                            ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE == header->AceType;
        if (denies || 0 == (ace->Mask & WRITE_RIGHTS)) {
            continue;
        }
        if (ACCESS_ALLOWED_ACE_TYPE != header->AceType ||
            !MayHoldWriteRights(const_cast<DWORD*>(&ace->SidStart))) {
            return TRUE;
        }
    }
    return FALSE;
}

// A folder that was there before: its owner and DACL say who else could have
// put files into it, or could still.
HRESULT IsTrustedFolder(HANDLE folder, BOOL* trusted)
{
    HRESULT hr = S_OK;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, &descriptor);

    *trusted = FALSE;
    EXIT_WIN32_IF_ERROR(error);
    *trusted = IsTrustedOwner(owner) && !GrantsOthersWriting(dacl);

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
    return hr;
}

// "\\?\C:\x" and "\\?\UNC\server\share\x", as final paths come, in the form a
// program is given: "C:\x" and "\\server\share\x".
LPCWSTR WithoutLongPrefix(LPWSTR path)
{
    if (0 == wcsncmp(path, L"\\\\?\\UNC\\", 8)) {
        path[6] = L'\\';
        return path + 6;
    }
    return 0 == wcsncmp(path, L"\\\\?\\", 4) ? path + 4 : path;
}

// Whether two paths name the same place, ignoring case and a separator at the end.
BOOL SamePath(LPCWSTR a, LPCWSTR b)
{
    int aLength = lstrlenW(a);
    int bLength = lstrlenW(b);
    aLength -= aLength > 0 && L'\\' == a[aLength - 1];
    bLength -= bLength > 0 && L'\\' == b[bLength - 1];
    return CSTR_EQUAL == ::CompareStringOrdinal(a, aLength, b, bLength, TRUE);
}

BOOL IsReachedAs(HANDLE handle, LPCWSTR path)
{
    WCHAR final[MAX_PATH];
    return SUCCEEDED(DirutilFinalPath(handle, final)) && SamePath(final, path);
}

// How a folder is held while the run works in it.
enum class Hold {
    // Without FILE_SHARE_WRITE and FILE_SHARE_DELETE nobody can open the
    // folder to rename or delete it, or to make it a link, while the handle is
    // open; files are still created and deleted in it as usual. The access to
    // its listing makes the share mode count.
    Strict,
    // A parent the run only checks by its final path and makes its own folders
    // in (the Windows folder's Temp, which every account may write to): no
    // access to its data and full sharing, so that no handle someone else
    // keeps on it, however it shares, stops the run, and the run's stops
    // nobody. The strict hold on the folder made inside keeps it in place.
    Shared,
    // A folder the program's record says it made, which only administrators
    // can change: no access that share modes count, and full sharing, so that
    // no handle a reader keeps on it, however it shares, stops the run. Its
    // descriptor can be read.
    Owned,
};

constexpr DWORD STRICT_HOLD_ACCESS = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD SHARED_HOLD_ACCESS = FILE_READ_ATTRIBUTES;
constexpr DWORD OWNED_HOLD_ACCESS = FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD FULL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A reparse point is opened as itself, never followed. `othersFolder`: a
// folder this program may not open at all (shut out, or held by someone who
// may be renaming it) is someone else's, not a failure. The path is the
// folder's final path when `whereItIs`, else it must be `path` itself.
HRESULT OpenHeldFolder(LPCWSTR path, Hold hold, BOOL othersFolder, BOOL whereItIs, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};
    DWORD error = ERROR_SUCCESS;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (whereItIs ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const BOOL strict = Hold::Strict == hold;
    const DWORD access = strict ? STRICT_HOLD_ACCESS : Hold::Owned == hold ? OWNED_HOLD_ACCESS : SHARED_HOLD_ACCESS;
    HANDLE opened =
        ::CreateFileW(path, access, strict ? FILE_SHARE_READ : FULL_SHARING, nullptr, OPEN_EXISTING, flags, nullptr);

    *folder = NoHeldFolder();
    error = INVALID_HANDLE_VALUE == opened ? ::GetLastError() : ERROR_SUCCESS;
    if (ERROR_FILE_NOT_FOUND == error || ERROR_PATH_NOT_FOUND == error ||
        (othersFolder && (ERROR_ACCESS_DENIED == error || ERROR_SHARING_VIOLATION == error))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == opened);
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(opened, &information));
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (!whereItIs && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        hr = S_FALSE;
        goto Exit;
    }
    if (whereItIs) {
        EXIT_IF_FAILED(DirutilFinalPath(opened, folder->path));
    } else if (!IsReachedAs(opened, path)) {
        hr = S_FALSE;
        goto Exit;
    } else {
        EXIT_IF_FAILED(BoundedCopy(folder->path, MAX_PATH, path));
        const int length = lstrlenW(folder->path);
        if (length > 0 && L'\\' == folder->path[length - 1]) {
            folder->path[length - 1] = L'\0';
        }
    }
    folder->handle = opened;
    opened = INVALID_HANDLE_VALUE;

Exit:
    if (INVALID_HANDLE_VALUE != opened) {
        ::CloseHandle(opened);
    }
    return hr;
}

// A folder just made that is not there as made (a link above it led the
// create elsewhere) can be trusted with nothing.
HRESULT HoldMadeFolder(LPCWSTR path, HeldFolder* folder)
{
    HRESULT hr = OpenHeldFolder(path, Hold::Strict, FALSE, FALSE, folder);
    return S_FALSE == hr ? RESULT_LINK_ENCOUNTERED : hr;
}

// A name of `prefix` and 16 random hexadecimal digits.
HRESULT FormatUniqueName(const HeldFolder* parent, LPCWSTR prefix, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    ULONGLONG random = 0;

    EXIT_IF_FAILED(SysutilRandom(&random, sizeof(random)));
    EXIT_IF_FAILED(BoundedFormat(path, MAX_PATH, L"%ls\\%ls%08lx%08lx", parent->path, prefix,
                                 static_cast<unsigned long>(random >> 32), static_cast<unsigned long>(random)));

Exit:
    return hr;
}

} // namespace

// Tries the whole path first, so the common case of an existing parent costs one
// call. Only when the parent is missing is the caller's text cut at its last
// backslash (in place, no copy), the parent made, and the backslash put back.
HRESULT DirutilCreateTree(LPWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    HRESULT hr = S_OK;
    LPWSTR cut = nullptr;
    DWORD error = ERROR_SUCCESS;

    if (::CreateDirectoryW(path, attributes)) {
        goto Exit;
    }
    error = ::GetLastError();
    // Another process may have made it at the same moment; that is success too.
    if (ERROR_ALREADY_EXISTS == error) {
        goto Exit;
    }
    // A drive root cannot be created but is a folder all the same.
    if (ERROR_PATH_NOT_FOUND != error && DirutilIsFolder(path, nullptr)) {
        goto Exit;
    }

    cut = ::wcsrchr(path, L'\\');
    if (nullptr == cut) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    *cut = L'\0';
    hr = DirutilCreateTree(path, attributes);
    *cut = L'\\';
    EXIT_IF_FAILED(hr);

    if (!::CreateDirectoryW(path, attributes)) {
        error = ::GetLastError();
        if (ERROR_ALREADY_EXISTS != error) {
            // Folded like ResultFromLastError so that a failure with no error
            // recorded can never read as success.
            EXIT_IF_FAILED(ResultFromLastError());
        }
    }

Exit:
    return hr;
}

HRESULT DirutilOpenFolder(LPCWSTR path, HeldFolder* folder)
{
    return OpenHeldFolder(path, Hold::Strict, FALSE, FALSE, folder);
}

HRESULT DirutilOpenOwned(LPCWSTR path, HeldFolder* folder)
{
    return OpenHeldFolder(path, Hold::Owned, FALSE, FALSE, folder);
}

HRESULT DirutilOpenWhereItIs(LPCWSTR path, HeldFolder* folder)
{
    return OpenHeldFolder(path, Hold::Shared, FALSE, TRUE, folder);
}

HRESULT DirutilIsProtected(const HeldFolder* folder)
{
    HRESULT hr = S_OK;
    BOOL trusted = FALSE;

    EXIT_IF_FAILED(IsTrustedFolder(folder->handle, &trusted));
    hr = trusted ? S_OK : S_FALSE;

Exit:
    return hr;
}

HRESULT DirutilOpenProtected(LPCWSTR path, HeldFolder* folder)
{
    HRESULT hr = S_OK;

    EXIT_IF_FAILED(OpenHeldFolder(path, Hold::Strict, TRUE, FALSE, folder));
    if (S_OK == hr) {
        EXIT_IF_FAILED(DirutilIsProtected(folder));
    }

Exit:
    if (S_OK != hr) {
        DirutilClose(folder);
    }
    return hr;
}

// A folder made here cannot have been replaced before it is held: nobody but
// SYSTEM and Administrators may rename it, and a link above it is caught by
// the final path. Only a folder that was there already needs its owner and
// DACL read.
HRESULT DirutilCreateProtectedNew(LPCWSTR path, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

    *folder = NoHeldFolder();
    EXIT_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr));
    attributes.lpSecurityDescriptor = descriptor;

    if (::CreateDirectoryW(path, &attributes)) {
        EXIT_IF_FAILED(HoldMadeFolder(path, folder));
    } else {
        EXIT_LAST_ERROR_IF(ERROR_ALREADY_EXISTS != ::GetLastError());
        hr = S_FALSE;
    }

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
    return hr;
}

HRESULT DirutilCreateProtected(LPCWSTR path, HeldFolder* folder)
{
    const HRESULT hr = DirutilCreateProtectedNew(path, folder);
    return S_FALSE == hr ? DirutilOpenProtected(path, folder) : hr;
}

// The name is new, or the create fails: a folder someone made beforehand is
// never taken over, only passed over for the next random name.
HRESULT DirutilCreateUnique(const HeldFolder* parent, LPCWSTR prefix, BOOL protect, DirutilRefusalReport report,
                            HeldFolder* made)
{
    HRESULT hr = S_OK;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    WCHAR path[MAX_PATH];

    *made = NoHeldFolder();
    if (protect) {
        EXIT_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr));
        attributes.lpSecurityDescriptor = descriptor;
    }
    for (DWORD attempt = 0;; ++attempt) {
        if (UNIQUE_NAME_ATTEMPTS == attempt) {
            EXIT_WITH(RESULT_FILE_EXISTS);
        }
        EXIT_IF_FAILED(FormatUniqueName(parent, prefix, path));
        if (::CreateDirectoryW(path, protect ? &attributes : nullptr)) {
            break;
        }
        EXIT_LAST_ERROR_IF(ERROR_ALREADY_EXISTS != ::GetLastError());
        if (report) {
            report(path, L"the name is taken");
        }
    }
    EXIT_IF_FAILED(HoldMadeFolder(path, made));

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
    return hr;
}

HRESULT DirutilOpenChild(const HeldFolder* parent, LPCWSTR name, BOOL create, HeldFolder* child)
{
    HRESULT hr = S_OK;
    WCHAR path[MAX_PATH];

    *child = NoHeldFolder();
    EXIT_IF_FAILED(DirutilPathIn(parent, name, path));
    if (create && ::CreateDirectoryW(path, nullptr)) {
        EXIT_IF_FAILED(HoldMadeFolder(path, child));
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(create && ERROR_ALREADY_EXISTS != ::GetLastError());
    hr = DirutilOpenFolder(path, child);
    // A reader that holds it without sharing never stops the run: it is held
    // as a folder of the program's own is, kept in place by its parent's
    // permissions (the all-users cache's), or by nobody but its owner.
    if (ResultFromWin32(ERROR_SHARING_VIOLATION) == hr) {
        hr = OpenHeldFolder(path, Hold::Owned, FALSE, FALSE, child);
    }

Exit:
    return hr;
}

HRESULT DirutilPathIn(const HeldFolder* folder, LPCWSTR name, WCHAR (&path)[MAX_PATH])
{
    return BoundedFormat(path, MAX_PATH, L"%ls\\%ls", folder->path, name);
}

void DirutilClose(HeldFolder* folder)
{
    if (INVALID_HANDLE_VALUE != folder->handle) {
        ::CloseHandle(folder->handle);
        folder->handle = INVALID_HANDLE_VALUE;
    }
}

void DirutilCloseAndRemoveIfEmpty(HeldFolder* folder)
{
    if (INVALID_HANDLE_VALUE != folder->handle) {
        DirutilClose(folder);
        ::RemoveDirectoryW(folder->path);
    }
}

BOOL DirutilIsEntryOf(HANDLE entry, const HeldFolder* folder, LPCWSTR name)
{
    WCHAR expected[MAX_PATH];
    return SUCCEEDED(DirutilPathIn(folder, name, expected)) && IsReachedAs(entry, expected);
}

HRESULT DirutilFinalPath(HANDLE handle, WCHAR (&path)[MAX_PATH])
{
    HRESULT hr = S_OK;
    WCHAR final[FINAL_PATH_CHARS];
    const DWORD length = ::GetFinalPathNameByHandleW(handle, final, FINAL_PATH_CHARS,
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);

    EXIT_LAST_ERROR_IF(0 == length || length >= FINAL_PATH_CHARS);
    EXIT_IF_FAILED(BoundedCopy(path, MAX_PATH, WithoutLongPrefix(final)));

Exit:
    return hr;
}

BOOL DirutilIsFolder(LPCWSTR path, DWORD* attributes)
{
    const DWORD found = ::GetFileAttributesW(path);
    if (INVALID_FILE_ATTRIBUTES == found || !(found & FILE_ATTRIBUTE_DIRECTORY)) {
        return FALSE;
    }
    if (attributes) {
        *attributes = found;
    }
    return TRUE;
}

HRESULT DirutilGetTempFolder(LPWSTR folder)
{
    HRESULT hr = S_OK;
    const DWORD length = TempPathSource()(MAX_PATH, folder);
    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);

Exit:
    return hr;
}

// Where Windows has SystemTemp (SYSTEM's own temporary folder, which nobody
// else may even list, and which may be shut to administrators too) it is
// taken; else Temp, where others may create entries of their own but not
// remove or replace those of others. Either is trusted for where it is: only
// administrators can change the Windows folder itself. Others may keep
// handles on either (a program watching Temp for what it may write there), so
// both are opened shared: only the folders the run makes inside are held.
HRESULT DirutilOpenSystemTemp(HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR windows[MAX_PATH];
    WCHAR path[MAX_PATH];
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const LPCWSTR separator = 0 < length && length < MAX_PATH && L'\\' == windows[length - 1] ? L"" : L"\\";

    EXIT_LAST_ERROR_IF(0 == length || length >= MAX_PATH);
    EXIT_IF_FAILED(BoundedFormat(path, MAX_PATH, L"%ls%lsSystemTemp", windows, separator));
    EXIT_IF_FAILED(OpenHeldFolder(path, Hold::Shared, TRUE, FALSE, folder));
    if (S_FALSE == hr) {
        EXIT_IF_FAILED(BoundedFormat(path, MAX_PATH, L"%ls%lsTemp", windows, separator));
        EXIT_IF_FAILED(OpenHeldFolder(path, Hold::Shared, FALSE, FALSE, folder));
    }
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);
    }

Exit:
    return hr;
}
