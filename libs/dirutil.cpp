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

BOOL IsRunningUser(PSID sid)
{
    HANDLE token = nullptr;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    BOOL same = FALSE;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
            same = ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
        }
        ::CloseHandle(token);
    }
    return same;
}

// Only these owners could have granted others the right to put files there.
BOOL IsTrustedOwner(PSID owner)
{
    return owner != nullptr &&
           (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
            IsTrustedInstaller(owner) || IsRunningUser(owner));
}

// An existing folder is used only when it is a real folder (a junction could
// lead anywhere) owned by someone trusted; its descriptor is then set anew, as
// folders made by earlier versions may still let users write.
HRESULT SecureExistingFolder(LPCWSTR path, PSECURITY_DESCRIPTOR protectedDescriptor, BOOL* trusted)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    DWORD error = ERROR_SUCCESS;
    // Opened once, without following a reparse point: every check and the new
    // descriptor apply to the same folder.
    HANDLE folder = ::CreateFileW(path, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);

    *trusted = FALSE;
    // A folder whose descriptor shuts out even this elevated program is
    // someone else's: not an error, just not ours to use.
    if (INVALID_HANDLE_VALUE == folder && ERROR_ACCESS_DENIED == ::GetLastError()) {
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == folder);
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(folder, &information));
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        goto Exit;
    }
    error = ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &current);
    EXIT_WIN32_IF_ERROR(error);
    if (!IsTrustedOwner(owner)) {
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(!::GetSecurityDescriptorDacl(protectedDescriptor, &present, &dacl, &defaulted));
    error = ::SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    EXIT_WIN32_IF_ERROR(error);
    *trusted = TRUE;

Exit:
    if (current) {
        ::LocalFree(current);
    }
    if (INVALID_HANDLE_VALUE != folder) {
        ::CloseHandle(folder);
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

HRESULT DirutilCreateProtected(LPCWSTR path, BOOL* trusted)
{
    HRESULT hr = S_OK;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

    *trusted = FALSE;
    EXIT_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr));
    attributes.lpSecurityDescriptor = descriptor;

    if (::CreateDirectoryW(path, &attributes)) {
        *trusted = TRUE;
        goto Exit;
    }
    EXIT_LAST_ERROR_IF(ERROR_ALREADY_EXISTS != ::GetLastError());
    EXIT_IF_FAILED(SecureExistingFolder(path, descriptor, trusted));

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
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

// The platform picks the unique name and creates the file in the same call, so
// no other process can take it between choice and creation. The file stays even
// when the caller's buffer turns out too small for its name.
HRESULT DirutilTempFileName(LPCWSTR prefix, LPWSTR buffer, SIZE_T capacity)
{
    HRESULT hr = S_OK;
    WCHAR folder[MAX_PATH];
    WCHAR name[MAX_PATH];

    EXIT_IF_FAILED(DirutilGetTempFolder(folder));
    EXIT_LAST_ERROR_IF(0 == ::GetTempFileNameW(folder, prefix, 0, name));

    EXIT_IF_FAILED(BoundedCopy(buffer, capacity, name));

Exit:
    return hr;
}
