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

// The name's parent, opened only to learn where it really is.
HRESULT OpenParent(LPCWSTR path, HANDLE* parent, LPCWSTR* name)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH];
    LPWSTR cut = nullptr;

    EXIT_IF_FAILED(BoundedCopy(folder, MAX_PATH, path));
    cut = ::wcsrchr(folder, L'\\');
    if (nullptr == cut) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }
    *cut = L'\0';
    *name = path + (cut - folder) + 1;
    *parent = ::CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == *parent);

Exit:
    return hr;
}

// A real folder, and the very entry its path names in its parent.
HRESULT IsOwnFolderEntry(LPCWSTR path, HANDLE folder, BOOL* own)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};
    HANDLE parent = INVALID_HANDLE_VALUE;
    LPCWSTR name = nullptr;

    *own = FALSE;
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(folder, &information));
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        goto Exit;
    }
    EXIT_IF_FAILED(OpenParent(path, &parent, &name));
    *own = DirutilIsEntryOf(folder, parent, name);

Exit:
    if (INVALID_HANDLE_VALUE != parent) {
        ::CloseHandle(parent);
    }
    return hr;
}

// Without FILE_SHARE_WRITE and FILE_SHARE_DELETE nobody can open the folder to
// rename or delete it, or to make it a link, while the handle is open; files
// are still created and deleted in it as usual. `othersFolder`: a folder this
// program may not open at all (shut out, or held by someone who may be
// renaming it) is someone else's, not a failure.
HRESULT OpenHeldFolder(LPCWSTR path, BOOL othersFolder, HANDLE* folder)
{
    HRESULT hr = S_OK;
    BOOL own = FALSE;
    DWORD error = ERROR_SUCCESS;
    HANDLE opened = ::CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);

    *folder = INVALID_HANDLE_VALUE;
    error = INVALID_HANDLE_VALUE == opened ? ::GetLastError() : ERROR_SUCCESS;
    if (ERROR_FILE_NOT_FOUND == error || ERROR_PATH_NOT_FOUND == error ||
        (othersFolder && (ERROR_ACCESS_DENIED == error || ERROR_SHARING_VIOLATION == error))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == opened);
    EXIT_IF_FAILED(IsOwnFolderEntry(path, opened, &own));
    if (!own) {
        hr = S_FALSE;
        goto Exit;
    }
    *folder = opened;
    opened = INVALID_HANDLE_VALUE;

Exit:
    if (INVALID_HANDLE_VALUE != opened) {
        ::CloseHandle(opened);
    }
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

HRESULT DirutilOpenFolder(LPCWSTR path, HANDLE* folder)
{
    return OpenHeldFolder(path, FALSE, folder);
}

HRESULT DirutilOpenProtected(LPCWSTR path, HANDLE* folder)
{
    HRESULT hr = S_OK;
    BOOL trusted = FALSE;

    EXIT_IF_FAILED(OpenHeldFolder(path, TRUE, folder));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(IsTrustedFolder(*folder, &trusted));
    if (!trusted) {
        hr = S_FALSE;
    }

Exit:
    if (S_OK != hr && INVALID_HANDLE_VALUE != *folder) {
        ::CloseHandle(*folder);
        *folder = INVALID_HANDLE_VALUE;
    }
    return hr;
}

// A folder made here cannot have been replaced before it is held: nobody but
// SYSTEM and Administrators may rename it, and a link above it is caught by
// the hold. Only a folder that was there already needs its owner and DACL read.
HRESULT DirutilCreateProtected(LPCWSTR path, HANDLE* folder)
{
    HRESULT hr = S_OK;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

    *folder = INVALID_HANDLE_VALUE;
    EXIT_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr));
    attributes.lpSecurityDescriptor = descriptor;

    if (::CreateDirectoryW(path, &attributes)) {
        // The folder just made is not there as made: nothing can be trusted.
        EXIT_IF_FAILED(DirutilOpenFolder(path, folder));
        if (S_FALSE == hr) {
            EXIT_WITH(RESULT_LINK_ENCOUNTERED);
        }
    } else {
        EXIT_LAST_ERROR_IF(ERROR_ALREADY_EXISTS != ::GetLastError());
        EXIT_IF_FAILED(DirutilOpenProtected(path, folder));
    }

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
    return hr;
}

BOOL DirutilIsEntryOf(HANDLE entry, HANDLE folder, LPCWSTR name)
{
    WCHAR entryPath[FINAL_PATH_CHARS];
    WCHAR expected[FINAL_PATH_CHARS];
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;

    DWORD length = ::GetFinalPathNameByHandleW(folder, expected, FINAL_PATH_CHARS, flags);
    if (0 == length || length >= FINAL_PATH_CHARS) {
        return FALSE;
    }
    if (L'\\' != expected[length - 1] && FAILED(BoundedAppend(expected, FINAL_PATH_CHARS, L"\\"))) {
        return FALSE;
    }
    if (FAILED(BoundedAppend(expected, FINAL_PATH_CHARS, name))) {
        return FALSE;
    }
    length = ::GetFinalPathNameByHandleW(entry, entryPath, FINAL_PATH_CHARS, flags);
    if (0 == length || length >= FINAL_PATH_CHARS) {
        return FALSE;
    }
    return CSTR_EQUAL == ::CompareStringOrdinal(entryPath, -1, expected, -1, TRUE);
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
